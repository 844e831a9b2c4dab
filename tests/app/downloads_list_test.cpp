// The downloads window 下载列表, offscreen, on the real main window and its
// handlers: opened with Ctrl+J from every control, its rows as the user's
// downloads stand, its keys, buttons and row menu acting on the selected
// rows, the rows following the model at the tick without losing the
// selection, the current row or the rows in view, and the rows' actions as
// assistive technology finds them.
#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWindow>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/downloads_table_model.h"
#include "app/downloads_window.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/track_finder.h"
#include "catalogue/download_state.h"
#include "catalogue/status_line.h"
#include "catalogue/stored_download_log.h"
#include "store/store.h"
#include "download/downloader_testing.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

using catalogue::DownloadRowId;
using catalogue::RememberedDownload;
using catalogue::RememberedPhase;
using catalogue::RowPhase;

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

// Takes the URLs QDesktopServices is asked to open (file://), in place of
// the desktop.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
  ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  std::vector<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }
};

class DownloadsWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    state_ = catalogue::CreateDownloadState();
    if (!store_path_.empty()) state_->log = catalogue::OpenDownloadLog(store_path_, std::cerr);
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(*window_, *state_, sites_,
                                                L(folder_.path().toStdString()));
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

  catalogue::UserDownloads& Downloads() { return events_->Downloads(); }
  DownloadsWindow* List() {
    return window_->findChild<DownloadsWindow*>(QString(), Qt::FindDirectChildrenOnly);
  }
  // Ctrl+J in the main window, as the platform delivers it.
  DownloadsWindow& OpenList() {
    QTest::keyClick(window_->windowHandle(), Qt::Key_J, Qt::ControlModifier);
    QApplication::processEvents();
    DownloadsWindow* list = List();
    EXPECT_NE(list, nullptr);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(list));
    list->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(list));
    return *list;
  }
  void Key(DownloadsWindow& list, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(list.windowHandle(), key, mods);
    QApplication::processEvents();
  }

  // A file in the download folder, of `size` bytes.
  Text MakeFile(const std::string& name, std::size_t size) {
    const std::string path = folder_.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return L(path);
  }
  // A remembered download, titled `title`.
  RememberedDownload Remembered(const std::string& title, RememberedPhase phase,
                                Text file = Text(), std::int64_t size = -1) {
    RememberedDownload d;
    d.record = next_record_++;
    d.play_page = L("http://127.0.0.1:1/m/" + std::to_string(d.record) + "/");
    d.title = L(title);
    d.target_path = file;
    d.phase = phase;
    d.size = size;
    return d;
  }
  // The id of the row titled `title`.
  DownloadRowId IdTitled(const std::string& title) {
    for (std::size_t i = 0; i < Downloads().RowCount(); ++i) {
      if (Downloads().RowAt(i).title == L(title)) return Downloads().RowAt(i).id;
    }
    return catalogue::kNoRow;
  }
  // Where the row titled `title` stands; "gone" when off the list.
  std::string PhaseOf(const std::string& title) {
    const DownloadRowId id = IdTitled(title);
    if (id == catalogue::kNoRow) return "gone";
    switch (Downloads().Find(id)->phase) {
      case RowPhase::kWaiting: return "waiting";
      case RowPhase::kRunning: return "running";
      case RowPhase::kPaused: return "paused";
      case RowPhase::kComplete: return "complete";
      case RowPhase::kAlreadyThere: return "already there";
      case RowPhase::kFailed: return "failed";
      case RowPhase::kCancelled: return "cancelled";
    }
    return "?";
  }
  // The table's cells of column `column`, top to bottom, in UTF-8.
  std::vector<std::string> Column(DownloadsWindow& list, int column) {
    std::vector<std::string> cells;
    QAbstractItemModel* model = list.Table().model();
    for (int r = 0; r < model->rowCount(); ++r) {
      cells.push_back(model->index(r, column).data().toString().toStdString());
    }
    return cells;
  }
  // Selects the rows titled so, as Ctrl-clicks on them do.
  void Select(DownloadsWindow& list, const std::vector<std::string>& titles) {
    list.Table().clearSelection();
    for (const std::string& t : titles) {
      const int row = list.Model().RowOf(IdTitled(t));
      ASSERT_GE(row, 0) << t;
      const QRect cell = list.Table().visualRect(list.Model().index(row, 0));
      QTest::mouseClick(list.Table().viewport(), Qt::LeftButton, Qt::ControlModifier,
                        cell.center());
    }
  }
  // The running row titled `title`, at `percent` of 1 MB, at about 100 KB/s.
  void Running(const std::string& title, int percent) {
    const DownloadRowId id = IdTitled(title);
    Downloads().NoteRunning(id, MakeFile(title + ".mp4", 0));
    const std::int64_t bytes = 10000LL * percent;
    Downloads().NoteProgress(id, bytes - 100000, 1000000, 1000);
    Downloads().NoteProgress(id, bytes, 1000000, 2000);
  }

  RememberedDownload Failed(const std::string& title) {
    RememberedDownload d = Remembered(title, RememberedPhase::kFailed);
    d.cause = download::FailureCause::kHttpStatus;
    d.http_status = 404;
    return d;
  }
  // One of each phase, newest last; 下载中 at 40 %.
  void RememberOneOfEach() {
    Downloads().Remember(
        {Remembered("完成的", RememberedPhase::kComplete, MakeFile("done.mp4", 3 * 1024 * 1024),
                    3 * 1024 * 1024),
         Failed("失败的"),
         Remembered("取消的", RememberedPhase::kCancelled),
         Remembered("暂停的", RememberedPhase::kPaused, MakeFile("half.mp4", 1000), 400000),
         Remembered("等待的", RememberedPhase::kQueued),
         Remembered("下载中的", RememberedPhase::kQueued)},
        events_->Sites());
    Running("下载中的", 40);
  }

  QTemporaryDir folder_;
  // Where the download log's store is; empty: nothing is remembered.
  std::string store_path_;
  // No site answers here but the one a test starts.
  catalogue::SiteAddresses sites_{L("http://127.0.0.1:1/"), L("http://127.0.0.1:1/mp4/")};
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
  catalogue::RecordId next_record_ = 1;
};

