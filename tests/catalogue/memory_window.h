#pragma once

// A window held in memory for the catalogue handlers: the track list's rows
// and selection, the chosen category, the three boxes, the player's address,
// the message boxes shown, the progress bar, the timer and the status label,
// plus a log of the writes to the player, the address box, the bar and the
// timer in the order they came. Its event pump runs whatever the test has
// queued as "pending window events".

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/catalogue_window.h"

namespace wuqu::catalogue::testing {

class MemoryWindow {
 public:
  using Row = std::array<Text, 2>;  // title, play-page address

  MemoryWindow() = default;
  MemoryWindow(const MemoryWindow&) = delete;
  MemoryWindow& operator=(const MemoryWindow&) = delete;

  CatalogueWindow& Window() { return window_; }
  operator CatalogueWindow&() { return window_; }

  std::vector<Row> rows;
  int selected_row = -1;
  // Each row's mark, by row; rows never marked are missing.
  std::map<int, TrackMark> marks;
  // Each row marked new or not, by row; rows never told are missing.
  std::map<int, bool> new_rows;
  // Rows selected besides selected_row (which counts as selected too).
  std::vector<int> also_selected;
  int category = -1;
  Text track_id = "116717";
  Text address_box;
  Text thread_count = "20";
  Text player_url;
  std::vector<Text> messages;
  int progress = 0;        // 进度条1, 0 to 100
  int timer_interval = 0;  // 时钟1; 0: stopped
  Text status_label;       // 标签EX3
  // 标签EX3's width, with every byte of a text taken as 6 pixels wide (a
  // Chinese character, two bytes, as 12).
  int label_width = 1000;
  // "player <url>", "address <text>", "bar <position>" and "timer <interval>",
  // in order.
  std::vector<Text> writes;
  // Every caption written to 标签EX3, in order.
  std::vector<Text> labels;
  int pumps = 0;
  // Runs at every pump, with the number of the pump from 1; stands for the
  // window events that were pending then.
  std::function<void(int pump)> pending_events;

 private:
  struct List final : TrackListControl {
    explicit List(MemoryWindow& w) : w(w) {}
    void DeleteAllRows() override {
      w.rows.clear();
      w.marks.clear();
      w.new_rows.clear();
      w.selected_row = -1;
      w.also_selected.clear();
    }
    int AppendRow() override {
      w.rows.push_back({});
      return static_cast<int>(w.rows.size()) - 1;
    }
    void SetCellText(int row, int column, const Text& text) override {
      if (row < 0 || row >= static_cast<int>(w.rows.size()) || column < 0 || column > 1) return;
      w.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    }
    Text GetCellText(int row, int column) const override {
      if (row < 0 || row >= static_cast<int>(w.rows.size()) || column < 0 || column > 1) return {};
      return w.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
    }
    int SelectedRow() const override { return w.selected_row; }
    std::vector<int> SelectedRows() const override {
      std::vector<int> rows = w.also_selected;
      if (w.selected_row >= 0) rows.insert(rows.begin(), w.selected_row);
      return rows;
    }
    int RowCount() const override { return static_cast<int>(w.rows.size()); }
    void SetRowMark(int row, TrackMark mark) override {
      if (row >= 0 && row < static_cast<int>(w.rows.size())) w.marks[row] = mark;
    }
    void SetRowNew(int row, bool is_new) override {
      if (row >= 0 && row < static_cast<int>(w.rows.size())) w.new_rows[row] = is_new;
    }
    MemoryWindow& w;
  };
  struct Chooser final : CategoryChooser {
    explicit Chooser(MemoryWindow& w) : w(w) {}
    int SelectedIndex() const override { return w.category; }
    MemoryWindow& w;
  };
  struct Box final : TextBoxControl {
    Box(MemoryWindow& w, Text MemoryWindow::*text, const char* name)
        : w(w), text(text), name(name) {}
    Text GetText() const override { return w.*text; }
    void SetText(const Text& t) override {
      w.*text = t;
      if (name != nullptr) w.writes.push_back(std::string(name) + " " + t);
    }
    MemoryWindow& w;
    Text MemoryWindow::*text;
    const char* name;
  };
  struct Player final : PlayerControl {
    explicit Player(MemoryWindow& w) : w(w) {}
    void SetUrl(const Text& url) override {
      w.player_url = url;
      w.writes.push_back("player " + url);
    }
    MemoryWindow& w;
  };
  struct Messages final : ErrorBox {
    explicit Messages(MemoryWindow& w) : w(w) {}
    void ShowError(const Text& message) override { w.messages.push_back(message); }
    MemoryWindow& w;
  };
  struct Bar final : ProgressBarControl {
    explicit Bar(MemoryWindow& w) : w(w) {}
    int Position() const override { return w.progress; }
    void SetPosition(int position) override {
      w.progress = std::clamp(position, 0, 100);
      w.writes.push_back("bar " + std::to_string(position));
    }
    MemoryWindow& w;
  };
  struct Timer final : TimerControl {
    explicit Timer(MemoryWindow& w) : w(w) {}
    void SetInterval(int milliseconds) override {
      w.timer_interval = std::max(milliseconds, 0);
      w.writes.push_back("timer " + std::to_string(milliseconds));
    }
    MemoryWindow& w;
  };
  struct Label final : LabelControl {
    explicit Label(MemoryWindow& w) : w(w) {}
    void SetText(const Text& text) override {
      w.status_label = text;
      w.labels.push_back(text);
    }
    bool Fits(const Text& text) const override {
      return static_cast<int>(text.size()) * 6 <= w.label_width;
    }
    MemoryWindow& w;
  };
  struct Pump final : EventPump {
    explicit Pump(MemoryWindow& w) : w(w) {}
    void ProcessPendingEvents() override {
      ++w.pumps;
      if (w.pending_events) w.pending_events(w.pumps);
    }
    MemoryWindow& w;
  };

  List list_{*this};
  Chooser chooser_{*this};
  Box id_box_{*this, &MemoryWindow::track_id, nullptr};
  Box address_box_{*this, &MemoryWindow::address_box, "address"};
  Player player_{*this};
  Messages messages_{*this};
  Pump pump_{*this};
  Box thread_count_box_{*this, &MemoryWindow::thread_count, nullptr};
  Bar bar_{*this};
  Timer timer_{*this};
  Label label_{*this};
  CatalogueWindow window_{list_, chooser_,          id_box_, address_box_, player_, messages_,
                          pump_, thread_count_box_, bar_,    timer_,       label_};
};

}  // namespace wuqu::catalogue::testing
