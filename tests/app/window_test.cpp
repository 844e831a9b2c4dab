#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <QtEndian>

#include <memory>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/window_events.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

// Records which handler ran, and the row the list had selected at that moment.
class RecordingEvents final : public WindowEvents {
 public:
  explicit RecordingEvents(MainWindow& window) : window_(window) {}
  void LoadCategoryListing() override { Record("LoadCategoryListing"); }
  void PreviewSelectedTrack() override { Record("PreviewSelectedTrack"); }
  void DownloadSelectedTrack() override { Record("DownloadSelectedTrack"); }
  void PreviewTrackById() override { Record("PreviewTrackById"); }
  void DownloadTrackById() override { Record("DownloadTrackById"); }
  void OnProgressTick() override { Record("OnProgressTick"); }

  std::vector<std::string> calls;
  std::vector<int> selected_rows;

 private:
  void Record(const char* name) {
    calls.emplace_back(name);
    selected_rows.push_back(window_.track_list().SelectedRow());
  }
  MainWindow& window_;
};

QString Q(const char* utf8) {
  return QString::fromUtf8(utf8);
}
Text Gbk(const char* utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

class WindowTest : public testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<RecordingEvents>(*window_);
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    window_.reset();
    events_.reset();
  }

  template <typename T = QWidget>
  T* Control(const char* name) {
    return window_->findChild<T*>(Q(name));
  }

  // Fills the track list with rows (title, address).
  void FillRows(const std::vector<std::pair<const char*, const char*>>& rows) {
    TrackList& list = window_->track_list();
    for (const auto& [title, address] : rows) {
      const int row = list.AppendRow();
      list.SetCellText(row, 0, Gbk(title));
      list.SetCellText(row, 1, Gbk(address));
    }
  }

  QPoint RowCentre(int row) {
    TrackList& list = window_->track_list();
    return list.visualItemRect(list.topLevelItem(row)).center();
  }

  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<RecordingEvents> events_;
};

using Calls = std::vector<std::string>;

TEST_F(WindowTest, FramelessFixedSizeWindowNamedAfterItsFrame) {
  EXPECT_EQ(window_->objectName(), Q("窗口EX1"));
  EXPECT_TRUE(window_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(window_->size(), QSize(612, 293));
  EXPECT_EQ(window_->minimumSize(), QSize(612, 293));
  EXPECT_EQ(window_->maximumSize(), QSize(612, 293));
  EXPECT_EQ(window_->pos(), QPoint(50, 50));
}

TEST_F(WindowTest, EveryControlAtItsPlaceWithItsKindAndInitialContent) {
  const struct {
    const char* name;
    const char* kind;
    QRect geometry;
    const char* text;  // nullptr: the control shows no text of its own
  } controls[] = {
      {"标签EX4", "wuqu::SkinnedLabel", {9, 39, 48, 24}, "歌曲ID:"},
      {"编辑框EX1", "wuqu::SkinnedEdit", {59, 39, 90, 24}, "116717"},
      {"按钮EX1", "wuqu::SkinnedButton", {157, 40, 56, 24}, "播放"},
      {"按钮EX2", "wuqu::SkinnedButton", {221, 41, 64, 24}, "下载"},
      {"播放器1", "wuqu::MediaPlayer", {7, 73, 274, 102}, nullptr},
      {"标签EX1", "wuqu::SkinnedLabel", {7, 188, 56, 20}, "下载地址："},
      {"编辑框EX3", "wuqu::SkinnedEdit", {64, 186, 216, 24}, ""},
      {"标签EX2", "wuqu::SkinnedLabel", {9, 221, 48, 20}, "线程数："},
      {"编辑框EX2", "wuqu::SkinnedEdit", {69, 221, 24, 20}, "20"},
      {"标签EX5", "wuqu::SkinnedLabel", {142, 222, 136, 24}, "多线程下载 速度更快"},
      {"标签EX3", "wuqu::SkinnedLabel", {8, 250, 273, 20}, "歌曲ID就是DJ播放页面网址后面的数字"},
      {"进度条1", "wuqu::ProgressBar", {9, 277, 272, 8}, nullptr},
      {"透明标签1", "wuqu::TransparentLabel", {295, 37, 96, 24}, "请选择舞曲类型"},
      {"组合框1", "wuqu::CategoryBox", {392, 40, 104, 20}, ""},
      {"超级列表框1", "wuqu::TrackList", {288, 65, 320, 224}, nullptr},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(c.name);
    QWidget* w = Control(c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), window_.get());
    EXPECT_TRUE(w->inherits(c.kind)) << w->metaObject()->className();
    EXPECT_EQ(w->geometry(), c.geometry);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isEnabled());
    // Below the caption strip, inside the window.
    EXPECT_GE(w->y(), 37);
    EXPECT_TRUE(window_->rect().contains(w->geometry()));
    if (c.text == nullptr) continue;
    QString shown;
    if (auto* label = qobject_cast<QLabel*>(w)) shown = label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) shown = edit->text();
    if (auto* button = qobject_cast<QPushButton*>(w)) shown = button->text();
    if (auto* combo = qobject_cast<QComboBox*>(w)) shown = combo->currentText();
    EXPECT_EQ(shown, Q(c.text));
  }
  // The timer is a control without a place; it starts stopped.
  auto* clock = window_->findChild<Clock*>(Q("时钟1"));
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(clock->Interval(), 0);
  // Nothing else is loaded at start.
  EXPECT_EQ(window_->track_list().RowCount(), 0);
  EXPECT_EQ(window_->progress_bar().minimum(), 0);
  EXPECT_EQ(window_->progress_bar().maximum(), 100);
  EXPECT_EQ(window_->progress_bar().Position(), 0);
  EXPECT_TRUE(window_->player().Player().source().isEmpty());
  EXPECT_EQ(window_->player().Url(), "");
}

