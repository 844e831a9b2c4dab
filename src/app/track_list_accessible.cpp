#include "app/track_list_accessible.h"

#include <QAccessible>
#include <QPointer>
#include <QWidget>

#include <unordered_map>

#include "app/controls.h"
#include "app/qt_text.h"
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

// Qt's own interface of the list, whose cells come back as RowCells. The
// cells Qt drops when the rows change are dropped here first.
class ListAccessible final : public QAccessibleInterface, public QAccessibleTableInterface {
 public:
  ListAccessible(TrackList* list, QAccessibleInterface* inner)
      : list_(list), inner_(inner), inner_id_(QAccessible::uniqueId(inner)) {}
  ~ListAccessible() override {
    Forget();
    QAccessible::deleteAccessibleInterface(inner_id_);
  }

  bool isValid() const override { return list_ != nullptr && inner_->isValid(); }
  QObject* object() const override { return list_.data(); }
  QWindow* window() const override { return inner_->window(); }
  QList<std::pair<QAccessibleInterface*, QAccessible::Relation>> relations(
      QAccessible::Relation match) const override {
    return inner_->relations(match);
  }
  QAccessibleInterface* focusChild() const override { return Wrap(inner_->focusChild()); }
  QAccessibleInterface* parent() const override { return inner_->parent(); }
  QAccessibleInterface* child(int index) const override { return Wrap(inner_->child(index)); }
  int childCount() const override { return inner_->childCount(); }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return inner_->indexOfChild(Unwrap(child));
  }
  QAccessibleInterface* childAt(int x, int y) const override { return Wrap(inner_->childAt(x, y)); }
  QString text(QAccessible::Text t) const override { return inner_->text(t); }
  void setText(QAccessible::Text t, const QString& text) override { inner_->setText(t, text); }
  QRect rect() const override { return inner_->rect(); }
  QAccessible::Role role() const override { return inner_->role(); }
  QAccessible::State state() const override { return inner_->state(); }
  QColor foregroundColor() const override { return inner_->foregroundColor(); }
  QColor backgroundColor() const override { return inner_->backgroundColor(); }
  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::TableInterface) {
      return Table() ? static_cast<QAccessibleTableInterface*>(this) : nullptr;
    }
    return inner_->interface_cast(t);
  }

  QAccessibleInterface* caption() const override { return Table()->caption(); }
  QAccessibleInterface* summary() const override { return Table()->summary(); }
  QAccessibleInterface* cellAt(int row, int column) const override {
    return Wrap(Table()->cellAt(row, column));
  }
  int selectedCellCount() const override { return Table()->selectedCellCount(); }
  QList<QAccessibleInterface*> selectedCells() const override {
    QList<QAccessibleInterface*> cells = Table()->selectedCells();
    for (QAccessibleInterface*& cell : cells) cell = Wrap(cell);
    return cells;
  }
  QString columnDescription(int column) const override {
    return Table()->columnDescription(column);
  }
  QString rowDescription(int row) const override { return Table()->rowDescription(row); }
  int selectedColumnCount() const override { return Table()->selectedColumnCount(); }
  int selectedRowCount() const override { return Table()->selectedRowCount(); }
  int columnCount() const override { return Table()->columnCount(); }
  int rowCount() const override { return Table()->rowCount(); }
  QList<int> selectedColumns() const override { return Table()->selectedColumns(); }
  QList<int> selectedRows() const override { return Table()->selectedRows(); }
  bool isColumnSelected(int column) const override { return Table()->isColumnSelected(column); }
  bool isRowSelected(int row) const override { return Table()->isRowSelected(row); }
  bool selectRow(int row) override { return Table()->selectRow(row); }
  bool selectColumn(int column) override { return Table()->selectColumn(column); }
  bool unselectRow(int row) override { return Table()->unselectRow(row); }
  bool unselectColumn(int column) override { return Table()->unselectColumn(column); }
  void modelChange(QAccessibleTableModelChangeEvent* event) override {
    Forget();  // before Qt drops the cells these stand for
    Table()->modelChange(event);
  }

 private:
  QAccessibleTableInterface* Table() const { return inner_->tableInterface(); }

  // Cells get the actions; headers stay as Qt makes them.
  QAccessibleInterface* Wrap(QAccessibleInterface* cell) const {
    if (cell == nullptr || cell->tableCellInterface() == nullptr || list_ == nullptr) return cell;
    auto found = cells_.find(cell);
    if (found == cells_.end()) {
      const QAccessible::Id id = QAccessible::registerAccessibleInterface(new RowCell(list_, cell));
      found = cells_.emplace(cell, id).first;
    }
    return QAccessible::accessibleInterface(found->second);
  }
  static const QAccessibleInterface* Unwrap(const QAccessibleInterface* child) {
    const auto* cell = dynamic_cast<const RowCell*>(child);
    return cell != nullptr ? cell->Inner() : child;
  }
  void Forget() {
    for (const auto& [inner, id] : cells_) QAccessible::deleteAccessibleInterface(id);
    cells_.clear();
  }

  QPointer<TrackList> list_;
  QAccessibleInterface* inner_;
  QAccessible::Id inner_id_;
  mutable std::unordered_map<QAccessibleInterface*, QAccessible::Id> cells_;
};

// Asked for a TrackList, makes Qt's own interface for it (this factory
// stands aside for that one query) and wraps it.
bool g_making_inner = false;

QAccessibleInterface* TrackListFactory(const QString& class_name, QObject* object) {
  if (g_making_inner || class_name != QLatin1String("wuqu::TrackList")) return nullptr;
  auto* list = qobject_cast<TrackList*>(object);
  if (list == nullptr) return nullptr;
  g_making_inner = true;
  QAccessibleInterface* inner = QAccessible::queryAccessibleInterface(object);
  g_making_inner = false;
  if (inner == nullptr) return nullptr;
  return new ListAccessible(list, inner);
}

}  // namespace

void InstallTrackListAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(TrackListFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace wuqu
