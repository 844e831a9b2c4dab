#pragma once

#include <QElapsedTimer>

#include <memory>

#include "platform/event_pump.h"

namespace wuqu {

// How often the window is repainted while a long operation on the GUI thread
// lets events run: the display's rate.
inline constexpr int kFrameIntervalMs = 16;

// Lets the window's pending events run (between rows of a fill, between bytes
// of a caption decoding). Every event runs at once, input and timers
// included, except the window's repaints and the item views' relayouts:
// those wait for the next frame, so a loop that calls this after every small
// step repaints at the display's rate rather than after every step. What is
// held back is repainted at the latest one frame after the last call.
class QtEventPump final : public EventPump {
 public:
  QtEventPump();
  ~QtEventPump() override;
  QtEventPump(const QtEventPump&) = delete;
  QtEventPump& operator=(const QtEventPump&) = delete;

  void ProcessPendingEvents() override;

 private:
  class FrameGate;
  std::unique_ptr<FrameGate> gate_;
  QElapsedTimer since_frame_;
};

}  // namespace wuqu