TEST_F(WindowTest, TitleAndSideLabelShowTheStoredCaptions) {
  EXPECT_EQ(LocalTextToUtf8(window_->TitleText()), "wuqu DJ舞曲在线试听与下载器");
  EXPECT_EQ(window_->windowTitle(), Q("wuqu DJ舞曲在线试听与下载器"));
  EXPECT_EQ(window_->side_label().text(), Q("多线程下载 速度更快"));
}

TEST_F(WindowTest, CategoryBoxListsTheTenCategoriesInOrderWithNoneChosen) {
  const char* expected[] = {"慢摇串烧", "现场舞曲", "中文舞曲", "电音嗨曲",  "慢歌音乐",
                            "酒吧CLUB", "英文CLUB", "慢摇舞曲", "英文disco", "交谊舞曲"};
  CategoryBox& box = window_->category_box();
  ASSERT_EQ(box.count(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(box.itemText(i), Q(expected[i])) << i;
  EXPECT_EQ(box.SelectedIndex(), -1);
  EXPECT_FALSE(box.isEditable());
}

TEST_F(WindowTest, TrackListHasTwoColumnsTheSecondZeroWide) {
  TrackList& list = window_->track_list();
  ASSERT_EQ(list.columnCount(), 2);
  EXPECT_FALSE(list.isHeaderHidden());
  EXPECT_EQ(list.headerItem()->text(0), Q("舞曲名称-左键单击试听--右键单击下载"));
  EXPECT_EQ(list.headerItem()->text(1), Q("地址"));
  EXPECT_EQ(list.columnWidth(0), 300);
  EXPECT_EQ(list.columnWidth(1), 0);
  EXPECT_EQ(list.header()->sectionSize(1), 0);
}

TEST_F(WindowTest, AddressColumnIsReadableButNeverShown) {
  TrackList& list = window_->track_list();
  FillRows({{"第一首", ""}, {"第二首", ""}});
  QApplication::processEvents();
  const QImage without = list.viewport()->grab().toImage();

  const char* long_address = "http://127.0.0.1:8077/mp/第二首/WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW/";
  list.SetCellText(0, 1, Gbk("http://127.0.0.1:8077/mp/1/"));
  list.SetCellText(1, 1, Gbk(long_address));
  QApplication::processEvents();
  EXPECT_EQ(list.viewport()->grab().toImage(), without);
  EXPECT_EQ(LocalTextToUtf8(list.GetCellText(1, 1)), long_address);
  EXPECT_EQ(LocalTextToUtf8(list.GetCellText(0, 1)), "http://127.0.0.1:8077/mp/1/");
  // The header does not give the user a way to drag the column open.
  EXPECT_EQ(list.header()->sectionResizeMode(1), QHeaderView::Fixed);
}

TEST_F(WindowTest, TrackListOperationsInProgramText) {
  TrackList& list = window_->track_list();
  EXPECT_EQ(list.AppendRow(), 0);
  EXPECT_EQ(list.AppendRow(), 1);
  list.SetCellText(1, 0, Gbk("中文舞曲"));
  EXPECT_EQ(list.topLevelItem(1)->text(0), Q("中文舞曲"));
  EXPECT_EQ(list.GetCellText(1, 0), Gbk("中文舞曲"));
  EXPECT_EQ(list.GetCellText(0, 0), "");
  // Out of range: nothing written, the empty text read.
  list.SetCellText(5, 0, "x");
  list.SetCellText(0, 2, "x");
  list.SetCellText(-1, 0, "x");
  EXPECT_EQ(list.GetCellText(-1, 1), "");
  EXPECT_EQ(list.GetCellText(2, 0), "");
  EXPECT_EQ(list.GetCellText(0, 7), "");
  EXPECT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.SelectedRow(), -1);
  list.DeleteAllRows();
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.AppendRow(), 0);
}

