// The marks of the track list's rows: a small drawn icon before the title
// (a green tick for a track on disk, a red cross for one whose last download
// failed, and beside it a badge 新 for a track new in its category) and the
// same news for screen readers as the row's description.
#include <QFont>
#include <QIcon>
#include <QTreeWidgetItem>
#include <QVariant>
#include <QPainter>
#include <QPixmap>

#include <array>

#include "app/controls.h"
#include "app/qt_text.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

constexpr int kMarkRole = Qt::UserRole + 1;
constexpr int kNewRole = Qt::UserRole + 2;
// The mark's square, then the badge beside it: every icon has the same
// width, so the marks and the badges stand in one column each.
constexpr int kIconSize = 12;
constexpr int kBadgeWidth = 14;
constexpr int kIconWidth = kIconSize + 1 + kBadgeWidth;

void DrawMark(QPainter& p, catalogue::TrackMark mark) {
  if (mark == catalogue::TrackMark::kOnDisk) {
    p.setPen(QPen(QColor(0x1a, 0x8f, 0x2e), 2));
    p.drawPolyline(QPolygonF({QPointF(2, 6.5), QPointF(5, 9.5), QPointF(10, 2.5)}));
  } else if (mark == catalogue::TrackMark::kFailed) {
    p.setPen(QPen(QColor(0xc6, 0x28, 0x28), 2));
    p.drawLine(QPointF(2.5, 2.5), QPointF(9.5, 9.5));
    p.drawLine(QPointF(9.5, 2.5), QPointF(2.5, 9.5));
  }
}

void DrawBadge(QPainter& p) {
  const QRectF badge(kIconSize + 1, 0, kBadgeWidth, kIconSize);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xe6, 0x5c, 0x00));
  p.drawRoundedRect(badge, 3, 3);
  QFont font = p.font();
  font.setPixelSize(10);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(badge, Qt::AlignCenter, ToQString(ui_texts::kRowNewBadge));
}

QIcon DrawnIcon(catalogue::TrackMark mark, bool is_new) {
  QPixmap pixmap(kIconWidth, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  DrawMark(p, mark);
  if (is_new) DrawBadge(p);
  p.end();
  return QIcon(pixmap);
}

// Drawn once; every row shares them. None for a row with nothing to show.
const QIcon& IconOf(catalogue::TrackMark mark, bool is_new) {
  using catalogue::TrackMark;
  static const std::array<QIcon, 6> icons = {
      QIcon(),
      DrawnIcon(TrackMark::kNone, true),
      DrawnIcon(TrackMark::kOnDisk, false),
      DrawnIcon(TrackMark::kOnDisk, true),
      DrawnIcon(TrackMark::kFailed, false),
      DrawnIcon(TrackMark::kFailed, true),
  };
  int mark_index = 0;
  if (mark == TrackMark::kOnDisk) mark_index = 1;
  if (mark == TrackMark::kFailed) mark_index = 2;
  return icons[static_cast<std::size_t>(mark_index * 2 + (is_new ? 1 : 0))];
}

QString DescriptionOf(catalogue::TrackMark mark, bool is_new) {
  QString download;
  if (mark == catalogue::TrackMark::kOnDisk) download = ToQString(ui_texts::kRowOnDisk);
  if (mark == catalogue::TrackMark::kFailed) download = ToQString(ui_texts::kRowFailed);
  if (!is_new) return download;
  const QString fresh = ToQString(ui_texts::kRowNew);
  return download.isEmpty() ? fresh : fresh + ToQString(ui_texts::kRowDescriptionJoin) + download;
}

// A row whose icon and description follow its mark and whether it is new:
// one change marks it.
class TrackRow final : public QTreeWidgetItem {
 public:
  explicit TrackRow(QTreeWidget* list) : QTreeWidgetItem(list, QTreeWidgetItem::UserType) {}
  QVariant data(int column, int role) const override {
    if (column == 0 && (role == Qt::DecorationRole || role == Qt::AccessibleDescriptionRole)) {
      const auto mark = static_cast<catalogue::TrackMark>(QTreeWidgetItem::data(0, kMarkRole).toInt());
      const bool is_new = QTreeWidgetItem::data(0, kNewRole).toBool();
      if (mark == catalogue::TrackMark::kNone && !is_new) return QVariant();
      if (role == Qt::DecorationRole) return IconOf(mark, is_new);
      return DescriptionOf(mark, is_new);
    }
    return QTreeWidgetItem::data(column, role);
  }
};

}  // namespace

QTreeWidgetItem* TrackList::NewTrackRow(TrackList* list) {
  // Room for the mark and the badge side by side, at their own size.
  const QSize icon_size(kIconWidth, kIconSize);
  if (list->iconSize() != icon_size) list->setIconSize(icon_size);
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

void TrackList::SetRowNew(int row, bool is_new) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || RowIsNew(row) == is_new) return;
  item->setData(0, kNewRole, is_new);
}

bool TrackList::RowIsNew(int row) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  return item != nullptr && item->data(0, kNewRole).toBool();
}

}  // namespace wuqu
