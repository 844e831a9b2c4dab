#include "app/track_finder.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTreeWidget>

#include "app/qt_text.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

constexpr int kFieldWidth = 160;
constexpr int kFieldHeight = 22;

// Keys that act on the rows, not on the text: from the field they go to the
// list, which takes the focus. Ctrl+A selects every row shown, not the text.
bool IsListKey(const QKeyEvent& key) {
  if (key.matches(QKeySequence::SelectAll)) return true;
  const Qt::KeyboardModifiers mods = key.modifiers() & ~Qt::KeypadModifier;
  switch (key.key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      return mods == Qt::NoModifier || mods == Qt::ShiftModifier;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Menu:
      return mods == Qt::NoModifier;
    case Qt::Key_F10:
      return mods == Qt::ShiftModifier;
    default:
      return false;
  }
}

}  // namespace

TrackFinder::TrackFinder(QTreeWidget& list)
    : QObject(&list), list_(list), field_(new QLineEdit(&list)) {
  field_->setObjectName(QStringLiteral("trackFinder"));
  field_->setAccessibleName(ToQString(ui_texts::kFindFieldName));
  field_->setClearButtonEnabled(false);
  field_->hide();
  field_->installEventFilter(this);
  list_.installEventFilter(this);
  connect(field_, &QLineEdit::textChanged, this, &TrackFinder::Filter);
}

bool TrackFinder::IsOpen() const {
  return field_->isVisible();
}

void TrackFinder::Open() {
  if (!IsOpen()) {
    Place();
    field_->show();
    field_->raise();
  }
  field_->setFocus(Qt::OtherFocusReason);
}

void TrackFinder::Type(const QString& text) {
  Open();
  field_->end(false);
  field_->insert(text);
}

void TrackFinder::Close() {
  const bool had_focus = field_->hasFocus();
  field_->clear();
  field_->hide();
  if (had_focus) list_.setFocus(Qt::OtherFocusReason);
  if (QTreeWidgetItem* current = list_.currentItem()) list_.scrollToItem(current);
}

void TrackFinder::Place() {
  const QRect inside = list_.contentsRect();
  const int width = std::min(kFieldWidth, inside.width());
  field_->setGeometry(inside.right() + 1 - width, inside.bottom() + 1 - kFieldHeight, width,
                      kFieldHeight);
}

void TrackFinder::Filter(const QString& text) {
  QTreeWidgetItem* first_shown = nullptr;
  const int rows = list_.topLevelItemCount();
  for (int row = 0; row < rows; ++row) {
    QTreeWidgetItem* item = list_.topLevelItem(row);
    const bool hide = !text.isEmpty() && !item->text(0).contains(text, Qt::CaseInsensitive);
    if (hide && item->isSelected()) item->setSelected(false);
    if (hide != list_.isRowHidden(row, QModelIndex())) list_.setRowHidden(row, QModelIndex(), hide);
    if (!hide && first_shown == nullptr) first_shown = item;
  }
  // Keys move from the current row: keep it among the rows shown.
  QTreeWidgetItem* current = list_.currentItem();
  if ((current == nullptr || current->isHidden()) && first_shown != nullptr) {
    list_.setCurrentItem(first_shown, 0, QItemSelectionModel::NoUpdate);
  }
  if (list_.currentItem() != nullptr) list_.scrollToItem(list_.currentItem());
}

bool TrackFinder::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &list_ && event->type() == QEvent::Resize && IsOpen()) Place();
  if (watched != field_) return false;
  // On X11 the Menu key comes as a context menu request first (for the focus),
  // then as the key itself: the request would open the field's text menu.
  // The key goes on to the list below. The mouse's right button keeps the
  // text menu.
  if (event->type() == QEvent::ContextMenu &&
      static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
    return true;
  }
  // The field claims Ctrl+A before any shortcut: the key itself then comes
  // here and goes on to the list.
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
    Close();
    return true;
  }
  if (IsListKey(*key)) {
    list_.setFocus(Qt::OtherFocusReason);
    // The first arrow from the field lands on the first row found, not
    // the one after it.
    QTreeWidgetItem* current = list_.currentItem();
    const bool arrow = (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up) &&
                       key->modifiers() == Qt::NoModifier;
    if (arrow && current != nullptr && !current->isHidden() && !current->isSelected()) {
      list_.setCurrentItem(current, 0,
                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      return true;
    }
    QApplication::sendEvent(&list_, key);
    return true;
  }
  return false;
}

}  // namespace wuqu
