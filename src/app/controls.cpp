#include "app/controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QEnterEvent>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

#include "app/qt_text.h"
#include "app/track_finder.h"
#include "app/track_list_accessible.h"

namespace wuqu {
namespace {

// The skinned controls ask for 宋体 at 9 points; the window maps the face to
// an installed CJK face (see InstallFontSubstitutions).
QFont SkinFont() {
  QFont font(QStringLiteral("宋体"));
  font.setPointSize(9);
  return font;
}

// The skinned controls' look, each control styled on its own so that the
// ordinary controls keep the platform's.
const char kEditStyle[] = R"(
QLineEdit {
  background: white; color: black;
  border: 1px solid rgb(154, 170, 192); border-radius: 2px; padding: 0px 2px;
}
QLineEdit:focus { border-color: rgb(40, 70, 110); }
)";
const char kButtonStyle[] = R"(
QPushButton {
  color: white; border: 1px solid rgb(40, 70, 110); border-radius: 3px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(92, 130, 178), stop:1 rgb(58, 95, 143));
}
QPushButton:hover {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(112, 150, 198), stop:1 rgb(72, 112, 163));
}
QPushButton:pressed { background: rgb(40, 70, 110); }
QPushButton:focus { border: 2px solid rgb(255, 190, 60); }
)";

// A status line as assistive technology sees it: the status bar role, and
// its text for a name, so that the name change QLabel reports on every new
// text is the status line's news.
class StatusLineAccessible final : public QAccessibleWidget {
 public:
  explicit StatusLineAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StatusBar) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return static_cast<const QLabel*>(widget())->text();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* StatusLineFactory(const QString&, QObject* object) {
  auto* label = qobject_cast<SkinnedLabel*>(object);
  if (label != nullptr && label->IsStatusLine()) return new StatusLineAccessible(label);
  return nullptr;
}

}  // namespace

SkinnedLabel::SkinnedLabel(QWidget* parent) : QLabel(parent) {
  setFont(SkinFont());
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  SetTextColour(Qt::black);
}

void SkinnedLabel::SetText(const Text& text) {
  // A label with no name of its own tells assistive technology of each new
  // text as a change of its name, and of none when the text stays.
  setText(ToQString(text));
}

void SkinnedLabel::SetStatusLine() {
  // Before any interface of the label is made: Qt keeps the first one.
  static const bool installed = [] {
    QAccessible::installFactory(StatusLineFactory);
    return true;
  }();
  (void)installed;
  status_line_ = true;
}

Text SkinnedLabel::GetText() const {
  return FromQString(text());
}

bool SkinnedLabel::Fits(const Text& text) const {
  return fontMetrics().horizontalAdvance(ToQString(text)) <= contentsRect().width();
}

void SkinnedLabel::mousePressEvent(QMouseEvent* event) {
  right_pressed_ = event->button() == Qt::RightButton;
  QLabel::mousePressEvent(event);
}

void SkinnedLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool right_click = right_pressed_ && event->button() == Qt::RightButton &&
                           rect().contains(event->position().toPoint());
  right_pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (right_click) emit rightClicked();
}

void SkinnedLabel::SetTextColour(const QColor& colour) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, colour);
  setPalette(pal);
}

SkinnedEdit::SkinnedEdit(QWidget* parent) : QLineEdit(parent) {
  setFont(SkinFont());
  setStyleSheet(QString::fromLatin1(kEditStyle));
}

void SkinnedEdit::SetText(const Text& text) {
  setText(ToQString(text));
}

Text SkinnedEdit::GetText() const {
  return FromQString(text());
}

void SkinnedEdit::mousePressEvent(QMouseEvent* event) {
  QLineEdit::mousePressEvent(event);
  const QPoint p = event->position().toPoint();
  emit mousePressed(p.x(), p.y());
}

SkinnedButton::SkinnedButton(QWidget* parent) : QPushButton(parent) {
  setFont(SkinFont());
  setStyleSheet(QString::fromLatin1(kButtonStyle));
  setCursor(Qt::PointingHandCursor);
}

