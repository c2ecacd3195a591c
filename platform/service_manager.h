#pragma once
// The service-manager link: the dispatcher that runs a process's services, their control
// handlers and status reports, and the registration (install, remove) of services.
//
// Codes are the service manager's error codes: 5 access denied, 1060 no such service,
// 1063 no service controller to connect to, 1073 the service exists; other failures carry the
// system's error code, or one of the link's own whose text says what failed (a program's path
// the manager does not take, a manager's command that failed).

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kErrorServiceExists = 1073;
// The exit code of a stopped report that hands over the service's own code.
constexpr std::uint32_t kErrorServiceSpecificError = 1066;

// The error code of the calling thread's last failed call below.
std::uint32_t LastServiceError();
// The text for a code of this link, uncut (the system's text for a system error code; for a
// code of the link's own, the words of the calling thread's last failure with it).
std::string ServiceErrorMessage(std::uint32_t code);

// ---- Running as a service -------------------------------------------------------------------

// A service's entry; argv[0] is the service name.
using ServiceMain = void (*)(std::uint32_t argc, char** argv);
// A service's control handler, called on the dispatcher's thread with one control code.
using ControlHandler = void (*)(std::uint32_t code);

// One entry of the table of the process's services; the table ends with an entry whose two
// fields are null.
struct ServiceTableEntry {
  const char* name;
  ServiceMain main;
};

// Keeps the control requests for the dispatcher. Called first thing in the entry, before any
// thread exists, so that no other thread takes them. Signals that carry no request and would
// end the process (a broken pipe, stray user signals) are made harmless here as well.
void ReserveControlRequests();
// Gives the calling thread back the default handling of control requests (runs that do not
// dispatch, so that an interrupt still ends them).
void ReleaseControlRequests();

// Runs the process's services as the service manager starts them and passes control codes
// to their handlers on the calling thread. Returns 0 once every started service has stopped,
// or an error code at once (1063 when the process was not started by the service manager).
std::uint32_t RunServiceDispatcher(const ServiceTableEntry* table);

// Foreground run: the console plays the service manager (status on the console, interrupt
// and termination requests are stop codes).
void SetConsoleServiceManager(bool on);

using ServiceStatusHandle = std::uintptr_t;  // 0: none

// Registers the control handler of the named service; answers the handle for its status
// reports, or 0 (see LastServiceError). A code that arrived before registration is passed on
// as soon as the handler is registered.
ServiceStatusHandle RegisterControlHandler(const std::string& service_name, ControlHandler handler);

struct ServiceStatus {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;  // 1 stopped .. 7 paused
  std::uint32_t controls_accepted = 0;
  std::uint32_t exit_code = 0;  // kErrorServiceSpecificError: see the next
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;  // milliseconds
  // A readable line for the manager to show (UTF-8); empty: the state's name. Where the manager
  // shows no text (Windows) it is not sent.
  std::string status_line;
};

// The code a report ends the service with (0: none): the service's own code when the exit code
// hands it over, else the exit code.
inline std::uint32_t ServiceExitCode(const ServiceStatus& status) {
  return status.exit_code == kErrorServiceSpecificError ? status.service_specific_exit_code : status.exit_code;
}

// Reports a service's status to the manager; false on failure (see LastServiceError). A
// stopped report with an exit code ends the service on a failure: Windows passes both codes to
// its manager; Linux adds EXIT_STATUS= with ServiceExitCode to the notification. In the
// foreground run the console line gives the code.
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// ---- Registration ---------------------------------------------------------------------------

using ServiceManagerHandle = std::uintptr_t;  // 0: none
using ServiceHandle = std::uintptr_t;         // 0: none

// Opens the service manager for registration; 0 on failure.
ServiceManagerHandle OpenServiceManager();

struct ServiceRegistration {
  std::string name;
  std::string display_name;
  std::uint32_t service_type = 0;
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
  std::string binary_path;   // the executable's full path, unquoted; the link quotes it
  std::string load_order_group;
  std::string dependencies;  // names, each ended by a zero byte, then one more zero byte
  std::string start_name;    // empty: the local system account
  std::string password;
};

// Registers a new service; 0 on failure (1073 when it exists; a program's path that the
// manager cannot start is refused, and nothing is registered). `tag_id` may be null; when
// given, the manager may change it.
ServiceHandle CreateService(ServiceManagerHandle manager, const ServiceRegistration& service,
                            std::uint32_t* tag_id);
// Opens a registered service; 0 on failure (1060 when there is none).
ServiceHandle OpenService(ServiceManagerHandle manager, const std::string& name);
// Removes the registration of an open service; false on failure, which leaves it registered.
bool DeleteService(ServiceHandle service);
// Closes a manager or service handle. 0 is ignored.
void CloseServiceHandle(std::uintptr_t handle);

}  // namespace platform
