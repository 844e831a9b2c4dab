// The window used with the keyboard alone, offscreen, against the demo site
// running in this process: key events go to the window as the platform
// delivers them (to whichever control has the focus), previews reach the
// player, downloads land on disk with the server's bytes.
#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <qpa/qwindowsysteminterface.h>
#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/track_finder.h"
#include "catalogue/download_state.h"
#include "download/downloader.h"
#include "download/downloader_testing.h"
#include "platform/files.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

using download::testing::FileSha256;

// One key press as the user makes it.
struct Press {
  Qt::Key key;
  Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

std::string FocusName() {
  QWidget* w = QApplication::focusWidget();
  return w == nullptr ? "<none>" : w->objectName().toStdString();
}

// Titles of the tracks put in front of category 0, for finding by typing.
const char* const kTitles[] = {
    "Disco Night", "DJ小明 - DISCO 串烧", "Club Mix",    "慢摇 disco 版",
    "中文串烧",    "Techno Hour",         "Hard techno", "Summer Club",
};

// Every popup that opens while it lives is noted by its class and closed
// within 20 ms, before it takes the keys meant for the window.
class PopupCloser {
 public:
  PopupCloser() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* popup = QApplication::activePopupWidget()) {
        opened_.push_back(popup->metaObject()->className());
        popup->close();
      }
    });
    timer_.start(20);
  }
  const std::vector<std::string>& Opened() const { return opened_; }

 private:
  QTimer timer_;
  std::vector<std::string> opened_;
};

class KeyboardTest : public testing::Test {
 protected:
  void Open() {
    DemoSiteOptions options{.tracks_per_category = 2, .track_media_size = 150 * 1000};
    for (std::size_t i = 0; i < std::size(kTitles); ++i) {
      options.extra_tracks.push_back(
          {.category = 0,
           .id = std::to_string(900001 + i),
           .title = kTitles[i],
           .file_value = "2025/k" + std::to_string(i),
           // The last one plays: a shipped track.
           .synthetic_size = i + 1 < std::size(kTitles) ? 120 * 1000 + i : 0,
           .synthetic_seed = 40 + i});
    }
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
    ASSERT_TRUE(program_folder_.isValid());
    state_ = catalogue::CreateDownloadState();
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(
        *window_, *state_,
        catalogue::SiteAddresses{site_->CatalogueBaseUrl(), site_->MediaBaseUrl()},
        L(program_folder_.path().toStdString()));
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }

  void TearDown() override {
    window_.reset();
    events_.reset();
    if (state_) catalogue::ReleaseDownloadState(*state_);
  }

  // Through the window, to the control with the focus.
  void Key(Press p) {
    QTest::keyClick(window_->windowHandle(), p.key, p.modifiers);
    QApplication::processEvents();
  }
  // Letters typed one by one, each as its key with its text.
  void TypeText(const char* latin1) {
    for (const char* c = latin1; *c != 0; ++c) QTest::keyClick(window_->windowHandle(), *c);
    QApplication::processEvents();
  }
  void Keys(const std::vector<Press>& presses) {
    for (const Press& p : presses) Key(p);
  }
  // The Menu key as X11 delivers it: first a request for a context menu from
  // the keyboard, for the control with the focus, then the key itself.
  void MenuKeyAsOnX11() {
    QWindow* window = window_->windowHandle();
    const QPoint pos(10, 10);
    QWindowSystemInterface::handleContextMenuEvent(window, false, pos, window->mapToGlobal(pos),
                                                   Qt::NoModifier);
    QWindowSystemInterface::flushWindowSystemEvents();
    Key({Qt::Key_Menu});
  }
  void TabTo(const char* object_name) {
    for (int i = 0; i < 10 && FocusName() != object_name; ++i) Key({Qt::Key_Tab});
    ASSERT_EQ(FocusName(), object_name);
  }

  // Category 0 chosen from the keyboard: Tab to the box, F4, Return.
  void ChooseFirstCategory() {
    TabTo("组合框1");
    Key({Qt::Key_F4});
    ASSERT_TRUE(window_->category_box().view()->isVisible());
    Key({Qt::Key_Home});
    Key({Qt::Key_Return});
    ASSERT_TRUE(WaitFor([&] { return Rows() == Tracks().size(); }));
  }