TransparentLabel::TransparentLabel(QWidget* parent) : QLabel(parent) {
  setAutoFillBackground(false);
  setAttribute(Qt::WA_TranslucentBackground);
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

CategoryBox::CategoryBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  connect(this, &QComboBox::activated, this, [this](int) { emit itemSelected(); });
}

int CategoryBox::SelectedIndex() const {
  return currentIndex();
}

TrackList::TrackList(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(2);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAllColumnsShowFocus(true);
  setContextMenuPolicy(Qt::PreventContextMenu);
  QHeaderView* head = header();
  head->setStretchLastSection(false);
  head->setSectionsMovable(false);
  head->setSectionResizeMode(0, QHeaderView::Interactive);
  // The address column is 0 wide and stays so: the user cannot drag it open.
  head->setSectionResizeMode(1, QHeaderView::Fixed);
  setColumnWidth(0, 300);
  setColumnHidden(1, true);
  finder_ = new TrackFinder(*this);
  InstallTrackListAccessibility();
}

void TrackList::DeleteAllRows() {
  finder_->Close();
  clear();
  pressed_row_ = -1;
}

int TrackList::AppendRow() {
  QTreeWidgetItem* item = NewTrackRow(this);
  return indexOfTopLevelItem(item);
}

void TrackList::SetCellText(int row, int column, const Text& text) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return;
  item->setText(column, ToQString(text));
}

Text TrackList::GetCellText(int row, int column) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return {};
  return FromQString(item->text(column));
}

int TrackList::SelectedRow() const {
  QTreeWidgetItem* current = currentItem();
  if (current != nullptr && current->isSelected() && !current->isHidden()) {
    return indexOfTopLevelItem(current);
  }
  const std::vector<int> rows = SelectedRows();
  return rows.empty() ? -1 : rows.front();
}