// The cells' texts for the figures: whole kilobytes below a megabyte, one
// decimal below a gigabyte, two above; unknown figures show nothing.
TEST(DownloadsCellTexts, SizeSpeedAndTimeLeft) {
  const struct {
    std::int64_t bytes;
    const char* text;
  } sizes[] = {
      {-1, ""},           {0, "0 KB"},           {1, "1 KB"},
      {1024, "1 KB"},     {1025, "2 KB"},        {1024 * 1024 - 1, "1024 KB"},
      {1024 * 1024, "1.0 MB"}, {1536 * 1024, "1.5 MB"},
      {1024LL * 1024 * 1024 * 3 / 2, "1.50 GB"}, {5LL << 40, "5120.00 GB"},
  };
  for (const auto& c : sizes) EXPECT_EQ(SizeCellText(c.bytes), c.text) << c.bytes;
  EXPECT_EQ(SpeedCellText(256 * 1024), "256 KB/s");
  EXPECT_EQ(SpeedCellText(-1), "");
  const struct {
    std::int64_t seconds;
    const char* text;
  } times[] = {{-1, ""}, {0, "0:00"}, {59, "0:59"}, {61, "1:01"}, {3599, "59:59"},
               {3600, "1:00:00"}, {3723, "1:02:03"}, {100 * 3600, "100:00:00"}};
  for (const auto& c : times) EXPECT_EQ(TimeLeftCellText(c.seconds), c.text) << c.seconds;
}

