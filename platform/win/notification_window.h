#pragma once
// Windows internals shared by the notification windows and the socket notifier.

#include <cstdint>

#include "platform/messages.h"
#include "platform/win/windows_api.h"

namespace platform::win_detail {

// A WindowHandle is the HWND's value.
inline HWND ToHwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }
inline WindowHandle ToWindowHandle(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

// Implemented by the socket notifier: true when `message`, about to reach its window, is the
// peer's orderly close of a socket registered for reads on that window while bytes still wait
// in it; a read notification is then delivered before the close.
bool ReadWaitsBeforeClose(const Message& message);

// Implemented by the socket notifier: true when `message` is a notification of the message
// number a socket was registered with on its window, for a socket no longer registered there
// (closed, unregistered or registered elsewhere since it was posted); it is dropped unseen.
bool IsStaleNotification(const Message& message);
// Implemented by the socket notifier: forgets the registrations of a destroyed window.
void ForgetWindowNotifications(WindowHandle window);

}  // namespace platform::win_detail
