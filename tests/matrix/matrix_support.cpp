#include "tests/matrix/matrix_support.h"

#include "tests/support/linux/port_claim.h"
#include "tests/support/stream_sync.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>

extern char** environ;

namespace matrix {

// ---- Scale

double Scale() {
  if (const char* text = std::getenv("KORVENET_MATRIX_SCALE")) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end != text && value > 0) return value;
  }
  return 1.0;
}

int Scaled(int n, int minimum) { return std::max(minimum, static_cast<int>(n * Scale())); }

// ---- Ports and limits

namespace {

bool BindableOnAllAddresses(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

// The matrix's ports lie below the kernel's ephemeral range (32768 and up here): the relays'
// listening ports in one part, the local ports of its clients in another. Its thousands of
// connections so take no ephemeral port, which another test running beside it may have just
// chosen for a relay of its own to listen on; and none of its listening ports can be taken by
// an outgoing connection before the relay binds it.
constexpr int kListenFirst = 20000, kListenLast = 25999;
constexpr int kClientFirst = 26000, kClientLast = 32699;

// A start that differs from process to process, so that test processes running side by side
// seldom try the same ports.
int RandomIn(int first, int last) {
  std::random_device seed;
  return first + static_cast<int>(seed() % static_cast<unsigned>(last - first + 1));
}

// The claims of TakePort, guarded by its lock.
std::vector<int>& Claims() {
  static std::vector<int> claims;
  return claims;
}
std::mutex claims_lock;

// Claims `port` for this process among the matrix's processes (ctest runs several at once):
// an abstract Unix socket named after the port, held until ReleasePorts or the end of the
// process, which releases it however it ends.
bool ClaimForThisProcess(int port) {
  const int fd = test::ClaimPort("matrix", port);
  if (fd < 0) return false;
  Claims().push_back(fd);
  return true;
}

int TakePort() {
  static int next = RandomIn(kListenFirst, kListenLast);
  std::lock_guard<std::mutex> hold(claims_lock);
  for (int tries = 0; tries <= kListenLast - kListenFirst; ++tries) {
    int port = next;
    next = next == kListenLast ? kListenFirst : next + 1;
    if (BindableOnAllAddresses(port) && ClaimForThisProcess(port)) return port;
  }
  return 0;
}

void ReleasePorts() {
  std::lock_guard<std::mutex> hold(claims_lock);
  for (int fd : Claims()) ::close(fd);
  Claims().clear();
}

int ConnectFromOwnPort(int port, bool blocking, int receive_buffer) {
  static std::atomic<unsigned> next{static_cast<unsigned>(RandomIn(kClientFirst, kClientLast))};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A local port still bound elsewhere, or whose last connection to the same place is still
  // closing, is refused: the next one is tried.
  for (int tries = 0; tries < 64; ++tries) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(static_cast<std::uint16_t>(kClientFirst + next++ % (kClientLast - kClientFirst + 1)));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 || (!blocking && errno == EINPROGRESS))) {
      return fd;
    }
    const int error = errno;
    ::close(fd);
    if (error != EADDRINUSE && error != EADDRNOTAVAIL) return -1;
  }
  return -1;
}

void RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

// ---- Peer

bool Peer::Connect(int port, int receive_buffer) {
  Close();
  fd_ = ConnectFromOwnPort(port, true, receive_buffer);
  if (fd_ < 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

int Peer::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool Peer::SendAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Peer::Receive(std::size_t count, milliseconds timeout) {
  std::string out;
  const auto end = Clock::now() + timeout;
  char buffer[65536];
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string Peer::ReceiveSome(milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::string();
  char buffer[65536];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string Peer::ReceiveUntilClosed(bool& closed, milliseconds timeout) {
  std::string out;
  closed = false;
  const auto end = Clock::now() + timeout;
  char buffer[65536];
  while (true) {
    auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed = true;
      break;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool Peer::ClosedByPeer(milliseconds timeout) {
  bool closed = false;
  ReceiveUntilClosed(closed, timeout);
  return closed;
}

bool Peer::NothingWithin(milliseconds quiet) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return true;
  char c;
  return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void Peer::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Peer::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void Peer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Sync(const std::function<bool(const std::string&)>& send, const std::vector<Peer*>& to) {
  return test::SyncStreams(send, to, kDeadline);
}

bool Sync(Peer& from, const std::vector<Peer*>& to) {
  return Sync([&](const std::string& bytes) { return from.SendAll(bytes); }, to);
}

// ---- Serial line

SerialLine::SerialLine() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) == 0) name_ = name;
}

bool SerialLine::Write(const std::string& bytes, milliseconds timeout) {
  std::size_t done = 0;
  const auto end = Clock::now() + timeout;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (Clock::now() > end) return false;
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, 50);
  }
  return true;
}

std::string SerialLine::Read(std::size_t count, milliseconds timeout) {
  std::string out;
  const auto end = Clock::now() + timeout;
  char buffer[4096];
  while (out.size() < count && Clock::now() < end) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string SerialLine::ReadSome(milliseconds timeout) {
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::string();
  char buffer[4096];
  ssize_t n = ::read(master_, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void SerialLine::CloseFarEnd() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

std::string TcpChannel(int device_port, int server_port, const std::string& label) {
  return std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";" + label + "\r\n";
}

std::string SerialChannel(int device_port, const std::string& line, const std::string& label) {
  return std::to_string(device_port) + ";0;1;" + line + ";" + label + "\r\n";
}

// ---- Datagram sink

DatagramSink::DatagramSink(std::string path, bool read) : path_(std::move(path)) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  ::unlink(path_.c_str());
  ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (read) StartReading();
}

DatagramSink::~DatagramSink() {
  StopReading();
  ::close(fd_);
}

void DatagramSink::StartReading() {
  if (reader_.joinable()) return;
  stop_ = false;
  reader_ = std::thread([this] { ReadLoop(); });
}

void DatagramSink::StopReading() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
}

void DatagramSink::ReadLoop() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) Drain();
  }
}

