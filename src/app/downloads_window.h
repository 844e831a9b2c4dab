#pragma once

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

#include "app/downloads_table_model.h"
#include "catalogue/user_downloads.h"
#include "text/text.h"

namespace wuqu {

// The downloads window's table: keys on the selected rows, which it hands to
// its window (Space, Delete, Return); everything else is the view's own
// (arrows, Shift, Ctrl+A select).
class DownloadsTable final : public QTableView {
  Q_OBJECT
 public:
  explicit DownloadsTable(QWidget* parent = nullptr);
  // The row at the top of the view.
  int TopRow() const;
  // Rows came (or went, when negative) above the top of the view: the rows
  // in view stay there, unless the view was at the very top.
  void KeepRowsInView(int rows_above);

 signals:
  void spacePressed();
  void deletePressed();
  void returnPressed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

// The downloads window 下载列表: an ordinary framed, resizable window with
// one row per download the user asked for (newest first), kept up to date
// every 100 ms while it shows; the user's verbs on the selected rows as
// buttons, a menu on the rows and keys:
//   Space   pause, or resume when none of them can pause
//   Delete  cancel; an ended row goes off the list
//   Ctrl+R  retry (failed or cancelled)
//   Return  play the current row's file, once complete
//   Ctrl+A  select every row;  Escape  close the window
// It reads and steers `downloads`, which outlives it.
class DownloadsWindow final : public QWidget {
  Q_OBJECT
 public:
  // The verbs, as buttons (in this order) and in the rows' menu.
  enum Verb { kPause, kResume, kCancel, kRetry, kShowInFolder, kClearEnded, kVerbs };
  static constexpr int kTickMs = 100;

  explicit DownloadsWindow(catalogue::UserDownloads& downloads, QWidget* parent = nullptr);

  DownloadsTable& Table() { return *table_; }
  DownloadsTableModel& Model() { return *model_; }
  QPushButton& Button(Verb verb) { return *buttons_[verb]; }
  QMenuBar& MenuBar() { return *menu_bar_; }
  // The window's one menu, 设置, where settings go.
  QMenu& SettingsMenu() { return *settings_menu_; }

  // Shows the window (again) in front, up to date, the focus in its table.
  void Open();
  // One tick: the rows and the buttons brought up to date.
  void Refresh();

  // The ids of the selected rows, in table order.
  std::vector<catalogue::DownloadRowId> SelectedIds() const;
  // The verbs, on the selected rows; each does what applies to each row.
  void Do(Verb verb);
  void PauseOrResume();
  void CancelOrRemove();
  void PlayCurrent();
  // Whether the verb applies to any selected row (its button's state).
  bool Applies(Verb verb) const;

  // The same verbs on one row, as its accessible actions offer them.
  struct RowAction {
    QString name;   // as assistive technology asks for it
    Text label;     // what it reads out
    QString keys;   // the key that does it in the window
  };
  std::vector<RowAction> ActionsOf(catalogue::DownloadRowId id) const;
  void DoRowAction(catalogue::DownloadRowId id, const QString& name);

  // The checkable 写入曲目信息 in the settings menu, read from and written
  // through `read` and `write`.
  QAction& AddWriteTagsSetting(std::function<bool()> read, std::function<void(bool)> write);

 signals:
  // Return on a complete row: the address of its file (file://), to play.
  void playRequested(const Text& url);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ShowRowMenu(const QPoint& pos);
  void SyncButtons();
  bool AppliesTo(Verb verb, catalogue::DownloadRowId id) const;
  void DoOn(Verb verb, const std::vector<catalogue::DownloadRowId>& ids);

  catalogue::UserDownloads& downloads_;
  DownloadsTableModel* model_;
  DownloadsTable* table_;
  QMenuBar* menu_bar_;
  QMenu* settings_menu_;
  QPushButton* buttons_[kVerbs];
  QTimer tick_;
  bool buttons_stale_ = true;
  int removed_above_ = 0;  // rows about to go above the top of the view
};

}  // namespace wuqu
