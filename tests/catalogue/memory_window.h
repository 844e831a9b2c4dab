#pragma once

// A window held in memory for the catalogue handlers: the track list's rows
// and selection, the chosen category, the two boxes, the player's address
// and the message boxes shown, plus a log of the writes to the player and
// the address box in the order they came. Its event pump runs whatever the
// test has queued as "pending window events".

#include <array>
#include <functional>
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
  int category = -1;
  Text track_id = "116717";
  Text address_box;
  Text player_url;
  std::vector<Text> messages;
  // "player <url>" and "address <text>", in order.
  std::vector<Text> writes;
  int pumps = 0;
  // Runs at every pump, with the number of the pump from 1; stands for the
  // window events that were pending then.
  std::function<void(int pump)> pending_events;

 private:
  struct List final : TrackListControl {
    explicit List(MemoryWindow& w) : w(w) {}
    void DeleteAllRows() override {
      w.rows.clear();
      w.selected_row = -1;
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
  CatalogueWindow window_{list_, chooser_, id_box_, address_box_, player_, messages_, pump_};
};

}  // namespace wuqu::catalogue::testing
