#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "download/download_settings.h"
#include "download/task_figures.h"

// The downloader's loop: one thread that drives every connection of every
// download through one curl multi handle, checks each reply, writes what
// arrives straight from curl's buffer into the file at its offset, and keeps
// the pieces, the resume record and the figures up to date.
namespace wuqu::download {

class TransferLoop {
 public:
  explicit TransferLoop(const DownloaderSettings& settings);
  ~TransferLoop();  // = Stop()
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  // Queues the download for the loop's thread (started on first use) and wakes it.
  void Submit(TaskOrder order);
  // Has the loop look at once at the claims of its downloads: a paused or
  // cancelled one ends before any more of its bytes are asked for.
  void Wake();
  // A download that ended paused has been cancelled since: the loop removes
  // its unfinished file and record, before it begins any download submitted
  // later, and reports it cancelled.
  void SubmitDiscard(TaskOrder paused);
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
  std::deque<TaskOrder> queue_;     // under mutex_
  std::deque<TaskOrder> discards_;  // under mutex_
  bool stopping_ = false;        // under mutex_
  std::atomic<int> active_tasks_{0};
};

}  // namespace wuqu::download
