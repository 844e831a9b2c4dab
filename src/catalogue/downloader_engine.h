#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "catalogue/downloader.h"
#include "text/text.h"

// The downloader's worker: one thread that drives every connection of every
// download through one curl multi handle and writes what arrives straight
// from curl's buffer into the file at its offset.
namespace wuqu::catalogue {

// What the GUI thread reads of one download while the worker runs it. The
// worker is the only writer.
struct TaskFigures {
  std::atomic<std::int64_t> file_bytes{0};  // bytes of the target file written
  std::atomic<std::int64_t> written{0};     // every byte written for the download
  std::atomic<int> status{static_cast<int>(download::TaskPhase::kRunning)};
  std::atomic<int> failure{static_cast<int>(download::FailureCause::kNone)};
  std::atomic<int> http_status{0};
  std::atomic<std::int64_t> size{-1};
  std::atomic<int> peak_connections{0};
  std::atomic<std::int64_t> requests{0};
};

// One download as StartTask hands it over: copies, nothing borrowed.
struct TaskOrder {
  Text source;           // the address as the program gave it
  std::string wire_url;  // the same, in its wire form
  std::string target;    // UTF-8 path of the file
  int connections = 1;   // 1..64
  std::shared_ptr<TaskFigures> figures;
};

class DownloadEngine {
 public:
  explicit DownloadEngine(const DownloaderSettings& settings);
  ~DownloadEngine();  // = Stop()
  DownloadEngine(const DownloadEngine&) = delete;
  DownloadEngine& operator=(const DownloadEngine&) = delete;

  // Queues the download for the worker (started on first use) and wakes it.
  void Submit(TaskOrder order);
  // Ends every download, keeping resume records, and waits for the worker.
  void Stop();
  int ActiveTasks() const { return active_tasks_.load(std::memory_order_acquire); }

  struct Worker;

 private:
  void Run();

  DownloaderSettings settings_;
  void* multi_ = nullptr;  // CURLM*, created with the engine, used by the worker
  std::thread thread_;
  std::mutex mutex_;
  std::deque<TaskOrder> queue_;  // under mutex_
  bool stopping_ = false;        // under mutex_
  std::atomic<int> active_tasks_{0};
};

// The two halves of "bytes a-b/n" (or "bytes */n") of a Content-Range header.
struct ContentRange {
  bool satisfied = false;  // false for "*/n"
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;  // nullopt for "/*"
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

}  // namespace wuqu::catalogue
