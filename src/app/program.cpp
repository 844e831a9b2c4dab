#include "app/program.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <iostream>

#include <memory>

#include "app/bindings.h"
#include "app/main_window.h"
#include "app/program_addresses.h"
#include "app/window_events.h"
#include "catalogue/download_state.h"
#include "catalogue/stored_download_log.h"
#include "store/store_path.h"
#include "tags/file_tagger.h"

namespace wuqu {
namespace {

// Releases the download state when the run ends, however it ends.
class Shutdown {
 public:
  Shutdown(catalogue::DownloadState& state, RunObserver* observer)
      : state_(state), observer_(observer) {}
  Shutdown(const Shutdown&) = delete;
  Shutdown& operator=(const Shutdown&) = delete;
  ~Shutdown() {
    catalogue::ReleaseDownloadState(state_);
    if (observer_ != nullptr) observer_->StateReleased(state_);
  }

 private:
  catalogue::DownloadState& state_;
  RunObserver* observer_;
};

void RunWindow(catalogue::DownloadState& state, RunObserver* observer) {
  auto window = std::make_unique<MainWindow>();
  auto events = MakeWindowEvents(*window, state);
  BindEvents(*window, *events);
  window->CompleteCreation();
  window->show();
  if (observer != nullptr) observer->WindowShown(*window);
  // Once the window has painted: the downloads the last run left unfinished.
  QTimer::singleShot(0, window.get(), [&events] { events->ResumeUnfinishedDownloads(); });

  QEventLoop loop;
  QObject::connect(window.get(), &MainWindow::closed, &loop, &QEventLoop::quit,
                   Qt::QueuedConnection);
  loop.exec();
  // The handlers go only after the window, whose signals reach them.
  window.reset();
  events.reset();
}

}  // namespace

int RunProgram(int argc, char** argv, RunObserver* observer) {
  std::unique_ptr<catalogue::DownloadState> state = catalogue::CreateDownloadState();
  state->log = catalogue::OpenDownloadLog(store::StorePath(), std::cerr);
  state->tagger = std::make_unique<tags::TagWorker>();
  if (observer != nullptr) observer->StateCreated(*state);
  Shutdown shutdown(*state, observer);

  std::unique_ptr<QApplication> own_app;
  if (QApplication::instance() == nullptr) own_app = std::make_unique<QApplication>(argc, argv);
  // Docks and task switchers find the name and icon of the window in the
  // desktop entry of this id.
  QGuiApplication::setDesktopFileName(QString::fromUtf8(program_addresses::kDesktopFileId));
  RunWindow(*state, observer);
  return 0;
}

void ClearTrackNumber(MainWindow& window, std::int32_t, std::int32_t) {
  window.track_id_box().SetText(Text());
}

}  // namespace wuqu