void DatagramSink::Drain() {
  // Received under the lock, so that datagrams keep their order whoever takes them.
  std::lock_guard<std::mutex> hold(lock_);
  std::string buffer(65536, '\0');
  ssize_t n;
  bool any = false;
  while ((n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0) {
    datagrams_.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    any = true;
  }
  if (any) arrived_.notify_all();
}

std::size_t DatagramSink::Count() {
  std::lock_guard<std::mutex> hold(lock_);
  return datagrams_.size();
}

std::vector<std::string> DatagramSink::Datagrams() {
  std::lock_guard<std::mutex> hold(lock_);
  return datagrams_;
}

std::optional<std::size_t> DatagramSink::WaitFor(const std::function<bool(const std::string&)>& match,
                                                 std::size_t from, milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  const auto end = Clock::now() + timeout;
  std::size_t i = from;
  while (true) {
    for (; i < datagrams_.size(); ++i) {
      if (match(datagrams_[i])) return i;
    }
    if (arrived_.wait_until(hold, end) == std::cv_status::timeout && i == datagrams_.size()) return std::nullopt;
  }
}

// ---- Process measurements

namespace {

int EntriesIn(const std::string& directory) {
  std::error_code error;
  std::filesystem::directory_iterator entries(directory, error);
  if (error) return -1;
  return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator()));
}

}  // namespace

// What each descriptor of a process refers to, for a failure's message.
std::string DescriptorsOf(pid_t pid) {
  std::string out;
  std::error_code error;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  for (auto it = std::filesystem::directory_iterator(directory, error); !error && it != std::filesystem::directory_iterator();
       it.increment(error)) {
    std::error_code ignored;
    out += it->path().filename().string() + "->" + std::filesystem::read_symlink(it->path(), ignored).string() + " ";
  }
  return out;
}

Resources ResourcesOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return Resources{EntriesIn(proc + "/fd"), EntriesIn(proc + "/task")};
}

double CpuSecondsOf(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 3; i <= 13; ++i) fields >> skip;  // fields 3..13
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// ---- Installation

Installation::Installation(const std::filesystem::path& directory) : directory_(directory) {
  std::filesystem::create_directories(directory_);
  executable_ = (directory_ / "tcp_port_serv").string();
  // KORVENET_MATRIX_EXE runs the matrix against another build of the relay.
  const char* other = std::getenv("KORVENET_MATRIX_EXE");
  std::filesystem::copy_file(other && *other ? other : KORVENET_EXE, executable_,
                             std::filesystem::copy_options::overwrite_existing);
}

void Installation::WriteChannels(const std::string& channel_file) const {
  WriteFile(file("cnf_port.cfg"), channel_file);
}

std::vector<std::string> Installation::ServiceLogTexts() const {
  std::vector<std::string> texts;
  const std::string log = ReadFile(file("log_service.txt"));
  auto digits = [](const std::string& s, std::size_t at, std::size_t n) {
    if (at + n > s.size()) return false;
    for (std::size_t i = at; i < at + n; ++i)
      if (s[i] < '0' || s[i] > '9') return false;
    return true;
  };
  std::size_t start = 0;
  for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    // "mm/dd/yy", then " hh:mm:ss" unless it is midnight, then a blank.
    const bool date = digits(line, 0, 2) && line.size() > 8 && line[2] == '/' && digits(line, 3, 2) &&
                      line[5] == '/' && digits(line, 6, 2) && line[8] == ' ';
    const bool time = date && line.size() > 17 && digits(line, 9, 2) && line[11] == ':' && digits(line, 12, 2) &&
                      line[14] == ':' && digits(line, 15, 2) && line[17] == ' ';
    if (time) {
      texts.push_back(line.substr(18));
    } else if (date) {
      texts.push_back(line.substr(9));
    } else {
      texts.push_back("?" + line);
    }
  }
  if (start != log.size()) texts.push_back("?" + log.substr(start));  // a line without its end
  return texts;
}