  const std::vector<SiteTrack>& Tracks() const { return site_->Categories()[0].tracks; }
  std::size_t Rows() const { return static_cast<std::size_t>(window_->track_list().RowCount()); }
  Text MediaUrl(int row) const {
    return site_->MediaBaseUrl() + L(Tracks()[static_cast<std::size_t>(row)].file_value) + ".mp4";
  }
  std::string DownloadedFile(int row) const {
    const std::string& value = Tracks()[static_cast<std::size_t>(row)].file_value;
    return program_folder_.path().toStdString() + "/下载/" + value.substr(value.rfind('/') + 1) +
           ".mp4";
  }
  std::string SourceSha(int row) const {
    return *site_->MediaSha256(Tracks()[static_cast<std::size_t>(row)].MediaPath());
  }
  bool WaitForDownloads() {
    return WaitFor(
        [&] {
          return window_->progress_timer().Interval() == 0 &&
                 state_->downloader->ActiveTasks() == 0;
        },
        60000);
  }
  // The rows the list shows, by index.
  std::vector<int> ShownRows() const {
    std::vector<int> rows;
    TrackList& list = window_->track_list();
    for (int r = 0; r < list.RowCount(); ++r) {
      if (!list.topLevelItem(r)->isHidden()) rows.push_back(r);
    }
    return rows;
  }
  // The focus into the list and down to `row`, selected alone, by keys.
  void StartAt(int row) {
    window_->track_list().setFocus(Qt::TabFocusReason);
    Key({Qt::Key_End});  // so that Home moves, and selects
    Key({Qt::Key_Home});
    for (int r = 0; r < row; ++r) Key({Qt::Key_Down});
    ASSERT_EQ(window_->track_list().SelectedRows(), std::vector<int>{row});
  }
  // The row of the track put in front with title kTitles[i].
  int RowTitled(std::size_t i) const {
    for (std::size_t r = 0; r < Tracks().size(); ++r) {
      if (Tracks()[r].title == kTitles[i]) return static_cast<int>(r);
    }
    return -1;
  }
  // The rows of the tracks put in front with these titles, in list order.
  std::vector<int> RowsTitled(std::vector<std::size_t> titles) const {
    std::vector<int> rows;
    for (std::size_t i : titles) rows.push_back(RowTitled(i));
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  QTemporaryDir program_folder_;
  std::unique_ptr<DemoSite> site_;
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
};

// Keys in the track list that select or preview, each from row 1 selected
// alone and nothing previewed: what is selected after, and which row the
// player got (-1: none, and no play page fetched).
TEST_F(KeyboardTest, ListKeysSelectOrPreview) {
  Open();
  ChooseFirstCategory();
  const int last = static_cast<int>(Rows()) - 1;
  std::vector<int> every;
  for (int r = 0; r <= last; ++r) every.push_back(r);
  const struct {
    const char* name;
    std::vector<Press> keys;
    std::vector<int> selected;
    int previewed;
  } cases[] = {
      {"Return", {{Qt::Key_Return}}, {1}, 1},
      {"Down, Enter on the keypad", {{Qt::Key_Down}, {Qt::Key_Enter, Qt::KeypadModifier}}, {2}, 2},
      {"Down, Down", {{Qt::Key_Down}, {Qt::Key_Down}}, {3}, -1},
      {"Shift+Down twice",
       {{Qt::Key_Down, Qt::ShiftModifier}, {Qt::Key_Down, Qt::ShiftModifier}},
       {1, 2, 3},
       -1},
      {"Ctrl+A", {{Qt::Key_A, Qt::ControlModifier}}, every, -1},
      {"Ctrl+Down twice, Ctrl+Space",
       {{Qt::Key_Down, Qt::ControlModifier},
        {Qt::Key_Down, Qt::ControlModifier},
        {Qt::Key_Space, Qt::ControlModifier}},
       {1, 3},
       -1},
      {"Ctrl+Space on the selected row", {{Qt::Key_Space, Qt::ControlModifier}}, {}, -1},
      {"Shift+End, then Return previews the last row alone",
       {{Qt::Key_End, Qt::ShiftModifier}, {Qt::Key_Return}},
       {last},
       last},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window_->player().SetUrl(Text());
    StartAt(1);
    site_->ClearRequests();
    Keys(c.keys);
    EXPECT_EQ(window_->track_list().SelectedRows(), c.selected);
    EXPECT_EQ(FocusName(), "超级列表框1");
    if (c.previewed < 0) {
      EXPECT_EQ(window_->player().Url(), Text());
      for (const SiteRequest& r : site_->Requests())
        EXPECT_NE(r.path.rfind("/m/", 0), 0u) << r.path;
    } else {
      EXPECT_EQ(window_->player().Url(), MediaUrl(c.previewed));
      EXPECT_EQ(window_->media_address_box().GetText(), MediaUrl(c.previewed));
    }
  }
  window_->player().SetUrl(Text());
}

// The desktop's keys for a right click download what a right click on the
// current row would: that row alone, or the selection it belongs to. Every
// file ends with the server's bytes.
TEST_F(KeyboardTest, MenuKeyAndShiftF10Download) {
  Open();
  ChooseFirstCategory();
  const struct {
    const char* name;
    int start;  // the row selected alone and current
    std::vector<Press> keys;
    std::vector<int> downloaded;
  } cases[] = {
      {"Down, Menu", 1, {{Qt::Key_Down}, {Qt::Key_Menu}}, {2}},
      {"Down twice, Shift+F10",
       1,
       {{Qt::Key_Down}, {Qt::Key_Down}, {Qt::Key_F10, Qt::ShiftModifier}},
       {3}},
      {"Shift+Down twice, Menu: a batch",
       5,
       {{Qt::Key_Down, Qt::ShiftModifier}, {Qt::Key_Down, Qt::ShiftModifier}, {Qt::Key_Menu}},
       {5, 6, 7}},
      // Ctrl+Home moves the current row and keeps the selection.
      {"Menu on a row outside the selection takes that row alone",
       6,
       {{Qt::Key_Down, Qt::ShiftModifier}, {Qt::Key_Home, Qt::ControlModifier}, {Qt::Key_Menu}},
       {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAt(c.start);
    Keys(c.keys);
    ASSERT_TRUE(WaitForDownloads());
    for (const int row : c.downloaded) {
      EXPECT_EQ(FileSha256(DownloadedFile(row)), SourceSha(row)) << row;
    }
    EXPECT_EQ(window_->player().Url(), Text());
  }
  // Nothing else was downloaded.
  for (int row : {1, 4}) EXPECT_EQ(FileSize(DownloadedFile(row)), -1) << row;
}

// The category box opens with Alt+Down or F4; Return chooses and loads the
// category, Escape closes the list and loads nothing.
TEST_F(KeyboardTest, CategoryBoxOpensChoosesAndCloses) {
  Open();
  TabTo("组合框1");
  const struct {
    const char* name;
    Press open;
    Press close;
    int chosen;  // -1: nothing loaded
  } cases[] = {
      {"Alt+Down, Down, Return", {Qt::Key_Down, Qt::AltModifier}, {Qt::Key_Return}, 1},
      {"F4, Down, Escape", {Qt::Key_F4}, {Qt::Key_Escape}, -1},
      {"F4, Down, Return", {Qt::Key_F4}, {Qt::Key_Return}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site_->ClearRequests();
    const int before = window_->category_box().SelectedIndex();
    Key(c.open);
    ASSERT_TRUE(WaitFor([&] { return window_->category_box().view()->isVisible(); }));
    Key({Qt::Key_Down});
    Key(c.close);
    EXPECT_TRUE(WaitFor([&] { return !window_->category_box().view()->isVisible(); }));
    QTest::qWait(50);
    std::vector<std::string> fetched;
    for (const SiteRequest& r : site_->Requests()) fetched.push_back(r.path);
    if (c.chosen < 0) {
      EXPECT_EQ(fetched, std::vector<std::string>{});
      EXPECT_EQ(window_->category_box().SelectedIndex(), before);
    } else {
      EXPECT_EQ(window_->category_box().SelectedIndex(), c.chosen);
      EXPECT_EQ(fetched, std::vector<std::string>{"/" + site_->Categories()[c.chosen].path});
      EXPECT_EQ(Rows(), site_->Categories()[c.chosen].tracks.size());
    }
    EXPECT_EQ(FocusName(), "组合框1");
  }
}

// Tab goes through the controls in the order of the layout and round again;
// Shift+Tab goes back. Each control looks different with the focus.
TEST_F(KeyboardTest, TabOrderFollowsTheLayoutAndTheFocusShows) {
  Open();
  ChooseFirstCategory();
  window_->track_id_box().setFocus();
  const std::vector<std::string> order = {"编辑框EX1",   "按钮EX1",   "按钮EX2",   "组合框1",
                                          "超级列表框1", "编辑框EX3", "编辑框EX2", "播放器1"};
  std::vector<std::string> visited;
  for (std::size_t i = 0; i < order.size() + 1; ++i) {
    visited.push_back(FocusName());
    Key({Qt::Key_Tab});
  }
  std::vector<std::string> expected = order;
  expected.push_back(order.front());
  EXPECT_EQ(visited, expected);

  window_->track_id_box().setFocus();
  std::vector<std::string> back;
  for (std::size_t i = 0; i < order.size(); ++i) {
    Key({Qt::Key_Backtab, Qt::ShiftModifier});
    back.push_back(FocusName());
  }
  std::vector<std::string> reversed(order.rbegin(), order.rend() - 1);
  reversed.push_back(order.front());
  EXPECT_EQ(back, reversed);

  for (const std::string& name : order) {
    SCOPED_TRACE(name);
    QWidget* control = window_->findChild<QWidget*>(QString::fromStdString(name));
    ASSERT_NE(control, nullptr);
    window_->progress_bar().setFocusPolicy(Qt::StrongFocus);  // a place to park the focus
    window_->progress_bar().setFocus();
    QApplication::processEvents();
    const QImage without = control->grab().toImage();
    control->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ASSERT_TRUE(control->hasFocus());
    const QImage with = control->grab().toImage();
    EXPECT_NE(with, without);
  }
}

// With the focus, the player takes Space to pause and play, Left and Right
// to seek (held within the track) and Up and Down for the volume.
TEST_F(KeyboardTest, PlayerKeys) {
  Open();
  ChooseFirstCategory();
  StartAt(RowTitled(std::size(kTitles) - 1));  // a shipped track: real media of about 4 s
  Key({Qt::Key_Return});
  QMediaPlayer& media = window_->player().Player();
  ASSERT_TRUE(WaitFor([&] { return media.playbackState() == QMediaPlayer::PlayingState; }, 10000));
  ASSERT_TRUE(WaitFor([&] { return media.duration() > 0 && media.isSeekable(); }, 10000));
  TabTo("播放器1");

  Key({Qt::Key_Space});
  EXPECT_TRUE(WaitFor([&] { return media.playbackState() == QMediaPlayer::PausedState; }));
  Key({Qt::Key_Left});
  EXPECT_TRUE(WaitFor([&] { return media.position() == 0; }));
  Key({Qt::Key_Right});
  // Five seconds on, but no further than the track's end.
  const qint64 expected = std::min<qint64>(MediaPlayer::kSeekStepMs, media.duration());
  EXPECT_TRUE(WaitFor([&] { return std::abs(media.position() - expected) < 300; }))
      << media.position() << " of " << media.duration();
  Key({Qt::Key_Left});
  EXPECT_TRUE(WaitFor([&] { return media.position() < 300; })) << media.position();
  Key({Qt::Key_Space});
  EXPECT_TRUE(WaitFor([&] { return media.playbackState() == QMediaPlayer::PlayingState; }));

  const struct {
    Press key;
    int volume;
  } volume_cases[] = {
      {{Qt::Key_Up}, 90},
      {{Qt::Key_Up}, 100},
      {{Qt::Key_Up}, 100},
      {{Qt::Key_Down}, 90},
  };
  for (const auto& c : volume_cases) {
    Key(c.key);
    EXPECT_EQ(window_->player().Volume(), c.volume);
  }
  EXPECT_EQ(FocusName(), "播放器1");
  window_->player().SetUrl(Text());
}

// Typing in the list opens the find field over its bottom edge and keeps
// only the titles that hold the text, letter case aside; Ctrl+A and the Menu
// key then act on those rows alone; Escape shows every row again.
TEST_F(KeyboardTest, TypeToFind) {
  Open();
  ChooseFirstCategory();
  TrackList& list = window_->track_list();
  TrackFinder& finder = list.Finder();
  // The rows that hold each text, read off the titles the site serves.
  auto holding = [&](const QString& needle) {
    std::vector<int> rows;
    for (std::size_t r = 0; r < Tracks().size(); ++r) {
      if (QString::fromStdString(Tracks()[r].title).contains(needle, Qt::CaseInsensitive)) {
        rows.push_back(static_cast<int>(r));
      }
    }
    return rows;
  };
  // The reference above, checked against the titles chosen for this.
  ASSERT_EQ(holding(QStringLiteral("disco")), RowsTitled({0, 1, 3}));

  StartAt(RowTitled(2));  // Club Mix
  TypeText("DiS");
  ASSERT_TRUE(finder.IsOpen());
  EXPECT_EQ(FocusName(), "trackFinder");
  EXPECT_EQ(finder.Field().text(), QStringLiteral("DiS"));
  EXPECT_EQ(ShownRows(), holding(QStringLiteral("dis")));
  // Over the list's bottom edge, inside it; the list keeps its place.
  const QRect field = finder.Field().geometry();
  EXPECT_TRUE(list.rect().contains(field));
  EXPECT_GE(field.bottom(), list.height() - 4);
  EXPECT_EQ(list.geometry(), QRect(288, 65, 320, 224));
  // Club Mix was selected and is hidden now: nothing hidden stays selected.
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{});

  TypeText("co");
  EXPECT_EQ(ShownRows(), holding(QStringLiteral("disco")));
  Key({Qt::Key_Down});  // into the list, on the first row found
  EXPECT_EQ(FocusName(), "超级列表框1");
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{holding(QStringLiteral("disco")).front()});
  Key({Qt::Key_A, Qt::ControlModifier});
  EXPECT_EQ(list.SelectedRows(), holding(QStringLiteral("disco")));
  Key({Qt::Key_Menu});
  ASSERT_TRUE(WaitForDownloads());
  for (const int row : holding(QStringLiteral("disco"))) {
    EXPECT_EQ(FileSha256(DownloadedFile(row)), SourceSha(row)) << row;
  }
  EXPECT_EQ(FileSize(DownloadedFile(RowTitled(2))), -1);

  // Backspace in the list edits the text; a text nothing holds shows no row.
  Key({Qt::Key_Backspace});
  EXPECT_EQ(finder.Field().text(), QStringLiteral("DiSc"));
  TypeText("xyz");
  EXPECT_EQ(ShownRows(), std::vector<int>{});
  Key({Qt::Key_Return});  // no row to preview
  EXPECT_EQ(window_->player().Url(), Text());

  Key({Qt::Key_Escape});
  EXPECT_FALSE(finder.IsOpen());
  EXPECT_EQ(FocusName(), "超级列表框1");
  EXPECT_EQ(ShownRows().size(), Rows());

  // Chinese through an input method: the composition, then the text it commits.
  StartAt(0);
  QInputMethodEvent composing(QStringLiteral("chuan"), {});
  QApplication::sendEvent(QApplication::focusWidget(), &composing);
  ASSERT_TRUE(finder.IsOpen());
  EXPECT_EQ(FocusName(), "trackFinder");
  QInputMethodEvent commit;
  commit.setCommitString(QStringLiteral("串烧"));
  QApplication::sendEvent(QApplication::focusWidget(), &commit);
  EXPECT_EQ(finder.Field().text(), QStringLiteral("串烧"));
  EXPECT_EQ(ShownRows(), holding(QStringLiteral("串烧")));
  EXPECT_LT(ShownRows().size(), Rows());
  // Return previews the first row shown.
  const int first_shown = holding(QStringLiteral("串烧")).front();
  Key({Qt::Key_Return});
  EXPECT_EQ(window_->player().Url(), MediaUrl(first_shown));
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{first_shown});

  // A new category closes the field: its rows all show.
  window_->player().SetUrl(Text());
  ASSERT_TRUE(finder.IsOpen());
  TabTo("组合框1");
  Key({Qt::Key_Down});
  ASSERT_TRUE(WaitFor([&] { return Rows() == site_->Categories()[1].tracks.size(); }));
  EXPECT_FALSE(finder.IsOpen());
  EXPECT_EQ(ShownRows().size(), Rows());
}

// While the find field has the focus, the keys that act on rows go on to the
// list: Ctrl+A selects every row shown (not the field's text), the Menu key
// (as X11 delivers it: a context menu request, then the key) and Shift+F10
// download as a right click on the current row does. "Type, Ctrl+A, Menu"
// downloads exactly the rows shown, as one batch, and no menu opens; the
// mouse's right button on the field still gives its text menu.
TEST_F(KeyboardTest, FindFieldPassesRowKeysToTheList) {
  Open();
  ChooseFirstCategory();
  TrackList& list = window_->track_list();
  TrackFinder& finder = list.Finder();
  const struct {
    const char* name;
    const char* typed;
    std::vector<int> found;
    bool select_all;  // Ctrl+A in the field first: every row found downloads
    bool shift_f10;   // Shift+F10 in place of the Menu key
  } cases[] = {
      {"Menu: the current row alone", "club", RowsTitled({2, 7}), false, false},
      {"Ctrl+A, Menu: every row shown", "disco", RowsTitled({0, 1, 3}), true, false},
      {"Ctrl+A, Shift+F10: every row shown", "techno", RowsTitled({5, 6}), true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAt(RowTitled(4));  // 中文串烧: none of the texts finds it
    TypeText(c.typed);
    ASSERT_EQ(FocusName(), "trackFinder");
    ASSERT_EQ(ShownRows(), c.found);
    // Without Ctrl+A the current row: the first one found.
    const std::vector<int> downloaded = c.select_all ? c.found : std::vector<int>{c.found.front()};
    site_->ClearRequests();
    PopupCloser popups;
    if (c.select_all) {
      Key({Qt::Key_A, Qt::ControlModifier});
      EXPECT_EQ(list.SelectedRows(), c.found);
      EXPECT_EQ(FocusName(), "超级列表框1");
      EXPECT_EQ(finder.Field().text(), QString::fromLatin1(c.typed));
      EXPECT_EQ(finder.Field().selectedText(), QString());
      // From the list the Menu key comes the same way.
      finder.Field().setFocus();
    }
    if (c.shift_f10) {
      Key({Qt::Key_F10, Qt::ShiftModifier});
    } else {
      MenuKeyAsOnX11();
    }
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    ASSERT_TRUE(WaitForDownloads());
    EXPECT_EQ(popups.Opened(), std::vector<std::string>{});
    std::vector<std::string> fetched;
    for (const SiteRequest& r : site_->Requests()) {
      if (r.path.rfind("/mp4/", 0) == 0) fetched.push_back(r.path);
    }
    std::sort(fetched.begin(), fetched.end());
    fetched.erase(std::unique(fetched.begin(), fetched.end()), fetched.end());
    std::vector<std::string> expected;
    for (const int row : downloaded) {
      expected.push_back(Tracks()[static_cast<std::size_t>(row)].MediaPath());
      EXPECT_EQ(FileSha256(DownloadedFile(row)), SourceSha(row)) << row;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fetched, expected);
    // A batch of them all ends in its count; one download has none.
    const std::string status = LocalTextToUtf8(window_->status_label().GetText());
    if (downloaded.size() > 1) {
      EXPECT_NE(status.find("共" + std::to_string(downloaded.size()) + "首"), std::string::npos)
          << status;
    } else {
      EXPECT_EQ(status.find("共"), std::string::npos) << status;
    }
    Key({Qt::Key_Escape});
    ASSERT_FALSE(finder.IsOpen());
  }
  EXPECT_EQ(FileSize(DownloadedFile(RowTitled(4))), -1);

  // The mouse's right button on the field: its own text menu.
  TypeText("club");
  ASSERT_EQ(FocusName(), "trackFinder");
  PopupCloser popups;
  QTest::mouseClick(window_->windowHandle(), Qt::RightButton, {},
                    finder.Field().mapTo(window_.get(), QPoint(5, 5)));
  EXPECT_TRUE(WaitFor([&] { return !popups.Opened().empty(); }));
  EXPECT_EQ(popups.Opened(), std::vector<std::string>{"QMenu"});
  Key({Qt::Key_Escape});
}

// The cells of the row titled `title` as assistive technology finds them:
// the list's children that are cells and bear the title as their name.
std::vector<QAccessibleInterface*> CellsTitled(TrackList& list, const std::string& title) {
  std::vector<QAccessibleInterface*> cells;
  list.doItemsLayout();  // as once the list has been painted: Qt counts the rows laid out
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&list);
  for (int i = 0; i < iface->childCount(); ++i) {
    QAccessibleInterface* child = iface->child(i);
    if (child != nullptr && child->tableCellInterface() != nullptr &&
        child->text(QAccessible::Name).toStdString() == title) {
      cells.push_back(child);
    }
  }
  return cells;
}

// A screen reader acts on a row: its cells offer preview and download, which
// do what a left and a right click on the row do, also while the find field
// hides rows, and again after the list was filled anew.
TEST_F(KeyboardTest, RowActionsPreviewAndDownload) {
  Open();
  QPlatformAccessibility* platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
  ASSERT_NE(platform, nullptr);
  platform->setActive(true);  // as when a screen reader listens: the rows' changes reach it
  ChooseFirstCategory();
  TrackList& list = window_->track_list();
  auto title = [&](int row) { return Tracks()[static_cast<std::size_t>(row)].title; };

  std::vector<QAccessibleInterface*> cells = CellsTitled(list, title(2));
  ASSERT_FALSE(cells.empty());
  QAccessibleActionInterface* actions = cells.front()->actionInterface();
  ASSERT_NE(actions, nullptr);
  EXPECT_TRUE(actions->actionNames().contains(QStringLiteral("preview")));
  EXPECT_TRUE(actions->actionNames().contains(QStringLiteral("download")));
  EXPECT_EQ(actions->localizedActionName(QStringLiteral("preview")).toStdString(), "试听");
  EXPECT_EQ(actions->localizedActionName(QStringLiteral("download")).toStdString(), "下载");
  EXPECT_EQ(cells.front()->parent(), QAccessible::queryAccessibleInterface(&list));

  actions->doAction(QStringLiteral("preview"));
  EXPECT_EQ(window_->player().Url(), MediaUrl(2));
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{2});
  window_->player().SetUrl(Text());

