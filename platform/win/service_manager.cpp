// The service-manager link on Windows: the service control manager of advapi32. In the
// foreground run the console plays the manager: console control events (Ctrl+C, Ctrl+Break,
// closing the window, log-off, shut-down) become control codes, status changes are printed.

#include "platform/service_manager.h"

#include <array>
#include <atomic>
#include <cctype>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlShutdown = 5;

thread_local std::uint32_t last_error = 0;

std::uint32_t Fail(std::uint32_t code) {
  last_error = code;
  return code;
}

std::uint32_t FailWithLastError() { return Fail(::GetLastError()); }

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// ---- The services of the process, each in a slot of its own ----
//
// The manager calls a service's entry and its control handler as plain stdcall functions
// without a context, so every slot has its own pair of such functions.

constexpr std::size_t kMaxServices = 16;

struct Slot {
  std::string name;  // guarded by SlotLock()
  std::atomic<ServiceMain> main{nullptr};
  std::atomic<ControlHandler> handler{nullptr};
};

// Built on first use and never destroyed: the manager's threads may still call in while the
// process ends.
Slot* Slots() {
  static Slot* slots = new Slot[kMaxServices];
  return slots;
}

std::mutex& SlotLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::size_t slot_count = 0;  // guarded by SlotLock()

template <std::size_t I>
void WINAPI SlotMain(DWORD argc, LPSTR* argv) {
  if (ServiceMain main = Slots()[I].main.load()) {
    try {
      main(argc, argv);
    } catch (...) {
      // Nothing may leave a service's entry into the manager's code; the service has ended.
    }
  }
}

template <std::size_t I>
void WINAPI SlotHandler(DWORD code) {
  if (ControlHandler handler = Slots()[I].handler.load()) {
    try {
      handler(code);
    } catch (...) {
    }
  }
}

template <std::size_t... I>
constexpr std::array<LPSERVICE_MAIN_FUNCTIONA, sizeof...(I)> MainFunctions(std::index_sequence<I...>) {
  return {&SlotMain<I>...};
}

template <std::size_t... I>
constexpr std::array<LPHANDLER_FUNCTION, sizeof...(I)> HandlerFunctions(std::index_sequence<I...>) {
  return {&SlotHandler<I>...};
}

constexpr auto kSlotMains = MainFunctions(std::make_index_sequence<kMaxServices>());
constexpr auto kSlotHandlers = HandlerFunctions(std::make_index_sequence<kMaxServices>());

