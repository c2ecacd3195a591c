// The service object's properties, the values derived from them for the service manager,
// and registration (install, remove).

#include "service/service.h"

#include <atomic>

#include "base/exception.h"
#include "platform/process.h"
#include "service/event_logger.h"
#include "service/os_error.h"
#include "service/service_application.h"
#include "service/service_thread.h"

namespace {

std::atomic<TService*> service_module{nullptr};

// Service types and accepted controls of the service manager.
constexpr std::uint32_t kKernelDriver = 0x1;
constexpr std::uint32_t kFileSystemDriver = 0x2;
constexpr std::uint32_t kWin32OwnProcess = 0x10;
constexpr std::uint32_t kWin32ShareProcess = 0x20;
constexpr std::uint32_t kInteractiveProcess = 0x100;
constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptPauseContinue = 2;
constexpr std::uint32_t kAcceptShutdown = 4;

}  // namespace

void SetServiceModule(TService* module) { service_module = module; }
TService* ServiceModule() { return service_module; }

TService::TService() = default;

TService::~TService() {
  if (service_module == this) service_module = nullptr;
}

void TService::SetInteractive(bool value) {
  interactive_ = value;
  if (value) {
    password_.clear();
    service_start_name_.clear();
  }
}

void TService::SetPassword(std::string value) {
  password_ = std::move(value);
  if (!password_.empty()) interactive_ = false;
}

void TService::SetServiceStartName(std::string value) {
  service_start_name_ = std::move(value);
  if (!service_start_name_.empty()) interactive_ = false;
}

void TService::SetOnStop(TStopEvent slot) {
  on_stop_ = std::move(slot);
  allow_stop_ = true;
}

void TService::SetOnPause(TPauseEvent slot) {
  on_pause_ = std::move(slot);
  allow_pause_ = true;
}

void TService::SetOnContinue(TContinueEvent slot) {
  on_continue_ = std::move(slot);
  allow_pause_ = true;
}

void TService::WriteEventLog(const platform::Text& text, std::uint32_t event_type, std::uint16_t category,
                             std::uint32_t event_id) {
  TEventLogger* logger;
  {
    std::lock_guard<std::mutex> hold(event_logger_lock_);
    if (!event_logger_) event_logger_ = std::make_unique<TEventLogger>(name_);
    logger = event_logger_.get();
  }
  logger->WriteEventLog(text, event_type, category, event_id);
}

void TService::SetRunningStatusLine(std::function<std::string()> line) {
  std::lock_guard<std::mutex> hold(running_line_lock_);
  running_line_ = std::move(line);
}

std::string TService::StatusLineOf(TCurrentStatus status) {
  if (status != csRunning) return std::string();
  std::lock_guard<std::mutex> hold(running_line_lock_);
  return running_line_ ? running_line_() : std::string();
}

std::uint32_t TService::AcceptedControls() const {
  std::uint32_t accepted = kAcceptShutdown;
  if (allow_stop_) accepted |= kAcceptStop;
  if (allow_pause_) accepted |= kAcceptPauseContinue;
  return accepted;
}

std::uint32_t TService::ServiceTypeCode() const {
  switch (service_type_) {
    case stDevice: return kKernelDriver;
    case stFileSystem: return kFileSystemDriver;
    case stWin32: break;
  }
  std::uint32_t code = owner_ && owner_->ModuleCount() > 1 ? kWin32ShareProcess : kWin32OwnProcess;
  if (interactive_) code |= kInteractiveProcess;
  return code;
}

std::uint32_t TService::StartTypeCode() const {
  // Boot and system starts exist for drivers only; other services start automatically.
  if ((start_type_ == stBoot || start_type_ == stSystem) && service_type_ != stDevice) return 2;
  return static_cast<std::uint32_t>(start_type_);
}

std::uint32_t TService::ErrorControlCode() const { return static_cast<std::uint32_t>(error_severity_); }

std::string TService::DependencyList() const {
  std::string list;
  if (dependencies_.Count() == 0) return list;
  for (std::size_t i = 0; i < dependencies_.Count(); ++i) {
    if (dependencies_[i].IsGroup) list += '+';
    list += dependencies_[i].Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

void TService::InstallInto(platform::ServiceManagerHandle manager) {
  if (before_install_) before_install_(this);
  platform::ServiceRegistration registration;
  registration.name = name_;
  registration.display_name = DisplayName();
  registration.service_type = ServiceTypeCode();
  registration.start_type = StartTypeCode();
  registration.error_control = ErrorControlCode();
  registration.binary_path = platform::ExecutablePath();
  registration.load_order_group = load_group_;
  registration.dependencies = DependencyList();
  registration.start_name = service_start_name_;
  registration.password = password_;
  std::uint32_t tag = tag_id_;
  const bool with_tag = static_cast<std::int32_t>(tag_id_) > 0;
  platform::ServiceHandle service = platform::CreateService(manager, registration, with_tag ? &tag : nullptr);
  if (service == 0) RaiseLastOSError(platform::LastServiceError());
  if (with_tag) tag_id_ = tag;
  try {
    if (after_install_) after_install_(this);
  } catch (const Exception&) {
    platform::DeleteService(service);
    platform::CloseServiceHandle(service);
    throw;
  }
  platform::CloseServiceHandle(service);
}

void TService::RemoveFrom(platform::ServiceManagerHandle manager) {
  if (before_uninstall_) before_uninstall_(this);
  platform::ServiceHandle service = platform::OpenService(manager, name_);
  if (service == 0) RaiseLastOSError(platform::LastServiceError());
  bool deleted = platform::DeleteService(service);
  std::uint32_t error = platform::LastServiceError();
  platform::CloseServiceHandle(service);
  if (!deleted) RaiseLastOSError(error);
  if (after_uninstall_) after_uninstall_(this);
}
