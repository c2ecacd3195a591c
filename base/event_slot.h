#pragma once
// An event slot: a handler bound to the object it belongs to, or empty. Copying a slot makes
// both copies call the same handler on the same object.

#include <functional>
#include <utility>

template <typename... Args>
class EventSlot {
 public:
  EventSlot() = default;

  template <typename Object>
  static EventSlot Bind(Object* object, void (Object::*method)(Args...)) {
    EventSlot slot;
    slot.object_ = object;
    slot.call_ = [object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); };
    return slot;
  }

  // A handler that is a plain callable; `object` names what it belongs to (may be null).
  static EventSlot FromFunction(std::function<void(Args...)> call, const void* object = nullptr) {
    EventSlot slot;
    slot.object_ = object;
    slot.call_ = std::move(call);
    return slot;
  }

  explicit operator bool() const { return static_cast<bool>(call_); }
  const void* Object() const { return object_; }
  void operator()(Args... args) const { call_(std::forward<Args>(args)...); }

 private:
  const void* object_ = nullptr;
  std::function<void(Args...)> call_;
};
