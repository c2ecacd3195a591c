#include "service/service_application.h"

#include <atomic>

#include "base/ascii_text.h"
#include "base/warning_routing.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "service/os_error.h"

namespace {

std::atomic<TServiceApplication*> the_service_application{nullptr};

}  // namespace

TServiceApplication* ServiceApplication() { return the_service_application; }

std::string StartedByHandText() {
  const std::string program = platform::ExecutableFileName();
  return program + ": no service manager started this program, so it ends. Run \"" + program +
         " -console\" to relay in the foreground, \"" + program + " -install\" to install the service, \"" +
         program + " -help\" for more.";
}

bool FindCmdLineSwitch(const std::vector<std::string>& arguments, const std::string& name) {
  for (const std::string& argument : arguments) {
    if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) continue;
    if (SameTextIgnoringAsciiCase(argument.substr(1), name)) return true;
  }
  return false;
}

// ---- The dispatcher's table and thread ----

TServiceTableEntryArray::TServiceTableEntryArray(const std::vector<std::string>& names) : names_(names) {
  entries_.assign(names_.size() + 1, platform::ServiceTableEntry{nullptr, nullptr});
  for (std::size_t i = 0; i < names_.size(); ++i) {
    entries_[i].name = names_[i].c_str();
    entries_[i].main = &TServiceApplication::EnterService;
  }
}

TServiceStartThread::TServiceStartThread(std::shared_ptr<TServiceTableEntryArray> table,
                                         platform::WindowHandle quit_to)
    : table_(std::move(table)) {
  thread_ = std::thread([this, quit_to] {
    result_ = platform::RunServiceDispatcher(table_->Entries());
    platform::PostMessageTo(quit_to, platform::kWmQuit, 0, 0);
  });
}

TServiceStartThread::~TServiceStartThread() {
  if (thread_.joinable()) thread_.join();
}

// ---- The service application ----

TServiceApplication::TServiceApplication(TApplication& application)
    : application_(application), event_logger_(platform::ExecutableFileName()) {
  session_hook_ = application_.HookMainWindow(
      [this](const platform::Message& message) { return SessionEndFilter(message); });
  the_service_application = this;
}

TServiceApplication::~TServiceApplication() {
  routing::SetWarningSink(nullptr);
  DestroyModules();
  application_.ClearOnExceptionOf(this);
  application_.UnhookMainWindow(session_hook_);
  if (the_service_application == this) the_service_application = nullptr;
}

TService& TServiceApplication::AddModule(std::unique_ptr<TService> module) {
  if (!module) throw Exception("No service module was created");
  module->SetOwner(this);
  modules_.push_back(std::move(module));
  return *modules_.back();
}

bool TServiceApplication::SessionEndFilter(const platform::Message& message) {
  return message.id == platform::kWmEndSession;
}

void TServiceApplication::LogUnhandled(TObject* /*sender*/, const Exception& e) {
  // What escapes event handlers is caused by events from outside (a peer that resets its
  // connection, a line that fails), which may come at any rate: the entries are limited.
  // The message may carry paths and names from outside.
  event_logger_.WriteLimitedEventLog(platform::Text::FromOutside(e.Message()), 1);
}

void TServiceApplication::DestroyModules() {
  application_.DestroyMultiCaster();
  while (!modules_.empty()) {
    std::unique_ptr<TService> module = std::move(modules_.back());
    modules_.pop_back();
    if (ServiceModule() == module.get()) SetServiceModule(nullptr);
  }
}

bool TServiceApplication::RegisterAll(bool install, bool silent) {
  platform::ServiceManagerHandle manager = platform::OpenServiceManager();
  if (manager == 0) RaiseLastOSError(platform::LastServiceError());
  bool all_done = true;
  try {
    for (auto& module : modules_) {
      try {
        if (install) {
          module->InstallInto(manager);
        } else {
          module->RemoveFrom(manager);
        }
      } catch (const Exception& e) {
        const char* format = install ? "Service \"%s\" failed to install with error: \"%s\""
                                     : "Service \"%s\" failed to uninstall with error: \"%s\"";
        platform::ShowMessageBox("Error", FormatText(format, module->DisplayName().c_str(), e.Message().c_str()),
                                 platform::BoxIcon::kError);
        all_done = false;
      }
    }
    if (all_done && !silent) {
      platform::ShowMessageBox(
          "Information", install ? "Service installed successfully" : "Service uninstalled successfully",
          platform::BoxIcon::kInformation);
    }
  } catch (...) {
    platform::CloseServiceHandle(manager);
    throw;
  }
  platform::CloseServiceHandle(manager);
  return all_done;
}

void TServiceApplication::EnterService(std::uint32_t argc, char** argv) {
  TServiceApplication* self = ServiceApplication();
  if (!self || argc == 0 || !argv || !argv[0]) return;
  for (auto& module : self->modules_) {
    if (SameTextIgnoringAsciiCase(module->Name(), argv[0])) {
      module->ServiceEntry(argc, argv);
      return;
    }
  }
}

int TServiceApplication::Run(const std::vector<std::string>& arguments) {
  const bool install = FindCmdLineSwitch(arguments, "INSTALL");
  if (install || FindCmdLineSwitch(arguments, "UNINSTALL")) {
    // No dispatcher here: an interrupt ends these runs as usual.
    platform::ReleaseControlRequests();
    return RegisterAll(install, FindCmdLineSwitch(arguments, "SILENT")) ? 0 : 1;
  }
  if (FindCmdLineSwitch(arguments, "CONSOLE")) {
    platform::SetConsoleServiceManager(true);
    platform::SetEventEcho(true);
  }
  RunServices();
  // A service that ended on a failure ends the process with its code: a service manager that
  // watches the process (systemd) sees the failure too.
  for (const auto& module : modules_) {
    if (module->EndedOnFailure()) return static_cast<int>(kServiceFailureExitCode);
  }
  return 0;
}

void TServiceApplication::RunServices() {
  application_.SetOnException(TExceptionEvent::Bind(this, &TServiceApplication::LogUnhandled));
  routing::SetWarningSink([this](TObject*, const std::string& text) { event_logger_.WriteEventLog(text, 2, 0, 0); });
  std::vector<std::string> names;
  for (auto& module : modules_) names.push_back(module->Name());
  auto table = std::make_shared<TServiceTableEntryArray>(names);
  std::uint32_t result;
  {
    TServiceStartThread start_thread(table, application_.Handle());
    while (!application_.Terminated()) application_.HandleMessage();
    result = start_thread.DispatcherResult();
    if (result != 0) event_logger_.WriteEventLog(ServiceErrorText(result), 1, 0, 0);
    // Started by hand: the entry alone would leave the person at the terminal guessing.
    if (result == platform::kErrorFailedServiceControllerConnect) {
      platform::WriteConsoleLine(platform::Text::FromOutside(StartedByHandText()));  // names the executable
    }
  }
}
