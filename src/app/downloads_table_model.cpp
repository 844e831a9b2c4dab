#include "app/downloads_table_model.h"

#include <cinttypes>
#include <cstdio>

#include "app/qt_text.h"
#include "text/readable_title.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

using catalogue::DownloadRow;
using catalogue::DownloadRowId;
using catalogue::RowPhase;

const UiText* const kColumnNames[DownloadsTableModel::kColumns] = {
    &ui_texts::kDownloadsColumnTitle, &ui_texts::kDownloadsColumnState,
    &ui_texts::kDownloadsColumnSize, &ui_texts::kDownloadsColumnSpeed,
    &ui_texts::kDownloadsColumnLeft};

// What the 曲目 cell shows: the title as a person reads it (as the file's
// tags and the desktop notice name it); when it reads as nothing, the file's
// name, or the track's play page.
Text TitleOf(const DownloadRow& row) {
  Text readable = ReadableTitle(row.title);
  if (!readable.empty()) return readable;
  if (!row.file.empty()) return row.file.substr(row.file.rfind('/') + 1);
  return row.play_page;
}

}  // namespace

Text SizeCellText(std::int64_t bytes) {
  if (bytes < 0) return Text();
  char text[32];
  constexpr double kKiB = 1024.0;
  const auto b = static_cast<double>(bytes);
  if (bytes < 1024 * 1024) {
    // Whole kilobytes, a started one counted: "1 KB" for 1 byte, "0 KB" for none.
    std::snprintf(text, sizeof text, "%" PRId64 " KB", (bytes + 1023) / 1024);
  } else if (bytes < std::int64_t{1024} * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MB", b / (kKiB * kKiB));
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", b / (kKiB * kKiB * kKiB));
  }
  return text;
}

Text SpeedCellText(double bytes_per_second) {
  if (!(bytes_per_second >= 0)) return Text();  // NaN too
  return SizeCellText(static_cast<std::int64_t>(bytes_per_second)) + "/s";
}

Text TimeLeftCellText(std::int64_t seconds) {
  if (seconds < 0) return Text();
  char text[32];
  const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, m, s);
  }
  return text;
}

DownloadsTableModel::DownloadsTableModel(const catalogue::UserDownloads& downloads,
                                         QObject* parent)
    : QAbstractTableModel(parent), downloads_(downloads) {
  const std::size_t rows = downloads_.RowCount();
  ids_.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    ids_.push_back(downloads_.RowAt(i).id);
    phases_.emplace(ids_.back(), downloads_.RowAt(i).phase);
  }
  Reindex(0);
  version_seen_ = downloads_.Version();
  list_version_seen_ = downloads_.ListVersion();
}

bool DownloadsTableModel::Refresh() {
  bool verbs_changed = false;
  if (downloads_.ListVersion() != list_version_seen_) {
    FollowTheList();
    list_version_seen_ = downloads_.ListVersion();
    verbs_changed = true;
  }
  if (downloads_.Version() == version_seen_) return verbs_changed;
  const auto note_phase = [&](DownloadRowId id) {
    const catalogue::DownloadRow* row = downloads_.Find(id);
    if (row == nullptr) return;
    auto [seen, added] = phases_.try_emplace(id, row->phase);
    if (added || seen->second != row->phase) verbs_changed = true;
    seen->second = row->phase;
  };
  if (downloads_.ChangedSince(version_seen_, changed_)) {
    for (const DownloadRowId id : changed_) {
      const int row = RowOf(id);
      if (row < 0) continue;
      note_phase(id);
      emit dataChanged(index(row, 0), index(row, kColumns - 1));
    }
  } else if (!ids_.empty()) {
    for (const DownloadRowId id : ids_) note_phase(id);
    verbs_changed = true;
    emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
  }
  version_seen_ = downloads_.Version();
  return verbs_changed;
}