TEST_F(WindowTest, RowClicksReachTheirHandlers) {
  FillRows({{"一", "http://h/1/"}, {"二", "http://h/2/"}, {"三", "http://h/3/"}});
  QApplication::processEvents();
  QWidget* viewport = window_->track_list().viewport();
  const struct {
    const char* name;
    Qt::MouseButton button;
    int row;
    Calls calls;
  } cases[] = {
      {"left on row 1", Qt::LeftButton, 1, {"PreviewSelectedTrack"}},
      {"right on row 2", Qt::RightButton, 2, {"DownloadSelectedTrack"}},
      {"right on row 0", Qt::RightButton, 0, {"DownloadSelectedTrack"}},
      {"left on row 2", Qt::LeftButton, 2, {"PreviewSelectedTrack"}},
      {"middle on row 1", Qt::MiddleButton, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events_->calls.clear();
    events_->selected_rows.clear();
    QTest::mouseClick(viewport, c.button, {}, RowCentre(c.row));
    EXPECT_EQ(events_->calls, c.calls);
    // The handler finds the clicked row selected, for either button.
    if (!c.calls.empty()) {
      EXPECT_EQ(events_->selected_rows, std::vector<int>{c.row});
    }
  }
}

TEST_F(WindowTest, ClicksOffTheRowsRunNoHandler) {
  FillRows({{"一", "http://h/1/"}, {"二", "http://h/2/"}});
  QApplication::processEvents();
  QWidget* viewport = window_->track_list().viewport();
  const QPoint below_rows(100, viewport->height() - 5);
  QTest::mouseClick(viewport, Qt::LeftButton, {}, below_rows);
  QTest::mouseClick(viewport, Qt::RightButton, {}, below_rows);
  // Pressed on one row, released on another.
  QTest::mousePress(viewport, Qt::LeftButton, {}, RowCentre(0));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, RowCentre(1));
  // A click on the header.
  QHeaderView* head = window_->track_list().header();
  QTest::mouseClick(head->viewport(), Qt::LeftButton, {}, QPoint(50, head->height() / 2));
  QTest::mouseClick(head->viewport(), Qt::RightButton, {}, QPoint(50, head->height() / 2));
  EXPECT_EQ(events_->calls, Calls{});
}

TEST_F(WindowTest, ButtonClicksReachTheirHandlers) {
  const struct {
    const char* name;
    const char* handler;
  } cases[] = {{"按钮EX1", "PreviewTrackById"}, {"按钮EX2", "DownloadTrackById"}};
  for (const auto& c : cases) {
    events_->calls.clear();
    QTest::mouseClick(Control(c.name), Qt::LeftButton);
    EXPECT_EQ(events_->calls, Calls{c.handler}) << c.name;
  }
}

TEST_F(WindowTest, ChoosingACategoryFromTheListLoadsIt) {
  CategoryBox& box = window_->category_box();
  // Programmatic changes are no choice of the user's.
  box.setCurrentIndex(3);
  box.setCurrentIndex(-1);
  EXPECT_EQ(events_->calls, Calls{});

  for (int index : {2, 2, 9}) {  // choosing the shown item again loads it again
    events_->calls.clear();
    box.showPopup();
    QAbstractItemView* view = box.view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    const QRect item = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    EXPECT_TRUE(WaitFor([&] { return !view->isVisible(); }));
    EXPECT_EQ(events_->calls, Calls{"LoadCategoryListing"}) << index;
    EXPECT_EQ(box.SelectedIndex(), index);
  }
}

