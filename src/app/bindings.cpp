#include "app/bindings.h"

#include "app/captions.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/window_events.h"

namespace wuqu {

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
}

}  // namespace wuqu
