#pragma once

#include <QPoint>
#include <QWidget>

#include "app/controls.h"
#include "app/media_player.h"
#include "app/qt_event_pump.h"
#include "text/text.h"

namespace wuqu {

// Maps the skinned controls' face (宋体, absent on this platform) to an
// installed face that holds every Chinese glyph. Idempotent.
void InstallFontSubstitutions();

// The one window (窗口EX1): a frameless, fixed-size 612 x 293 window whose
// caption strip the skinned frame paints (title, minimise and close buttons),
// with every control of the window definition at its place. Each control's
// object name is its name in the definition. The window creates its controls
// and nothing else: event bindings are made by BindEvents (app/bindings.h).
class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 612;
  static constexpr int kHeight = 293;
  static constexpr int kCaptionHeight = 32;

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The creation-complete event: the window and all its controls exist.
  void CompleteCreation();

  // Title text of the skinned frame, painted in the caption strip.
  void SetTitleText(const Text& title);
  Text TitleText() const;

  // A modal message box with the error (stop) icon and an OK button; returns
  // when the user has closed it.
  void ShowErrorBox(const Text& message, const Text& caption = {});

  EventPump& Pump() { return pump_; }

  SkinnedLabel& address_label() { return *address_label_; }            // 标签EX1 下载地址：
  SkinnedLabel& thread_count_label() { return *thread_count_label_; }  // 标签EX2 线程数：
  SkinnedLabel& status_label() { return *status_label_; }  // 标签EX3 hint, then the status line
  SkinnedLabel& track_id_label() { return *track_id_label_; }     // 标签EX4 歌曲ID:
  SkinnedLabel& side_label() { return *side_label_; }             // 标签EX5 second stored caption
  SkinnedEdit& track_id_box() { return *track_id_box_; }          // 编辑框EX1 track number
  SkinnedEdit& thread_count_box() { return *thread_count_box_; }  // 编辑框EX2 number of connections
  SkinnedEdit& media_address_box() { return *media_address_box_; }  // 编辑框EX3 download address
  SkinnedButton& play_button() { return *play_button_; }            // 按钮EX1 播放
  SkinnedButton& download_button() { return *download_button_; }    // 按钮EX2 下载
  TransparentLabel& category_prompt() { return *category_prompt_; }  // 透明标签1
  CategoryBox& category_box() { return *category_box_; }             // 组合框1
  TrackList& track_list() { return *track_list_; }                   // 超级列表框1
  ProgressBar& progress_bar() { return *progress_bar_; }             // 进度条1
  Clock& progress_timer() { return *progress_timer_; }               // 时钟1
  MediaPlayer& player() { return *player_; }                         // 播放器1
  CaptionButton& minimise_button() { return *minimise_button_; }
  CaptionButton& close_button() { return *close_button_; }

 signals:
  void created();
  void closed();
  // The user asked for the downloads window 下载列表 (the status line's menu);
  // whoever shows that window connects here.
  void openDownloadsWindow();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Gives every control the name assistive technology reads out.
  void NameControls();
  // Tab goes through the controls in the order of the window's layout.
  void OrderTabs();

  QtEventPump pump_;
  Text title_;
  bool dragging_ = false;
  QPoint drag_offset_;

  SkinnedLabel* address_label_;
  SkinnedLabel* thread_count_label_;
  SkinnedLabel* status_label_;
  SkinnedLabel* track_id_label_;
  SkinnedLabel* side_label_;
  SkinnedEdit* track_id_box_;
  SkinnedEdit* thread_count_box_;
  SkinnedEdit* media_address_box_;
  SkinnedButton* play_button_;
  SkinnedButton* download_button_;
  TransparentLabel* category_prompt_;
  CategoryBox* category_box_;
  TrackList* track_list_;
  ProgressBar* progress_bar_;
  Clock* progress_timer_;
  MediaPlayer* player_;
  CaptionButton* minimise_button_;
  CaptionButton* close_button_;
};

}  // namespace wuqu
