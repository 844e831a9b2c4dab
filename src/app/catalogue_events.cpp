#include "app/catalogue_events.h"

#include <QMenu>

#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/window_wait.h"
#include "catalogue/download.h"
#include "catalogue/download_state.h"
#include "catalogue/listing.h"
#include "catalogue/new_tracks.h"
#include "catalogue/preview.h"
#include "catalogue/progress.h"
#include "platform/files.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu {

// The window while it is open: null once it has closed or gone. A closed
// window stays closed: the program is ending, and a handler that was still
// running (a fill lets events run, a fetch gives up when the window closes)
// leaves the controls as they are and shows nothing more.
namespace {
class LiveWindow {
 public:
  explicit LiveWindow(MainWindow& window) : window_(&window) {}
  void Close() { closed_ = true; }
  bool Closed() const { return closed_ || window_.isNull(); }
  explicit operator bool() const { return !Closed(); }
  MainWindow* operator->() const { return window_.data(); }
  MainWindow& operator*() const { return *window_; }

 private:
  QPointer<MainWindow> window_;
  bool closed_ = false;
};
}  // namespace

// The catalogue's view of the window, on the real controls. Each control is
// reached through the live window, so a handler that outlives the window
// touches nothing that is gone or closed.
struct CatalogueEvents::WindowControls {
  struct List final : catalogue::TrackListControl {
    explicit List(const LiveWindow& w) : w(w) {}
    void DeleteAllRows() override {
      if (w) w->track_list().DeleteAllRows();
    }
    int AppendRow() override { return w ? w->track_list().AppendRow() : -1; }
    void SetCellText(int row, int column, const Text& text) override {
      if (w) w->track_list().SetCellText(row, column, text);
    }
    Text GetCellText(int row, int column) const override {
      return w ? w->track_list().GetCellText(row, column) : Text();
    }
    int SelectedRow() const override { return w ? w->track_list().SelectedRow() : -1; }
    std::vector<int> SelectedRows() const override {
      return w ? w->track_list().SelectedRows() : std::vector<int>();
    }
    int RowCount() const override { return w ? w->track_list().RowCount() : 0; }
    void SetRowMark(int row, catalogue::TrackMark mark) override {
      if (w) w->track_list().SetRowMark(row, mark);
    }
    void SetRowNew(int row, bool is_new) override {
      if (w) w->track_list().SetRowNew(row, is_new);
    }
    const LiveWindow& w;
  };
  struct Chooser final : catalogue::CategoryChooser {
    explicit Chooser(const LiveWindow& w) : w(w) {}
    int SelectedIndex() const override { return w ? w->category_box().SelectedIndex() : -1; }
    const LiveWindow& w;
  };
  struct Box final : catalogue::TextBoxControl {
    Box(const LiveWindow& w, SkinnedEdit& (MainWindow::*box)()) : w(w), box(box) {}
    Text GetText() const override { return w ? ((*w).*box)().GetText() : Text(); }
    void SetText(const Text& text) override {
      if (w) ((*w).*box)().SetText(text);
    }
    const LiveWindow& w;
    SkinnedEdit& (MainWindow::*box)();
  };
  struct Player final : catalogue::PlayerControl {
    explicit Player(const LiveWindow& w) : w(w) {}
    void SetUrl(const Text& url) override {
      if (w) w->player().SetUrl(url);
    }
    const LiveWindow& w;
  };
  struct Messages final : catalogue::ErrorBox {
    explicit Messages(const LiveWindow& w) : w(w) {}
    void ShowError(const Text& message) override {
      if (w) w->ShowErrorBox(message);
    }
    const LiveWindow& w;
  };