// ---- Relay run

RelayRun::RelayRun(const Installation& installation, const std::string& name, LaunchOptions options)
    : installation_(installation) {
  // The sockets lie outside the installation, so that a directory made read-only keeps them.
  const std::filesystem::path sockets = installation.directory().parent_path();
  notify_ = std::make_unique<DatagramSink>((sockets / (name + ".notify")).string(), true);
  event_log_ = std::make_unique<DatagramSink>((sockets / (name + ".log")).string(), options.read_event_log);
  event_log_reading_ = options.read_event_log;
  stderr_path_ = (sockets / (name + ".stderr")).string();

  // Everything the child needs is made before the fork: after it only async-signal-safe calls.
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) environment[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  environment["NOTIFY_SOCKET"] = notify_->path();
  environment["KORVENET_EVENTLOG"] = event_log_->path();
  environment["LC_ALL"] = "C";
  for (auto& [key, value] : options.environment) environment[key] = value;
  std::vector<std::string> env_strings, arg_strings{installation.executable()};
  for (auto& [key, value] : environment) env_strings.push_back(key + "=" + value);
  arg_strings.insert(arg_strings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv, envp;
  for (auto& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string directory = installation.directory().string();
  const std::string executable = installation.executable();
  if (options.user) {
    std::error_code ignored;
    std::filesystem::permissions(sockets, std::filesystem::perms::all, std::filesystem::perm_options::add, ignored);
    ::chmod(notify_->path().c_str(), 0777);
    ::chmod(event_log_->path().c_str(), 0777);
    ::chown(sockets.c_str(), *options.user, static_cast<gid_t>(-1));
  }

  pid_ = ::fork();
  if (pid_ != 0) return;
  // The child.
  int in = ::open("/dev/null", O_RDONLY);
  int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  int out = ::open("/dev/null", O_WRONLY);
  if (in < 0 || err < 0 || out < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  // Nothing of the test's (its peers' sockets above all) may stay open in the relay.
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
    for (int fd = 3; fd < 65536; ++fd) ::close(fd);
  }
  if (::chdir(directory.c_str()) != 0) ::_exit(127);
  if (options.file_limit) {
    rlimit limit{*options.file_limit, *options.file_limit};
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (options.user) {
    ::setgroups(0, nullptr);
    if (::setgid(static_cast<gid_t>(*options.user)) != 0 || ::setuid(*options.user) != 0) ::_exit(127);
  }
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int number : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGPWR, SIGQUIT, SIGUSR1, SIGUSR2}) {
    ::sigaction(number, &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(executable.c_str(), argv.data(), envp.data());
  ::_exit(127);
}

RelayRun::~RelayRun() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
}

bool RelayRun::WaitForState(const std::string& state, milliseconds timeout) {
  return notify_
      ->WaitFor([&](const std::string& datagram) { return ParseNotify(datagram)["X_STATE"] == state; }, 0, timeout)
      .has_value();
}

std::vector<std::string> RelayRun::States() {
  std::vector<std::string> states;
  for (const std::string& datagram : notify_->Datagrams()) {
    auto fields = ParseNotify(datagram);
    if (fields.count("X_STATE")) states.push_back(fields["X_STATE"]);
  }
  return states;
}

void RelayRun::Signal(int number) const {
  if (pid_ > 0 && !exited_) ::kill(pid_, number);
}

bool RelayRun::WaitExit(milliseconds timeout) {
  if (pid_ <= 0) return false;
  const bool ended = WaitUntil(
      [&] {
        if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_;
      },
      timeout);
  // Everything the process sent is in the sockets now.
  if (ended) {
    notify_->Drain();
    if (event_log_reading_) event_log_->Drain();
  }
  return ended;
}

std::string RelayRun::Stderr() const { return ReadFile(stderr_path_); }

void RelayRun::TakeBaseline() {
  baseline_ = ResourcesOf(pid_);
  baseline_descriptors_ = DescriptorsOf(pid_);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
    Resources now = ResourcesOf(pid_);
    baseline_.descriptors = std::min(baseline_.descriptors, now.descriptors);
    baseline_.threads = std::min(baseline_.threads, now.threads);
  }
}

::testing::AssertionResult RelayRun::BackToBaseline(milliseconds timeout) {
  Resources now;
  bool back = WaitUntil(
      [&] {
        now = ResourcesOf(pid_);
        return now.descriptors <= baseline_.descriptors && now.threads <= baseline_.threads;
      },
      timeout);
  if (back) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << now.descriptors << " descriptors and " << now.threads
                                       << " threads, against a baseline of " << baseline_.descriptors << " and "
                                       << baseline_.threads << "\nnow: " << DescriptorsOf(pid_)
                                       << "\nat the baseline: " << baseline_descriptors_;
}

::testing::AssertionResult RelayRun::StopCleanly(milliseconds timeout) {
  Signal(SIGTERM);
  if (!WaitForState("1", timeout)) return ::testing::AssertionFailure() << "no stopped report after SIGTERM";
  if (!WaitExit(timeout)) return ::testing::AssertionFailure() << "still running after its stopped report";
  return ExitedCleanly();
}

::testing::AssertionResult RelayRun::ExitedCleanly() const {
  if (!exited_) return ::testing::AssertionFailure() << "the relay has not exited";
  const std::string err = Stderr();
  if (auto report = SanitizerReport(err)) return ::testing::AssertionFailure() << "sanitizer report:\n" << *report;
  if (!WIFEXITED(status_)) {
    return ::testing::AssertionFailure() << "ended by signal " << (WIFSIGNALED(status_) ? WTERMSIG(status_) : -1)
                                         << "; standard error:\n"
                                         << err.substr(0, 4000);
  }
  if (WEXITSTATUS(status_) != 0) {
    return ::testing::AssertionFailure() << "exit code " << WEXITSTATUS(status_) << "; standard error:\n"
                                         << err.substr(0, 4000);
  }
  return ::testing::AssertionSuccess();
}

std::optional<std::string> SanitizerReport(const std::string& text) {
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                             "ThreadSanitizer:", "runtime error:", "UndefinedBehaviorSanitizer"}) {
    std::size_t at = text.find(marker);
    if (at != std::string::npos) return text.substr(at > 200 ? at - 200 : 0, 6000);
  }
  return std::nullopt;
}

