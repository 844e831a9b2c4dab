// Every text of the window shows whole in its control, in the control's own
// font and at the display's scale (the run sets QT_SCALE_FACTOR): labels,
// buttons, edit boxes with their first contents, every category of the box
// and the track list's header.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QStyleOptionHeader>
#include <QTest>

#include <string>

#include "app/captions.h"
#include "app/main_window.h"

namespace wuqu {
namespace {

QString Q(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// How far the ink of `text` reaches from where the text starts. A full-width
// colon ends its label with blank space (下载地址： is 60 pixels wide in a
// label of 56): the blank may be cut, the ink may not.
int InkWidth(const QWidget& control, const QString& text) {
  return control.fontMetrics().boundingRect(text).right() + 1;
}

// The width a push button leaves for its caption.
int CaptionRoom(const QPushButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  const QRect contents =
      button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
  return contents.width();
}

// The width the combo box leaves for the chosen item's text.
int ItemRoom(const QComboBox& box) {
  QStyleOptionComboBox option;
  option.initFrom(&box);
  option.editable = box.isEditable();
  option.frame = box.hasFrame();
  return box.style()
      ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, &box)
      .width();
}

// The width an edit box leaves for its text: inside its frame and padding,
// less the margin QLineEdit keeps on either side (2 pixels).
int TextRoom(const QLineEdit& edit) {
  QStyleOptionFrame option;
  option.initFrom(&edit);
  option.lineWidth = edit.hasFrame() ? edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
  const QRect contents = edit.style()->subElementRect(QStyle::SE_LineEditContents, &option, &edit);
  const QMargins margins = edit.textMargins();
  return contents.width() - margins.left() - margins.right() - 2 * 2;
}

TEST(TextFit, EveryTextFitsItsControl) {
  MainWindow window;
  OnWindowCreated(window);  // the title and 标签EX5 from the stored captions
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const qreal scale = window.devicePixelRatioF();
  SCOPED_TRACE("scale " + std::to_string(scale));

  for (const char* name : {"标签EX1", "标签EX2", "标签EX3", "标签EX4", "标签EX5", "透明标签1"}) {
    SCOPED_TRACE(name);
    const auto* label = window.findChild<QLabel*>(Q(name));
    ASSERT_NE(label, nullptr);
    EXPECT_LE(InkWidth(*label, label->text()), label->contentsRect().width())
        << label->text().toStdString();
  }
  for (const char* name : {"按钮EX1", "按钮EX2"}) {
    SCOPED_TRACE(name);
    const auto* button = window.findChild<QPushButton*>(Q(name));
    ASSERT_NE(button, nullptr);
    EXPECT_LE(InkWidth(*button, button->text()), CaptionRoom(*button));
  }
  for (const char* name : {"编辑框EX1", "编辑框EX2"}) {
    SCOPED_TRACE(name);
    const auto* edit = window.findChild<QLineEdit*>(Q(name));
    ASSERT_NE(edit, nullptr);
    EXPECT_LE(InkWidth(*edit, edit->text()), TextRoom(*edit)) << edit->text().toStdString();
  }
  const CategoryBox& box = window.category_box();
  for (int i = 0; i < box.count(); ++i) {
    SCOPED_TRACE(box.itemText(i).toStdString());
    EXPECT_LE(InkWidth(box, box.itemText(i)), ItemRoom(box));
  }
  const TrackList& list = window.track_list();
  const QHeaderView& header = *list.header();
  QStyleOptionHeader option;
  option.initFrom(&header);
  const int margin = header.style()->pixelMetric(QStyle::PM_HeaderMargin, &option, &header);
  const QString title = list.headerItem()->text(0);
  EXPECT_LE(InkWidth(header, title) + 2 * margin, header.sectionSize(0)) << title.toStdString();
}

}  // namespace
}  // namespace wuqu
