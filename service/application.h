#pragma once
// The application object: the main thread's hidden application window with its hooks, the
// main message loop's step, the terminated flag and the application's exception handler slot
// (where exceptions that escape window procedures and idle work end up).

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/event_slot.h"
#include "base/exception.h"
#include "base/tobject.h"
#include "platform/messages.h"
#include "platform/text.h"

class TMultiCaster;

// (Sender, exception): the application's exception handler and OnException events.
using TExceptionEvent = EventSlot<TObject*, const Exception&>;

class TApplication : public TObject {
 public:
  // Creates the application window on the calling thread, which is the main thread; installs
  // the wake-up for calls queued for the main thread and the exception router.
  TApplication();
  ~TApplication() override;

  platform::WindowHandle Handle() const { return window_; }

  // Hooks see the application window's messages before its own handling; one that answers
  // true has handled the message.
  using TWindowHook = std::function<bool(const platform::Message&)>;
  int HookMainWindow(TWindowHook hook);
  void UnhookMainWindow(int hook_id);

  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }

  // One step of the main message loop: one message, or idle work and a wait when none.
  void HandleMessage();
  // Takes one message if there is one and handles it; answers whether there was one.
  bool ProcessMessage();

  // Posts an empty message to the application window (wakes the main loop).
  void WakeMain();

  // The application's exception handler slot.
  TExceptionEvent OnException() const;
  void SetOnException(TExceptionEvent handler);
  // Clears the slot when it still holds a handler of `owner`.
  void ClearOnExceptionOf(const void* owner);

  // Where a routed exception goes: EAbort is dropped, an Exception goes to the slot's
  // handler (or ShowErrorBox when the slot is empty), anything else to the process-level box.
  void HandleException(TObject* sender, std::exception_ptr error);
  // A box with the title as caption and the exception's message.
  void ShowErrorBox(const Exception& e);
  // The executable's file name without extension, every letter after the first in lower case.
  // Bytes from outside the system (a file name), shown as they are.
  std::string Title() const;

  // The application-events dispatcher, owned by the application object once created.
  TMultiCaster* MultiCaster() const { return multi_caster_.get(); }
  void CreateMultiCaster();
  void DestroyMultiCaster();

 private:
  std::intptr_t WindowProcedure(const platform::Message& message);
  void Idle();

  platform::WindowHandle window_ = 0;
  std::atomic<bool> terminated_{false};
  mutable std::mutex lock_;  // the hooks and the handler slot
  std::vector<std::pair<int, TWindowHook>> hooks_;
  int next_hook_id_ = 1;
  TExceptionEvent on_exception_;
  std::unique_ptr<TMultiCaster> multi_caster_;
};

// The process's application object; null when there is none.
TApplication* Application();

// The text of the process-level box for an exception that nothing else handles:
// "Exception %s in module %s at %p.\r\n%s%s\r\n"; the module's name is a file name, kept as
// bytes from outside the system.
platform::Text ApplicationErrorText(const std::string& class_name, const std::string& message,
                                    const void* address);
