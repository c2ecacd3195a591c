// The service-manager link on Linux is systemd: the notify protocol for status reports,
// signals for control codes, unit files for registration. Without systemd the console can play
// the manager (the foreground run).

#include "platform/service_manager.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/error_text.h"
#include "platform/linux/harmless_signals.h"
#include "platform/text.h"

extern char** environ;

namespace platform {
namespace {

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;
// Failures the manager has no code for, worded when they happen (codes with the bit that
// Windows leaves to applications): a path systemd starts no program from, a failed systemctl.
constexpr std::uint32_t kErrorPathNotForUnit = 0x20000001;
constexpr std::uint32_t kErrorSystemctlFailed = 0x20000002;

thread_local std::uint32_t last_error = 0;
thread_local std::string last_failure_text;  // the words of the last failure of such a code

std::uint32_t Fail(std::uint32_t code) {
  last_error = code;
  return code;
}

std::uint32_t Fail(std::uint32_t code, std::string text) {
  last_failure_text = std::move(text);
  return Fail(code);
}

// Lack of rights has the manager's own code; everything else keeps the system's.
std::uint32_t FromErrno(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return kErrorAccessDenied;
  return static_cast<std::uint32_t>(error);
}

// ---- Control requests: signals ----

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGPWR);
  return set;
}

std::uint32_t ControlCodeOf(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
    case SIGINT: return 1;  // stop
    case SIGHUP: return 4;  // interrogate
    case SIGPWR: return 5;  // shutdown
    default: return 0;
  }
}

// ---- Registered control handlers and the running dispatcher ----

struct LinkObject {
  virtual ~LinkObject() = default;
};

struct Registration : LinkObject {
  std::string name;
  ControlHandler handler = nullptr;
};

std::mutex state_lock;
std::vector<std::unique_ptr<Registration>> registrations;  // kept for the process's life
int dispatcher_wake = -1;                                   // eventfd of the running dispatcher
std::atomic<bool> console_manager{false};

void Wake(int fd) {
  std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

ControlHandler HandlerOf(const std::string& name) {
  std::lock_guard<std::mutex> hold(state_lock);
  for (auto it = registrations.rbegin(); it != registrations.rend(); ++it) {
    if ((*it)->name == name) return (*it)->handler;
  }
  return nullptr;
}

const char* StateName(std::uint32_t state) {
  static const char* const kNames[] = {"SERVICE_STOPPED",          "SERVICE_START_PENDING",
                                       "SERVICE_STOP_PENDING",     "SERVICE_RUNNING",
                                       "SERVICE_CONTINUE_PENDING", "SERVICE_PAUSE_PENDING",
                                       "SERVICE_PAUSED"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "SERVICE_UNKNOWN";
}

// The socket status reports leave by: made once and kept, so that a full descriptor table
// cannot silence the reports. Not connected: each report goes to the path NOTIFY_SOCKET names
// at that moment, which survives a restarted manager.
std::mutex notify_lock;
int notify_socket = -1;  // guarded by notify_lock

int NotifySocketLocked() {
  if (notify_socket < 0) notify_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return notify_socket;
}

// One datagram to the socket named by NOTIFY_SOCKET ("@" starts an abstract name), sent without
// waiting: a manager that does not read must not hold up the thread that reports. A report it
// cannot take now is dropped; the next report, which carries the whole status, replaces it.
std::uint32_t Notify(const std::string& text) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name) return kErrorFailedServiceControllerConnect;
  std::string path = name;
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return kErrorInvalidParameter;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                            (path[0] == '@' ? 0 : 1));
  std::lock_guard<std::mutex> hold(notify_lock);
  int fd = NotifySocketLocked();
  if (fd < 0) return FromErrno(errno);
  ssize_t n;
  do {
    n = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                 length);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;  // replaced by the next report
  return n < 0 ? FromErrno(errno) : 0;
}

// The manager's readable line: one line (control characters shown escaped), at most
// kStatusLineLimit bytes, cut on a character boundary, so that a report always fits one datagram.
constexpr std::size_t kStatusLineLimit = 1024;

std::string StatusLine(const std::string& text) {
  const std::string visible = VisibleControls(text);
  return visible.substr(0, Utf8CutAt(visible, kStatusLineLimit));
}

// ", exit code N" for a report that ends the service on a failure; nothing otherwise.
std::string ExitCodeWords(const ServiceStatus& status) {
  return status.exit_code == 0 ? std::string() : ", exit code " + std::to_string(ServiceExitCode(status));
}

// ---- Registration: unit files ----

constexpr const char* kSystemUnitDirectory = "/etc/systemd/system";

struct Manager : LinkObject {
  std::string directory;
  bool use_systemctl = false;  // systemd runs and the unit lives in its own directory
};

