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
  QObject::connect(&w->combo_box1(), &CategoryBox::itemSelected, w,
                   [e] { e->LoadCategoryListing(); });
  QObject::connect(&w->super_list_box1(), &TrackList::rowLeftClicked, w,
                   [e] { e->PreviewSelectedTrack(); });
  QObject::connect(&w->super_list_box1(), &TrackList::rowRightClicked, w,
                   [e] { e->DownloadSelectedTrack(); });
  QObject::connect(&w->button_ex1(), &QPushButton::clicked, w, [e] { e->PreviewTrackById(); });
  QObject::connect(&w->button_ex2(), &QPushButton::clicked, w, [e] { e->DownloadTrackById(); });
  QObject::connect(&w->edit_box_ex1(), &SkinnedEdit::mousePressed, w,
                   [w](qint32 x, qint32 y) { ClearTrackNumber(*w, x, y); });
  QObject::connect(&w->clock1(), &Clock::tick, w, [e] { e->OnProgressTick(); });
}

}  // namespace wuqu
