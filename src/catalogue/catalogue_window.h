#pragma once

#include <cstdint>
#include <vector>

#include "catalogue/download_log.h"
#include "platform/event_pump.h"
#include "text/text.h"

// The window as the catalogue sees it: a few small interfaces, each holding
// only the operations the handlers use. The window layer implements them on
// the real controls; tests implement them in memory. Every text is program
// text (code page 936).
namespace wuqu::catalogue {

// 超级列表框1: rows of two text cells (title, play-page address), appended
// at the end.
class TrackListControl {
 public:
  virtual ~TrackListControl() = default;
  virtual void DeleteAllRows() = 0;
  // Appends an empty row and gives its index.
  virtual int AppendRow() = 0;
  virtual void SetCellText(int row, int column, const Text& text) = 0;
  // The empty text for a cell outside the rows or columns (row -1 included).
  virtual Text GetCellText(int row, int column) const = 0;
  // Index of the selected row from 0; -1 when none is selected. With
  // several selected, the current one among them (the one clicked last).
  virtual int SelectedRow() const = 0;
  // Every selected row, in any order.
  virtual std::vector<int> SelectedRows() const = 0;
  virtual int RowCount() const = 0;
  // Shows what the row's track's last download came to (nothing, on disk,
  // failed), to the eye and to screen readers.
  virtual void SetRowMark(int row, TrackMark mark) = 0;
  // Shows whether the row's track is new in its category (IsNewTrack,
  // catalogue/new_tracks.h), beside its mark, to the eye and to screen
  // readers.
  virtual void SetRowNew(int row, bool is_new) = 0;
};

// 组合框1.
class CategoryChooser {
 public:
  virtual ~CategoryChooser() = default;
  // Index of the chosen item from 0; -1 when none is chosen.
  virtual int SelectedIndex() const = 0;
};

// A single-line edit box (编辑框EX1, 编辑框EX2, 编辑框EX3).
class TextBoxControl {
 public:
  virtual ~TextBoxControl() = default;
  virtual Text GetText() const = 0;
  virtual void SetText(const Text& text) = 0;
};

// 播放器1: writing the address opens it and starts playing it.
class PlayerControl {
 public:
  virtual ~PlayerControl() = default;
  virtual void SetUrl(const Text& url) = 0;
};

// The modal message box with the error (stop) icon and an OK button, no
// caption; returns when the user has closed it.
class ErrorBox {
 public:
  virtual ~ErrorBox() = default;
  virtual void ShowError(const Text& message) = 0;
};

// 进度条1: a bar whose position runs from 0 to 100.
class ProgressBarControl {
 public:
  virtual ~ProgressBarControl() = default;
  virtual int Position() const = 0;
  // A position outside 0 to 100 is held at its nearest end.
  virtual void SetPosition(int position) = 0;
};

// 时钟1.
class TimerControl {
 public:
  virtual ~TimerControl() = default;
  // Ticks every `milliseconds` from now on; 0 (or less) stops the ticks.
  virtual void SetInterval(int milliseconds) = 0;
};

// A label whose caption the handlers write (标签EX3).
class LabelControl {
 public:
  virtual ~LabelControl() = default;
  virtual void SetText(const Text& text) = 0;
  // Whether `text` shows whole in the label, in its font.
  virtual bool Fits(const Text& text) const = 0;
};

// Everything of one window the catalogue handlers touch.
struct CatalogueWindow {
  TrackListControl& track_list;   // 超级列表框1
  CategoryChooser& category_box;  // 组合框1
  TextBoxControl& track_id_box;   // 编辑框EX1
  TextBoxControl& address_box;    // 编辑框EX3
  PlayerControl& player;          // 播放器1
  ErrorBox& error_box;
  // Lets the window's pending events run; other handlers may run inside it.
  EventPump& pump;
  TextBoxControl& thread_count_box;  // 编辑框EX2
  ProgressBarControl& progress_bar;  // 进度条1
  TimerControl& timer;               // 时钟1
  LabelControl& status_label;        // 标签EX3
  // Which listing the track list shows. It moves on whenever the rows are
  // replaced, and the window layer moves it on when the window closes or
  // goes away: a fill that finds it moved while events ran stops at once.
  std::uint64_t listing_serial = 0;
};

}  // namespace wuqu::catalogue
