#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/download_settings.h"
#include "download/task_state.h"

namespace wuqu::download {

// The multi-connection file downloader. One object serves every download of a
// run. All operations return at once; the transfers run on the downloader's
// own thread, which never calls back (but for after_record_save).
class Downloader {
 public:
  explicit Downloader(const DownloaderSettings& settings = {});
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;
  // Stops every transfer, as ReleaseDownloader does.
  ~Downloader();

  // Takes a copy of `request` and returns at once. An earlier download keeps
  // running unless it writes the same file, which the new one then takes
  // over. The figures follow the newest download from now on. The result
  // names the download for State.
  TaskId Start(const DownloadRequest& request);

  // Stop the download Start named `task` on the user's word and return at
  // once; within a second every connection of it is closed and no byte more
  // is asked for. True when it was still running (waiting for its first
  // reply included): then it ends in kPaused or kCancelled for certain, even
  // if its last byte arrives meanwhile. False for an id Start never gave, a
  // download that has ended (its state stays; but see Cancel for a paused
  // one) or one a newer Start to the same file has taken over. State
  // reads kRunning until its connections are closed and its files are as
  // below.
  //
  // Pause keeps the partial file and its resume record, every byte the
  // record claims flushed first: Start with the same request continues from
  // there. (A download of unknown length keeps nothing: it never resumes.)
  bool Pause(TaskId task);
  // Cancel removes the download's partial file (before its record, with the
  // folder flushed between), its side file and its resume record; it does
  // so also for a download paused before, unless a newer Start has taken
  // the file over. A file that had completed, an older one the download
  // never replaced, or one a newer download took over, stays as it is.
  bool Cancel(TaskId task);

  // Bytes of the newest download's target file in place so far (bytes already
  // on disk from an earlier, resumed run included). 64 bits: files pass 2 GiB.
  std::int64_t GetTransferredBytes() const;

  // The bytes written for the newest download divided by 4, so the progress
  // line's figure / 250 reads as kilobytes.
  std::int64_t GetAmountFigure() const;

  // The newest download's state.
  TaskState Report() const;
  // The state of the download Start named `task`; phase kNone for an id it
  // never gave.
  TaskState State(TaskId task) const;
  // Downloads started and not yet ended (a paused or cancelled one has ended).
  int ActiveTasks() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

std::unique_ptr<Downloader> CreateDownloader();
std::unique_ptr<Downloader> CreateDownloader(const DownloaderSettings& settings);

// Stops every transfer (within a second; unfinished files keep their resume
// record) and releases the downloader; `downloader` is empty afterwards. Safe
// on an empty one.
void ReleaseDownloader(std::unique_ptr<Downloader>& downloader);

}  // namespace wuqu::download
