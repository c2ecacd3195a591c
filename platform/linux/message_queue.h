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

// The thread that owns a queue, and how many times it has polled its epoll set so far (read it
// only on that thread).
ThreadId QueueOwner(const MessageQueue& queue);
std::uint64_t PollCount(const MessageQueue& queue);

// The epoll descriptor of a queue. It stays open as long as the queue object lives, even after
// its thread ended, so a holder of the queue may always remove its descriptors from it.
int EpollDescriptor(const MessageQueue& queue);

// Implemented by the socket notifier: the owning thread's epoll reported `events` for the
// registration `key` (never 0; 0 is the queue's own wake-up).
void OnSocketReady(std::uint64_t key, std::uint32_t events);

}  // namespace platform::linux_detail
