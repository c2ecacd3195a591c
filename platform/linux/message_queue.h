#pragma once
// Linux internals shared by the message queues and the socket notifier. Each thread's queue
// owns one epoll instance; its blocking waits are epoll waits, so posted messages (through an
// eventfd) and socket readiness wake the same wait.

#include <cstdint>
#include <memory>

#include "platform/messages.h"

namespace platform::linux_detail {

class MessageQueue;

// The queue of the thread that owns `window`; null when the window does not exist.
std::shared_ptr<MessageQueue> QueueOfWindow(WindowHandle window);

// Posts like PostMessageTo, unless the same message (window, number and both parameters) still
// waits in the queue: then it adds nothing and answers true. For notifications of which one
// waiting is enough; the one that waits keeps its place.
bool PostMessageOnce(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam);
// The same, straight to `queue`, the queue of the message's window, without looking the window
// up: for a poster that keeps the queue of the windows it posts to (the socket notifier). A
// message for a window destroyed meanwhile is dropped when it comes to be dispatched.
bool PostMessageOnce(MessageQueue& queue, const Message& message);

// The epoll descriptor of a queue. It stays open as long as the queue object lives, even after
// its thread ended, so a holder of the queue may always remove its descriptors from it.
int EpollDescriptor(const MessageQueue& queue);

// Implemented by the socket notifier: the owning thread's epoll reported `events` for the
// registration `key` (never 0; 0 is the queue's own wake-up).
void OnSocketReady(std::uint64_t key, std::uint32_t events);

}  // namespace platform::linux_detail