  struct Bar final : catalogue::ProgressBarControl {
    explicit Bar(const LiveWindow& w) : w(w) {}
    int Position() const override { return w ? w->progress_bar().Position() : 0; }
    void SetPosition(int position) override {
      if (w) w->progress_bar().SetPosition(position);
    }
    const LiveWindow& w;
  };
  struct Timer final : catalogue::TimerControl {
    explicit Timer(const LiveWindow& w) : w(w) {}
    void SetInterval(int milliseconds) override {
      if (w) w->progress_timer().SetInterval(milliseconds);
    }
    const LiveWindow& w;
  };
  struct Label final : catalogue::LabelControl {
    explicit Label(const LiveWindow& w) : w(w) {}
    void SetText(const Text& text) override {
      if (w) w->status_label().SetText(text);
    }
    bool Fits(const Text& text) const override { return !w || w->status_label().Fits(text); }
    const LiveWindow& w;
  };

  explicit WindowControls(MainWindow& window)
      : live(window),
        wait_hook(window),
        scoped_wait_hook(wait_hook),
        list(live),
        chooser(live),
        id_box(live, &MainWindow::track_id_box),
        address_box(live, &MainWindow::media_address_box),
        player(live),
        messages(live),
        thread_count_box(live, &MainWindow::thread_count_box),
        bar(live),
        timer(live),
        status_label(live) {}

  LiveWindow live;
  // Network waits of the handlers let this window paint.
  WindowWaitHook wait_hook;
  ScopedWaitHook scoped_wait_hook;
  List list;
  Chooser chooser;
  Box id_box;
  Box address_box;
  Player player;
  Messages messages;
  Box thread_count_box;
  Bar bar;
  Timer timer;
  Label status_label;
  // A pump of its own: the window's may go while events run.
  QtEventPump pump;
  catalogue::CatalogueWindow window{list,   chooser,  id_box,      address_box,
                                    player, messages, pump,        thread_count_box,
                                    bar,    timer,    status_label};
};

CatalogueEvents::CatalogueEvents(MainWindow& window, catalogue::DownloadState& state,
                                 catalogue::SiteAddresses sites, Text program_folder)
    : window_(&window),
      state_(state),
      sites_(std::move(sites)),
      program_folder_(std::move(program_folder)),
      controls_(std::make_unique<WindowControls>(window)),
      verbs_downloader_(state.downloader),
      notices_(window) {
  downloads_.Connect(&verbs_downloader_, state_.log.get());
  // A closed or destroyed window shows no listing any more: a fill in
  // progress stops at its next row.
  WindowControls* controls = controls_.get();
  // A verb's work (a download to start, a batch's end line) is the tick's.
  downloads_.SetWake(
      [controls] { controls->window.timer.SetInterval(catalogue::kProgressTickPeriod); });
  closed_ = QObject::connect(&window, &MainWindow::closed, [controls] {
    controls->live.Close();
    ++controls->window.listing_serial;
  });
  destroyed_ = QObject::connect(&window, &QObject::destroyed,
                                [controls] { ++controls->window.listing_serial; });
}

CatalogueEvents::~CatalogueEvents() {
  QObject::disconnect(closed_);
  QObject::disconnect(destroyed_);
}

void CatalogueEvents::LoadCategoryListing() {
  if (state_.log) {
    catalogue::LoadCategoryListing(controls_->window, sites_, *state_.log,
                                   catalogue::WallClockMs());
    catalogue::MarkTrackRows(controls_->window, *state_.log);
  } else {
    catalogue::LoadCategoryListing(controls_->window, sites_);
  }
  marks_seen_ = state_.log ? state_.log->MarksVersion() : 0;
}

void CatalogueEvents::PreviewSelectedTrack() {
  catalogue::PreviewSelectedTrack(controls_->window, sites_, state_.log.get());
}

void CatalogueEvents::PreviewTrackById() {
  catalogue::PreviewTrackById(controls_->window, sites_, state_.log.get());
}

// The download state as the download handlers and the tick use it. Nothing
// is left to do once shutdown has released the task record.
namespace {
template <typename Handler>
void WithSession(catalogue::DownloadState& state, catalogue::UserDownloads& queue,
                 catalogue::DownloadNotices& notices, Handler handler) {
  if (!state.task) return;
  catalogue::ProgramDownloader downloader(state.downloader);
  catalogue::DownloadSession session{state.download_file_name, *state.task, downloader, queue};
  session.log = state.log.get();
  session.notices = &notices;
  session.tagger = state.tagger.get();
  handler(session);
}
}  // namespace

