#pragma once

namespace wuqu {

// Lets the window's pending events run in the middle of a long operation on
// the GUI thread. Code outside the window layer only sees this interface.
class EventPump {
 public:
  virtual ~EventPump() = default;
  virtual void ProcessPendingEvents() = 0;
};

// For code that runs without a window (tests, tools).
class NoEventPump final : public EventPump {
 public:
  void ProcessPendingEvents() override {}
};

}  // namespace wuqu