  // With rows hidden, the action takes the row it belongs to.
  StartAt(0);
  TypeText("disco");
  const int found = RowsTitled({0, 1, 3}).back();
  cells = CellsTitled(list, title(found));
  ASSERT_FALSE(cells.empty());
  cells.front()->actionInterface()->doAction(QStringLiteral("download"));
  ASSERT_TRUE(WaitForDownloads());
  EXPECT_EQ(FileSha256(DownloadedFile(found)), SourceSha(found));
  for (int row = 0; row < static_cast<int>(Rows()); ++row) {
    if (row != found) {
      EXPECT_EQ(FileSize(DownloadedFile(row)), -1) << row;
    }
  }
  EXPECT_EQ(window_->player().Url(), Text());

  // A new fill: the cells of the old rows are gone, the new ones act.
  Key({Qt::Key_Escape});
  TabTo("组合框1");
  Key({Qt::Key_Down});
  ASSERT_TRUE(WaitFor([&] { return Rows() == site_->Categories()[1].tracks.size(); }));
  const std::string first_title = site_->Categories()[1].tracks[0].title;
  cells = CellsTitled(list, first_title);
  ASSERT_FALSE(cells.empty());
  cells.front()->actionInterface()->doAction(QStringLiteral("preview"));
  EXPECT_EQ(window_->player().Url(),
            site_->MediaBaseUrl() + L(site_->Categories()[1].tracks[0].file_value) + ".mp4");
  window_->player().SetUrl(Text());
  platform->setActive(false);
}

}  // namespace
}  // namespace wuqu