// The rows follow the log's marks whenever a download has ended.
void CatalogueEvents::RefreshMarks() {
  if (!state_.log || state_.log->MarksVersion() == marks_seen_) return;
  marks_seen_ = state_.log->MarksVersion();
  catalogue::MarkTrackRows(controls_->window, *state_.log);
}

void CatalogueEvents::ResumeUnfinishedDownloads() {
  WithSession(state_, downloads_, notices_, [this](catalogue::DownloadSession& session) {
    catalogue::ResumeUnfinishedDownloads(controls_->window, sites_, program_folder_, session);
  });
}

void CatalogueEvents::RetryBatchFailures() {
  WithSession(state_, downloads_, notices_, [this](catalogue::DownloadSession& session) {
    catalogue::RetryBatchFailures(controls_->window, program_folder_, session);
  });
  RefreshMarks();
}

void CatalogueEvents::DownloadSelectedTrack() {
  WithSession(state_, downloads_, notices_, [this](catalogue::DownloadSession& session) {
    catalogue::DownloadSelectedTrack(controls_->window, sites_, program_folder_, session);
  });
  RefreshMarks();
}

void CatalogueEvents::DownloadTrackById() {
  WithSession(state_, downloads_, notices_, [this](catalogue::DownloadSession& session) {
    catalogue::DownloadTrackById(controls_->window, sites_, program_folder_, session);
  });
  RefreshMarks();
}

void CatalogueEvents::OnProgressTick() {
  WithSession(state_, downloads_, notices_, [this](catalogue::DownloadSession& session) {
    catalogue::OnProgressTick(controls_->window, program_folder_, session);
  });
  NoteLineRow();
  RefreshMarks();
}

void CatalogueEvents::NoteLineRow() {
  const catalogue::DownloadRowId row = downloads_.FollowedRow();
  if (row != catalogue::kNoRow) line_row_ = row;
}

void CatalogueEvents::ShowStatusLineMenu() {
  MainWindow* window = window_.data();
  if (window == nullptr) return;
  namespace t = ui_texts;
  NoteLineRow();
  auto* menu = new QMenu(window);
  menu->setObjectName(QStringLiteral("statusLineMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const catalogue::DownloadRowId row = line_row_;
  catalogue::UserDownloads& downloads = downloads_;
  if (downloads.CanPause(row)) {
    menu->addAction(ToQString(t::kStatusMenuPause), [&downloads, row] { downloads.Pause(row); });
  } else if (downloads.CanResume(row)) {
    menu->addAction(ToQString(t::kStatusMenuResume), [&downloads, row] { downloads.Resume(row); });
  }
  if (downloads.CanCancel(row)) {
    menu->addAction(ToQString(t::kStatusMenuCancel), [&downloads, row] { downloads.Cancel(row); });
  }
  if (const catalogue::DownloadBatchId batch = downloads.RunningBatch();
      batch != catalogue::kNoBatch) {
    menu->addAction(ToQString(t::kStatusMenuCancelBatch),
                    [&downloads, batch] { downloads.CancelBatch(batch); });
  }
  if (downloads.ShowsBatchFailures()) {
    menu->addAction(ToQString(t::kStatusMenuRetryFailures), [this] { RetryBatchFailures(); });
  }
  QPointer<MainWindow> target(window);
  menu->addAction(ToQString(t::kStatusMenuDownloadsWindow), [target] {
    if (target) emit target->openDownloadsWindow();
  });
  SkinnedLabel& label = window->status_label();
  menu->popup(label.mapToGlobal(label.rect().center()));
}

catalogue::DownloadLog* CatalogueEvents::SettingsLog() {
  return state_.log.get();
}

catalogue::CatalogueWindow& CatalogueEvents::Controls() {
  return controls_->window;
}

MainWindow* CatalogueEvents::Window() const {
  return window_.data();
}

Text ProgramFolderText() {
  return Utf8ToLocalText(std::string_view(ProgramFolder()));
}

}  // namespace wuqu