TEST_F(WindowTest, TrackNumberBoxEmptiedByAMousePressNotByTyping) {
  SkinnedEdit& box = window_->track_id_box();
  EXPECT_EQ(box.GetText(), "116717");
  QTest::mousePress(&box, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(box.GetText(), "");
  QTest::mouseRelease(&box, Qt::LeftButton, {}, QPoint(10, 10));

  QTest::keyClicks(&box, "123");
  QTest::keyClick(&box, Qt::Key_Backspace);
  QTest::keyClicks(&box, "45");
  EXPECT_EQ(box.GetText(), "1245");

  QTest::mouseClick(&box, Qt::RightButton, {}, QPoint(30, 5));
  EXPECT_EQ(box.GetText(), "");
  EXPECT_EQ(events_->calls, Calls{});

  // The other boxes keep their text when clicked.
  QTest::mouseClick(&window_->thread_count_box(), Qt::LeftButton);
  EXPECT_EQ(window_->thread_count_box().GetText(), "20");
}

TEST_F(WindowTest, EditBoxesAndLabelsInProgramText) {
  window_->media_address_box().SetText(Gbk("http://h/mp4/djmusic/舞曲 1.mp4"));
  EXPECT_EQ(window_->media_address_box().text(), Q("http://h/mp4/djmusic/舞曲 1.mp4"));
  EXPECT_EQ(window_->media_address_box().GetText(), Gbk("http://h/mp4/djmusic/舞曲 1.mp4"));
  window_->thread_count_box().setText(Q("８"));  // what a user may type
  EXPECT_EQ(window_->thread_count_box().GetText(), Gbk("８"));
  window_->status_label().SetText(Gbk("正在下载...  已下载 42%   7KB"));
  EXPECT_EQ(window_->status_label().text(), Q("正在下载...  已下载 42%   7KB"));
}

TEST_F(WindowTest, TimerTicksReachTheProgressHandlerUntilStopped) {
  Clock& clock = window_->progress_timer();
  clock.SetInterval(15);
  EXPECT_EQ(clock.Interval(), 15);
  EXPECT_TRUE(WaitFor([&] { return events_->calls.size() >= 2; }));
  for (const std::string& call : events_->calls) EXPECT_EQ(call, "OnProgressTick");

  clock.SetInterval(0);
  EXPECT_EQ(clock.Interval(), 0);
  const std::size_t ticks = events_->calls.size();
  QTest::qWait(100);
  EXPECT_EQ(events_->calls.size(), ticks);

  clock.SetInterval(-5);  // no "tick whenever idle"
  QTest::qWait(50);
  EXPECT_EQ(events_->calls.size(), ticks);
  EXPECT_EQ(clock.Interval(), 0);
}

TEST_F(WindowTest, ProgressBarHoldsPositionsWithinItsRange) {
  ProgressBar& bar = window_->progress_bar();
  const struct {
    int set, read;
  } cases[] = {{50, 50}, {100, 100}, {101, 100}, {0, 0}, {-3, 0}, {99, 99}, {2147483647, 100}};
  for (const auto& c : cases) {
    bar.SetPosition(c.set);
    EXPECT_EQ(bar.Position(), c.read) << c.set;
  }
}

TEST_F(WindowTest, SkinnedControlsUseTheSkinFaceWithEveryChineseGlyph) {
  const char* skinned[] = {"标签EX1",   "标签EX2",   "标签EX3",   "标签EX4", "标签EX5",
                           "编辑框EX1", "编辑框EX2", "编辑框EX3", "按钮EX1", "按钮EX2"};
  for (const char* name : skinned) {
    SCOPED_TRACE(name);
    QWidget* w = Control(name);
    EXPECT_EQ(w->font().family(), Q("宋体"));
    EXPECT_EQ(w->font().pointSize(), 9);
    EXPECT_EQ(QFontInfo(w->font()).family(), Q("WenQuanYi Micro Hei"));
  }
  // Every character any control shows at start is in the face it is drawn with.
  QStringList shown = {window_->windowTitle()};
  for (QLabel* l : window_->findChildren<QLabel*>()) shown << l->text();
  for (QPushButton* b : window_->findChildren<QPushButton*>()) shown << b->text();
  for (int i = 0; i < window_->category_box().count(); ++i)
    shown << window_->category_box().itemText(i);
  shown << window_->track_list().headerItem()->text(0);
  const QFontMetrics skin(Control("标签EX3")->font());
  for (const QString& s : shown) {
    for (QChar ch : s) EXPECT_TRUE(skin.inFont(ch)) << s.toStdString();
  }
}

TEST_F(WindowTest, LabelColours) {
  const struct {
    const char* name;
    QColor colour;
  } cases[] = {{"标签EX1", Qt::black},
               {"标签EX2", Qt::black},
               {"标签EX3", QColor(255, 80, 128)},
               {"标签EX4", Qt::black},
               {"标签EX5", Qt::black}};
  for (const auto& c : cases) {
    EXPECT_EQ(Control(c.name)->palette().color(QPalette::WindowText), c.colour) << c.name;
  }
  // The hint is drawn in its colour.
  const QImage hint = Control("标签EX3")->grab().toImage();
  bool found = false;
  for (int y = 0; y < hint.height() && !found; ++y) {
    for (int x = 0; x < hint.width() && !found; ++x) {
      found = hint.pixelColor(x, y) == QColor(255, 80, 128);
    }
  }
  EXPECT_TRUE(found);
}

// The colour of the window's own picture at `p`.
QColor WindowPixel(MainWindow& w, QPoint p) {
  return w.grab().toImage().pixelColor(p);
}

QColor Blend(QColor ground, QColor over) {
  const double a = over.alphaF();
  auto mix = [a](int g, int o) { return static_cast<int>(g * (1 - a) + o * a + 0.5); };
  return QColor(mix(ground.red(), over.red()), mix(ground.green(), over.green()),
                mix(ground.blue(), over.blue()));
}

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
         std::abs(a.blue() - b.blue()) <= 2;
}

