#pragma once

#include <QObject>
#include <QString>

class QLineEdit;
class QTreeWidget;

namespace wuqu {

// Type to find in the track list: a small field over the list's bottom edge
// that keeps only the rows whose title (column 0) holds its text, letter case
// aside. Closing it shows every row again. Rows it hides are never selected.
// While it has the focus, the keys that act on rows (arrows, Page Up and
// Down, Return, the Menu key, Shift+F10, Ctrl+A) go on to the list.
class TrackFinder : public QObject {
  Q_OBJECT
 public:
  explicit TrackFinder(QTreeWidget& list);

  bool IsOpen() const;
  QLineEdit& Field() { return *field_; }
  // Opens the field, when closed, with the focus in it, and types `text` at
  // its end.
  void Type(const QString& text);
  // Opens the field, when closed, with the focus in it.
  void Open();
  // Empties and hides the field; every row shows again and the list takes
  // the focus back when the field had it.
  void Close();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Filter(const QString& text);
  void Place();

  QTreeWidget& list_;
  QLineEdit* field_;
};

}  // namespace wuqu
