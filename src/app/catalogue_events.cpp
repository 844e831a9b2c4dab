#include "app/catalogue_events.h"

#include "app/main_window.h"
#include "catalogue/download.h"
#include "catalogue/download_state.h"
#include "catalogue/listing.h"
#include "catalogue/preview.h"
#include "catalogue/progress.h"
#include "platform/files.h"
#include "text/codepage.h"

namespace wuqu {

// The catalogue's view of the window, on the real controls. Each control is
// reached through the window's guarded pointer, so a handler that outlives
// the window (a fill lets events run, and one of them may close or destroy
// it) touches nothing that is gone.
struct CatalogueEvents::WindowControls {
  struct List final : catalogue::TrackListControl {
    explicit List(const QPointer<MainWindow>& w) : w(w) {}
    void DeleteAllRows() override {
      if (w) w->super_list_box1().DeleteAllRows();
    }
    int AppendRow() override { return w ? w->super_list_box1().AppendRow() : -1; }
    void SetCellText(int row, int column, const Text& text) override {
      if (w) w->super_list_box1().SetCellText(row, column, text);
    }
    Text GetCellText(int row, int column) const override {
      return w ? w->super_list_box1().GetCellText(row, column) : Text();
    }
    int SelectedRow() const override { return w ? w->super_list_box1().SelectedRow() : -1; }
    std::vector<int> SelectedRows() const override {
      return w ? w->super_list_box1().SelectedRows() : std::vector<int>();
    }
    const QPointer<MainWindow>& w;
  };
  struct Chooser final : catalogue::CategoryChooser {
    explicit Chooser(const QPointer<MainWindow>& w) : w(w) {}
    int SelectedIndex() const override { return w ? w->combo_box1().SelectedIndex() : -1; }
    const QPointer<MainWindow>& w;
  };
  struct Box final : catalogue::TextBoxControl {
    Box(const QPointer<MainWindow>& w, SkinnedEdit& (MainWindow::*box)()) : w(w), box(box) {}
    Text GetText() const override { return w ? ((*w).*box)().GetText() : Text(); }
    void SetText(const Text& text) override {
      if (w) ((*w).*box)().SetText(text);
    }
    const QPointer<MainWindow>& w;
    SkinnedEdit& (MainWindow::*box)();
  };
  struct Player final : catalogue::PlayerControl {
    explicit Player(const QPointer<MainWindow>& w) : w(w) {}
    void SetUrl(const Text& url) override {
      if (w) w->player1().SetUrl(url);
    }
    const QPointer<MainWindow>& w;
  };
  struct Messages final : catalogue::ErrorBox {
    explicit Messages(const QPointer<MainWindow>& w) : w(w) {}
    void ShowError(const Text& message) override {
      if (w) w->ShowErrorBox(message);
    }
    const QPointer<MainWindow>& w;
  };

  struct Bar final : catalogue::ProgressBarControl {
    explicit Bar(const QPointer<MainWindow>& w) : w(w) {}
    int Position() const override { return w ? w->progress_bar1().Position() : 0; }
    void SetPosition(int position) override {
      if (w) w->progress_bar1().SetPosition(position);
    }
    const QPointer<MainWindow>& w;
  };
  struct Timer final : catalogue::TimerControl {
    explicit Timer(const QPointer<MainWindow>& w) : w(w) {}
    void SetInterval(int milliseconds) override {
      if (w) w->clock1().SetInterval(milliseconds);
    }
    const QPointer<MainWindow>& w;
  };
  struct Label final : catalogue::LabelControl {
    explicit Label(const QPointer<MainWindow>& w) : w(w) {}
    void SetText(const Text& text) override {
      if (w) w->label_ex3().SetText(text);
    }
    bool Fits(const Text& text) const override { return !w || w->label_ex3().Fits(text); }
    const QPointer<MainWindow>& w;
  };

  explicit WindowControls(const QPointer<MainWindow>& w)
      : list(w),
        chooser(w),
        id_box(w, &MainWindow::edit_box_ex1),
        address_box(w, &MainWindow::edit_box_ex3),
        player(w),
        messages(w),
        thread_count_box(w, &MainWindow::edit_box_ex2),
        bar(w),
        timer(w),
        status_label(w) {}

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
      controls_(std::make_unique<WindowControls>(window_)) {
  // A closed or destroyed window shows no listing any more: a fill in
  // progress stops at its next row.
  catalogue::CatalogueWindow* controls = &controls_->window;
  closed_ =
      QObject::connect(&window, &MainWindow::closed, [controls] { ++controls->listing_serial; });
  destroyed_ =
      QObject::connect(&window, &QObject::destroyed, [controls] { ++controls->listing_serial; });
}

CatalogueEvents::~CatalogueEvents() {
  QObject::disconnect(closed_);
  QObject::disconnect(destroyed_);
}

void CatalogueEvents::LoadCategoryListing() {
  catalogue::LoadCategoryListing(controls_->window, sites_);
}

void CatalogueEvents::PreviewSelectedTrack() {
  catalogue::PreviewSelectedTrack(controls_->window, sites_);
}

void CatalogueEvents::PreviewTrackById() {
  catalogue::PreviewTrackById(controls_->window, sites_);
}

// The download state as the download handlers and the tick use it. Nothing
// is left to do once shutdown has released the task record.
namespace {
template <typename Handler>
void WithSession(catalogue::DownloadState& state, catalogue::DownloadQueue& queue,
                 Handler handler) {
  if (!state.task) return;
  catalogue::ProgramDownloader downloader(state.downloader);
  catalogue::DownloadSession session{state.download_file_name, *state.task, downloader, queue};
  handler(session);
}
}  // namespace

void CatalogueEvents::DownloadSelectedTrack() {
  WithSession(state_, queue_, [this](catalogue::DownloadSession& session) {
    catalogue::DownloadSelectedTrack(controls_->window, sites_, program_folder_, session);
  });
}

void CatalogueEvents::DownloadTrackById() {
  WithSession(state_, queue_, [this](catalogue::DownloadSession& session) {
    catalogue::DownloadTrackById(controls_->window, sites_, program_folder_, session);
  });
}

void CatalogueEvents::OnProgressTick() {
  WithSession(state_, queue_, [this](catalogue::DownloadSession& session) {
    catalogue::OnProgressTick(controls_->window, program_folder_, session);
  });
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
