#pragma once
// The service application: owns the service modules, installs and removes them, and runs
// them under the service manager's dispatcher while the main thread runs its message loop.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/tobject.h"
#include "platform/service_manager.h"
#include "service/application.h"
#include "service/event_logger.h"
#include "service/service.h"

// The table handed to the dispatcher: one entry per module (its name and EnterService), then
// an entry of two nulls. Holds the names it points to.
class TServiceTableEntryArray {
 public:
  explicit TServiceTableEntryArray(const std::vector<std::string>& names);
  const platform::ServiceTableEntry* Entries() const { return entries_.data(); }

 private:
  std::vector<std::string> names_;
  std::vector<platform::ServiceTableEntry> entries_;
};

// Runs the dispatcher on a thread of its own; when it returns, posts the quit message to the
// application window.
class TServiceStartThread {
 public:
  TServiceStartThread(std::shared_ptr<TServiceTableEntryArray> table, platform::WindowHandle quit_to);
  ~TServiceStartThread();  // waits until the body has ended
  TServiceStartThread(const TServiceStartThread&) = delete;
  TServiceStartThread& operator=(const TServiceStartThread&) = delete;

  // 0, or the dispatcher's error code; read after the quit message was seen.
  std::uint32_t DispatcherResult() const { return result_; }

 private:
  std::shared_ptr<TServiceTableEntryArray> table_;
  std::atomic<std::uint32_t> result_{0};
  std::thread thread_;
};

class TServiceApplication : public TObject {
 public:
  // Creates the event logger (source: the executable's file name) and hooks the application
  // window so that the end of a session does not end the process.
  explicit TServiceApplication(TApplication& application);
  ~TServiceApplication() override;

  const std::string& Title() const { return title_; }
  void SetTitle(std::string title) { title_ = std::move(title); }
  TEventLogger& EventLogger() { return event_logger_; }

  // Takes ownership of a service module (components in creation order).
  TService& AddModule(std::unique_ptr<TService> module);
  std::size_t ModuleCount() const { return modules_.size(); }
  TService& Module(std::size_t index) const { return *modules_.at(index); }

  // Installs (or removes) every module; error boxes for failures, an information box on
  // success unless silent. Answers false when any module failed.
  bool RegisterAll(bool install, bool silent);

  // The run step: install, uninstall or the service run, chosen by the arguments after the
  // program name. Answers the process's exit code: 1 for a failed install or uninstall, and
  // for a service run whose service ended on a failure; else 0.
  int Run(const std::vector<std::string>& arguments);

  // The entry of every service in the dispatcher's table.
  static void EnterService(std::uint32_t argc, char** argv);

  // The exception handler of the service run: the message goes to the event log, limited per
  // kind (these come from events outside parties cause). The service run also sends warnings
  // (base/warning_routing.h) to the event log, as warning entries.
  void LogUnhandled(TObject* sender, const Exception& e);
  // Answers true (handled) for the end-of-session message.
  bool SessionEndFilter(const platform::Message& message);

  // Destroys the application's components (the events dispatcher), then the modules.
  void DestroyModules();

 private:
  void RunServices();

  TApplication& application_;
  std::string title_;
  TEventLogger event_logger_;
  int session_hook_ = 0;
  std::vector<std::unique_ptr<TService>> modules_;
};

// The process's service application; null when there is none.
TServiceApplication* ServiceApplication();

// What a start by hand, outside a service manager, says on the console.
std::string StartedByHandText();

// True when an argument after the program name is "-" or "/" followed by `name`, letter case
// ignored.
bool FindCmdLineSwitch(const std::vector<std::string>& arguments, const std::string& name);