// Ctrl+J opens it from every control of the main window, the find field
// too; the main window's signal for it too. An ordinary window: framed,
// resizable, its own title; Escape closes it, and so does closing the main
// window.
TEST_F(DownloadsWindowTest, OpensWithCtrlJFromAnywhereAndClosesWithTheMainWindow) {
  EXPECT_EQ(List(), nullptr);  // made when first asked for
  // Tab from the first control round all of them, and into the find field.
  window_->track_id_box().setFocus(Qt::TabFocusReason);
  std::vector<std::string> visited;
  for (int i = 0; i < 9; ++i) {
    QWidget* control = QApplication::focusWidget();
    ASSERT_NE(control, nullptr) << i;
    SCOPED_TRACE(control->objectName().toStdString());
    visited.push_back(control->objectName().toStdString());
    DownloadsWindow& list = OpenList();
    EXPECT_TRUE(list.isVisible());
    EXPECT_TRUE(list.Table().hasFocus());
    Key(list, Qt::Key_Escape);
    EXPECT_FALSE(list.isVisible());
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    control->setFocus(Qt::TabFocusReason);
    if (i < 7) {
      QTest::keyClick(window_->windowHandle(), Qt::Key_Tab);
    } else {
      // A letter typed in the list: the find field, with the focus.
      window_->track_list().setFocus(Qt::TabFocusReason);
      QTest::keyClick(window_->windowHandle(), Qt::Key_X, Qt::NoModifier);
      QApplication::processEvents();
    }
  }
  EXPECT_EQ(visited, (std::vector<std::string>{"编辑框EX1", "按钮EX1", "按钮EX2", "组合框1",
                                               "超级列表框1", "编辑框EX3", "编辑框EX2", "播放器1",
                                               "trackFinder"}));
  EXPECT_EQ(window_->findChildren<DownloadsWindow*>().size(), 1);

  DownloadsWindow& list = *List();
  EXPECT_TRUE(list.isWindow());
  EXPECT_FALSE(list.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(list.windowTitle().toStdString(), "下载列表");
  EXPECT_NE(list.minimumSize(), list.maximumSize());
  emit window_->openDownloadsWindow();
  EXPECT_TRUE(list.isVisible());
  window_->close();
  EXPECT_TRUE(WaitFor([&] { return !list.isVisible(); }));
}

// One row per download, newest first; 状态 says where each stands, 大小 its
// size, 速度 and 剩余 show only while it runs; the columns are named.
TEST_F(DownloadsWindowTest, RowsShowWhereEachDownloadStands) {
  RememberOneOfEach();
  DownloadsWindow& list = OpenList();
  const std::vector<std::string> headers = {"曲目", "状态", "大小", "速度", "剩余"};
  for (int c = 0; c < DownloadsTableModel::kColumns; ++c) {
    EXPECT_EQ(list.Model().headerData(c, Qt::Horizontal).toString().toStdString(), headers[c]);
  }
  EXPECT_EQ(Column(list, DownloadsTableModel::kTitle),
            (std::vector<std::string>{"下载中的", "等待的", "暂停的", "取消的", "失败的", "完成的"}));
  const std::string failed =
      "下载失败 " + LocalTextToUtf8(catalogue::FailureCauseText(download::FailureCause::kHttpStatus, 404));
  EXPECT_EQ(Column(list, DownloadsTableModel::kState),
            (std::vector<std::string>{"下载中 40%", "等待", "已暂停", "已取消", failed, "已完成"}));
  EXPECT_EQ(Column(list, DownloadsTableModel::kSize),
            (std::vector<std::string>{"977 KB", "", "391 KB", "", "", "3.0 MB"}));
  // 100 KB over the last second; 600 KB to go.
  EXPECT_EQ(Column(list, DownloadsTableModel::kSpeed),
            (std::vector<std::string>{"98 KB/s", "", "", "", "", ""}));
  EXPECT_EQ(Column(list, DownloadsTableModel::kLeft),
            (std::vector<std::string>{"0:06", "", "", "", "", ""}));
}

// The 曲目 cell reads as the file's tags name the track: markup gone,
// entities decoded, blanks collapsed; a title that reads as nothing gives
// way to the file's name.
TEST_F(DownloadsWindowTest, TheTitleReadsAsItsTagsNameIt) {
  Downloads().Remember({Remembered("<b>新</b>  DJ北川 &amp; DJ小满", RememberedPhase::kQueued),
                        Remembered("<br>", RememberedPhase::kComplete,
                                   MakeFile("216717.mp4", 10), 10)},
                       events_->Sites());
  DownloadsWindow& list = OpenList();
  EXPECT_EQ(Column(list, DownloadsTableModel::kTitle),
            (std::vector<std::string>{"216717.mp4", "新 DJ北川 & DJ小满"}));
}

// Each key and button on the selected rows, from the same rows each time:
// what each row comes to. Rows not selected are never touched.
TEST_F(DownloadsWindowTest, KeysAndButtonsActOnTheSelectedRows) {
  using Verb = DownloadsWindow::Verb;
  const std::vector<std::string> all = {"完成的", "失败的", "取消的", "暂停的", "等待的", "下载中的"};
  const std::map<std::string, std::string> start = {
      {"完成的", "complete"}, {"失败的", "failed"},   {"取消的", "cancelled"},
      {"暂停的", "paused"},   {"等待的", "waiting"}, {"下载中的", "running"}};
  struct Input {
    Qt::Key key = Qt::Key_unknown;
    Qt::KeyboardModifiers mods = Qt::NoModifier;
    int button = -1;  // a Verb, pressed in place of a key
  };
  const struct {
    const char* name;
    std::vector<std::string> selected;
    Input input;
    std::map<std::string, std::string> after;  // the rows that change
  } cases[] = {
      {"Space pauses", {"下载中的", "等待的"}, {Qt::Key_Space},
       {{"下载中的", "paused"}, {"等待的", "paused"}}},
      {"Space resumes when none can pause", {"暂停的", "完成的"}, {Qt::Key_Space},
       {{"暂停的", "waiting"}}},
      {"Space on a mix pauses only", {"暂停的", "下载中的"}, {Qt::Key_Space},
       {{"下载中的", "paused"}}},
      {"Delete cancels, and takes ended rows off", {"下载中的", "暂停的", "完成的", "失败的"},
       {Qt::Key_Delete},
       {{"下载中的", "cancelled"}, {"暂停的", "cancelled"}, {"完成的", "gone"}, {"失败的", "gone"}}},
      {"Ctrl+R retries the failed and cancelled", {"失败的", "取消的", "完成的", "下载中的"},
       {Qt::Key_R, Qt::ControlModifier}, {{"失败的", "waiting"}, {"取消的", "waiting"}}},
      {"Ctrl+A, Delete", {"完成的"}, {Qt::Key_A, Qt::ControlModifier}, {}},
      {"暂停", {"等待的", "完成的"}, {.button = Verb::kPause}, {{"等待的", "paused"}}},
      {"继续", {"暂停的"}, {.button = Verb::kResume}, {{"暂停的", "waiting"}}},
      {"取消", {"等待的", "暂停的", "完成的"}, {.button = Verb::kCancel},
       {{"等待的", "cancelled"}, {"暂停的", "cancelled"}}},
      {"重试", {"失败的"}, {.button = Verb::kRetry}, {{"失败的", "waiting"}}},
      {"清除已结束, whatever is selected", {"下载中的"}, {.button = Verb::kClearEnded},
       {{"完成的", "gone"}, {"失败的", "gone"}, {"取消的", "gone"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();  // a fresh list of the user's downloads each time
    SetUp();
    RememberOneOfEach();
    DownloadsWindow& list = OpenList();
    Select(list, c.selected);
    ASSERT_EQ(list.SelectedIds().size(), c.selected.size());
    if (c.input.button >= 0) {
      QPushButton& button = list.Button(static_cast<Verb>(c.input.button));
      EXPECT_TRUE(button.isEnabled());
      QTest::mouseClick(&button, Qt::LeftButton);
    } else {
      Key(list, c.input.key, c.input.mods);
    }
    if (c.input.key == Qt::Key_A) {
      EXPECT_EQ(list.SelectedIds().size(), all.size());
      Key(list, Qt::Key_Delete);
      for (const std::string& t : all) {
        const std::string p = PhaseOf(t);
        EXPECT_TRUE(p == "gone" || p == "cancelled") << t << ": " << p;
      }
      continue;
    }
    for (const std::string& t : all) {
      const auto changed = c.after.find(t);
      EXPECT_EQ(PhaseOf(t), changed != c.after.end() ? changed->second : start.at(t)) << t;
    }
    // The table follows at once: the rows left, in order.
    std::vector<std::string> left;
    for (std::size_t i = 0; i < Downloads().RowCount(); ++i) {
      left.push_back(LocalTextToUtf8(Downloads().RowAt(i).title));
    }
    EXPECT_EQ(Column(list, DownloadsTableModel::kTitle), left);
  }
}

// The buttons and the row menu offer what applies to the selection; the
// menu's entries do what the buttons do.
TEST_F(DownloadsWindowTest, ButtonsAndRowMenuFollowTheSelection) {
  using Verb = DownloadsWindow::Verb;
  RememberOneOfEach();
  DownloadsWindow& list = OpenList();
  const struct {
    std::vector<std::string> selected;
    std::vector<bool> enabled;  // 暂停 继续 取消 重试 打开所在文件夹 清除已结束
  } cases[] = {
      {{}, {false, false, false, false, false, true}},
      {{"下载中的"}, {true, false, true, false, false, true}},
      {{"暂停的"}, {false, true, true, false, false, true}},
      {{"失败的"}, {false, false, false, true, false, true}},
      {{"完成的"}, {false, false, false, false, true, true}},
      {{"完成的", "取消的"}, {false, false, false, true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.selected));
    Select(list, c.selected);
    std::vector<bool> enabled;
    for (int v = 0; v < Verb::kVerbs; ++v) enabled.push_back(list.Button(Verb(v)).isEnabled());
    EXPECT_EQ(enabled, c.enabled);
  }

  // The download ends while selected: at the next tick the buttons follow.
  Select(list, {"下载中的"});
  ASSERT_TRUE(list.Button(Verb::kPause).isEnabled());
  download::TaskState ended;
  ended.phase = download::TaskPhase::kComplete;
  ended.size = 1000000;
  Downloads().NoteEnded(IdTitled("下载中的"), ended);
  QTest::qWait(3 * DownloadsWindow::kTickMs);
  EXPECT_FALSE(list.Button(Verb::kPause).isEnabled());
  EXPECT_TRUE(list.Button(Verb::kShowInFolder).isEnabled());
  EXPECT_EQ(Column(list, DownloadsTableModel::kState)[0], "已完成");
  TearDown();
  SetUp();
  RememberOneOfEach();
  DownloadsWindow& again = OpenList();

  // A right click on a row outside the selection selects it; its menu's 暂停.
  Select(again, {"完成的"});
  const int running = again.Model().RowOf(IdTitled("下载中的"));
  const QPoint at = again.Table().visualRect(again.Model().index(running, 1)).center();
  // Through the window, as the platform delivers the click and its menu request.
  QTest::mouseClick(again.windowHandle(), Qt::RightButton, {},
                    again.Table().viewport()->mapTo(&again, at));
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  std::vector<std::string> entries;
  for (QAction* a : menu->actions()) {
    if (!a->isSeparator()) entries.push_back(a->text().toStdString() + (a->isEnabled() ? "" : " -"));
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"暂停", "继续 -", "取消", "重试 -",
                                               "打开所在文件夹 -", "清除已结束"}));
  QAction* pause = menu->actions().front();
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(pause).center());
  EXPECT_TRUE(WaitFor([&] { return PhaseOf("下载中的") == "paused"; }));
  EXPECT_EQ(PhaseOf("完成的"), "complete");
}

// Return plays a complete row's file in the main window's player; on a row
// without its file it plays nothing. 打开所在文件夹 without a file manager
// on the bus opens the folder.
TEST_F(DownloadsWindowTest, ReturnPlaysTheFileAndTheFolderOpens) {
  RememberOneOfEach();
  DownloadsWindow& list = OpenList();
  Select(list, {"失败的"});
  Key(list, Qt::Key_Return);
  EXPECT_EQ(window_->player().Url(), Text());

  Select(list, {"完成的"});
  Key(list, Qt::Key_Return);
  const QString file = folder_.path() + QStringLiteral("/done.mp4");
  EXPECT_EQ(window_->player().Url(), QUrl::fromLocalFile(file).toEncoded().toStdString());
  window_->player().SetUrl(Text());

  // No session bus here (the D-Bus test has one): the folder opens.
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  UrlRecorder desktop;
  QTest::mouseClick(&list.Button(DownloadsWindow::kShowInFolder), Qt::LeftButton);
  EXPECT_TRUE(WaitFor([&] { return !desktop.opened.empty(); }));
  ASSERT_EQ(desktop.opened.size(), 1u);
  EXPECT_EQ(desktop.opened[0], QUrl::fromLocalFile(folder_.path()));
}

// Fifty ticks of 20 running downloads among 300 rows, with a row asked for
// and one taken off the list on the way: the selected rows, the current row
// and the rows in view stay the same downloads; each tick says only the rows
// that changed have changed.
TEST_F(DownloadsWindowTest, SelectionCurrentRowAndViewSurviveTicks) {
  std::vector<RememberedDownload> remembered;
  for (int i = 0; i < 300; ++i) {
    remembered.push_back(Remembered("曲目 " + std::to_string(i),
                                    i % 15 == 0 ? RememberedPhase::kQueued
                                                : RememberedPhase::kComplete,
                                    Text(), 1000000));
  }
  Downloads().Remember(remembered, events_->Sites());
  std::vector<DownloadRowId> running;
  for (int i = 0; i < 300; i += 15) {
    running.push_back(IdTitled("曲目 " + std::to_string(i)));
    Downloads().NoteRunning(running.back(), MakeFile("r" + std::to_string(i), 0));
  }
  ASSERT_EQ(running.size(), 20u);
  DownloadsWindow& list = OpenList();
  DownloadsTable& table = list.Table();
  // Rows 120 to 135 selected (one running among them), 130 current, the view
  // scrolled down.
  table.scrollTo(list.Model().index(299, 0));
  table.verticalScrollBar()->setValue(100);
  table.selectionModel()->select(
      QItemSelection(list.Model().index(120, 0), list.Model().index(135, 4)),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  table.selectionModel()->setCurrentIndex(list.Model().index(130, 0), QItemSelectionModel::NoUpdate);
  const std::vector<DownloadRowId> selected = list.SelectedIds();
  const DownloadRowId current = list.Model().IdAt(130);
  ASSERT_GT(table.TopRow(), 100);  // scrolled so that the current row shows
  const DownloadRowId top = list.Model().IdAt(table.TopRow());
  ASSERT_EQ(selected.size(), 16u);

  QSignalSpy changed(&list.Model(), &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&list.Model(), &QAbstractItemModel::modelReset);
  for (int tick = 1; tick <= 50; ++tick) {
    // Three of the running ones moved on.
    for (int k = 0; k < 3; ++k) {
      Downloads().NoteProgress(running[static_cast<std::size_t>((tick + k * 7) % 20)],
                               tick * 10000 + k, 1000000, tick * 100);
    }
    if (tick == 10) {
      Downloads().Asked({{L("http://127.0.0.1:1/m/9999/"), L("新的"), Text()}}, {next_record_++},
                        false, events_->Sites());
    }
    if (tick == 20) {
      ASSERT_TRUE(Downloads().Remove(IdTitled("曲目 1")));  // below the top
    }
    if (tick == 30) {
      ASSERT_TRUE(Downloads().Remove(IdTitled("曲目 298")));  // above it
    }
    changed.clear();
    list.Refresh();
    QApplication::processEvents();
    if (tick != 10) {
      // Only the rows that changed, each its own.
      EXPECT_EQ(changed.size(), 3) << tick;
      for (const QList<QVariant>& signal : changed) {
        EXPECT_EQ(signal[0].toModelIndex().row(), signal[1].toModelIndex().row());
      }
    }
    EXPECT_EQ(list.SelectedIds(), selected) << tick;
    EXPECT_EQ(list.Model().IdAt(table.currentIndex().row()), current) << tick;
    EXPECT_EQ(list.Model().IdAt(table.TopRow()), top) << tick;
  }
  EXPECT_EQ(reset.size(), 0);
  EXPECT_EQ(list.Model().rowCount(), 299);
  EXPECT_EQ(Column(list, 0).front(), "新的");
}

// A batch from the track list against the demo site, with the real
// downloader: its rows come in newest first with the titles the list shows,
// one runs at a time (下载中 n%, its speed and time left) while the others
// wait, and each ends 已完成 with its size. A track paused from the window
// stops, the batch goes on, and resumed it ends with the server's bytes.
TEST_F(DownloadsWindowTest, RowsFollowARunningBatch) {
  TearDown();
  DemoSite site({.tracks_per_category = 3,
                 .track_media_size = 400 * 1000,
                 .faults = {.rate_limit = 800 * 1000}});
  ASSERT_TRUE(site.Start()) << site.Error();
  sites_ = {site.CatalogueBaseUrl(), site.MediaBaseUrl()};
  SetUp();
  window_->category_box().setCurrentIndex(0);
  events_->LoadCategoryListing();
  TrackList& tracks = window_->track_list();
  ASSERT_TRUE(WaitFor([&] { return tracks.RowCount() == 3; }));
  std::vector<std::string> titles;
  for (int r = 2; r >= 0; --r) titles.push_back(LocalTextToUtf8(tracks.GetCellText(r, 0)));
  window_->thread_count_box().SetText(L("2"));
  tracks.selectAll();
  tracks.DownloadRow(0);  // as a right click on the first row of the selection
  DownloadsWindow& list = OpenList();

  // Each tick's 状态 column, and whether 速度 and 剩余 showed.
  std::vector<std::vector<std::string>> states;
  bool figures_shown = false, paused_one = false;
  const auto& site_tracks = site.Categories()[0].tracks;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::vector<std::string> now = Column(list, DownloadsTableModel::kState);
        if (states.empty() || states.back() != now) states.push_back(now);
        for (std::size_t r = 0; r < now.size(); ++r) {
          const bool runs = now[r].rfind("下载中", 0) == 0;
          if (runs && !Column(list, DownloadsTableModel::kSpeed)[r].empty() &&
              !Column(list, DownloadsTableModel::kLeft)[r].empty()) {
            figures_shown = true;
          }
          // The second track, once it runs, is paused from the window.
          if (runs && r == 1 && !paused_one && now[r] != "下载中") {
            Select(list, {titles[1]});
            Key(list, Qt::Key_Space);
            paused_one = true;
          }
        }
        return now == std::vector<std::string>{"已完成", "已暂停", "已完成"};
      },
      60000))
      << testing::PrintToString(states);
  EXPECT_EQ(Column(list, DownloadsTableModel::kTitle), titles);
  EXPECT_TRUE(figures_shown);
  for (const std::vector<std::string>& tick : states) {
    int running = 0;
    for (const std::string& state : tick) {
      running += state.rfind("下载中", 0) == 0 ? 1 : 0;
      EXPECT_TRUE(state == "等待" || state == "已完成" || state == "已暂停" ||
                  state.rfind("下载中", 0) == 0)
          << state;
    }
    EXPECT_LE(running, 1) << testing::PrintToString(tick);
  }
  // The paused one fetches nothing more.
  site.ClearRequests();
  QTest::qWait(1500);
  EXPECT_EQ(site.Requests().size(), 0u);

  // Resumed with Space: it continues and ends with the server's bytes.
  Select(list, {titles[1]});
  Key(list, Qt::Key_Space);
  ASSERT_TRUE(WaitFor(
      [&] {
        return Column(list, DownloadsTableModel::kState) ==
               std::vector<std::string>{"已完成", "已完成", "已完成"};
      },
      60000))
      << testing::PrintToString(Column(list, DownloadsTableModel::kState));
  for (std::size_t r = 0; r < 3; ++r) {
    const SiteTrack& t = site_tracks[2 - r];
    const std::string file = folder_.path().toStdString() + "/下载/" +
                             t.file_value.substr(t.file_value.rfind('/') + 1) + ".mp4";
    EXPECT_EQ(download::testing::FileSha256(file), *site.MediaSha256(t.MediaPath())) << r;
    EXPECT_EQ(Column(list, DownloadsTableModel::kSize)[r], SizeCellText(400 * 1000)) << r;
    EXPECT_EQ(Column(list, DownloadsTableModel::kSpeed)[r], "") << r;
    EXPECT_EQ(Column(list, DownloadsTableModel::kLeft)[r], "") << r;
  }
  TearDown();
  SetUp();  // the fixture's own, for its TearDown
}