TEST_F(WindowTest, CaptionButtonsShowHotAndPressedStates) {
  CaptionButton& close = window_->close_button();
  CaptionButton& minimise = window_->minimise_button();
  EXPECT_EQ(close.geometry(), QRect(581, 1, 30, 30));
  EXPECT_EQ(minimise.geometry(), QRect(551, 1, 30, 30));

  const QPoint corner(2, 2);  // a point of the ground, off the glyph
  const QColor strip = WindowPixel(*window_, minimise.geometry().topLeft() + corner);
  const QColor white15(255, 255, 255, 38), white30(255, 255, 255, 77);
  const struct {
    const char* name;
    CaptionButton* button;
    QColor normal, hot, pressed;
  } cases[] = {
      {"close", &close, strip, QColor(212, 64, 39), QColor(166, 42, 21)},
      {"minimise", &minimise, strip, Blend(strip, white15), Blend(strip, white30)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptionButton& b = *c.button;
    const QPoint at = b.geometry().topLeft() + corner;
    EXPECT_EQ(b.CurrentState(), CaptionButton::State::kNormal);
    EXPECT_TRUE(Near(WindowPixel(*window_, at), c.normal));

    // Through the window, as the pointer comes: it enters, presses, leaves
    // while pressed and is released off the button.
    QWindow* win = window_->windowHandle();
    const QPoint centre = b.geometry().center();
    QTest::mouseMove(win, QPoint(300, 150));
    QTest::mouseMove(win, centre);
    EXPECT_TRUE(WaitFor([&] { return b.CurrentState() == CaptionButton::State::kHot; }));
    EXPECT_TRUE(Near(WindowPixel(*window_, at), c.hot));

    QTest::mousePress(win, Qt::LeftButton, {}, centre);
    EXPECT_EQ(b.CurrentState(), CaptionButton::State::kPressed);
    EXPECT_TRUE(Near(WindowPixel(*window_, at), c.pressed));

    QTest::mouseMove(win, QPoint(300, 150));
    QTest::mouseRelease(win, Qt::LeftButton, {}, QPoint(300, 150));
    QTest::mouseMove(win, QPoint(310, 150));
    EXPECT_TRUE(WaitFor([&] { return b.CurrentState() == CaptionButton::State::kNormal; }));
    EXPECT_TRUE(Near(WindowPixel(*window_, at), c.normal));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(window_->isMinimized());
  }
}

TEST_F(WindowTest, CaptionButtonsMinimiseAndClose) {
  QSignalSpy closed(window_.get(), &MainWindow::closed);
  QTest::mouseClick(&window_->minimise_button(), Qt::LeftButton);
  EXPECT_TRUE(window_->isMinimized());
  EXPECT_EQ(closed.count(), 0);
  window_->showNormal();
  QTest::mouseClick(&window_->close_button(), Qt::LeftButton);
  EXPECT_EQ(closed.count(), 1);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(events_->calls, Calls{});  // closing runs no handler
}

TEST_F(WindowTest, DraggingTheCaptionStripMovesTheWindow) {
  const QPoint start = window_->pos();
  QTest::mousePress(window_.get(), Qt::LeftButton, {}, QPoint(200, 15));
  QTest::mouseMove(window_.get(), QPoint(260, 45));
  QTest::mouseRelease(window_.get(), Qt::LeftButton, {}, QPoint(260, 45));
  EXPECT_TRUE(WaitFor([&] { return window_->pos() == start + QPoint(60, 30); }));
  EXPECT_EQ(window_->pos(), start + QPoint(60, 30));

  // Below the strip the window stays put.
  const QPoint moved = window_->pos();
  QTest::mousePress(window_.get(), Qt::LeftButton, {}, QPoint(200, 180));
  QTest::mouseMove(window_.get(), QPoint(250, 200));
  QTest::mouseRelease(window_.get(), Qt::LeftButton, {}, QPoint(250, 200));
  QApplication::processEvents();
  EXPECT_EQ(window_->pos(), moved);
}

TEST_F(WindowTest, ErrorBoxIsModalWithTheStopIconAndOk) {
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  bool modal = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    modal = box->isModal();
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  });
  window_->ShowErrorBox(Gbk("匹配失败，请检检查正则语句是否有误，数量：0"));
  EXPECT_EQ(text, Q("匹配失败，请检检查正则语句是否有误，数量：0"));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_TRUE(modal);
}