void DownloadsTableModel::FollowTheList() {
  // Rows gone, from the end so that the rows before keep their numbers.
  for (int last = static_cast<int>(ids_.size()) - 1; last >= 0;) {
    if (downloads_.Find(ids_[static_cast<std::size_t>(last)]) != nullptr) {
      --last;
      continue;
    }
    int first = last;
    while (first > 0 && downloads_.Find(ids_[static_cast<std::size_t>(first - 1)]) == nullptr) {
      --first;
    }
    beginRemoveRows(QModelIndex(), first, last);
    for (int r = first; r <= last; ++r) phases_.erase(ids_[static_cast<std::size_t>(r)]);
    ids_.erase(ids_.begin() + first, ids_.begin() + last + 1);
    endRemoveRows();
    last = first - 1;
  }
  Reindex(0);
  // Rows new, where the model has them.
  const std::size_t rows = downloads_.RowCount();
  bool in_order = true;
  for (std::size_t i = 0; i < rows && in_order; ++i) {
    const DownloadRowId id = downloads_.RowAt(i).id;
    if (i < ids_.size() && ids_[i] == id) continue;
    if (row_of_.count(id) != 0) {
      in_order = false;  // a row moved
      break;
    }
    std::size_t end = i + 1;
    while (end < rows && row_of_.count(downloads_.RowAt(end).id) == 0) ++end;
    beginInsertRows(QModelIndex(), static_cast<int>(i), static_cast<int>(end - 1));
    std::vector<DownloadRowId> fresh;
    fresh.reserve(end - i);
    for (std::size_t k = i; k < end; ++k) fresh.push_back(downloads_.RowAt(k).id);
    ids_.insert(ids_.begin() + static_cast<std::ptrdiff_t>(i), fresh.begin(), fresh.end());
    for (const DownloadRowId f : fresh) row_of_[f] = -1;  // known; numbered below
    endInsertRows();
    i = end - 1;
  }
  if (in_order && ids_.size() == rows) {
    Reindex(0);
    return;
  }
  // The order changed: every row where the model has it now, the view's
  // selection and current row carried along by id.
  emit layoutAboutToBeChanged();
  const QModelIndexList before = persistentIndexList();
  std::vector<DownloadRowId> before_ids;
  before_ids.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& i : before) before_ids.push_back(IdAt(i.row()));
  ids_.clear();
  for (std::size_t i = 0; i < rows; ++i) ids_.push_back(downloads_.RowAt(i).id);
  Reindex(0);
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype k = 0; k < before.size(); ++k) {
    const int row = RowOf(before_ids[static_cast<std::size_t>(k)]);
    after.push_back(row < 0 ? QModelIndex() : index(row, before[k].column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged();
}

void DownloadsTableModel::Reindex(std::size_t from) {
  if (from == 0) row_of_.clear();
  for (std::size_t i = from; i < ids_.size(); ++i) row_of_[ids_[i]] = static_cast<int>(i);
}

DownloadRowId DownloadsTableModel::IdAt(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= ids_.size()) return catalogue::kNoRow;
  return ids_[static_cast<std::size_t>(row)];
}

int DownloadsTableModel::RowOf(DownloadRowId id) const {
  const auto found = row_of_.find(id);
  return found == row_of_.end() ? -1 : found->second;
}

int DownloadsTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

int DownloadsTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant DownloadsTableModel::data(const QModelIndex& index, int role) const {
  const DownloadRowId id = IdAt(index.row());
  const DownloadRow* row = downloads_.Find(id);
  if (row == nullptr || index.column() < 0 || index.column() >= kColumns) return {};
  if (role == kRowIdRole) return QVariant::fromValue<qulonglong>(id);
  if (role == Qt::TextAlignmentRole) {
    const bool figure = index.column() >= kSize;
    return QVariant::fromValue(Qt::Alignment(figure ? Qt::AlignRight | Qt::AlignVCenter
                                                    : Qt::AlignLeft | Qt::AlignVCenter));
  }
  if (role == Qt::ToolTipRole) {
    if (index.column() == kTitle && !row->file.empty()) return ToQString(row->file);
    if (index.column() == kState) return ToQString(catalogue::RowStatusText(*row));
    return {};
  }
  if (role != Qt::DisplayRole) return {};
  const bool running = row->phase == RowPhase::kRunning;
  switch (index.column()) {
    case kTitle:
      return ToQString(TitleOf(*row));
    case kState:
      return ToQString(catalogue::RowStatusText(*row));
    case kSize:
      return ToQString(SizeCellText(row->size));
    case kSpeed:
      return running && row->speed > 0 ? ToQString(SpeedCellText(row->speed)) : QString();
    case kLeft:
      return running ? ToQString(TimeLeftCellText(row->seconds_left)) : QString();
    default:
      return {};
  }
}

QVariant DownloadsTableModel::headerData(int section, Qt::Orientation orientation,
                                         int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
  if (role == Qt::DisplayRole) return ToQString(*kColumnNames[section]);
  return {};
}

}  // namespace wuqu
