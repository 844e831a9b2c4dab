#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "catalogue/user_downloads.h"
#include "text/text.h"

namespace wuqu {

// The 大小, 速度 and 剩余 cells' texts: "812 KB", "3.4 MB", "1.25 GB"; a
// speed as a size a second ("256 KB/s"); the time left as "0:42" or
// "1:02:03". Empty for a figure not known (negative).
Text SizeCellText(std::int64_t bytes);
Text SpeedCellText(double bytes_per_second);
Text TimeLeftCellText(std::int64_t seconds);

// The user's downloads as a table for the downloads window: one row per
// download the model lists, in its order (newest first), columns 曲目, 状态,
// 大小, 速度 and 剩余 (the last two only while a download runs).
//
// The rows follow the model through Refresh: rows the model took off are
// removed, new ones inserted, and only rows whose fields changed are said to
// have changed; a view keeps its selection, current row and scroll position.
class DownloadsTableModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kTitle, kState, kSize, kSpeed, kLeft, kColumns };
  // The role under which each cell gives its row's id (qulonglong).
  static constexpr int kRowIdRole = Qt::UserRole + 1;

  explicit DownloadsTableModel(const catalogue::UserDownloads& downloads,
                               QObject* parent = nullptr);

  // Brings the rows up to date with the model; cheap when nothing changed.
  // True when rows came or went, or a row's phase changed (what the verbs
  // on it depend on); false when only figures moved.
  bool Refresh();
  // The id of table row `row`; kNoRow outside the rows.
  catalogue::DownloadRowId IdAt(int row) const;
  // The table row of `id`; -1 when it is not in the table.
  int RowOf(catalogue::DownloadRowId id) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  // Rows added or removed: the table's rows made the model's, by removing
  // and inserting (or, should the order have changed, a layout change).
  void FollowTheList();
  void Reindex(std::size_t from);

  const catalogue::UserDownloads& downloads_;
  std::vector<catalogue::DownloadRowId> ids_;  // the table's rows, in order
  // Each listed row's phase as last seen, by id.
  std::unordered_map<catalogue::DownloadRowId, catalogue::RowPhase> phases_;
  std::unordered_map<catalogue::DownloadRowId, int> row_of_;
  std::uint64_t version_seen_ = 0;
  std::uint64_t list_version_seen_ = 0;
  std::vector<catalogue::DownloadRowId> changed_;  // reused
};

}  // namespace wuqu
