#include "app/downloads_window.h"

#include <algorithm>

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include "app/downloads_table_accessible.h"
#include "app/qt_text.h"
#include "app/show_in_folder.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

using catalogue::DownloadRow;
using catalogue::DownloadRowId;
using catalogue::RowPhase;

const UiText* const kVerbTexts[DownloadsWindow::kVerbs] = {
    &ui_texts::kDownloadsPause,  &ui_texts::kDownloadsResume,       &ui_texts::kDownloadsCancel,
    &ui_texts::kDownloadsRetry,  &ui_texts::kDownloadsShowInFolder, &ui_texts::kDownloadsClearEnded};
const char* const kVerbNames[DownloadsWindow::kVerbs] = {
    "pause", "resume", "cancel", "retry", "show-in-folder", "clear-ended"};

bool HasItsFile(const DownloadRow& row) {
  return (row.phase == RowPhase::kComplete || row.phase == RowPhase::kAlreadyThere) &&
         !row.file.empty();
}

}  // namespace

DownloadsTable::DownloadsTable(QWidget* parent) : QTableView(parent) {
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
}

int DownloadsTable::TopRow() const {
  return verticalScrollBar()->value();
}

void DownloadsTable::KeepRowsInView(int rows_above) {
  QScrollBar* bar = verticalScrollBar();
  if (rows_above == 0 || bar->value() == 0) return;
  updateGeometries();  // the bar's range for the rows as they are now
  bar->setValue(bar->value() + rows_above);
}

void DownloadsTable::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (mods == Qt::NoModifier) {
    switch (event->key()) {
      case Qt::Key_Space:
        emit spacePressed();
        return;
      case Qt::Key_Delete:
        emit deletePressed();
        return;
      case Qt::Key_Return:
      case Qt::Key_Enter:
        emit returnPressed();
        return;
      default:
        break;
    }
  }
  QTableView::keyPressEvent(event);
}

