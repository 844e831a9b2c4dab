#include "app/qt_event_pump.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace wuqu {

// Holds the window system's repaint requests (and the item views' delayed
// relayouts, whose cost grows with the rows) back until a deadline, then
// lets them happen together.
//
// A widget asks for its repaint by posting one UpdateRequest to its window
// and posts no other until that one has been handled; a request held here is
// therefore posted again on release, or the window would never repaint. The
// item views' layout timers need nothing of the kind: they keep firing until
// they are let through.
class QtEventPump::FrameGate final : public QObject {
 public:
  FrameGate() {
    release_.setSingleShot(true);
    release_.setTimerType(Qt::PreciseTimer);
    connect(&release_, &QTimer::timeout, this, [this] { ReleaseNow(); });
  }
  ~FrameGate() override { ReleaseNow(); }
  FrameGate(const FrameGate&) = delete;
  FrameGate& operator=(const FrameGate&) = delete;

  void HoldFor(int milliseconds) {
    if (!holding_) {
      QCoreApplication::instance()->installEventFilter(this);
      holding_ = true;
    }
    release_.start(std::max(milliseconds, 0));
  }

  void ReleaseNow() {
    release_.stop();
    if (!holding_) return;
    holding_ = false;
    if (QCoreApplication::instance() == nullptr) {  // the application has gone, and its events
      held_.clear();
      return;
    }
    QCoreApplication::instance()->removeEventFilter(this);
    std::vector<QPointer<QWidget>> held;
    held.swap(held_);
    for (const QPointer<QWidget>& w : held) {
      if (!w) continue;
      QCoreApplication::postEvent(w, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    }
  }

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (event->type() == QEvent::UpdateRequest && receiver->isWidgetType()) {
      auto* widget = static_cast<QWidget*>(receiver);
      if (std::find(held_.begin(), held_.end(), widget) == held_.end()) held_.emplace_back(widget);
      return true;
    }
    if (event->type() == QEvent::Timer && qobject_cast<QAbstractItemView*>(receiver) != nullptr) {
      return true;
    }
    return false;
  }

 private:
  QTimer release_;
  bool holding_ = false;
  std::vector<QPointer<QWidget>> held_;
};

QtEventPump::QtEventPump() : gate_(std::make_unique<FrameGate>()) {}

QtEventPump::~QtEventPump() = default;

void QtEventPump::ProcessPendingEvents() {
  if (QCoreApplication::instance() == nullptr) return;
  FrameGate& gate = *gate_;
  if (!since_frame_.isValid() || since_frame_.hasExpired(kFrameIntervalMs)) {
    gate.ReleaseNow();
    since_frame_.start();
  } else {
    gate.HoldFor(kFrameIntervalMs - static_cast<int>(since_frame_.elapsed()));
  }
  QCoreApplication::processEvents();
}

}  // namespace wuqu
