#include "app/track_list_accessible.h"

#include <QAccessible>
#include <QPointer>
#include <QWidget>

#include "app/controls.h"
#include "app/qt_text.h"
#include "app/wrapped_table_accessible.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

const QString kPreviewAction = QStringLiteral("preview");
const QString kDownloadAction = QStringLiteral("download");

// The model row of a cell: the row at the cell's place in the list (for
// cells of hidden rows Qt's own row numbers count only the rows shown).
int RowOfCell(const TrackList& list, const QAccessibleInterface& cell) {
  const QPoint at = list.viewport()->mapFromGlobal(cell.rect().center());
  const QModelIndex index = list.indexAt(QPoint(1, at.y()));
  return index.isValid() ? index.row() : -1;
}

// One cell of Qt's view of the list, with the row's two actions added.
class RowCell final : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  RowCell(TrackList* list, QAccessibleInterface* inner) : list_(list), inner_(inner) {}

  QAccessibleInterface* Inner() const { return inner_; }

  bool isValid() const override { return list_ != nullptr && inner_->isValid(); }
  QObject* object() const override { return inner_->object(); }
  QWindow* window() const override { return inner_->window(); }
  QAccessibleInterface* parent() const override {
    return list_ ? QAccessible::queryAccessibleInterface(list_.data()) : nullptr;
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override { return inner_->text(t); }
  void setText(QAccessible::Text t, const QString& text) override { inner_->setText(t, text); }
  QRect rect() const override { return inner_->rect(); }
  QAccessible::Role role() const override { return inner_->role(); }
  QAccessible::State state() const override { return inner_->state(); }
  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    return inner_->interface_cast(t);
  }

  QStringList actionNames() const override {
    QStringList names = {kPreviewAction, kDownloadAction};
    if (QAccessibleActionInterface* own = inner_->actionInterface()) names += own->actionNames();
    return names;
  }
  QString localizedActionName(const QString& name) const override {
    if (name == kPreviewAction) return ToQString(ui_texts::kPreviewActionName);
    if (name == kDownloadAction) return ToQString(ui_texts::kDownloadActionName);
    QAccessibleActionInterface* own = inner_->actionInterface();
    return own ? own->localizedActionName(name) : QString();
  }
  QString localizedActionDescription(const QString& name) const override {
    return localizedActionName(name);
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    if (name == kPreviewAction) return {QStringLiteral("Return")};
    if (name == kDownloadAction) return {QStringLiteral("Menu"), QStringLiteral("Shift+F10")};
    QAccessibleActionInterface* own = inner_->actionInterface();
    return own ? own->keyBindingsForAction(name) : QStringList();
  }
  void doAction(const QString& name) override {
    if (list_ == nullptr) return;
    if (name == kPreviewAction || name == kDownloadAction) {
      const int row = RowOfCell(*list_, *inner_);
      if (row < 0) return;
      if (name == kPreviewAction) {
        list_->PreviewRow(row);
      } else {
        list_->DownloadRow(row);
      }
      return;
    }
    if (QAccessibleActionInterface* own = inner_->actionInterface()) own->doAction(name);
  }

 private:
  QPointer<TrackList> list_;
  QAccessibleInterface* inner_;
};

}  // namespace

void InstallTrackListAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(WrappedTableFactory<TrackList, RowCell>);
    return true;
  }();
  (void)installed;
}

}  // namespace wuqu
