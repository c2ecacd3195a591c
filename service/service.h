#pragma once
// The service object: registration properties, status reports to the service manager, and the
// service thread on which the module's callbacks (OnStart, OnExecute, OnStop, ...) run.
// Control codes arrive on the dispatcher's thread and reach the service thread as thread
// messages, handled whenever the module pumps its queue with PumpRequests.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/event_slot.h"
#include "base/tobject.h"
#include "platform/messages.h"
#include "platform/service_manager.h"
#include "platform/text.h"

class TEventLogger;
class TServiceApplication;
class TServiceThread;
class TService;

enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// The service's status; each value is the service manager's state of the same meaning.
enum TCurrentStatus : std::uint32_t {
  csStopped = 1,
  csStartPending = 2,
  csStopPending = 3,
  csRunning = 4,
  csContinuePending = 5,
  csPausePending = 6,
  csPaused = 7,
};

// Control codes of the service manager.
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlPause = 2;
constexpr std::uint32_t kControlContinue = 3;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;

// The code of a service that ended on a failure: the service-specific exit code of its stopped
// report, and the exit code of the process.
constexpr std::uint32_t kServiceFailureExitCode = 1;

// The thread message that carries a control code (first parameter) to the service thread.
constexpr std::uint32_t ControlCodeMessage = platform::kWmUser + 1;

using TServiceEvent = EventSlot<TService*>;
using TStartEvent = EventSlot<TService*, bool&>;
using TStopEvent = EventSlot<TService*, bool&>;
using TPauseEvent = EventSlot<TService*, bool&>;
using TContinueEvent = EventSlot<TService*, bool&>;

// A service or a load-order group (IsGroup) that the service depends on.
struct TDependency {
  std::string Name;
  bool IsGroup = false;
};

class TDependencies {
 public:
  TDependency& Add(std::string name = std::string(), bool is_group = false) {
    items_.push_back(TDependency{std::move(name), is_group});
    return items_.back();
  }
  std::size_t Count() const { return items_.size(); }
  TDependency& operator[](std::size_t index) { return items_.at(index); }
  const TDependency& operator[](std::size_t index) const { return items_.at(index); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TDependency> items_;
};

class TService : public TObject {
 public:
  TService();
  ~TService() override;

  // The component name, which is the service name.
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // ---- Registration and behaviour properties ----
  bool AllowStop() const { return allow_stop_; }
  void SetAllowStop(bool value) { allow_stop_ = value; }
  bool AllowPause() const { return allow_pause_; }
  void SetAllowPause(bool value) { allow_pause_ = value; }
  TDependencies& Dependencies() { return dependencies_; }
  const TDependencies& Dependencies() const { return dependencies_; }
  // Reads as Name while empty.
  std::string DisplayName() const { return display_name_.empty() ? name_ : display_name_; }
  void SetDisplayName(std::string value) { display_name_ = std::move(value); }
  TErrorSeverity ErrorSeverity() const { return error_severity_; }
  void SetErrorSeverity(TErrorSeverity value) { error_severity_ = value; }
  bool Interactive() const { return interactive_; }
  void SetInteractive(bool value);  // true clears Password and ServiceStartName
  const std::string& LoadGroup() const { return load_group_; }
  void SetLoadGroup(std::string value) { load_group_ = std::move(value); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value);  // non-empty clears Interactive
  const std::string& ServiceStartName() const { return service_start_name_; }
  void SetServiceStartName(std::string value);  // non-empty clears Interactive
  TServiceType ServiceType() const { return service_type_; }
  void SetServiceType(TServiceType value) { service_type_ = value; }
  TStartType StartType() const { return start_type_; }
  void SetStartType(TStartType value) { start_type_ = value; }
  std::uint32_t TagID() const { return tag_id_; }
  void SetTagID(std::uint32_t value) { tag_id_ = value; }
  std::uint32_t WaitHint() const { return wait_hint_; }
  void SetWaitHint(std::uint32_t value) { wait_hint_ = value; }

  // ---- Events ----
  const TServiceEvent& BeforeInstall() const { return before_install_; }
  void SetBeforeInstall(TServiceEvent slot) { before_install_ = std::move(slot); }
  const TServiceEvent& AfterInstall() const { return after_install_; }
  void SetAfterInstall(TServiceEvent slot) { after_install_ = std::move(slot); }
  const TServiceEvent& BeforeUninstall() const { return before_uninstall_; }
  void SetBeforeUninstall(TServiceEvent slot) { before_uninstall_ = std::move(slot); }
  const TServiceEvent& AfterUninstall() const { return after_uninstall_; }
  void SetAfterUninstall(TServiceEvent slot) { after_uninstall_ = std::move(slot); }
  const TStartEvent& OnStart() const { return on_start_; }
  void SetOnStart(TStartEvent slot) { on_start_ = std::move(slot); }
  const TServiceEvent& OnExecute() const { return on_execute_; }
  void SetOnExecute(TServiceEvent slot) { on_execute_ = std::move(slot); }
  const TStopEvent& OnStop() const { return on_stop_; }
  void SetOnStop(TStopEvent slot);  // also sets AllowStop
  const TPauseEvent& OnPause() const { return on_pause_; }
  void SetOnPause(TPauseEvent slot);  // also sets AllowPause
  const TContinueEvent& OnContinue() const { return on_continue_; }
  void SetOnContinue(TContinueEvent slot);  // also sets AllowPause
  const TServiceEvent& OnShutdown() const { return on_shutdown_; }
  void SetOnShutdown(TServiceEvent slot) { on_shutdown_ = std::move(slot); }

