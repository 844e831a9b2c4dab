#include "app/bindings.h"

#include <QKeySequence>
#include <QShortcut>

#include "app/captions.h"
#include "app/downloads_window.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/window_events.h"
#include "catalogue/download_log.h"
#include "catalogue/file_tags.h"

namespace wuqu {
namespace {

// The downloads window, made the first time it is asked for; it goes with
// the main window, and closes when that closes.
void BindDownloadsWindow(MainWindow& window, catalogue::UserDownloads& downloads,
                         catalogue::DownloadLog* settings) {
  MainWindow* w = &window;
  catalogue::UserDownloads* d = &downloads;
  auto open = [w, d, settings] {
    auto* list = w->findChild<DownloadsWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (list == nullptr) {
      list = new DownloadsWindow(*d, w);
      QObject::connect(w, &MainWindow::closed, list, &QWidget::close);
      QObject::connect(list, &DownloadsWindow::playRequested, w,
                       [w](const Text& url) { w->player().SetUrl(url); });
      if (settings != nullptr) {
        // 写入曲目信息: on unless the user turned it off.
        list->AddWriteTagsSetting([settings] { return catalogue::WritesTags(*settings); },
                                  [settings](bool on) { catalogue::SetWritesTags(*settings, on); });
      }
    }
    list->Open();
  };
  // Ctrl+J from any control of the main window.
  auto* keys = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_J), w);
  keys->setContext(Qt::WindowShortcut);
  QObject::connect(keys, &QShortcut::activated, w, open);
  QObject::connect(w, &MainWindow::openDownloadsWindow, w, open);
}

}  // namespace

void BindEvents(MainWindow& window, WindowEvents& events) {
  MainWindow* w = &window;
  WindowEvents* e = &events;
  QObject::connect(w, &MainWindow::created, w, [w] { OnWindowCreated(*w); });
  QObject::connect(&w->category_box(), &CategoryBox::itemSelected, w,
                   [e] { e->LoadCategoryListing(); });
  QObject::connect(&w->track_list(), &TrackList::rowLeftClicked, w,
                   [e] { e->PreviewSelectedTrack(); });
  QObject::connect(&w->track_list(), &TrackList::rowRightClicked, w,
                   [e] { e->DownloadSelectedTrack(); });
  QObject::connect(&w->play_button(), &QPushButton::clicked, w, [e] { e->PreviewTrackById(); });
  QObject::connect(&w->download_button(), &QPushButton::clicked, w,
                   [e] { e->DownloadTrackById(); });
  QObject::connect(&w->track_id_box(), &SkinnedEdit::mousePressed, w,
                   [w](qint32 x, qint32 y) { ClearTrackNumber(*w, x, y); });
  QObject::connect(&w->progress_timer(), &Clock::tick, w, [e] { e->OnProgressTick(); });
  QObject::connect(&w->status_label(), &SkinnedLabel::rightClicked, w,
                   [e] { e->ShowStatusLineMenu(); });
  if (catalogue::UserDownloads* downloads = e->UserDownloadList()) {
    BindDownloadsWindow(*w, *downloads, e->SettingsLog());
  }
}

}  // namespace wuqu
