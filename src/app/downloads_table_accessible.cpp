#include "app/downloads_table_accessible.h"

#include <QAccessible>
#include <QPointer>

#include <unordered_map>

#include "app/downloads_window.h"
#include "app/qt_text.h"

namespace wuqu {
namespace {

// The window a table belongs to, whose verbs the actions are.
DownloadsWindow* WindowOf(DownloadsTable* table) {
  return table == nullptr ? nullptr : qobject_cast<DownloadsWindow*>(table->window());
}

// One cell of Qt's view of the table, with its row's actions added.
class RowCell final : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  RowCell(DownloadsTable* table, QAccessibleInterface* inner) : table_(table), inner_(inner) {}

  QAccessibleInterface* Inner() const { return inner_; }

  bool isValid() const override { return table_ != nullptr && inner_->isValid(); }
  QObject* object() const override { return inner_->object(); }
  QWindow* window() const override { return inner_->window(); }
  QAccessibleInterface* parent() const override {
    return table_ ? QAccessible::queryAccessibleInterface(table_.data()) : nullptr;
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
    QStringList names;
    for (const DownloadsWindow::RowAction& a : Actions()) names << a.name;
    return names;
  }
  QString localizedActionName(const QString& name) const override {
    for (const DownloadsWindow::RowAction& a : Actions()) {
      if (a.name == name) return ToQString(a.label);
    }
    return QString();
  }
  QString localizedActionDescription(const QString& name) const override {
    return localizedActionName(name);
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    for (const DownloadsWindow::RowAction& a : Actions()) {
      if (a.name == name && !a.keys.isEmpty()) return {a.keys};
    }
    return {};
  }
  void doAction(const QString& name) override {
    if (DownloadsWindow* window = WindowOf(table_)) window->DoRowAction(Row(), name);
  }

 private:
  catalogue::DownloadRowId Row() const {
    DownloadsWindow* window = WindowOf(table_);
    QAccessibleTableCellInterface* cell = inner_->tableCellInterface();
    if (window == nullptr || cell == nullptr) return catalogue::kNoRow;
    return window->Model().IdAt(cell->rowIndex());
  }
  std::vector<DownloadsWindow::RowAction> Actions() const {
    DownloadsWindow* window = WindowOf(table_);
    return window == nullptr ? std::vector<DownloadsWindow::RowAction>{} : window->ActionsOf(Row());
  }

  QPointer<DownloadsTable> table_;
  QAccessibleInterface* inner_;
};

// Qt's own interface of the table, whose cells come back as RowCells. The
// cells Qt drops when the rows change are dropped here first.
class TableAccessible final : public QAccessibleInterface, public QAccessibleTableInterface {
 public:
  TableAccessible(DownloadsTable* table, QAccessibleInterface* inner)
      : table_(table), inner_(inner), inner_id_(QAccessible::uniqueId(inner)) {}
  ~TableAccessible() override {
    Forget();
    QAccessible::deleteAccessibleInterface(inner_id_);
  }

  bool isValid() const override { return table_ != nullptr && inner_->isValid(); }
  QObject* object() const override { return table_.data(); }
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
    if (cell == nullptr || cell->tableCellInterface() == nullptr || table_ == nullptr) return cell;
    auto found = cells_.find(cell);
    if (found == cells_.end()) {
      const QAccessible::Id id = QAccessible::registerAccessibleInterface(new RowCell(table_, cell));
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

  QPointer<DownloadsTable> table_;
  QAccessibleInterface* inner_;
  QAccessible::Id inner_id_;
  mutable std::unordered_map<QAccessibleInterface*, QAccessible::Id> cells_;
};

// Asked for a DownloadsTable, makes Qt's own interface for it (this factory
// stands aside for that one query) and wraps it.
bool g_making_inner = false;

QAccessibleInterface* DownloadsTableFactory(const QString& class_name, QObject* object) {
  if (g_making_inner || class_name != QLatin1String("wuqu::DownloadsTable")) return nullptr;
  auto* table = qobject_cast<DownloadsTable*>(object);
  if (table == nullptr) return nullptr;
  g_making_inner = true;
  QAccessibleInterface* inner = QAccessible::queryAccessibleInterface(object);
  g_making_inner = false;
  if (inner == nullptr) return nullptr;
  return new TableAccessible(table, inner);
}

}  // namespace

void InstallDownloadsTableAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(DownloadsTableFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace wuqu
