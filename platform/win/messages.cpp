// Thread message queues and hidden notification windows are Windows' own: every thread gets
// its queue from the system on first use, posted and sent messages, socket notifications and
// the order between them are the system's. This file adds the procedures: one window class
// whose window procedure finds the seam's procedure of a window by its handle.
//
// What holds beside the system's own rules:
//  - Only the seam's messages reach a procedure (WM_NULL, WM_ENDSESSION and WM_USER upwards);
//    the system's own messages to a window get the default procedure's answer, and WM_CLOSE
//    from outside is ignored: only its owner destroys a notification window.
//  - A window destroyed from another thread (Windows destroys a window only on its own
//    thread) leaves the registry at once, so nothing more reaches its procedure; its owner
//    destroys it on its next dispatch, through a posted WM_CLOSE.
//  - A destroyed window's value could come back for a new window only after a great many
//    windows (an HWND carries a reuse counter); until then posts to it fail.
//  - An exception cannot travel through the system's dispatch frames: one that escapes a
//    procedure is kept and thrown again by the seam call that ran the procedure.

#include "platform/messages.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sockets.h"
#include "platform/win/notification_window.h"

namespace platform {
namespace {

using win_detail::ToHwnd;
using win_detail::ToWindowHandle;

constexpr char kWindowClass[] = "KorvenetNotificationWindow";

struct Window {
  ThreadId owner = 0;
  WindowProcedure procedure;
};

// The seam's live windows by handle.
struct Registry {
  std::mutex lock;
  std::unordered_map<WindowHandle, std::shared_ptr<Window>> windows;
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: threads may end after exit
  return *instance;
}

std::shared_ptr<Window> Find(WindowHandle window) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.windows.find(window);
  return it == r.windows.end() ? nullptr : it->second;
}

thread_local std::exception_ptr escaped;

void RethrowEscaped() {
  if (!escaped) return;
  std::exception_ptr error = std::move(escaped);
  escaped = nullptr;
  std::rethrow_exception(error);
}

// When a thread ends, Windows destroys its windows; they leave the registry with it.
struct ThreadWindows {
  bool any = false;
  ~ThreadWindows() {
    if (!any) return;
    const ThreadId self = ::GetCurrentThreadId();
    std::vector<std::shared_ptr<Window>> gone;  // procedures are released outside the lock
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (auto it = r.windows.begin(); it != r.windows.end();) {
      if (it->second->owner == self) {
        gone.push_back(std::move(it->second));
        it = r.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
};
thread_local ThreadWindows thread_windows;

std::intptr_t RunProcedure(Window& window, const Message& message) {
  try {
    return window.procedure(message);
  } catch (...) {
    if (!escaped) escaped = std::current_exception();
    return 0;
  }
}

bool ForProcedure(UINT id) { return id == WM_NULL || id == WM_ENDSESSION || id >= WM_USER; }

LRESULT CALLBACK NotificationProcedure(HWND hwnd, UINT id, WPARAM wparam, LPARAM lparam) {
  const WindowHandle handle = ToWindowHandle(hwnd);
  // The reference keeps the procedure alive while it runs, even if it destroys its window.
  std::shared_ptr<Window> window = Find(handle);
  if (!window) return ::DefWindowProcA(hwnd, id, wparam, lparam);  // WM_CLOSE destroys it
  if (id == WM_CLOSE) return 0;
  if (!ForProcedure(id)) return ::DefWindowProcA(hwnd, id, wparam, lparam);
  const Message message{handle, id, wparam, lparam};
  if (win_detail::ReadWaitsBeforeClose(message)) {
    RunProcedure(*window, Message{handle, id, wparam, kFdRead});
    if (!Find(handle)) return 0;
  }
  return RunProcedure(*window, message);
}

void RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = NotificationProcedure;
    window_class.hInstance = ::GetModuleHandleA(nullptr);
    window_class.lpszClassName = kWindowClass;
    return ::RegisterClassA(&window_class) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  (void)registered;  // a class that failed to register makes the window creation fail
}

Message FromMsg(const MSG& m) { return Message{ToWindowHandle(m.hwnd), m.message, m.wParam, m.lParam}; }

// True when a posted message waits; runs the messages other threads sent meanwhile.
bool PostedMessageWaits() {
  MSG m;
  return ::PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

}  // namespace

ThreadId CurrentThreadId() { return ::GetCurrentThreadId(); }

void EnsureMessageQueue() {
  // The first message call of a thread makes its queue.
  MSG m;
  ::PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

WindowHandle CreateNotificationWindow(WindowProcedure procedure) {
  RegisterWindowClass();
  HWND hwnd = ::CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                ::GetModuleHandleA(nullptr), nullptr);
  if (hwnd == nullptr) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "cannot create a notification window");
  }
  auto window = std::make_shared<Window>();
  window->owner = ::GetCurrentThreadId();
  window->procedure = std::move(procedure);
  thread_windows.any = true;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  r.windows[ToWindowHandle(hwnd)] = std::move(window);
  return ToWindowHandle(hwnd);
}

void DestroyNotificationWindow(WindowHandle window) {
  std::shared_ptr<Window> removed;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.windows.find(window);
    if (it == r.windows.end()) return;
    removed = std::move(it->second);
    r.windows.erase(it);
  }
  // DestroyWindow drops the messages still posted to the window.
  if (removed->owner == ::GetCurrentThreadId()) {
    ::DestroyWindow(ToHwnd(window));
  } else {
    ::PostMessageA(ToHwnd(window), WM_CLOSE, 0, 0);
  }
}