DownloadsWindow::DownloadsWindow(catalogue::UserDownloads& downloads, QWidget* parent)
    : QWidget(parent, Qt::Window), downloads_(downloads) {
  setObjectName(QStringLiteral("下载列表"));
  setWindowTitle(ToQString(ui_texts::kDownloadsWindowTitle));
  setAccessibleName(ToQString(ui_texts::kDownloadsWindowTitle));
  InstallDownloadsTableAccessibility();

  model_ = new DownloadsTableModel(downloads_, this);
  table_ = new DownloadsTable(this);
  table_->setObjectName(QStringLiteral("downloadsTable"));
  table_->setAccessibleName(ToQString(ui_texts::kDownloadsTableName));
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setShowGrid(false);
  table_->setWordWrap(false);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  // Fixed row heights and no sizing to contents: opening costs the same for
  // ten rows as for ten thousand.
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  QHeaderView* head = table_->horizontalHeader();
  head->setSectionResizeMode(QHeaderView::Interactive);
  head->setStretchLastSection(false);
  head->setSectionResizeMode(DownloadsTableModel::kTitle, QHeaderView::Stretch);
  table_->setColumnWidth(DownloadsTableModel::kState, 170);
  table_->setColumnWidth(DownloadsTableModel::kSize, 80);
  table_->setColumnWidth(DownloadsTableModel::kSpeed, 90);
  table_->setColumnWidth(DownloadsTableModel::kLeft, 70);

  menu_bar_ = new QMenuBar(this);
  settings_menu_ = menu_bar_->addMenu(ToQString(ui_texts::kDownloadsMenu));

  auto* buttons = new QHBoxLayout;
  for (int v = 0; v < kVerbs; ++v) {
    buttons_[v] = new QPushButton(ToQString(*kVerbTexts[v]), this);
    buttons_[v]->setObjectName(QString::fromLatin1(kVerbNames[v]));
    buttons_[v]->setAutoDefault(false);
    const auto verb = static_cast<Verb>(v);
    connect(buttons_[v], &QPushButton::clicked, this, [this, verb] { Do(verb); });
    buttons->addWidget(buttons_[v]);
    if (v == kRetry) buttons->addStretch(1);
  }
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(menu_bar_);
  layout->addWidget(table_, 1);
  layout->addLayout(buttons);

  // Window-wide keys; Space, Delete and Return belong to the table.
  const struct {
    QKeySequence keys;
    std::function<void()> act;
  } keys[] = {
      {QKeySequence(Qt::CTRL | Qt::Key_R), [this] { Do(kRetry); }},
      {QKeySequence::SelectAll, [this] { table_->selectAll(); }},
      {QKeySequence(Qt::Key_Escape), [this] { close(); }},
  };
  for (const auto& k : keys) {
    auto* action = new QAction(this);
    action->setShortcut(k.keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, k.act);
    addAction(action);
  }
  connect(table_, &DownloadsTable::spacePressed, this, &DownloadsWindow::PauseOrResume);
  connect(table_, &DownloadsTable::deletePressed, this, &DownloadsWindow::CancelOrRemove);
  connect(table_, &DownloadsTable::returnPressed, this, &DownloadsWindow::PlayCurrent);
  connect(table_, &QAbstractItemView::doubleClicked, this, &DownloadsWindow::PlayCurrent);
  connect(table_, &QWidget::customContextMenuRequested, this, &DownloadsWindow::ShowRowMenu);
  connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { buttons_stale_ = true; SyncButtons(); });
  connect(table_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { buttons_stale_ = true; SyncButtons(); });

  // New rows come in at the top: once scrolled, the rows in view stay.
  connect(model_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) {
            if (first <= table_->TopRow()) table_->KeepRowsInView(last - first + 1);
          });
  connect(model_, &QAbstractItemModel::rowsAboutToBeRemoved, this,
          [this](const QModelIndex&, int first, int last) {
            const int top = table_->TopRow();
            removed_above_ = first < top ? std::min(last + 1, top) - first : 0;
          });
  connect(model_, &QAbstractItemModel::rowsRemoved, this, [this] {
    table_->KeepRowsInView(-removed_above_);
    removed_above_ = 0;
  });

  tick_.setInterval(kTickMs);
  connect(&tick_, &QTimer::timeout, this, &DownloadsWindow::Refresh);
  resize(680, 380);
  SyncButtons();
}

void DownloadsWindow::Open() {
  Refresh();
  show();
  raise();
  activateWindow();
  table_->setFocus(Qt::ActiveWindowFocusReason);
  if (!table_->currentIndex().isValid() && model_->rowCount() > 0) {
    table_->setCurrentIndex(model_->index(0, 0));
  }
}

void DownloadsWindow::Refresh() {
  // The buttons depend on the rows' phases, not on their figures.
  if (model_->Refresh()) buttons_stale_ = true;
  SyncButtons();
}

void DownloadsWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  tick_.start();
}

void DownloadsWindow::hideEvent(QHideEvent* event) {
  tick_.stop();
  QWidget::hideEvent(event);
}

std::vector<DownloadRowId> DownloadsWindow::SelectedIds() const {
  std::vector<DownloadRowId> ids;
  const QModelIndexList rows = table_->selectionModel()->selectedRows();
  std::vector<int> numbers;
  numbers.reserve(static_cast<std::size_t>(rows.size()));
  for (const QModelIndex& i : rows) numbers.push_back(i.row());
  std::sort(numbers.begin(), numbers.end());
  ids.reserve(numbers.size());
  for (const int row : numbers) {
    const DownloadRowId id = model_->IdAt(row);
    if (id != catalogue::kNoRow) ids.push_back(id);
  }
  return ids;
}