struct Service : LinkObject {
  std::string name;
  std::string unit_path;
  bool use_systemctl = false;
};

std::string UnitFileName(const std::string& name) { return name + ".service"; }

// A value for a unit file: specifiers (%) doubled.
std::string UnitValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// A path as one double-quoted word of a unit file, whatever blanks it holds: specifiers (%)
// doubled, quotes and backslashes escaped. "$" stays as it is: systemd expands no variables in
// a program's path nor in path lists (ReadWritePaths=).
std::string QuotedPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

// What keeps systemd from starting a program at `path`, in words; empty when nothing does. It
// takes no quote, backslash or control character in a program's path however it is quoted,
// and a unit file is UTF-8.
std::string UnitPathFlaw(const std::string& path) {
  if (!IsValidUtf8(path)) return "bytes that are not UTF-8";
  for (char c : path) {
    if (c == '"') return "a double quote (\")";
    if (c == '\'') return "a single quote (')";
    if (c == '\\') return "a backslash (\\)";
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", byte);
      return std::string("a control character (") + code + ")";
    }
  }
  return std::string();
}

bool IsUnder(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

// A unit file holds one setting per line: a path with a line break or another control
// character cannot be written into one.
bool FitsUnitFile(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// The unit of an unattended network service. The relay runs as root for ports below 1024 and
// serial devices of any owner, so it is confined instead: it writes only beside its
// executable (the channel file and logs live there) and in /run/lock (serial lock files),
// reaches only serial and pseudo-terminal devices, makes only IPv4 and Unix sockets (the
// notify socket, syslog), and keeps of root's powers only low ports and file access. Home and
// temporary directories are hidden unless the executable lies in one. The watchdog gives the
// 0.8 s heartbeat a dozen beats of slack: the run loop waits for nothing (serial lines are
// written by threads of their own), so a loop that misses 10 s is hung.
std::string UnitText(const ServiceRegistration& service) {
  std::string display = service.display_name.empty() ? service.name : service.display_name;
  const std::string& exe = service.binary_path;
  const std::size_t slash = exe.rfind('/');
  const std::string directory = slash == std::string::npos || slash == 0 ? "/" : exe.substr(0, slash);
  const bool in_home = IsUnder(exe, "/home") || IsUnder(exe, "/root") || IsUnder(exe, "/run/user");
  const bool in_tmp = IsUnder(exe, "/tmp") || IsUnder(exe, "/var/tmp");
  return "[Unit]\n"
         "Description=" + UnitValue(display) + "\n"
         "Documentation=man:tcp_port_serv(8)\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         // ":" keeps variables out of argv[0], which is the path again.
         "ExecStart=" + QuotedPath(":" + exe) + "\n"
         "Restart=on-failure\n"
         "RestartSec=2s\n"
         "WatchdogSec=10s\n"
         "LimitNOFILE=65536\n"
         "NoNewPrivileges=yes\n"
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=" + QuotedPath(directory) + "\n"
         "ReadWritePaths=-/run/lock\n"
         "ProtectHome=" + (in_home ? "read-only" : "yes") + "\n"
         "PrivateTmp=" + (in_tmp ? "no" : "yes") + "\n"
         "DevicePolicy=closed\n"
         "DeviceAllow=char-tty* rw\n"
         "DeviceAllow=char-pts rw\n"
         "DeviceAllow=char-rfcomm rw\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "RestrictAddressFamilies=AF_INET AF_UNIX\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged @resources\n"
         "SystemCallErrorNumber=EPERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

// Runs systemctl with the given arguments and the default signal handling (its own messages
// go to standard error); answers nothing on success, else what failed, in words.
std::string Systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "systemctl");
  std::string command;
  for (const auto& a : arguments) command += (command.empty() ? "" : " ") + a;
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  const sigset_t ignored_here = linux_side::HarmlessSignals();
  posix_spawnattr_setsigdefault(&attributes, &ignored_here);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  int error = posix_spawnp(&child, "systemctl", nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return "\"" + command + "\" could not be run: " + ErrorMessage(error);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return "\"" + command + "\" was lost: " + ErrorMessage(errno);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::string();
  return "\"" + command + "\" failed (" +
         (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                            : "signal " + std::to_string(WTERMSIG(status))) +
         ")";
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::uint32_t LastServiceError() { return last_error; }

std::string ServiceErrorMessage(std::uint32_t code) {
  switch (code) {
    case kErrorInvalidFunction: return "Incorrect function.";
    case kErrorAccessDenied: return "Access is denied.";
    case kErrorInvalidHandle: return "The handle is invalid.";
    case kErrorInvalidParameter: return "The parameter is incorrect.";
    case kErrorServiceDoesNotExist: return "The specified service does not exist as an installed service.";
    case kErrorFailedServiceControllerConnect:
      return "The service process could not connect to the service controller.";
    case kErrorServiceExists: return "The specified service already exists.";
    case kErrorPathNotForUnit:
    case kErrorSystemctlFailed: return last_failure_text;
    default: return ErrorMessage(static_cast<int>(code));
  }
}

void ReserveControlRequests() {
  linux_side::IgnoreHarmlessSignals();
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseControlRequests() {
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void SetConsoleServiceManager(bool on) { console_manager = on; }

std::uint32_t RunServiceDispatcher(const ServiceTableEntry* table) {
  if (!console_manager) {
    const char* notify = std::getenv("NOTIFY_SOCKET");
    if (!notify || !*notify) return Fail(kErrorFailedServiceControllerConnect);
  }
  if (!table || !table[0].name || !table[0].main) return Fail(kErrorInvalidParameter);

  if (!console_manager) {
    // The status reports' socket is made now, while descriptors are surely at hand.
    std::lock_guard<std::mutex> hold(notify_lock);
    NotifySocketLocked();
  }

  // The control signals are taken here and nowhere else (every thread keeps them blocked).
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int signals = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) return Fail(FromErrno(errno));
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    int error = errno;
    ::close(signals);
    return Fail(FromErrno(error));
  }
  {
    std::lock_guard<std::mutex> hold(state_lock);
    dispatcher_wake = wake;
  }

  // The service manager starts the process's (first) service on a thread of its own.
  std::string name = table[0].name;
  ServiceMain service_main = table[0].main;
  char* argv[] = {name.data(), nullptr};
  std::atomic<bool> ended{false};
  std::uint32_t result = 0;
  std::thread entry;
  try {
    entry = std::thread([&] {
      try {
        service_main(1, argv);
      } catch (...) {
        // Nothing may leave a service's entry; the service has ended either way.
      }
      ended = true;
      Wake(wake);
    });
  } catch (const std::system_error& e) {
    result = FromErrno(e.code().value());
  }

  // Control codes that arrive before the service registered its handler are kept for it.
  std::deque<std::uint32_t> pending;
  while (entry.joinable() && !ended) {
    pollfd waits[2] = {{signals, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
    signalfd_siginfo info;
    while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (std::uint32_t code = ControlCodeOf(static_cast<int>(info.ssi_signo))) pending.push_back(code);
    }
    std::uint64_t count;
    while (::read(wake, &count, sizeof count) > 0) {
    }
    if (ControlHandler handler = HandlerOf(name)) {
      while (!pending.empty() && !ended) {
        std::uint32_t code = pending.front();
        pending.pop_front();
        handler(code);
      }
    }
  }
  if (entry.joinable()) entry.join();

  {
    std::lock_guard<std::mutex> hold(state_lock);
    dispatcher_wake = -1;
  }
  ::close(wake);
  ::close(signals);
  return result ? Fail(result) : 0;
}

ServiceStatusHandle RegisterControlHandler(const std::string& service_name, ControlHandler handler) {
  auto registration = std::make_unique<Registration>();
  registration->name = service_name;
  registration->handler = handler;
  auto handle = reinterpret_cast<ServiceStatusHandle>(registration.get());
  std::lock_guard<std::mutex> hold(state_lock);
  registrations.push_back(std::move(registration));
  if (dispatcher_wake >= 0) Wake(dispatcher_wake);  // codes kept for it can go now
  return handle;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == 0) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  const auto* registration = reinterpret_cast<const Registration*>(handle);
  const char* state = StateName(status.current_state);
  if (console_manager) {
    // The terminal shows changes only: the run loop's regular reports would flood it.
    std::string line = registration->name + ": " + state + " (checkpoint " + std::to_string(status.check_point) +
                       ", wait hint " + std::to_string(status.wait_hint) + " ms, controls accepted " +
                       std::to_string(status.controls_accepted) + ExitCodeWords(status) + ")";
    static std::mutex last_lock;
    static std::string last_line;
    std::lock_guard<std::mutex> hold(last_lock);
    if (line != last_line) WriteConsoleLine(line);
    last_line = std::move(line);
    return true;
  }
  const std::string readable = status.status_line.empty() ? std::string(state) : StatusLine(status.status_line);
  std::string text = "STATUS=" + readable + "\n" +
                     "X_STATE=" + std::to_string(status.current_state) + "\n" +
                     "X_CHECKPOINT=" + std::to_string(status.check_point) + "\n" +
                     "X_WAIT_HINT=" + std::to_string(status.wait_hint) + "\n" +
                     "X_CONTROLS_ACCEPTED=" + std::to_string(status.controls_accepted) + "\n";
  if (status.current_state == 4) text += "READY=1\n";
  if (status.current_state == 3) text += "STOPPING=1\n";
  if (status.exit_code != 0) text += "EXIT_STATUS=" + std::to_string(ServiceExitCode(status)) + "\n";
  text += "WATCHDOG=1\n";
  if (std::uint32_t error = Notify(text)) {
    Fail(error);
    return false;
  }
  return true;
}

ServiceManagerHandle OpenServiceManager() {
  const char* chosen = std::getenv("KORVENET_UNIT_DIR");
  bool own_directory = chosen && *chosen;
  std::string directory = own_directory ? chosen : kSystemUnitDirectory;
  struct stat info;
  if (::stat(directory.c_str(), &info) != 0) return Fail(FromErrno(errno)), 0;
  if (!S_ISDIR(info.st_mode)) return Fail(FromErrno(ENOTDIR)), 0;
  if (::access(directory.c_str(), W_OK) != 0) return Fail(FromErrno(errno)), 0;
  auto* manager = new Manager;
  manager->directory = directory;
  manager->use_systemctl = !own_directory && ::access("/run/systemd/system", F_OK) == 0;
  return reinterpret_cast<ServiceManagerHandle>(static_cast<LinkObject*>(manager));
}

ServiceHandle CreateService(ServiceManagerHandle manager_handle, const ServiceRegistration& service,
                            std::uint32_t* /*tag_id: unit files have no load-order tags*/) {
  auto* manager = dynamic_cast<Manager*>(reinterpret_cast<LinkObject*>(manager_handle));
  if (!manager || service.name.empty() || !FitsUnitFile(service.display_name)) return Fail(kErrorInvalidParameter), 0;
  if (std::string flaw = UnitPathFlaw(service.binary_path); !flaw.empty()) {
    return Fail(kErrorPathNotForUnit, "The executable's path holds " + flaw +
                                          ", which systemd does not take in the path of a service's program: "
                                          "move or rename it"),
           0;
  }
  std::string path = manager->directory + "/" + UnitFileName(service.name);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(errno == EEXIST ? kErrorServiceExists : FromErrno(errno)), 0;
  bool written = WriteAll(fd, UnitText(service));
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(path.c_str());
    return Fail(FromErrno(error)), 0;
  }
  if (manager->use_systemctl) {
    bool automatic = service.start_type <= 2;  // boot, system and automatic starts
    std::string failure = Systemctl({"daemon-reload"});
    if (failure.empty() && automatic) failure = Systemctl({"enable", UnitFileName(service.name)});
    if (!failure.empty()) {
      ::unlink(path.c_str());
      Systemctl({"daemon-reload"});
      return Fail(kErrorSystemctlFailed, failure), 0;
    }
  }
  auto* created = new Service;
  created->name = service.name;
  created->unit_path = path;
  created->use_systemctl = manager->use_systemctl;
  return reinterpret_cast<ServiceHandle>(static_cast<LinkObject*>(created));
}

ServiceHandle OpenService(ServiceManagerHandle manager_handle, const std::string& name) {
  auto* manager = dynamic_cast<Manager*>(reinterpret_cast<LinkObject*>(manager_handle));
  if (!manager || name.empty()) return Fail(kErrorInvalidParameter), 0;
  std::string path = manager->directory + "/" + UnitFileName(name);
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    return Fail(errno == ENOENT ? kErrorServiceDoesNotExist : FromErrno(errno)), 0;
  }
  auto* opened = new Service;
  opened->name = name;
  opened->unit_path = path;
  opened->use_systemctl = manager->use_systemctl;
  return reinterpret_cast<ServiceHandle>(static_cast<LinkObject*>(opened));
}

bool DeleteService(ServiceHandle service_handle) {
  auto* service = dynamic_cast<Service*>(reinterpret_cast<LinkObject*>(service_handle));
  if (!service) return Fail(kErrorInvalidHandle), false;
  // A unit that cannot be disabled stays, still enabled: removed, it would leave its links
  // dangling behind. The administrator mends what systemctl says and runs the removal again.
  if (service->use_systemctl) {
    if (std::string failure = Systemctl({"disable", UnitFileName(service->name)}); !failure.empty()) {
      return Fail(kErrorSystemctlFailed, failure), false;
    }
  }
  if (::unlink(service->unit_path.c_str()) != 0) {
    return Fail(errno == ENOENT ? kErrorServiceDoesNotExist : FromErrno(errno)), false;
  }
  if (service->use_systemctl) Systemctl({"daemon-reload"});
  return true;
}

void CloseServiceHandle(std::uintptr_t handle) {
  if (handle == 0) return;
  LinkObject* object = reinterpret_cast<LinkObject*>(handle);
  if (dynamic_cast<Registration*>(object)) return;  // registrations live for the process
  delete object;
}

}  // namespace platform
