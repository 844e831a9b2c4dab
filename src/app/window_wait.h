#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

#include "platform/wait_hook.h"

class QEvent;

namespace wuqu {

class MainWindow;

// The GUI thread's wait hook (platform/wait_hook.h): while a network request
// waits, `window` shows a busy cursor and keeps painting at the display's
// rate, the progress timer keeps ticking and the caption strip keeps working
// (drag, minimise, close). Mouse and keyboard input to the controls is held
// back until the wait ends and then replayed in its order, so no handler
// starts inside another one's wait: the controls take the input when they
// would have taken it had the request blocked the thread. Once the window
// has closed or gone, every wait is given up at once, and input held back is
// dropped. The hook must outlive every wait it is in.
class WindowWaitHook final : public QObject, public WaitHook {
 public:
  explicit WindowWaitHook(MainWindow& window);
  ~WindowWaitHook() override;
  WindowWaitHook(const WindowWaitHook&) = delete;
  WindowWaitHook& operator=(const WindowWaitHook&) = delete;

  void WaitBegins() override;
  void WaitEnds() override;
  bool KeepWaiting() override;

  // A wait is under way.
  bool Waiting() const { return depth_ > 0; }

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override;

 private:
  struct HeldInput {
    QPointer<QObject> receiver;
    std::unique_ptr<QEvent> event;
  };

  bool WindowGone() const;
  bool ControlInput(QObject* receiver, const QEvent& event) const;

  QPointer<MainWindow> window_;
  bool closed_ = false;
  int depth_ = 0;
  QElapsedTimer since_frame_;
  std::vector<HeldInput> held_;
};

}  // namespace wuqu
