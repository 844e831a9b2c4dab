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

  SkinnedLabel& label_ex1() { return *label_ex1_; }     // 标签EX1 下载地址：
  SkinnedLabel& label_ex2() { return *label_ex2_; }     // 标签EX2 线程数：
  SkinnedLabel& label_ex3() { return *label_ex3_; }     // 标签EX3 hint, then the status line
  SkinnedLabel& label_ex4() { return *label_ex4_; }     // 标签EX4 歌曲ID:
  SkinnedLabel& label_ex5() { return *label_ex5_; }     // 标签EX5 second stored caption
  SkinnedEdit& edit_box_ex1() { return *edit_ex1_; }    // 编辑框EX1 track number
  SkinnedEdit& edit_box_ex2() { return *edit_ex2_; }    // 编辑框EX2 number of connections
  SkinnedEdit& edit_box_ex3() { return *edit_ex3_; }    // 编辑框EX3 download address
  SkinnedButton& button_ex1() { return *button_ex1_; }  // 按钮EX1 播放
  SkinnedButton& button_ex2() { return *button_ex2_; }  // 按钮EX2 下载
  TransparentLabel& transparent_label1() { return *transparent_label1_; }  // 透明标签1
  CategoryBox& combo_box1() { return *combo_box1_; }                       // 组合框1
  TrackList& super_list_box1() { return *super_list_box1_; }               // 超级列表框1
  ProgressBar& progress_bar1() { return *progress_bar1_; }                 // 进度条1
  Clock& clock1() { return *clock1_; }                                     // 时钟1
  MediaPlayer& player1() { return *player1_; }                             // 播放器1
  CaptionButton& minimise_button() { return *minimise_button_; }
  CaptionButton& close_button() { return *close_button_; }

 signals:
  void created();
  void closed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Gives every control the name assistive technology reads out.
  void NameControls();

  QtEventPump pump_;
  Text title_;
  bool dragging_ = false;
  QPoint drag_offset_;

  SkinnedLabel* label_ex1_;
  SkinnedLabel* label_ex2_;
  SkinnedLabel* label_ex3_;
  SkinnedLabel* label_ex4_;
  SkinnedLabel* label_ex5_;
  SkinnedEdit* edit_ex1_;
  SkinnedEdit* edit_ex2_;
  SkinnedEdit* edit_ex3_;
  SkinnedButton* button_ex1_;
  SkinnedButton* button_ex2_;
  TransparentLabel* transparent_label1_;
  CategoryBox* combo_box1_;
  TrackList* super_list_box1_;
  ProgressBar* progress_bar1_;
  Clock* clock1_;
  MediaPlayer* player1_;
  CaptionButton* minimise_button_;
  CaptionButton* close_button_;
};

}  // namespace wuqu
