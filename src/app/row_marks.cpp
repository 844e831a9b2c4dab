// The marks of the track list's rows: a small drawn icon before the title
// (a green tick for a track on disk, a red cross for one whose last download
// failed) and the same news for screen readers as the row's description.
#include <QIcon>
#include <QTreeWidgetItem>
#include <QVariant>
#include <QPainter>
#include <QPixmap>

#include "app/controls.h"
#include "app/qt_text.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

constexpr int kMarkRole = Qt::UserRole + 1;
constexpr int kIconSize = 12;

QIcon DrawnIcon(catalogue::TrackMark mark) {
  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  if (mark == catalogue::TrackMark::kOnDisk) {
    p.setPen(QPen(QColor(0x1a, 0x8f, 0x2e), 2));
    p.drawPolyline(QPolygonF({QPointF(2, 6.5), QPointF(5, 9.5), QPointF(10, 2.5)}));
  } else {
    p.setPen(QPen(QColor(0xc6, 0x28, 0x28), 2));
    p.drawLine(QPointF(2.5, 2.5), QPointF(9.5, 9.5));
    p.drawLine(QPointF(9.5, 2.5), QPointF(2.5, 9.5));
  }
  return QIcon(pixmap);
}

// Drawn once; every row shares them.
const QIcon& IconOf(catalogue::TrackMark mark) {
  static const QIcon on_disk = DrawnIcon(catalogue::TrackMark::kOnDisk);
  static const QIcon failed = DrawnIcon(catalogue::TrackMark::kFailed);
  static const QIcon none;
  switch (mark) {
    case catalogue::TrackMark::kOnDisk:
      return on_disk;
    case catalogue::TrackMark::kFailed:
      return failed;
    default:
      return none;
  }
}

QString DescriptionOf(catalogue::TrackMark mark) {
  switch (mark) {
    case catalogue::TrackMark::kOnDisk:
      return ToQString(ui_texts::kRowOnDisk);
    case catalogue::TrackMark::kFailed:
      return ToQString(ui_texts::kRowFailed);
    default:
      return QString();
  }
}

// A row whose icon and description follow its mark: one change marks it.
class TrackRow final : public QTreeWidgetItem {
 public:
  explicit TrackRow(QTreeWidget* list) : QTreeWidgetItem(list, QTreeWidgetItem::UserType) {}
  QVariant data(int column, int role) const override {
    if (column == 0 && (role == Qt::DecorationRole || role == Qt::AccessibleDescriptionRole)) {
      const auto mark = static_cast<catalogue::TrackMark>(QTreeWidgetItem::data(0, kMarkRole).toInt());
      if (mark == catalogue::TrackMark::kNone) return QVariant();
      if (role == Qt::DecorationRole) return IconOf(mark);
      return DescriptionOf(mark);
    }
    return QTreeWidgetItem::data(column, role);
  }
};

}  // namespace

QTreeWidgetItem* TrackList::NewTrackRow(TrackList* list) {
  return new TrackRow(list);
}

void TrackList::SetRowMark(int row, catalogue::TrackMark mark) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || RowMark(row) == mark) return;
  item->setData(0, kMarkRole, static_cast<int>(mark));
}

catalogue::TrackMark TrackList::RowMark(int row) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr) return catalogue::TrackMark::kNone;
  return static_cast<catalogue::TrackMark>(item->data(0, kMarkRole).toInt());
}

}  // namespace wuqu