ThreadId WindowThread(WindowHandle window) {
  auto found = Find(window);
  return found && ::IsWindow(ToHwnd(window)) ? found->owner : 0;
}

bool PostMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  if (!Find(window)) return false;
  return ::PostMessageA(ToHwnd(window), id, wparam, lparam) != FALSE;
}

bool PostThreadMessageTo(ThreadId thread, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  if (thread == 0 || thread > 0xffffffffu) return false;
  return ::PostThreadMessageA(static_cast<DWORD>(thread), id, wparam, lparam) != FALSE;
}

// The system runs the procedure at once on the window's own thread; from another thread it
// waits and meanwhile runs the messages sent to the calling thread. A window destroyed (or a
// thread ended) before the procedure ran makes the system answer the waiting sender with 0.
std::intptr_t SendMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  if (!Find(window)) return 0;
  const LRESULT result = ::SendMessageA(ToHwnd(window), id, wparam, lparam);
  RethrowEscaped();
  return result;
}

bool ReplyMessage(std::intptr_t result) { return ::ReplyMessage(result) != FALSE; }

bool PeekMessage(Message& message) {
  RethrowEscaped();
  MSG m;
  if (!::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    RethrowEscaped();
    return false;
  }
  // An exception of a sent message run meanwhile waits for the next call: the message taken
  // is not lost.
  message = FromMsg(m);
  return true;
}

bool GetMessage(Message& message) {
  RethrowEscaped();
  MSG m;
  const BOOL result = ::GetMessageA(&m, nullptr, 0, 0);
  if (result == -1) {  // cannot happen without a window filter; ends the loop if it does
    message = Message{0, kWmQuit, 0, 0};
    return false;
  }
  message = FromMsg(m);
  return result != 0;
}

void WaitMessage() {
  while (true) {
    RethrowEscaped();
    if (PostedMessageWaits()) return;
    RethrowEscaped();
    // Wakes for any message that came after the look above, sent ones included; those are
    // run by the next look, and the wait goes on until a posted one is there.
    ::WaitMessage();
  }
}

bool WaitMessageFor(int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    RethrowEscaped();
    if (PostedMessageWaits()) return true;
    RethrowEscaped();
    // Rounded up: a remainder under a millisecond is waited for, not given up on.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left.count()) + 1, QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
  }
}

bool WaitMessageUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return WaitMessageFor(static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX)));
}

std::intptr_t DispatchMessage(const Message& message) {
  // Thread messages have no procedure. A message for a window that left the registry goes on
  // to the system, which hands it to the default procedure: dropped (a WM_CLOSE posted for a
  // window destroyed from another thread destroys it there).
  if (message.window == 0) return 0;
  MSG m{};
  m.hwnd = ToHwnd(message.window);
  m.message = message.id;
  m.wParam = message.wparam;
  m.lParam = message.lparam;
  m.time = static_cast<DWORD>(::GetMessageTime());
  const LRESULT result = ::DispatchMessageA(&m);
  RethrowEscaped();
  return result;
}

}  // namespace platform