bool DownloadsWindow::AppliesTo(Verb verb, DownloadRowId id) const {
  switch (verb) {
    case kPause:
      return downloads_.CanPause(id);
    case kResume:
      return downloads_.CanResume(id);
    case kCancel:
      return downloads_.CanCancel(id);
    case kRetry:
      return downloads_.CanRetry(id);
    case kShowInFolder: {
      const DownloadRow* row = downloads_.Find(id);
      return row != nullptr && HasItsFile(*row);
    }
    case kClearEnded:
    case kVerbs:
      break;
  }
  return false;
}

bool DownloadsWindow::Applies(Verb verb) const {
  if (verb == kClearEnded) {
    for (std::size_t i = 0; i < downloads_.RowCount(); ++i) {
      if (catalogue::RowEnded(downloads_.RowAt(i).phase)) return true;
    }
    return false;
  }
  for (const DownloadRowId id : SelectedIds()) {
    if (AppliesTo(verb, id)) return true;
  }
  return false;
}

void DownloadsWindow::SyncButtons() {
  if (!buttons_stale_) return;
  buttons_stale_ = false;
  // One pass over the selection for every verb, ended once all apply.
  bool applies[kVerbs] = {};
  int found = 0;
  for (const DownloadRowId id : SelectedIds()) {
    for (int v = 0; v < kClearEnded; ++v) {
      if (!applies[v] && AppliesTo(static_cast<Verb>(v), id)) {
        applies[v] = true;
        ++found;
      }
    }
    if (found == kClearEnded) break;
  }
  applies[kClearEnded] = Applies(kClearEnded);
  for (int v = 0; v < kVerbs; ++v) buttons_[v]->setEnabled(applies[v]);
}

void DownloadsWindow::DoOn(Verb verb, const std::vector<DownloadRowId>& ids) {
  switch (verb) {
    case kPause:
      for (const DownloadRowId id : ids) downloads_.Pause(id);
      break;
    case kResume:
      for (const DownloadRowId id : ids) downloads_.Resume(id);
      break;
    case kCancel:
      for (const DownloadRowId id : ids) downloads_.Cancel(id);
      break;
    case kRetry:
      for (const DownloadRowId id : ids) downloads_.Retry(id);
      break;
    case kShowInFolder: {
      QStringList files;
      QString folder;
      for (const DownloadRowId id : ids) {
        const DownloadRow* row = downloads_.Find(id);
        if (row == nullptr || !HasItsFile(*row)) continue;
        const QString path = QFileInfo(ToQString(row->file)).absoluteFilePath();
        if (folder.isEmpty()) folder = QFileInfo(path).absolutePath();
        if (QFileInfo::exists(path)) files << path;
      }
      if (!files.isEmpty()) {
        ShowInFolder(files);
      } else if (!folder.isEmpty() && QDir(folder).exists()) {
        // The file went: its folder, at least.
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
      }
      break;
    }
    case kClearEnded:
      downloads_.ClearEnded();
      break;
    case kVerbs:
      break;
  }
  Refresh();
}

void DownloadsWindow::Do(Verb verb) {
  DoOn(verb, verb == kClearEnded ? std::vector<DownloadRowId>{} : SelectedIds());
}

void DownloadsWindow::PauseOrResume() {
  const std::vector<DownloadRowId> ids = SelectedIds();
  bool any_pauses = false;
  for (const DownloadRowId id : ids) any_pauses = any_pauses || downloads_.CanPause(id);
  DoOn(any_pauses ? kPause : kResume, ids);
}

void DownloadsWindow::CancelOrRemove() {
  for (const DownloadRowId id : SelectedIds()) {
    if (!downloads_.Cancel(id)) downloads_.Remove(id);
  }
  Refresh();
}