// ---- Heartbeat

Heartbeat::Heartbeat(int device_port, int server_port) {
  if (!device_.Connect(device_port) || !server_.Connect(server_port)) return;
  if (!Sync(device_, {&server_}) || !Sync(server_, {&device_})) return;
  started_ = true;
  thread_ = std::thread([this] { Beat(); });
}

Heartbeat::~Heartbeat() { End(); }

void Heartbeat::Beat() {
  for (int round = 0; !stop_; ++round) {
    char text[32];
    std::snprintf(text, sizeof text, "beat %010d\n", round);
    const std::string message = text;
    const auto sent = Clock::now();
    std::string failure;
    if (!device_.SendAll(message)) {
      failure = "the device could not send";
    } else if (std::string got = server_.Receive(message.size()); got != message) {
      failure = "the server received \"" + got + "\" for \"" + message + "\"";
    } else if (!server_.SendAll(message)) {
      failure = "the server could not send";
    } else if (std::string back = device_.Receive(message.size()); back != message) {
      failure = "the device received \"" + back + "\" for \"" + message + "\"";
    }
    if (!failure.empty()) {
      std::lock_guard<std::mutex> hold(lock_);
      failure_ = "round " + std::to_string(round) + ": " + failure;
      return;
    }
    long took = static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - sent).count());
    if (took > slowest_ms_) slowest_ms_ = took;
    ++rounds_;
    // Paces the beats, so the heartbeat costs the relay little.
    std::this_thread::sleep_for(milliseconds(10));
  }
}

void Heartbeat::Mark() { marked_ = rounds_.load(); }

::testing::AssertionResult Heartbeat::Healthy(int min_rounds) {
  if (!started_) return ::testing::AssertionFailure() << "the heartbeat's pair was never joined";
  auto failed = [&] {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
  };
  WaitUntil([&] { return !failed().empty() || rounds_ - marked_ >= min_rounds || stop_; });
  if (std::string failure = failed(); !failure.empty()) return ::testing::AssertionFailure() << failure;
  if (rounds_ - marked_ < min_rounds) {
    return ::testing::AssertionFailure() << "only " << rounds_ - marked_ << " rounds since the mark";
  }
  if (Slowest() > kHeartbeatBound) {
    return ::testing::AssertionFailure() << "a round trip took " << Slowest().count() << " ms";
  }
  return ::testing::AssertionSuccess();
}

void Heartbeat::End() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace matrix
