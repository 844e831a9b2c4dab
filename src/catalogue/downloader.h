#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "catalogue/download_task.h"
#include "download/task_state.h"

namespace wuqu::catalogue {

// Fixed working values of the downloader. The program always uses the
// defaults; tests and the benchmark driver may shorten the waits.
struct DownloaderSettings {
  // A connection that delivers no byte for this long is given up and its
  // piece tried again.
  std::chrono::milliseconds stall_timeout{15000};
  std::chrono::milliseconds connect_timeout{15000};
  // Wait before the first retry of a piece; doubled for each further failure
  // in a row, up to retry_delay_max.
  std::chrono::milliseconds retry_delay{250};
  std::chrono::milliseconds retry_delay_max{8000};
  // Failures in a row without a single byte after which the download fails.
  int max_attempts = 8;
  // No piece is ever cut smaller than this. Taking over part of another's
  // piece costs one request on a connection already open, so a straggler
  // with a megabyte or two left can still be shared out.
  std::uint64_t min_segment = 256 * 1024;
  // How often the resume record of a running download is brought up to date.
  std::chrono::milliseconds record_interval{1000};
  // Bytes each connection receives at once (at most 512 KiB).
  long receive_buffer = 512 * 1024;
};

// What became of a download, for the window side, tests and the command-line
// driver.
using DownloadReport = download::TaskState;

// The multi-connection file downloader. One object serves every download of a
// run. All operations are called on the GUI thread and return at once; the
// transfers run on the downloader's own thread, which never calls back.
class Downloader {
 public:
  explicit Downloader(const DownloaderSettings& settings = {});
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;
  // Stops every transfer, as ReleaseDownloader does.
  ~Downloader();

  // Takes from `task` the source address, the target path and the thread
  // count (the caller refills the record for the next start and releases its
  // texts at shutdown) and returns at once. An earlier download keeps running
  // unless it writes the same file, which the new one then takes over. The
  // figures follow the newest download from now on. The result names the
  // download for State.
  download::TaskId StartTask(const DownloadTask& task);

  // Bytes of the newest download's target file written so far (bytes already
  // on disk from an earlier, resumed run included). 64 bits: files pass 2 GiB.
  std::int64_t GetTransferredBytes() const;

  // The bytes written for the newest download divided by 4, so the progress
  // line's figure / 250 reads as kilobytes.
  std::int64_t GetAmountFigure() const;

  // The newest download's state.
  DownloadReport Report() const;
  // The state of the download StartTask named `task`; phase kNone for an id
  // it never gave.
  download::TaskState State(download::TaskId task) const;
  // Downloads started and not yet ended.
  int ActiveTasks() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Creates an empty downloader.
std::unique_ptr<Downloader> CreateDownloader();
std::unique_ptr<Downloader> CreateDownloader(const DownloaderSettings& settings);

// Stops every transfer (within a second; unfinished files keep their resume
// record) and releases the downloader; `downloader` is empty afterwards. Safe
// on an empty one.
void ReleaseDownloader(std::unique_ptr<Downloader>& downloader);

}  // namespace wuqu::catalogue
