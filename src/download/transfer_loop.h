#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "download/downloader.h"

// The downloader's loop: one thread that drives every connection of every
// download through one curl multi handle, checks each reply, writes what
// arrives straight from curl's buffer into the file at its offset, and keeps
// the pieces, the resume record and the figures up to date.
namespace wuqu::download {

// What the calling thread reads of one download while the loop runs it. The
// loop is the only writer.
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
};

// One download as Start hands it over: copies, nothing borrowed.
struct TaskOrder {
  std::string url;       // wire form
  std::string target;    // UTF-8 path of the file
  std::string identity;  // the source's name in the resume record
  int connections = 1;   // 1..64
  std::shared_ptr<TaskFigures> figures;
};

class TransferLoop {
 public:
  explicit TransferLoop(const DownloaderSettings& settings);
  ~TransferLoop();  // = Stop()
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  // Queues the download for the loop's thread (started on first use) and wakes it.
  void Submit(TaskOrder order);
  // Ends every download, keeping resume records, and waits for the thread.
  void Stop();
  int ActiveTasks() const { return active_tasks_.load(std::memory_order_acquire); }

  struct Worker;

 private:
  void Run();

  DownloaderSettings settings_;
  void* multi_ = nullptr;  // CURLM*, created with the loop, used by its thread
  std::thread thread_;
  std::mutex mutex_;
  std::deque<TaskOrder> queue_;  // under mutex_
  bool stopping_ = false;        // under mutex_
  std::atomic<int> active_tasks_{0};
};

}  // namespace wuqu::download