TEST_F(WindowTest, EventPumpRunsPendingEvents) {
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  window_->Pump().ProcessPendingEvents();
  EXPECT_TRUE(ran);
}

TEST_F(WindowTest, CaptionStripIsPainted) {
  const QImage shot = window_->grab().toImage();
  // The strip, the window body and the title text in white on the strip.
  const QColor strip = shot.pixelColor(300, 16);
  EXPECT_GT(strip.blue(), strip.red() + 40);
  EXPECT_LT(strip.lightness(), 120);
  EXPECT_TRUE(Near(shot.pixelColor(300, 34), QColor(243, 245, 248)));
  int light = 0;
  for (int y = 8; y < 24; ++y) {
    for (int x = 30; x < 230; ++x) light += shot.pixelColor(x, y).lightness() > 200;
  }
  EXPECT_GT(light, 100);
}

// Width, height and colour depth of each image in an icon file's directory.
struct IconEntry {
  int size, bits;
  bool operator==(const IconEntry&) const = default;
};

std::vector<IconEntry> IconDirectory(const QByteArray& ico) {
  std::vector<IconEntry> out;
  if (ico.size() < 6) return out;
  const auto* d = reinterpret_cast<const uchar*>(ico.constData());
  const int count = qFromLittleEndian<quint16>(d + 4);
  for (int i = 0; i < count && 6 + 16 * (i + 1) <= ico.size(); ++i) {
    const uchar* e = d + 6 + 16 * i;
    out.push_back({e[0] == 0 ? 256 : e[0], qFromLittleEndian<quint16>(e + 6)});
  }
  return out;
}

TEST(WindowImages, IconHoldsItsTwelveImages) {
  QFile f(QStringLiteral(":/images/wuqu.ico"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const std::vector<IconEntry> expected = {{32, 1},   {48, 4},  {32, 4},  {16, 4},
                                           {48, 8},   {32, 8},  {16, 8},  {256, 32},
                                           {128, 32}, {48, 32}, {32, 32}, {16, 32}};
  EXPECT_EQ(IconDirectory(f.readAll()), expected);

  MainWindow window;
  const QList<QSize> sizes = window.windowIcon().availableSizes();
  for (int s : {16, 32, 48, 128}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
}

TEST(WindowImages, CaptionButtonImagesArePalettePngsOf30Pixels) {
  const struct {
    const char* file;
    bool transparent_ground;
    QPoint glyph;  // a point of the white glyph
  } images[] = {
      {":/images/caption-close-normal.png", true, {15, 15}},
      {":/images/caption-close-hot.png", false, {15, 15}},
      {":/images/caption-close-pressed.png", false, {15, 15}},
      {":/images/caption-minimise-normal.png", true, {15, 17}},
      {":/images/caption-minimise-hot.png", true, {15, 17}},
      {":/images/caption-minimise-pressed.png", true, {15, 17}},
  };
  for (const auto& i : images) {
    SCOPED_TRACE(i.file);
    const QImage img(QString::fromLatin1(i.file));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(30, 30));
    EXPECT_EQ(img.format(), QImage::Format_Indexed8);
    EXPECT_EQ(img.pixelColor(0, 0).alpha() < 255, i.transparent_ground);
    EXPECT_EQ(img.pixelColor(i.glyph), QColor(Qt::white));
  }
}

}  // namespace
}  // namespace wuqu