// The window's menu 设置 holds 写入曲目信息: on until the user turns it off,
// then off in the store, and so at the next start.
TEST_F(DownloadsWindowTest, WriteTagsSettingIsRemembered) {
  TearDown();
  store_path_ = folder_.path().toStdString() + "/wuqu.sqlite";
  SetUp();
  auto setting_action = [&](DownloadsWindow& list) {
    QAction* found = nullptr;
    for (QAction* a : list.SettingsMenu().actions()) {
      if (a->text().toStdString() == "写入曲目信息") found = a;
    }
    return found;
  };
  DownloadsWindow& list = OpenList();
  EXPECT_EQ(list.MenuBar().actions().size(), 1);
  EXPECT_EQ(list.MenuBar().actions().front()->text().toStdString(), "设置");
  QAction* action = setting_action(list);
  ASSERT_NE(action, nullptr);
  EXPECT_TRUE(action->isCheckable());
  EXPECT_TRUE(action->isChecked());

  // Turned off through the menu bar, with the mouse.
  QMenuBar& bar = list.MenuBar();
  QTest::mouseClick(&bar, Qt::LeftButton, {},
                    bar.actionGeometry(bar.actions().front()).center());
  ASSERT_TRUE(WaitFor([&] { return list.SettingsMenu().isVisible(); }));
  QTest::mouseClick(&list.SettingsMenu(), Qt::LeftButton, {},
                    list.SettingsMenu().actionGeometry(action).center());
  EXPECT_FALSE(action->isChecked());
  TearDown();  // the store is the running program's alone
  {
    std::unique_ptr<store::Store> store = store::Store::Open(store_path_).store;
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->Setting("write_tags"), std::optional<std::string>("0"));
  }
  SetUp();
  QAction* again = setting_action(OpenList());
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(again->isChecked());
  again->trigger();
  EXPECT_EQ(state_->log->Setting("write_tags"), std::optional<std::string>("1"));
}

