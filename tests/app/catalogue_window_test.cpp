// The catalogue handlers on the real window, offscreen, against the demo site
// running in this process: real widgets, real mouse and keyboard events, real
// HTTP on loopback and the real player.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/window_actions.h"
#include "app/qt_text.h"
#include "catalogue/download_state.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

using namespace std::chrono_literals;

// Counts the paint events `widget` receives.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

// Does `action` once, from inside whatever loop is running events, as soon
// as `ready` holds: a user who acts while a fill is under way.
class WhenReady {
 public:
  WhenReady(std::function<bool()> ready, std::function<void()> action)
      : ready_(std::move(ready)), action_(std::move(action)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (done_ || !ready_()) return;
      done_ = true;
      timer_.stop();
      action_();
    });
    timer_.start(0);
  }
  bool done() const { return done_; }

 private:
  std::function<bool()> ready_;
  std::function<void()> action_;
  QTimer timer_;
  bool done_ = false;
};

class CatalogueWindowTest : public testing::Test {
 protected:
  void Open(DemoSiteOptions options = {.tracks_per_category = 8}) {
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
    OpenWindow({site_->CatalogueBaseUrl(), site_->MediaBaseUrl()});
  }

  void OpenWindow(catalogue::SiteAddresses sites) {
    state_ = catalogue::CreateDownloadState();
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(
        *window_, *state_, std::move(sites), Utf8ToLocalText(program_folder_.path().toStdString()));
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    // Closes each message box the user would see, noting its text and icon.
    QObject::connect(&box_closer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      messages_.push_back(box->text().toStdString());
      icons_.push_back(box->icon());
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    box_closer_.start(10);
  }

  void TearDown() override {
    box_closer_.stop();
    window_.reset();
    events_.reset();
    if (state_) catalogue::ReleaseDownloadState(*state_);
  }



  std::vector<std::array<Text, 2>> Rows() {
    TrackList& list = window_->track_list();
    std::vector<std::array<Text, 2>> rows;
    for (int r = 0; r < list.RowCount(); ++r) {
      rows.push_back({list.GetCellText(r, 0), list.GetCellText(r, 1)});
    }
    return rows;
  }

  std::vector<std::array<Text, 2>> SiteRows(std::size_t category) {
    std::vector<std::array<Text, 2>> rows;
    for (const SiteTrack& t : site_->Categories().at(category).tracks) {
      rows.push_back({L(t.title), site_->CatalogueBaseUrl() + t.href});
    }
    return rows;
  }

  // The player has the media open: it knows its length.
  bool PlayerLoaded() {
    QMediaPlayer& p = window_->player().Player();
    const auto s = p.mediaStatus();
    return p.duration() > 0 &&
           (s == QMediaPlayer::LoadedMedia || s == QMediaPlayer::BufferingMedia ||
            s == QMediaPlayer::BufferedMedia || s == QMediaPlayer::EndOfMedia);
  }

  // Waits until the site has seen a GET of `path` (decoded).
  bool WaitForRequest(const std::string& path) {
    return WaitFor(
        [&] {
          for (const SiteRequest& r : site_->Requests()) {
            if (r.method == "GET" && r.path == path) return true;
          }
          return false;
        },
        10000);
  }

  // What the site saw since the log was cleared: exactly one page, the play
  // page (`page_target` as sent), and after it the media file `media_path`.
  // Media requests the player still had going for the track it played
  // before may come at any point.
  void ExpectPlayPageThenMedia(const std::string& page_target, const std::string& media_path) {
    std::vector<std::string> pages;
    const bool media_after_page = WaitFor(
        [&] {
          pages.clear();
          bool media = false;
          for (const SiteRequest& r : site_->Requests()) {
            if (r.path.rfind("/mp4/djmusic/", 0) != 0) {
              pages.push_back(r.target);
            } else if (!pages.empty() && r.method == "GET" && r.path == media_path) {
              media = true;
            }
          }
          return media;
        },
        10000);
    EXPECT_EQ(pages, std::vector<std::string>{page_target});
    EXPECT_TRUE(media_after_page) << media_path;
  }

  std::unique_ptr<DemoSite> site_;
  QTemporaryDir program_folder_;  // where downloads would go, beside no program
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
  QTimer box_closer_;
  std::vector<std::string> messages_;  // UTF-8
  std::vector<QMessageBox::Icon> icons_;
};

// Each item of the box lists the category whose caption it shows, from that
// category's own page.
TEST_F(CatalogueWindowTest, EveryCategoryOfTheBoxFillsTheList) {
  Open();
  for (int index = 0; index < 10; ++index) {
    SCOPED_TRACE(index);
    const SiteCategory& category = site_->Categories()[static_cast<std::size_t>(index)];
    EXPECT_EQ(window_->category_box().itemText(index), QString::fromStdString(category.caption));
    site_->ClearRequests();
    ChooseFromTheBox(*window_, index);
    EXPECT_EQ(window_->category_box().SelectedIndex(), index);
    std::vector<std::string> targets;
    for (const SiteRequest& r : site_->Requests()) targets.push_back(r.method + " " + r.target);
    EXPECT_EQ(targets, std::vector<std::string>{"GET /" + category.path});
    EXPECT_EQ(Rows(), SiteRows(static_cast<std::size_t>(index)));
  }
  EXPECT_TRUE(messages_.empty());
}

TEST_F(CatalogueWindowTest, UnreachableSiteEmptiesTheListAndSaysSoOnce) {
  DemoSite stopped;
  ASSERT_TRUE(stopped.Start()) << stopped.Error();
  stopped.Stop();
  OpenWindow({stopped.CatalogueBaseUrl(), stopped.MediaBaseUrl()});
  window_->track_list().AppendRow();
  ChooseFromTheBox(*window_, 2);
  EXPECT_EQ(window_->track_list().RowCount(), 0);
  EXPECT_EQ(messages_, std::vector<std::string>{"匹配失败，请检检查正则语句是否有误，数量：0"});
  EXPECT_EQ(icons_, std::vector<QMessageBox::Icon>{QMessageBox::Critical});
}

// A left click on a row fetches that track's play page, then the player
// fetches the media file and opens it; the address box shows the address.
// The row that is playing, clicked again, is fetched and played again.
TEST_F(CatalogueWindowTest, LeftClickOnARowPlaysItsTrack) {
  Open({.tracks_per_category = 8,
        .extra_tracks = {{.category = 1,
                          .id = "900001",
                          .title = "现场 <b>串烧</b>",
                          .file_value = "2024/现场 串烧/900001"}}});
  ChooseFromTheBox(*window_, 1);
  for (int row : {0, 3, 3}) {
    SCOPED_TRACE(row);
    const SiteTrack& track = site_->Categories()[1].tracks[static_cast<std::size_t>(row)];
    const Text media_url = site_->MediaBaseUrl() + L(track.file_value) + ".mp4";
    site_->ClearRequests();
    ClickRow(*window_, row);
    EXPECT_EQ(window_->media_address_box().GetText(), media_url);
    EXPECT_EQ(window_->player().Url(), media_url);
    ExpectPlayPageThenMedia("/" + track.href, track.MediaPath());
    EXPECT_TRUE(WaitFor([&] { return PlayerLoaded(); }, 10000));
  }
  EXPECT_EQ(window_->track_list().RowCount(), 9);
  EXPECT_TRUE(messages_.empty());
}

// The Play button previews the id in 编辑框EX1 as typed: blanks travel
// percent-encoded, an empty id leaves nothing between the slashes, and a
// page without the file value leaves MediaBaseUrl + ".mp4" to play.
TEST_F(CatalogueWindowTest, PlayButtonPreviewsTheTypedId) {
  Open();
  const SiteTrack* default_track = site_->FindTrack("116717");
  ASSERT_NE(default_track, nullptr);
  const struct {
    const char* typed;  // nullptr: the box as the window opens
    std::string play_page_target;
    std::string media_path;
  } cases[] = {
      {nullptr, "/m/116717/", default_track->MediaPath()},
      {" 116717 ", "/m/%20116717%20/", "/mp4/djmusic/.mp4"},
      {"", "/m//", "/mp4/djmusic/.mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.play_page_target);
    SkinnedEdit& id_box = window_->track_id_box();
    if (c.typed != nullptr) {
      QTest::mouseClick(&id_box, Qt::LeftButton);  // empties the box
      QTest::keyClicks(&id_box, c.typed);
    }
    // The player opens an address it already holds without fetching it anew;
    // start each case from no media so its fetch shows in the log.
    window_->player().SetUrl("");
    site_->ClearRequests();
    QTest::mouseClick(&window_->play_button(), Qt::LeftButton);
    const Text media_url = site_->Url(c.media_path.substr(1));
    EXPECT_EQ(window_->media_address_box().GetText(), media_url);
    EXPECT_EQ(window_->player().Url(), media_url);
    ExpectPlayPageThenMedia(c.play_page_target, c.media_path);
    if (c.media_path == default_track->MediaPath()) {
      EXPECT_TRUE(WaitFor([&] { return PlayerLoaded(); }, 10000));
    }
  }
  EXPECT_TRUE(messages_.empty());
}

// The user picks another category from the keyboard while a long fill runs:
// the list ends with the second category's rows alone, each once.
TEST_F(CatalogueWindowTest, CategoryChosenDuringAFillReplacesIt) {
  Open({.tracks_per_category = 400});
  TrackList& list = window_->track_list();
  int rows_when_chosen = -1;
  WhenReady user([&] { return list.RowCount() >= 50; },
                 [&] {
                   rows_when_chosen = list.RowCount();
                   QTest::keyClick(&window_->category_box(), Qt::Key_Down);  // 3 -> 4
                 });
  ChooseFromTheBox(*window_, 3);
  ASSERT_TRUE(user.done());
  EXPECT_LT(rows_when_chosen, 400);
  EXPECT_EQ(window_->category_box().SelectedIndex(), 4);
  EXPECT_EQ(Rows(), SiteRows(4));
  EXPECT_TRUE(messages_.empty());
}

// A left click on a row that is already filled plays it while the fill goes
// on; the fill then completes as if nothing had happened.
TEST_F(CatalogueWindowTest, LeftClickDuringAFillPlaysThatRow) {
  Open({.tracks_per_category = 300});
  TrackList& list = window_->track_list();
  WhenReady user([&] { return list.RowCount() >= 40; }, [&] { ClickRow(*window_, 5); });
  ChooseFromTheBox(*window_, 0);
  ASSERT_TRUE(user.done());
  const SiteTrack& track = site_->Categories()[0].tracks[5];
  EXPECT_EQ(window_->media_address_box().GetText(),
            site_->MediaBaseUrl() + L(track.file_value) + ".mp4");
  EXPECT_EQ(Rows(), SiteRows(0));
  EXPECT_TRUE(WaitForRequest(track.MediaPath()));
}

// Closing the window in the middle of a fill ends the fill: no row is added
// to the closed window.
TEST_F(CatalogueWindowTest, ClosingTheWindowDuringAFillStopsIt) {
  Open({.tracks_per_category = 300});
  TrackList& list = window_->track_list();
  int rows_when_closed = -1;
  WhenReady user([&] { return list.RowCount() >= 30; },
                 [&] {
                   rows_when_closed = list.RowCount();
                   QTest::mouseClick(&window_->close_button(), Qt::LeftButton);
                 });
  ChooseFromTheBox(*window_, 6);
  ASSERT_TRUE(user.done());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(list.RowCount(), rows_when_closed);
}

// The window destroyed while a fill lets events run: the fill ends without
// touching the controls that are gone (the sanitizer build would catch it).
TEST_F(CatalogueWindowTest, WindowDestroyedDuringAFill) {
  Open({.tracks_per_category = 300});
  window_->category_box().setCurrentIndex(2);
  WhenReady user([&] { return window_->track_list().RowCount() >= 30; }, [&] { window_.reset(); });
  events_->LoadCategoryListing();
  ASSERT_TRUE(user.done());
  EXPECT_EQ(events_->Window(), nullptr);
  // The handlers still answer, on nothing.
  events_->PreviewTrackById();
  events_->LoadCategoryListing();
  EXPECT_TRUE(messages_.empty());
}

// While the listing page is on its way, the window paints, shows the busy
// cursor, ticks the progress timer, and its caption strip drags and
// minimises it. What the user does to the controls meanwhile (a click in the
// id box, which empties it, an id typed, the Play button) happens only once
// the listing handler's fetch is over, in its order, as if the fetch had
// blocked: the typed id plays, after the listing page.
TEST_F(CatalogueWindowTest, WindowLivesWhileAPageIsFetched) {
  constexpr auto kStall = 1500ms;
  Open({.tracks_per_category = 8, .faults = {.first_byte_delay = kStall}});
  const SiteTrack& typed = site_->Categories()[5].tracks[3];
  PaintCounter window_paints(window_.get());
  int ticks = 0;
  QObject::connect(&window_->progress_timer(), &Clock::tick, [&] { ++ticks; });
  window_->progress_timer().SetInterval(100);  // a download's status line
  const Text address_before = window_->media_address_box().GetText();

  struct {
    bool busy_cursor = false;
    QPoint moved_by;
    bool minimised = false;
    bool play_ran_during_the_wait = true;
    Text id_box;
    int ticks = 0;
  } seen;
  WhenReady user([&] { return !site_->Requests().empty(); },
                 [&] {
                   const QCursor* cursor = QApplication::overrideCursor();
                   seen.busy_cursor = cursor != nullptr && cursor->shape() == Qt::BusyCursor;
                   // The caption strip, dragged 40 pixels to the right.
                   const QPoint from(200, 12);
                   const QPoint before = window_->pos();
                   QTest::mousePress(window_.get(), Qt::LeftButton, {}, from);
                   QTest::mouseMove(window_.get(), from + QPoint(40, 0));
                   QTest::mouseRelease(window_.get(), Qt::LeftButton, {}, from + QPoint(40, 0));
                   seen.moved_by = window_->pos() - before;
                   QTest::mouseClick(&window_->minimise_button(), Qt::LeftButton);
                   seen.minimised = window_->isMinimized();
                   window_->showNormal();
                   SkinnedEdit& id_box = window_->track_id_box();
                   QTest::mouseClick(&id_box, Qt::LeftButton);
                   QTest::keyClicks(&id_box, QString::fromStdString(typed.id));
                   QTest::mouseClick(&window_->play_button(), Qt::LeftButton);
                   const int ticks_then = ticks;
                   QTest::qWait(400);
                   seen.ticks = ticks - ticks_then;
                   seen.play_ran_during_the_wait =
                       site_->Requests().size() != 1 ||
                       window_->media_address_box().GetText() != address_before;
                   seen.id_box = id_box.GetText();
                 });
  QElapsedTimer handler;
  handler.start();
  ChooseFromTheBox(*window_, 2);
  const qint64 handler_ms = handler.elapsed();
  ASSERT_TRUE(user.done());

  EXPECT_TRUE(seen.busy_cursor);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(seen.moved_by, QPoint(40, 0));
  EXPECT_TRUE(seen.minimised);
  EXPECT_FALSE(seen.play_ran_during_the_wait);
  EXPECT_EQ(seen.id_box, "116717");
  EXPECT_GE(seen.ticks, 2);
  // The listing page and, inside the fill, the typed id's play page: both
  // held back by the site. At least 20 paints a second all along.
  EXPECT_GE(handler_ms, 2 * std::chrono::milliseconds(kStall).count());
  EXPECT_GE(window_paints.paints, handler_ms / 50) << handler_ms << " ms";
  EXPECT_EQ(Rows(), SiteRows(2));

  EXPECT_EQ(window_->track_id_box().GetText(), typed.id);
  EXPECT_EQ(window_->media_address_box().GetText(),
            site_->MediaBaseUrl() + L(typed.file_value) + ".mp4");
  std::vector<std::string> pages;
  for (const SiteRequest& r : site_->Requests()) {
    if (r.path.rfind("/mp4/", 0) != 0) pages.push_back(r.target);
  }
  EXPECT_EQ(pages, (std::vector<std::string>{"/zw/", "/m/" + typed.id + "/"}));
  EXPECT_TRUE(messages_.empty());
}

// The window closed while a page is on its way: the fetch is given up at
// once, and the handler leaves the closed window as it was: no message, no
// track played, no download started.
TEST_F(CatalogueWindowTest, ClosingTheWindowDuringAFetchGivesItUp) {
  const struct {
    const char* name;
    std::function<void(MainWindow&)> start;
  } cases[] = {
      {"category", [](MainWindow& w) { ChooseFromTheBox(w, 2); }},
      {"Play button", [](MainWindow& w) { QTest::mouseClick(&w.play_button(), Qt::LeftButton); }},
      {"Download button",
       [](MainWindow& w) { QTest::mouseClick(&w.download_button(), Qt::LeftButton); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Open({.tracks_per_category = 8, .faults = {.first_byte_delay = 60s}});
    const Text address_before = window_->media_address_box().GetText();
    WhenReady user([&] { return !site_->Requests().empty(); },
                   [&] { QTest::mouseClick(&window_->close_button(), Qt::LeftButton); });
    QElapsedTimer handler;
    handler.start();
    c.start(*window_);
    ASSERT_TRUE(user.done());
    EXPECT_LT(handler.elapsed(), 5000);  // the page would take a minute
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(window_->media_address_box().GetText(), address_before);
    EXPECT_EQ(window_->player().Url(), Text());
    EXPECT_EQ(window_->progress_timer().Interval(), 0);
    QTest::qWait(200);
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_FALSE(QDir(program_folder_.path()).exists(QStringLiteral("下载")));
    EXPECT_TRUE(messages_.empty());
    TearDown();
  }
}

// The window destroyed while a play page is on its way: the wait ends at
// once and the handler touches nothing that is gone.
TEST_F(CatalogueWindowTest, WindowDestroyedDuringAFetch) {
  Open({.tracks_per_category = 8, .faults = {.first_byte_delay = 60s}});
  WhenReady user([&] { return !site_->Requests().empty(); }, [&] { window_.reset(); });
  QElapsedTimer handler;
  handler.start();
  events_->PreviewTrackById();
  ASSERT_TRUE(user.done());
  EXPECT_LT(handler.elapsed(), 5000);  // the page would take a minute
  EXPECT_EQ(events_->Window(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(messages_.empty());
}

// A long fill: the list grows on screen at least 20 times a second, but is
// repainted at most once a frame, not after every row; when the fill is
// over the list repaints as usual. A 0 ms timer that takes a little time
// keeps the window busy between rows, as other events would.
TEST_F(CatalogueWindowTest, LongFillRepaintsAtTheDisplaysRate) {
  constexpr int kRows = 4000;
  Open({.tracks_per_category = kRows});
  TrackList& list = window_->track_list();
  PaintCounter list_paints(list.viewport());
  QTimer busy;
  QObject::connect(&busy, &QTimer::timeout, [] { std::this_thread::sleep_for(200us); });
  busy.start(0);
  QElapsedTimer fill;
  fill.start();
  ChooseFromTheBox(*window_, 5);
  const qint64 fill_ms = fill.elapsed();
  busy.stop();
  ASSERT_EQ(list.RowCount(), kRows);
  const int paints = list_paints.paints;
  EXPECT_GE(paints, fill_ms / 50 - 1) << fill_ms << " ms";
  EXPECT_LE(paints, fill_ms / 16 + 5) << fill_ms << " ms";

  list.viewport()->update();
  EXPECT_TRUE(WaitFor([&] { return list_paints.paints > paints; }, 2000));
  EXPECT_TRUE(messages_.empty());
}

// The program's handlers are the catalogue's, on the build-time addresses.
TEST(ProgramSiteAddresses, TheProgramsHandlersUseTheBuildTimeConstants) {
  const catalogue::SiteAddresses sites = ProgramSiteAddresses();
  EXPECT_EQ(LocalTextToUtf8(sites.catalogue_base_url), WUQU_TEST_CATALOGUE_BASE_URL);
  EXPECT_EQ(LocalTextToUtf8(sites.media_base_url), WUQU_TEST_MEDIA_BASE_URL);

  auto state = catalogue::CreateDownloadState();
  MainWindow window;
  const std::unique_ptr<WindowEvents> events = MakeWindowEvents(window, *state);
  const auto* catalogue_events = dynamic_cast<const CatalogueEvents*>(events.get());
  ASSERT_NE(catalogue_events, nullptr);
  EXPECT_EQ(catalogue_events->Sites().catalogue_base_url, sites.catalogue_base_url);
  EXPECT_EQ(catalogue_events->Sites().media_base_url, sites.media_base_url);
  EXPECT_EQ(catalogue_events->Window(), &window);
  catalogue::ReleaseDownloadState(*state);
}

}  // namespace
}  // namespace wuqu
