// The running service: the manager's entry, the service thread, control codes and status.

#include <exception>
#include <string>

#include "base/exception.h"
#include "service/os_error.h"
#include "service/service.h"
#include "service/service_thread.h"

namespace {

bool IsPending(TCurrentStatus status) {
  return status == csStartPending || status == csStopPending || status == csContinuePending ||
         status == csPausePending;
}

const char* ControlWord(std::uint32_t code) {
  switch (code) {
    case kControlStop: return "stop";
    case kControlPause: return "pause";
    case kControlContinue: return "continue";
    case kControlInterrogate: return "interrogate";
    case kControlShutdown: return "shutdown";
    default: return nullptr;
  }
}

// The text an entry gives a failure: the message of an Exception, the text (what()) of any
// other standard exception, a fixed text for anything else that was thrown.
std::string FailureText(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// The control handler registered with the service manager: every code goes to the module.
void ControlCallbackOfModule(std::uint32_t code) {
  if (TService* module = ServiceModule()) module->PostControlCode(code);
}

}  // namespace

platform::ControlHandler TService::GetControlCallback() { return &ControlCallbackOfModule; }

// The message is what the exception says, with whatever paths and names from outside it holds.
void TService::LogFailure(const char* word, const std::string& message) {
  WriteEventLog(platform::Text(FormatText("Service failed on %s: ", word)) + platform::Text::FromOutside(message));
}

void TService::ServiceEntry(std::uint32_t argc, char** argv) {
  for (std::uint32_t i = 0; i < argc; ++i) start_arguments_.emplace_back(argv[i] ? argv[i] : "");
  {
    std::lock_guard<std::mutex> hold(control_lock_);
    accepting_codes_ = true;
  }
  status_handle_ = platform::RegisterControlHandler(name_, GetControlCallback());
  if (status_handle_ == 0) {
    {
      std::lock_guard<std::mutex> hold(control_lock_);
      accepting_codes_ = false;
      pending_codes_.clear();
    }
    WriteEventLog(ServiceErrorText(platform::LastServiceError()));
    return;
  }
  RunServiceThread();
}

void TService::RunServiceThread() {
  ended_on_failure_ = false;
  try {
    SetStatus(csStartPending);
    std::exception_ptr failure;
    try {
      auto thread = std::make_unique<TServiceThread>(*this);
      TServiceThread* started = thread.get();
      {
        std::lock_guard<std::mutex> hold(control_lock_);
        thread_ = std::move(thread);
      }
      started->Start();
      started->WaitFor();
    } catch (...) {
      failure = std::current_exception();
    }
    std::unique_ptr<TServiceThread> ended;
    {
      std::lock_guard<std::mutex> hold(control_lock_);
      ended = std::move(thread_);
      accepting_codes_ = false;
      pending_codes_.clear();
    }
    ended.reset();
    if (failure) ended_on_failure_ = true;
    SetStatus(csStopped);
    if (failure) std::rethrow_exception(failure);
  } catch (...) {
    ended_on_failure_ = true;
    LogFailure("execute", FailureText(std::current_exception()));
  }
}

void TService::OpenControlQueue() {
  platform::EnsureMessageQueue();
  std::lock_guard<std::mutex> hold(control_lock_);
  queue_thread_ = platform::CurrentThreadId();
  // Codes that came before the queue existed go first, in their order.
  for (std::uint32_t code : pending_codes_) {
    if (platform::PostThreadMessageTo(queue_thread_, ControlCodeMessage, code, 0) && thread_) {
      thread_->CodePosted();
    }
  }
  pending_codes_.clear();
}

void TService::CloseControlQueue() {
  std::lock_guard<std::mutex> hold(control_lock_);
  queue_thread_ = 0;
  accepting_codes_ = false;
  pending_codes_.clear();
}

void TService::ServiceThreadBody() {
  // Whatever is thrown here, an Exception or not, ends the service thread with an entry: a
  // failure must never look like a clean stop.
  bool started = true;
  try {
    OpenControlQueue();
    SetStatus(csStartPending);
    if (on_start_) on_start_(this, started);
  } catch (...) {
    ended_on_failure_ = true;
    LogFailure("start", FailureText(std::current_exception()));
    started = false;
  }
  if (started) {
    try {
      SetStatus(csRunning);
      if (on_execute_) {
        on_execute_(this);
      } else {
        PumpRequests(true);
      }
      PumpRequests(false);
    } catch (...) {
      ended_on_failure_ = true;
      LogFailure("execute", FailureText(std::current_exception()));
    }
  }
  CloseControlQueue();
}

void TService::PostControlCode(std::uint32_t code) {
  std::lock_guard<std::mutex> hold(control_lock_);
  if (queue_thread_ != 0) {
    if (platform::PostThreadMessageTo(queue_thread_, ControlCodeMessage, code, 0) && thread_) {
      thread_->CodePosted();  // also wakes a paused service thread
    }
  } else if (accepting_codes_) {
    pending_codes_.push_back(code);
  }
}

bool TService::StopRequested() const {
  std::lock_guard<std::mutex> hold(control_lock_);
  return thread_ && thread_->StopRequested();
}

void TService::PumpRequests(bool wait) {
  while (true) {
    if (wait && StopRequested()) return;
    platform::Message message;
    if (wait) {
      if (!platform::GetMessage(message)) return;
    } else if (!platform::PeekMessage(message)) {
      return;
    }
    HandleRequest(message);
  }
}

void TService::PumpRequestsWithin(int max_messages, const std::function<bool()>& in_time) {
  platform::Message message;
  for (int handled = 0; handled < max_messages && platform::PeekMessage(message); ++handled) {
    HandleRequest(message);
    if (!in_time()) return;
  }
}

void TService::HandleRequest(const platform::Message& message) {
  if (message.window != 0 || message.id != ControlCodeMessage) {
    platform::DispatchMessage(message);
    return;
  }
  const auto code = static_cast<std::uint32_t>(message.wparam);
  const TCurrentStatus remembered = status_;
  {
    std::lock_guard<std::mutex> hold(control_lock_);
    if (thread_) thread_->CodeTaken();
  }
  try {
    if (!HandleControlCode(code)) SetStatus(remembered);
  } catch (...) {
    const std::string text = FailureText(std::current_exception());
    if (code != kControlShutdown) SetStatus(remembered);
    if (const char* word = ControlWord(code)) {
      LogFailure(word, text);
    } else {
      WriteEventLog(platform::Text(FormatText("Service failed in custom message(%d): ", static_cast<int>(code))) +
                    platform::Text::FromOutside(text));
    }
  }
}

bool TService::HandleControlCode(std::uint32_t code) {
  switch (code) {
    case kControlStop: return HandleStop();
    case kControlPause: return HandlePause();
    case kControlContinue: return HandleContinue();
    case kControlInterrogate: return HandleInterrogate();
    case kControlShutdown: return HandleShutdown();
    default: return HandleCustomCode(code);
  }
}

bool TService::HandleStop() {
  SetStatus(csStopPending);
  bool stopped = true;
  if (on_stop_) on_stop_(this, stopped);
  if (stopped) {
    std::lock_guard<std::mutex> hold(control_lock_);
    if (thread_) thread_->RequestStop();
  }
  return stopped;
}

bool TService::HandlePause() {
  SetStatus(csPausePending);
  bool paused = true;
  if (on_pause_) on_pause_(this, paused);
  if (paused) {
    SetStatus(csPaused);
    TServiceThread* thread = nullptr;
    {
      std::lock_guard<std::mutex> hold(control_lock_);
      // Only the service thread itself sleeps here; its object lives until it has ended.
      if (queue_thread_ == platform::CurrentThreadId()) thread = thread_.get();
    }
    if (thread) thread->SuspendUntilNextCode();
  }
  return paused;
}

bool TService::HandleContinue() {
  SetStatus(csContinuePending);
  bool continued = true;
  if (on_continue_) on_continue_(this, continued);
  if (continued) SetStatus(csRunning);
  return continued;
}

bool TService::HandleInterrogate() {
  SendStatus();
  return true;
}

bool TService::HandleShutdown() {
  SetStatus(csStopPending);
  struct RequestStopAtEnd {
    TService& service;
    ~RequestStopAtEnd() {
      std::lock_guard<std::mutex> hold(service.control_lock_);
      if (service.thread_) service.thread_->RequestStop();
    }
  } request_stop{*this};
  if (on_shutdown_) on_shutdown_(this);
  return true;
}

bool TService::HandleCustomCode(std::uint32_t /*code*/) { return true; }

void TService::SetStatus(TCurrentStatus status) {
  status_ = status;
  SendStatus();
}

void TService::SendStatus() {
  const TCurrentStatus current = status_;
  if (IsPending(current) && current == last_status_sent_) {
    ++check_point_;
  } else {
    check_point_ = 0;
  }
  last_status_sent_ = current;

  platform::ServiceStatus status;
  status.service_type = ServiceTypeCode();
  status.current_state = current;
  status.controls_accepted = current == csStartPending ? 0 : AcceptedControls();
  // A service that ended on a failure says so, so that its manager does not take the end for a
  // stop that was asked for (and restarts it where it is told to).
  const bool failed = current == csStopped && ended_on_failure_;
  status.exit_code = failed ? platform::kErrorServiceSpecificError : 0;
  status.service_specific_exit_code = failed ? kServiceFailureExitCode : 0;
  status.check_point = check_point_;
  status.wait_hint = wait_hint_;
  status.status_line = StatusLineOf(current);
  if (!platform::ReportServiceStatus(status_handle_, status)) {
    WriteEventLog(ServiceErrorText(platform::LastServiceError()));
  }
}
