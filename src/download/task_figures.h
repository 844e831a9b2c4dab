#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "download/task_state.h"

// One download as the loop takes it over, and the figures of it the calling
// thread reads while the loop runs it.
namespace wuqu::download {

// Who decides how a download ends: nobody yet, the user's pause or cancel, a
// newer download to the same file, or the loop itself (complete, failed,
// released). The first to claim it wins, so Pause and Cancel can tell at
// once whether the download will end as they asked, and one that completes
// just as they ask is either complete, file and phase, or ended as asked,
// never a mix of both.
enum class EndClaim { kOpen, kPause, kCancel, kSuperseded, kLoop };

// What the calling thread reads of one download while the loop runs it. The
// loop is the only writer, but for `claim`.
struct TaskFigures {
  std::atomic<std::int64_t> file_bytes{0};  // bytes of the target file in place
  std::atomic<std::int64_t> written{0};     // every byte written for the download
  std::atomic<int> status{static_cast<int>(TaskPhase::kRunning)};
  std::atomic<int> failure{static_cast<int>(FailureCause::kNone)};
  std::atomic<int> http_status{0};
  std::atomic<std::int64_t> size{-1};
  std::atomic<int> peak_connections{0};
  std::atomic<std::int64_t> requests{0};
  std::atomic<int> receiving{0};  // connections receiving a reply now
  std::atomic<int> target{0};     // connections the host allows now
  std::atomic<std::shared_ptr<const Validators>> validators{};
  std::atomic<int> claim{static_cast<int>(EndClaim::kOpen)};
};

// One download as Start hands it over: copies, nothing borrowed.
struct TaskOrder {
  std::string url;       // wire form
  std::string target;    // UTF-8 path of the file
  std::string identity;  // the source's name in the resume record
  int connections = 1;   // 1..64
  std::shared_ptr<TaskFigures> figures;
};

}  // namespace wuqu::download