// Assistive technology sees a table with named columns; each row's cells
// offer the actions that apply to its download now, which act as the keys do.
TEST_F(DownloadsWindowTest, RowActionsForAssistiveTechnology) {
  QPlatformAccessibility* platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
  ASSERT_NE(platform, nullptr);
  platform->setActive(true);
  RememberOneOfEach();
  DownloadsWindow& list = OpenList();
  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(&list.Table());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->role(), QAccessible::Table);
  EXPECT_EQ(table->text(QAccessible::Name).toStdString(), "下载列表的曲目");
  QAccessibleTableInterface* cells = table->tableInterface();
  ASSERT_NE(cells, nullptr);
  ASSERT_EQ(cells->columnCount(), 5);
  std::vector<std::string> columns;
  for (int c = 0; c < 5; ++c) columns.push_back(cells->columnDescription(c).toStdString());
  EXPECT_EQ(columns, (std::vector<std::string>{"曲目", "状态", "大小", "速度", "剩余"}));

  auto actions_of = [&](const std::string& title) {
    const int row = list.Model().RowOf(IdTitled(title));
    QAccessibleInterface* cell = cells->cellAt(row, 0);
    EXPECT_NE(cell, nullptr);
    EXPECT_EQ(cell->text(QAccessible::Name).toStdString(), title);
    return cell->actionInterface();
  };
  const struct {
    const char* title;
    std::vector<std::string> names;
  } offered[] = {
      {"下载中的", {"pause", "cancel"}},
      {"暂停的", {"resume", "cancel"}},
      {"失败的", {"retry", "remove"}},
      {"完成的", {"play", "show-in-folder", "remove"}},
  };
  for (const auto& o : offered) {
    QAccessibleActionInterface* actions = actions_of(o.title);
    ASSERT_NE(actions, nullptr) << o.title;
    std::vector<std::string> names;
    for (const QString& n : actions->actionNames()) names.push_back(n.toStdString());
    EXPECT_EQ(names, o.names) << o.title;
  }
  EXPECT_EQ(actions_of("下载中的")->localizedActionName("pause").toStdString(), "暂停");
  EXPECT_EQ(actions_of("下载中的")->keyBindingsForAction("pause"), QStringList{"Space"});

  actions_of("下载中的")->doAction("pause");
  EXPECT_EQ(PhaseOf("下载中的"), "paused");
  actions_of("下载中的")->doAction("resume");
  EXPECT_EQ(PhaseOf("下载中的"), "waiting");
  actions_of("失败的")->doAction("remove");
  EXPECT_EQ(PhaseOf("失败的"), "gone");
  actions_of("完成的")->doAction("play");
  EXPECT_EQ(window_->player().Url(),
            QUrl::fromLocalFile(folder_.path() + "/done.mp4").toEncoded().toStdString());
  window_->player().SetUrl(Text());
  platform->setActive(false);
}

}  // namespace
}  // namespace wuqu

#include "downloads_list_test.moc"
