#include "app/downloads_table_accessible.h"

#include <QAccessible>
#include <QPointer>

#include "app/downloads_window.h"
#include "app/qt_text.h"
#include "app/wrapped_table_accessible.h"

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

}  // namespace

void InstallDownloadsTableAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(WrappedTableFactory<DownloadsTable, RowCell>);
    return true;
  }();
  (void)installed;
}

}  // namespace wuqu
