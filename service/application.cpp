#include "service/application.h"

#include <atomic>
#include <cctype>
#include <typeinfo>

#include "base/exception_routing.h"
#include "base/main_thread_calls.h"
#include "platform/console.h"
#include "platform/process.h"
#include "service/application_events.h"

namespace {
std::atomic<TApplication*> the_application{nullptr};
}  // namespace

TApplication* Application() { return the_application; }

platform::Text ApplicationErrorText(const std::string& class_name, const std::string& message,
                                    const void* address) {
  const char* stop = !message.empty() && message.back() == '.' ? "" : ".";
  return platform::Text(FormatText("Exception %s in module ", class_name.c_str())) +
         platform::Text::FromOutside(platform::ExecutableFileName()) +
         FormatText(" at %p.\r\n%s%s\r\n", address, message.c_str(), stop);
}

TApplication::TApplication() {
  main_thread::SetMainThread();
  window_ = platform::CreateNotificationWindow(
      [this](const platform::Message& message) { return WindowProcedure(message); });
  the_application = this;
  main_thread::SetWakeUp([this] { WakeMain(); });
  routing::SetRouter([this](TObject* sender, std::exception_ptr error) { HandleException(sender, error); });
}

TApplication::~TApplication() {
  DestroyMultiCaster();
  routing::SetRouter(nullptr);
  main_thread::SetWakeUp(nullptr);
  the_application = nullptr;
  platform::DestroyNotificationWindow(window_);
}

int TApplication::HookMainWindow(TWindowHook hook) {
  std::lock_guard<std::mutex> hold(lock_);
  int id = next_hook_id_++;
  hooks_.emplace_back(id, std::move(hook));
  return id;
}

void TApplication::UnhookMainWindow(int hook_id) {
  std::lock_guard<std::mutex> hold(lock_);
  std::erase_if(hooks_, [hook_id](const auto& entry) { return entry.first == hook_id; });
}

void TApplication::WakeMain() { platform::PostMessageTo(window_, platform::kWmNull, 0, 0); }

std::intptr_t TApplication::WindowProcedure(const platform::Message& message) {
  try {
    std::vector<std::pair<int, TWindowHook>> hooks;
    {
      std::lock_guard<std::mutex> hold(lock_);
      hooks = hooks_;
    }
    for (auto& entry : hooks) {
      if (entry.second(message)) return 0;
    }
    switch (message.id) {
      case platform::kWmNull:
        main_thread::CheckSynchronize();
        break;
      case platform::kWmEndSession:
        if (message.wparam != 0) Terminate();  // the session really ends
        break;
      default:
        break;
    }
  } catch (...) {
    routing::RouteException(this);
  }
  return 0;
}

bool TApplication::ProcessMessage() {
  platform::Message message;
  if (!platform::PeekMessage(message)) return false;
  if (message.id == platform::kWmQuit) {
    Terminate();
    return true;
  }
  bool handled = false;
  if (multi_caster_) {
    try {
      multi_caster_->DoMessage(message, handled);
    } catch (...) {
      routing::RouteException(this);
    }
  }
  if (!handled) platform::DispatchMessage(message);
  return true;
}

void TApplication::Idle() {
  bool ran_calls = false;
  try {
    bool done = true;
    if (multi_caster_) multi_caster_->DoIdle(done);
    ran_calls = main_thread::CheckSynchronize();
  } catch (...) {
    routing::RouteException(this);
    ran_calls = true;  // look at the queue again before sleeping
  }
  // A call queued after CheckSynchronize posts an empty message, so this wait cannot miss it.
  if (!ran_calls) platform::WaitMessage();
}

void TApplication::HandleMessage() {
  if (!ProcessMessage()) Idle();
}

TExceptionEvent TApplication::OnException() const {
  std::lock_guard<std::mutex> hold(lock_);
  return on_exception_;
}

void TApplication::SetOnException(TExceptionEvent handler) {
  std::lock_guard<std::mutex> hold(lock_);
  on_exception_ = std::move(handler);
}

void TApplication::ClearOnExceptionOf(const void* owner) {
  std::lock_guard<std::mutex> hold(lock_);
  if (on_exception_ && on_exception_.Object() == owner) on_exception_ = TExceptionEvent();
}

void TApplication::HandleException(TObject* sender, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    // The silent exception.
  } catch (const Exception& e) {
    TExceptionEvent handler = OnException();
    if (handler) {
      handler(sender, e);
    } else {
      ShowErrorBox(e);
    }
  } catch (const std::exception& e) {
    platform::ShowMessageBox("Application Error", ApplicationErrorText(typeid(e).name(), e.what(), &e),
                             platform::BoxIcon::kError);
  } catch (...) {
    platform::ShowMessageBox("Application Error", ApplicationErrorText("Exception", "", nullptr),
                             platform::BoxIcon::kError);
  }
}

void TApplication::ShowErrorBox(const Exception& e) {
  std::string text = e.Message();
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  platform::ShowMessageBox(platform::Text::FromOutside(Title()), text, platform::BoxIcon::kStop);
}

std::string TApplication::Title() const {
  std::string name = platform::ExecutableFileName();
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  for (std::size_t i = 1; i < name.size(); ++i) {
    name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  }
  return name;
}

void TApplication::CreateMultiCaster() {
  if (!multi_caster_) multi_caster_ = std::make_unique<TMultiCaster>(*this);
}

void TApplication::DestroyMultiCaster() { multi_caster_.reset(); }