// The slot of a service of the running table; -1 when the process has no such service.
int SlotOf(const std::string& name) {
  std::lock_guard<std::mutex> hold(SlotLock());
  for (std::size_t i = 0; i < slot_count; ++i) {
    if (SameTextIgnoringCase(Slots()[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

// ---- Registered control handlers ----

struct Registration {
  std::string name;
  SERVICE_STATUS_HANDLE status = nullptr;  // the manager's handle; null in the foreground run
};

std::mutex registrations_lock;
std::vector<std::unique_ptr<Registration>>* registrations = new std::vector<std::unique_ptr<Registration>>;

const char* StateName(std::uint32_t state) {
  static const char* const kNames[] = {"SERVICE_STOPPED",          "SERVICE_START_PENDING",
                                       "SERVICE_STOP_PENDING",     "SERVICE_RUNNING",
                                       "SERVICE_CONTINUE_PENDING", "SERVICE_PAUSE_PENDING",
                                       "SERVICE_PAUSED"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "SERVICE_UNKNOWN";
}

// ", exit code N" for a report that ends the service on a failure; nothing otherwise.
std::string ExitCodeWords(const ServiceStatus& status) {
  return status.exit_code == 0 ? std::string() : ", exit code " + std::to_string(ServiceExitCode(status));
}

// ---- Console control events ----

enum class RunMode { kUndecided, kConsole, kServiceManager };

std::atomic<bool> console_manager{false};
std::atomic<RunMode> run_mode{RunMode::kUndecided};

// Control codes from the console, kept until the foreground run's service takes them.
// Never destroyed: console events arrive on threads of their own, also while the process ends.
struct ConsoleCodes {
  std::mutex lock;
  std::deque<std::uint32_t> pending;
  HANDLE wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
};

ConsoleCodes& Codes() {
  static ConsoleCodes* codes = new ConsoleCodes;
  return *codes;
}

void KeepCode(std::uint32_t code) {
  ConsoleCodes& codes = Codes();
  std::lock_guard<std::mutex> hold(codes.lock);
  codes.pending.push_back(code);
  if (codes.wake) ::SetEvent(codes.wake);
}

BOOL WINAPI ConsoleControl(DWORD event) {
  const bool ends_session = event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  RunMode mode = console_manager ? RunMode::kConsole : run_mode.load();
  if (mode == RunMode::kServiceManager || (mode == RunMode::kUndecided && ends_session)) {
    // A service ignores the session's end here: the manager sends its own shut-down code.
    // Interrupts get the default handling.
    return ends_session ? TRUE : FALSE;
  }
  KeepCode(event == CTRL_SHUTDOWN_EVENT ? kControlShutdown : kControlStop);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Closing the window, log-off and shut-down end the process as soon as this returns: hold
  // it until the stopped service lets the process end by itself (or the system's time-out).
  ::WaitForSingleObject(::GetCurrentProcess(), INFINITE);
  return TRUE;
}

// The foreground run: the process's first service runs on a thread of its own, and this
// thread passes it the codes that the console sends.
std::uint32_t RunConsoleDispatcher(const ServiceTableEntry& service) {
  ConsoleCodes& codes = Codes();
  if (!codes.wake) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  std::string name = service.name;
  char* argv[] = {name.data(), nullptr};
  std::atomic<bool> ended{false};
  std::thread entry;
  try {
    entry = std::thread([&] {
      SlotMain<0>(1, argv);
      ended = true;
      ::SetEvent(codes.wake);
    });
  } catch (const std::system_error&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  while (!ended) {
    ::WaitForSingleObject(codes.wake, INFINITE);
    ControlHandler handler = Slots()[0].handler.load();
    if (!handler) continue;  // codes wait for the handler's registration
    while (!ended) {
      std::uint32_t code;
      {
        std::lock_guard<std::mutex> hold(codes.lock);
        if (codes.pending.empty()) break;
        code = codes.pending.front();
        codes.pending.pop_front();
      }
      handler(code);
    }
  }
  entry.join();
  return 0;
}

// A path as one word of a command line, whatever blanks it holds (a path cannot hold quotes).
std::string QuotedPath(const std::string& path) { return "\"" + path + "\""; }

SC_HANDLE ManagerHandle(std::uintptr_t handle) { return reinterpret_cast<SC_HANDLE>(handle); }

}  // namespace

std::uint32_t LastServiceError() { return last_error; }

// The system's message table text, inserts ignored, default language, at most 256 characters.
// The ANSI call answers in the machine's ANSI code page: on a Windows whose code page is not
// 1251 the text is re-encoded to 1251, the code page of every other text of the system.
std::string ServiceErrorMessage(std::uint32_t code) {
  char buffer[256];
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        0, buffer, sizeof buffer, nullptr);
  if (length == 0 || ::GetACP() == 1251) return std::string(buffer, length);
  wchar_t wide[256];
  const int n = ::MultiByteToWideChar(CP_ACP, 0, buffer, static_cast<int>(length), wide, 256);
  return win_detail::NarrowToCp1251(std::wstring_view(wide, n > 0 ? static_cast<std::size_t>(n) : 0));
}

void ReserveControlRequests() { ::SetConsoleCtrlHandler(&ConsoleControl, TRUE); }

void ReleaseControlRequests() {
  ::SetConsoleCtrlHandler(&ConsoleControl, FALSE);
  ConsoleCodes& codes = Codes();
  std::lock_guard<std::mutex> hold(codes.lock);
  codes.pending.clear();
}

void SetConsoleServiceManager(bool on) { console_manager = on; }

std::uint32_t RunServiceDispatcher(const ServiceTableEntry* table) {
  if (!table || !table[0].name || !table[0].main) return Fail(ERROR_INVALID_PARAMETER);
  std::size_t count = 0;
  while (table[count].name && table[count].main) ++count;
  if (count > kMaxServices) return Fail(ERROR_INVALID_PARAMETER);

  static std::atomic<bool> running{false};
  if (running.exchange(true)) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  {
    std::lock_guard<std::mutex> hold(SlotLock());
    for (std::size_t i = 0; i < count; ++i) {
      Slots()[i].name = table[i].name;
      Slots()[i].main = table[i].main;
      Slots()[i].handler = nullptr;
    }
    slot_count = count;
  }

  std::uint32_t result = 0;
  if (console_manager) {
    run_mode = RunMode::kConsole;
    result = RunConsoleDispatcher(table[0]);
  } else {
    run_mode = RunMode::kServiceManager;
    // The manager's table: the slots' names and entries, ended by an entry of two nulls.
    std::vector<SERVICE_TABLE_ENTRYA> entries(count + 1, SERVICE_TABLE_ENTRYA{nullptr, nullptr});
    {
      std::lock_guard<std::mutex> hold(SlotLock());
      for (std::size_t i = 0; i < count; ++i) {
        entries[i].lpServiceName = Slots()[i].name.data();
        entries[i].lpServiceProc = kSlotMains[i];
      }
    }
    if (!::StartServiceCtrlDispatcherA(entries.data())) result = FailWithLastError();
  }
  running = false;
  return result;
}

ServiceStatusHandle RegisterControlHandler(const std::string& service_name, ControlHandler handler) {
  int slot = SlotOf(service_name);
  if (slot < 0) return Fail(ERROR_SERVICE_NOT_IN_EXE), 0;
  auto registration = std::make_unique<Registration>();
  registration->name = service_name;
  Slots()[slot].handler = handler;
  if (console_manager) {
    // Codes the console sent before the handler existed can go now.
    if (HANDLE wake = Codes().wake) ::SetEvent(wake);
  } else {
    registration->status = ::RegisterServiceCtrlHandlerA(service_name.c_str(), kSlotHandlers[slot]);
    if (!registration->status) return FailWithLastError(), 0;
  }
  auto handle = reinterpret_cast<ServiceStatusHandle>(registration.get());
  std::lock_guard<std::mutex> hold(registrations_lock);
  registrations->push_back(std::move(registration));  // kept for the process's life
  return handle;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == 0) {
    Fail(ERROR_INVALID_HANDLE);
    return false;
  }
  const auto* registration = reinterpret_cast<const Registration*>(handle);
  if (!registration->status) {
    // The console shows changes only: the run loop's regular reports would flood it.
    std::string line = registration->name + ": " + StateName(status.current_state) + " (checkpoint " +
                       std::to_string(status.check_point) + ", wait hint " + std::to_string(status.wait_hint) +
                       " ms, controls accepted " + std::to_string(status.controls_accepted) + ExitCodeWords(status) +
                       ")";
    static std::mutex last_lock;
    static std::string last_line;
    std::lock_guard<std::mutex> hold(last_lock);
    if (line != last_line) WriteConsoleLine(line);
    last_line = std::move(line);
    return true;
  }
  SERVICE_STATUS report{};
  report.dwServiceType = status.service_type;
  report.dwCurrentState = status.current_state;
  report.dwControlsAccepted = status.controls_accepted;
  report.dwWin32ExitCode = status.exit_code;
  report.dwServiceSpecificExitCode = status.service_specific_exit_code;
  report.dwCheckPoint = status.check_point;
  report.dwWaitHint = status.wait_hint;
  if (!::SetServiceStatus(registration->status, &report)) {
    FailWithLastError();
    return false;
  }
  return true;
}

ServiceManagerHandle OpenServiceManager() {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return FailWithLastError(), 0;
  return reinterpret_cast<ServiceManagerHandle>(manager);
}

ServiceHandle CreateService(ServiceManagerHandle manager, const ServiceRegistration& service,
                            std::uint32_t* tag_id) {
  // The path is quoted, so that the manager does not cut a path with blanks into a program
  // and its arguments.
  const std::string command = QuotedPath(service.binary_path);
  DWORD tag = tag_id ? *tag_id : 0;
  const std::string& display_name = service.display_name.empty() ? service.name : service.display_name;
  SC_HANDLE created = ::CreateServiceA(
      ManagerHandle(manager), service.name.c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
      service.service_type, service.start_type, service.error_control, command.c_str(),
      service.load_order_group.c_str(), tag_id ? &tag : nullptr,
      service.dependencies.c_str(),  // the list's own zero bytes end it
      service.start_name.empty() ? nullptr : service.start_name.c_str(), service.password.c_str());
  if (!created) return FailWithLastError(), 0;
  if (tag_id) *tag_id = tag;
  return reinterpret_cast<ServiceHandle>(created);
}

ServiceHandle OpenService(ServiceManagerHandle manager, const std::string& name) {
  SC_HANDLE opened = ::OpenServiceA(ManagerHandle(manager), name.c_str(), SERVICE_ALL_ACCESS);
  if (!opened) return FailWithLastError(), 0;
  return reinterpret_cast<ServiceHandle>(opened);
}

bool DeleteService(ServiceHandle service) {
  if (!::DeleteService(ManagerHandle(service))) {
    FailWithLastError();
    return false;
  }
  return true;
}

void CloseServiceHandle(std::uintptr_t handle) {
  if (handle == 0) return;
  ::CloseServiceHandle(ManagerHandle(handle));
}

}  // namespace platform
