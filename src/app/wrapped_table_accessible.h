#pragma once

#include <QAccessible>
#include <QPointer>
#include <QString>

#include <unordered_map>

// The accessible interface of a table widget whose cells offer their row's
// actions, shared by the track list and the downloads table: Qt's own
// interface of the widget, its cells wrapped.
namespace wuqu {

// Qt's own interface of a table widget, whose cells come back as `Cell`s
// (made from the widget and Qt's cell, giving it back as Inner()), so that
// each cell can offer its row's actions. The cells Qt drops when the rows
// change are dropped here first.
template <typename Widget, typename Cell>
class WrappedTableAccessible final : public QAccessibleInterface, public QAccessibleTableInterface {
 public:
  WrappedTableAccessible(Widget* table, QAccessibleInterface* inner)
      : table_(table), inner_(inner), inner_id_(QAccessible::uniqueId(inner)) {}
  ~WrappedTableAccessible() override {
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
      const QAccessible::Id id = QAccessible::registerAccessibleInterface(new Cell(table_, cell));
      found = cells_.emplace(cell, id).first;
    }
    return QAccessible::accessibleInterface(found->second);
  }
  static const QAccessibleInterface* Unwrap(const QAccessibleInterface* child) {
    const auto* cell = dynamic_cast<const Cell*>(child);
    return cell != nullptr ? cell->Inner() : child;
  }
  void Forget() {
    for (const auto& [inner, id] : cells_) QAccessible::deleteAccessibleInterface(id);
    cells_.clear();
  }

  QPointer<Widget> table_;
  QAccessibleInterface* inner_;
  QAccessible::Id inner_id_;
  mutable std::unordered_map<QAccessibleInterface*, QAccessible::Id> cells_;
};

// Stands aside while Qt makes its own interface of a widget it wraps.
inline bool g_making_inner_table = false;

// An accessibility factory: asked for a `Widget`, makes Qt's own interface
// for it (the factory stands aside for that one query) and wraps it.
template <typename Widget, typename Cell>
QAccessibleInterface* WrappedTableFactory(const QString& class_name, QObject* object) {
  if (g_making_inner_table ||
      class_name != QLatin1String(Widget::staticMetaObject.className())) {
    return nullptr;
  }
  auto* table = qobject_cast<Widget*>(object);
  if (table == nullptr) return nullptr;
  g_making_inner_table = true;
  QAccessibleInterface* inner = QAccessible::queryAccessibleInterface(object);
  g_making_inner_table = false;
  if (inner == nullptr) return nullptr;
  return new WrappedTableAccessible<Widget, Cell>(table, inner);
}

}  // namespace wuqu