std::vector<int> TrackList::SelectedRows() const {
  std::vector<int> rows;
  for (QTreeWidgetItem* item : selectedItems()) {
    if (!item->isHidden()) rows.push_back(indexOfTopLevelItem(item));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

int TrackList::RowCount() const {
  return topLevelItemCount();
}

int TrackList::RowAt(const QPoint& viewport_pos) const {
  const QModelIndex index = indexAt(viewport_pos);
  return index.isValid() ? index.row() : -1;
}

void TrackList::mousePressEvent(QMouseEvent* event) {
  pressed_row_ = RowAt(event->position().toPoint());
  pressed_button_ = event->button();
  pressed_modifiers_ = event->modifiers();
  if (event->button() == Qt::RightButton) {
    // The selection is settled here, before any handler reads it: a row of
    // the selection keeps it, any other row is selected alone.
    QTreeWidgetItem* item = topLevelItem(pressed_row_);
    if (item != nullptr && !item->isSelected()) {
      setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else if (item != nullptr) {
      setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
    }
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

void TrackList::mouseReleaseEvent(QMouseEvent* event) {
  // The right button's press never reached the view: neither does its release.
  if (event->button() != Qt::RightButton) QTreeWidget::mouseReleaseEvent(event);
  const int row = RowAt(event->position().toPoint());
  const bool click = row >= 0 && row == pressed_row_ && event->button() == pressed_button_;
  pressed_row_ = -1;
  if (!click) return;
  // With Ctrl or Shift the click only changed the selection.
  const bool selecting =
      (pressed_modifiers_ | event->modifiers()) & (Qt::ControlModifier | Qt::ShiftModifier);
  // Last thing done here: the handler may clear and refill the list.
  if (event->button() == Qt::LeftButton && !selecting) emit rowLeftClicked();
  if (event->button() == Qt::RightButton) emit rowRightClicked();
}

void TrackList::PreviewCurrentRow() {
  if (QTreeWidgetItem* item = currentItem()) PreviewRow(indexOfTopLevelItem(item));
}

void TrackList::DownloadFromCurrentRow() {
  QTreeWidgetItem* item = currentItem();
  if (item != nullptr && !item->isHidden()) {
    DownloadRow(indexOfTopLevelItem(item));
  } else if (!SelectedRows().empty()) {
    emit rowRightClicked();
  }
}

void TrackList::PreviewRow(int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || item->isHidden()) return;
  setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  emit rowLeftClicked();
}

void TrackList::DownloadRow(int row) {
  // As a right click on the row: a row of the selection keeps it, any other
  // row is selected alone.
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || item->isHidden()) return;
  if (!item->isSelected()) {
    setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  } else {
    setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
  }
  emit rowRightClicked();
}

void TrackList::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  const int key = event->key();
  if ((key == Qt::Key_Return || key == Qt::Key_Enter) && mods == Qt::NoModifier) {
    event->accept();
    PreviewCurrentRow();
    return;
  }
  if ((key == Qt::Key_Menu && mods == Qt::NoModifier) ||
      (key == Qt::Key_F10 && mods == Qt::ShiftModifier)) {
    event->accept();
    DownloadFromCurrentRow();
    return;
  }
  if (key == Qt::Key_Escape && mods == Qt::NoModifier && finder_->IsOpen()) {
    event->accept();
    finder_->Close();
    return;
  }
  if (key == Qt::Key_Backspace && finder_->IsOpen()) {
    finder_->Open();
    QApplication::sendEvent(&finder_->Field(), event);
    return;
  }
  // Text typed into the list finds; a blank still selects, as it does in a list.
  const QString text = event->text();
  const bool typed = !text.isEmpty() && text.at(0).isPrint() && text != QStringLiteral(" ") &&
                     !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
  if (typed) {
    event->accept();
    finder_->Type(text);
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

void TrackList::inputMethodEvent(QInputMethodEvent* event) {
  // Text composed in an input method finds, as typed text does; the
  // composition goes on in the field.
  if (event->commitString().isEmpty() && event->preeditString().isEmpty()) {
    QTreeWidget::inputMethodEvent(event);
    return;
  }
  finder_->Open();
  QApplication::sendEvent(&finder_->Field(), event);
}

bool TrackList::event(QEvent* event) {
  const bool handled = QTreeWidget::event(event);
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) update();
  if (event->type() == QEvent::Paint && hasFocus()) {
    // The list's own frame shows that it has the focus, rows or none.
    QPainter p(this);
    p.setPen(QPen(palette().color(QPalette::Highlight), 2));
    p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  }
  return handled;
}

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  setOrientation(Qt::Horizontal);
  setRange(0, 100);
  setValue(0);
  setTextVisible(false);
}

int ProgressBar::Position() const {
  return value();
}

void ProgressBar::SetPosition(int position) {
  setValue(std::clamp(position, 0, 100));
}

Clock::Clock(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &Clock::tick);
}

void Clock::SetInterval(int milliseconds) {
  // QTimer reads 0 as "whenever idle"; here 0 means stopped.
  if (milliseconds <= 0) {
    timer_.stop();
    timer_.setInterval(0);
    return;
  }
  timer_.start(milliseconds);
}

int Clock::Interval() const {
  return timer_.isActive() ? timer_.interval() : 0;
}

CaptionButton::CaptionButton(const QString& image_stem, QWidget* parent)
    : QAbstractButton(parent),
      normal_(image_stem + QStringLiteral("-normal.png")),
      hot_(image_stem + QStringLiteral("-hot.png")),
      pressed_(image_stem + QStringLiteral("-pressed.png")) {
  setFixedSize(30, 30);
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_Hover);
}

CaptionButton::State CaptionButton::CurrentState() const {
  if (isDown()) return State::kPressed;
  if (pointer_over_) return State::kHot;
  return State::kNormal;
}

QSize CaptionButton::sizeHint() const {
  return {30, 30};
}

void CaptionButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const State s = CurrentState();
  p.drawPixmap(0, 0, s == State::kPressed ? pressed_ : s == State::kHot ? hot_ : normal_);
}

void CaptionButton::enterEvent(QEnterEvent* event) {
  pointer_over_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void CaptionButton::leaveEvent(QEvent* event) {
  pointer_over_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace wuqu
