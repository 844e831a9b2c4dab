#include "app/window_wait.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QWidget>

#include "app/main_window.h"
#include "app/qt_event_pump.h"

namespace wuqu {
namespace {

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
      return true;
    default:
      return false;
  }
}

}  // namespace

WindowWaitHook::WindowWaitHook(MainWindow& window) : window_(&window) {
  connect(&window, &MainWindow::closed, this, [this] { closed_ = true; });
}

WindowWaitHook::~WindowWaitHook() {
  if (depth_ > 0) {
    QCoreApplication::instance()->removeEventFilter(this);
    QApplication::restoreOverrideCursor();
  }
}

bool WindowWaitHook::WindowGone() const {
  return closed_ || window_.isNull();
}

void WindowWaitHook::WaitBegins() {
  if (depth_++ > 0) return;
  QApplication::setOverrideCursor(Qt::BusyCursor);
  QCoreApplication::instance()->installEventFilter(this);
  since_frame_.start();
}

void WindowWaitHook::WaitEnds() {
  if (depth_ == 0 || --depth_ > 0) return;
  QCoreApplication::instance()->removeEventFilter(this);
  QApplication::restoreOverrideCursor();
  std::vector<HeldInput> held;
  held.swap(held_);
  if (WindowGone()) return;
  // Posted in their order, behind whatever the handler still posts itself.
  for (HeldInput& h : held) {
    if (h.receiver) QCoreApplication::postEvent(h.receiver, h.event.release());
  }
}

bool WindowWaitHook::KeepWaiting() {
  if (WindowGone()) return false;
  if (since_frame_.hasExpired(kFrameIntervalMs)) {
    window_->update();
    since_frame_.start();
  }
  QCoreApplication::processEvents();
  return !WindowGone();
}

// Input that would reach a control of the window; the caption strip (the
// window's own surface and its two caption buttons) is not a control here.
bool WindowWaitHook::ControlInput(QObject* receiver, const QEvent& event) const {
  if (!IsUserInput(event.type()) || !receiver->isWidgetType() || window_.isNull()) return false;
  auto* widget = static_cast<QWidget*>(receiver);
  if (widget->window() != window_.data() || widget == window_.data()) return false;
  return widget != &window_->close_button() && widget != &window_->minimise_button();
}

bool WindowWaitHook::eventFilter(QObject* receiver, QEvent* event) {
  if (depth_ == 0 || !ControlInput(receiver, *event)) return false;
  held_.push_back({receiver, std::unique_ptr<QEvent>(event->clone())});
  return true;
}

}  // namespace wuqu