  // ---- Running ----
  TCurrentStatus Status() const { return status_; }
  // Stores the status and reports it at once.
  void SetStatus(TCurrentStatus status);
  // Reports the current status to the service manager.
  void SendStatus();
  // The readable line of the reports while running, in place of the state's name (the service
  // manager shows it): `line` is asked, on the thread that reports, for each such report; an
  // empty function gives the state's name back. Any thread.
  void SetRunningStatusLine(std::function<std::string()> line);
  // The readable line of a report of `status`: the running line while running, when one is
  // set; else empty, which stands for the state's name.
  std::string StatusLineOf(TCurrentStatus status);
  // Handles waiting control codes and window messages of the service thread. Without `wait`
  // it drains the queue and returns; with it, it waits for messages until a stop has been
  // requested (or the quit message arrives).
  void PumpRequests(bool wait);
  // Like PumpRequests(false), within a budget: after each message it goes on only while fewer
  // than `max_messages` were handled and `in_time()` answers true. So a caller that must keep
  // a beat gets control back even while messages never stop coming; what is left waits, in
  // its order, for the next call.
  void PumpRequestsWithin(int max_messages, const std::function<bool()>& in_time);
  // True while the service thread exists and has been asked to stop.
  bool StopRequested() const;
  // True when the service's last run ended on a failure (its start or its run raised) rather
  // than on a stop or shutdown; its stopped report then carries kServiceFailureExitCode. Any
  // thread.
  bool EndedOnFailure() const { return ended_on_failure_; }
  // One entry in the event log under the service's Name; any thread.
  void WriteEventLog(const platform::Text& text, std::uint32_t event_type = 1, std::uint16_t category = 0,
                     std::uint32_t event_id = 0);
  // The arguments the service was started with, its name first.
  const std::vector<std::string>& StartArguments() const { return start_arguments_; }

  // The service manager's entry for this service (on the thread the manager provides).
  void ServiceEntry(std::uint32_t argc, char** argv);
  // Hands a control code to the service thread (from the dispatcher's thread). A code that
  // comes before the service thread can take it is kept until it can; none is lost.
  void PostControlCode(std::uint32_t code);

  // ---- Values for the service manager ----
  std::uint32_t AcceptedControls() const;
  std::uint32_t ServiceTypeCode() const;
  std::uint32_t StartTypeCode() const;
  std::uint32_t ErrorControlCode() const;
  // Each dependency as ["+"] name and a zero byte, then one more zero byte; empty when none.
  std::string DependencyList() const;

  // Registration with an open service manager (install and uninstall runs).
  void InstallInto(platform::ServiceManagerHandle manager);
  void RemoveFrom(platform::ServiceManagerHandle manager);

  // The service application that owns the module, or null.
  TServiceApplication* Owner() const { return owner_; }
  void SetOwner(TServiceApplication* owner) { owner_ = owner; }

 protected:
  virtual void RunServiceThread();
  virtual bool HandleStop();
  virtual bool HandlePause();
  virtual bool HandleContinue();
  virtual bool HandleInterrogate();
  virtual bool HandleShutdown();
  virtual bool HandleCustomCode(std::uint32_t code);
  // The control handler registered with the service manager; the default posts every code to
  // the process's service module (see SetServiceModule).
  virtual platform::ControlHandler GetControlCallback();

 private:
  friend class TServiceThread;

  // The service thread's body (runs on the service thread).
  void ServiceThreadBody();
  void OpenControlQueue();
  void CloseControlQueue();
  // Handles one message of the service thread's queue: a control code, or a dispatch.
  void HandleRequest(const platform::Message& message);
  bool HandleControlCode(std::uint32_t code);
  void LogFailure(const char* word, const std::string& message);

  std::string name_;
  bool allow_stop_ = true;
  bool allow_pause_ = true;
  TDependencies dependencies_;
  std::string display_name_;
  TErrorSeverity error_severity_ = esNormal;
  bool interactive_ = false;
  std::string load_group_;
  std::string password_;
  std::string service_start_name_;
  TServiceType service_type_ = stWin32;
  TStartType start_type_ = stAuto;
  std::uint32_t tag_id_ = 0;
  std::uint32_t wait_hint_ = 5000;

  TServiceEvent before_install_, after_install_, before_uninstall_, after_uninstall_;
  TStartEvent on_start_;
  TServiceEvent on_execute_;
  TStopEvent on_stop_;
  TPauseEvent on_pause_;
  TContinueEvent on_continue_;
  TServiceEvent on_shutdown_;

  TServiceApplication* owner_ = nullptr;
  std::vector<std::string> start_arguments_;
  std::mutex event_logger_lock_;  // the logger is created by the first thread that writes
  std::unique_ptr<TEventLogger> event_logger_;
  platform::ServiceStatusHandle status_handle_ = 0;

  // Status reports: written by the service entry thread only while no service thread exists.
  std::atomic<TCurrentStatus> status_{csStopped};
  TCurrentStatus last_status_sent_ = csStartPending;
  std::uint32_t check_point_ = 0;
  std::atomic<bool> ended_on_failure_{false};
  std::mutex running_line_lock_;  // held while the line is asked, so it is never asked once unset
  std::function<std::string()> running_line_;

  // The service thread and the way control codes reach it.
  mutable std::mutex control_lock_;
  std::unique_ptr<TServiceThread> thread_;
  platform::ThreadId queue_thread_ = 0;  // the service thread, once its queue exists
  bool accepting_codes_ = false;          // from the manager's entry until the thread ends
  std::vector<std::uint32_t> pending_codes_;
};

// The process's service module, which the default control handler posts codes to.
void SetServiceModule(TService* module);
TService* ServiceModule();