void DownloadsWindow::PlayCurrent() {
  std::vector<DownloadRowId> ids;
  const DownloadRowId current = model_->IdAt(table_->currentIndex().row());
  if (current != catalogue::kNoRow) ids.push_back(current);
  for (const DownloadRowId id : SelectedIds()) ids.push_back(id);
  for (const DownloadRowId id : ids) {
    const DownloadRow* row = downloads_.Find(id);
    if (row == nullptr || !HasItsFile(*row)) continue;
    const QString path = QFileInfo(ToQString(row->file)).absoluteFilePath();
    if (!QFileInfo::exists(path)) continue;
    emit playRequested(QUrl::fromLocalFile(path).toEncoded().toStdString());
    return;
  }
}

void DownloadsWindow::ShowRowMenu(const QPoint& pos) {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("downloadsRowMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  for (int v = 0; v < kVerbs; ++v) {
    const auto verb = static_cast<Verb>(v);
    QAction* action = menu->addAction(ToQString(*kVerbTexts[v]), this, [this, verb] { Do(verb); });
    action->setObjectName(QString::fromLatin1(kVerbNames[v]));
    action->setEnabled(Applies(verb));
    if (v == kRetry) menu->addSeparator();
  }
  menu->popup(table_->viewport()->mapToGlobal(pos));
}

std::vector<DownloadsWindow::RowAction> DownloadsWindow::ActionsOf(DownloadRowId id) const {
  std::vector<RowAction> actions;
  const DownloadRow* row = downloads_.Find(id);
  if (row == nullptr) return actions;
  const struct {
    bool applies;
    const char* name;
    const UiText& label;
    const char* keys;
  } all[] = {
      {downloads_.CanPause(id), "pause", ui_texts::kDownloadsPause, "Space"},
      {downloads_.CanResume(id), "resume", ui_texts::kDownloadsResume, "Space"},
      {downloads_.CanCancel(id), "cancel", ui_texts::kDownloadsCancel, "Delete"},
      {downloads_.CanRetry(id), "retry", ui_texts::kDownloadsRetry, "Ctrl+R"},
      {HasItsFile(*row), "play", ui_texts::kDownloadsPlay, "Return"},
      {HasItsFile(*row), "show-in-folder", ui_texts::kDownloadsShowInFolder, ""},
      {downloads_.CanRemove(id), "remove", ui_texts::kDownloadsRemove, "Delete"},
  };
  for (const auto& a : all) {
    if (a.applies) actions.push_back({QString::fromLatin1(a.name), a.label, QString::fromLatin1(a.keys)});
  }
  return actions;
}

void DownloadsWindow::DoRowAction(DownloadRowId id, const QString& name) {
  const std::vector<DownloadRowId> ids{id};
  if (name == QLatin1String("pause")) {
    DoOn(kPause, ids);
  } else if (name == QLatin1String("resume")) {
    DoOn(kResume, ids);
  } else if (name == QLatin1String("cancel")) {
    DoOn(kCancel, ids);
  } else if (name == QLatin1String("retry")) {
    DoOn(kRetry, ids);
  } else if (name == QLatin1String("show-in-folder")) {
    DoOn(kShowInFolder, ids);
  } else if (name == QLatin1String("remove")) {
    downloads_.Remove(id);
    Refresh();
  } else if (name == QLatin1String("play")) {
    const int row = model_->RowOf(id);
    if (row < 0) return;
    table_->setCurrentIndex(model_->index(row, 0));
    PlayCurrent();
  }
}

QAction& DownloadsWindow::AddWriteTagsSetting(std::function<bool()> read,
                                              std::function<void(bool)> write) {
  QAction* action = settings_menu_->addAction(ToQString(ui_texts::kDownloadsWriteTags));
  action->setObjectName(QStringLiteral("write_tags"));
  action->setCheckable(true);
  action->setChecked(read());
  connect(action, &QAction::toggled, this, [write = std::move(write)](bool on) { write(on); });
  // The menu shows what the setting is now, also when changed elsewhere.
  connect(settings_menu_, &QMenu::aboutToShow, action,
          [action, read = std::move(read)] {
            const QSignalBlocker quiet(action);
            action->setChecked(read());
          });
  return *action;
}

}  // namespace wuqu
