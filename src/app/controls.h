#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <vector>

#include "catalogue/download_log.h"
#include "text/text.h"

// The window's controls. Each speaks program text (code page 936) to the rest
// of the program; conversion to Qt strings happens inside.
namespace wuqu {

class TrackFinder;

// Skinned label (标签EX1 to 标签EX5): the frame's face and one text colour.
class SkinnedLabel : public QLabel {
  Q_OBJECT
 public:
  explicit SkinnedLabel(QWidget* parent = nullptr);
  void SetText(const Text& text);
  Text GetText() const;
  void SetTextColour(const QColor& colour);
  // Whether `text` shows whole within the label's width, in its font.
  bool Fits(const Text& text) const;

  // A status line: assistive technology sees it as one (its name is its
  // text) and hears of every change of its text. Set before the first text.
  void SetStatusLine();
  bool IsStatusLine() const { return status_line_; }

 signals:
  // The right button was pressed and released on the label.
  void rightClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool status_line_ = false;
  bool right_pressed_ = false;
};

// Skinned single-line edit box (编辑框EX1 to 编辑框EX3).
class SkinnedEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit SkinnedEdit(QWidget* parent = nullptr);
  void SetText(const Text& text);
  Text GetText() const;

 signals:
  // The mouse button went down inside the box, at (x, y) in the box.
  void mousePressed(qint32 x, qint32 y);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// Skinned push button (按钮EX1, 按钮EX2).
class SkinnedButton : public QPushButton {
  Q_OBJECT
 public:
  explicit SkinnedButton(QWidget* parent = nullptr);
};

// Label on a transparent ground (透明标签1), in the ordinary controls' font.
class TransparentLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TransparentLabel(QWidget* parent = nullptr);
};

// Drop-down list (组合框1).
class CategoryBox : public QComboBox {
  Q_OBJECT
 public:
  explicit CategoryBox(QWidget* parent = nullptr);
  // Index of the selected item from 0; -1 when none is selected.
  int SelectedIndex() const;

 signals:
  // The user chose an item from the list (also the one already shown).
  // Programmatic changes do not raise it.
  void itemSelected();
};

// Report-view list with a header row (超级列表框1). Rows are appended at the
// end; cells hold program text.
class TrackList : public QTreeWidget {
  Q_OBJECT
 public:
  explicit TrackList(QWidget* parent = nullptr);
  void DeleteAllRows();
  // Appends an empty row and gives its index.
  int AppendRow();
  // Writing a cell outside the rows or columns does nothing.
  void SetCellText(int row, int column, const Text& text);
  // The empty text for a cell outside the rows or columns (row -1 included).
  Text GetCellText(int row, int column) const;
  // Index of the selected row from 0; -1 when none is selected. With
  // several selected, the current row when it is one of them.
  int SelectedRow() const;
  // Every selected row, in list order.
  std::vector<int> SelectedRows() const;
  int RowCount() const;
  // What the row's track's last download came to, shown as an icon before
  // its title and given to screen readers as the row's description
  // (app/row_marks.cpp). A row outside the list is left alone.
  void SetRowMark(int row, catalogue::TrackMark mark);
  catalogue::TrackMark RowMark(int row) const;
  // Whether the row's track is new in its category: a badge 新 beside the
  // mark, and 新曲目 first in the row's description ("新曲目，已下载").
  void SetRowNew(int row, bool is_new);
  bool RowIsNew(int row) const;
  // A new row at the end of `list`, able to show a mark.
  static QTreeWidgetItem* NewTrackRow(TrackList* list);

 signals:
  // A row was clicked (pressed and released on the same row) with the left
  // or the right button. Rows are selected as in a file list: a plain left
  // click selects its row alone and raises rowLeftClicked; with Ctrl or Shift
  // held it only changes the selection (Ctrl+A selects every row). A right
  // click on a row of a selection keeps the selection; on any other row it
  // selects that row alone. Either way it raises rowRightClicked.
  //
  // From the keyboard: Return or Enter acts as a left click on the current
  // row; the Menu key and Shift+F10 as a right click on it. Arrows, Shift,
  // Ctrl+Space and Ctrl+A only select. Typing (or text from an input method)
  // opens the find field (TrackFinder); selections and both signals then act
  // on the rows it shows, and Escape closes it.
  void rowLeftClicked();
  void rowRightClicked();

 public:
  TrackFinder& Finder() { return *finder_; }
  // What a left click on a shown row does, and a right click; nothing for a
  // row that is hidden or not there. Also the rows' accessible actions.
  void PreviewRow(int row);
  void DownloadRow(int row);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  bool event(QEvent* event) override;

 private:
  int RowAt(const QPoint& viewport_pos) const;
  void PreviewCurrentRow();
  void DownloadFromCurrentRow();
  TrackFinder* finder_;
  int pressed_row_ = -1;
  Qt::MouseButton pressed_button_ = Qt::NoButton;
  Qt::KeyboardModifiers pressed_modifiers_;
};

// Horizontal progress bar (进度条1), range 0 to 100.
class ProgressBar : public QProgressBar {
  Q_OBJECT
 public:
  explicit ProgressBar(QWidget* parent = nullptr);
  int Position() const;
  // A position outside the range is held at its nearest end.
  void SetPosition(int position);
};

// Timer (时钟1). An interval of 0 (or less) stops it.
class Clock : public QObject {
  Q_OBJECT
 public:
  explicit Clock(QObject* parent = nullptr);
  void SetInterval(int milliseconds);
  int Interval() const;

 signals:
  void tick();

 private:
  QTimer timer_;
};

// One of the frame's caption buttons, drawn from three images.
class CaptionButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum class State { kNormal, kHot, kPressed };
  CaptionButton(const QString& image_stem, QWidget* parent = nullptr);
  State CurrentState() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QPixmap normal_, hot_, pressed_;
  bool pointer_over_ = false;
};

}  // namespace wuqu
