#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "catalogue/download_log.h"
#include "catalogue/site_addresses.h"
#include "catalogue/user_downloads.h"
#include "download/task_state.h"
#include "text/text.h"

// The downloads the user started, as the status line follows them, and the
// batch of tracks waiting for their turn.
//
// The status line follows the newest download still running. A download that
// ends (complete or failed) shows its end line once; when something else is
// still to be shown, that line stays for kEndLineTicks ticks before the line
// moves on, to the newest download still running or to the next ending not
// yet shown. A download replaced by a newer one to the same file leaves
// without a line: its file goes on in the newer one.
//
// A batch downloads its tracks one after another in the order given; the next
// starts when the current one has ended. Tracks added while a batch runs join
// its end. A batch track that completes shows no end line of its own (the next
// track's position says enough); one that fails does, and the batch's last
// track ends in a line with the count and the failures.
namespace wuqu::catalogue {


class DownloadQueue {
 public:
  // One download the user started whose end has not been shown yet.
  struct Followed {
    download::TaskId task = download::kNoTask;
    Text file_name;          // its DownloadFileName
    int batch_position = 0;  // from 1 for a batch track, 0 otherwise
    RecordId record = kNotRemembered;  // what the download log calls it
    Text play_page;                    // of its track; empty for an address typed
    bool size_noted = false;           // the log has its file's size
    // The validators the log has of it (the downloader's, shared).
    std::shared_ptr<const download::Validators> validators_noted{};
  };
  // A line to show once the hold is over: a failure's status, or the
  // finished line (of one download, or of a whole batch).
  struct EndLine {
    bool finished = false;
    Text status;              // of a failure
    std::int64_t amount = 0;  // the downloader's amount figure for it
    int batch_position = 0;   // a failed batch track's position, of batch_size
    int batch_size = 0;
    bool batch_end = false;  // the batch's end: its tracks and failures
    int batch_failures = 0;
    int batch_already = 0;  // tracks whose files were there already
    // A line shown as it is, in place of status and amount (a track whose
    // file was there already).
    Text caption;
    // The file of a finished download the line did not follow: named in
    // its finished line ("下载完成...  已下载 <name>   <n>KB") in place of
    // the percentage.
    Text named_file;
  };
  // How a batch track ended.
  enum class Outcome { kComplete, kFailed, kAlreadyThere };

  // A download started; the line follows it from now on.
  void Started(Followed download);
  std::vector<Followed>& Downloads() { return downloads_; }
  const std::vector<Followed>& Downloads() const { return downloads_; }
  // The task started last (the downloader's newest), kNoTask before the first.
  download::TaskId Newest() const { return newest_; }

  // Batch: the play-page addresses of tracks still to start, in order.
  bool BatchRunning() const { return batch_total_ > 0; }
  // Starts a batch, or adds to the one running; `records` names each track
  // in the download log (as many as play_pages, or none).
  void AddToBatch(const std::vector<Text>& play_pages, const SiteAddresses& sites,
                  const std::vector<RecordId>& records = {});
  bool HasNextBatchTrack() const { return !batch_pending_.empty(); }
  // Takes the next track's play page; its position and record are the ones
  // it returns.
  Text TakeNextBatchTrack(int& position, RecordId& record);
  // The batch track that ran last has ended as `outcome`, with `amount`
  // (the downloader's amount figure) written for it. Returns true when that
  // was the batch's last track; the batch is over then.
  bool BatchTrackEnded(Outcome outcome, std::int64_t amount);
  int BatchTotal() const { return batch_total_; }
  int BatchFailures() const { return batch_failed_; }
  int BatchAlreadyThere() const { return batch_already_; }
  // Queues the line of the batch's end, once its last track has ended.
  void PushBatchEnd();
  // The play pages of the batch's failed tracks, in the order they ran;
  // of the batch that ended last once it is over.
  const std::vector<Text>& BatchFailedTracks() const { return batch_failed_tracks_; }
  void NoteBatchFailure(const Text& play_page) { batch_failed_tracks_.push_back(play_page); }
  // The amount figures of the batch's ended tracks, added up.
  std::int64_t BatchAmount() const { return batch_amount_; }
  // The batch's size as it was when its last track ended.
  int BatchStarted() const { return batch_started_; }
  const SiteAddresses& BatchSites() const { return batch_sites_; }

  std::deque<EndLine>& EndLines() { return end_lines_; }
  // Ticks still to wait before the line may change.
  int& HoldTicks() { return hold_ticks_; }
  // Set while a tick runs: a tick that comes during another's fetch returns.
  bool& TickRunning() { return tick_running_; }

 private:
  std::vector<Followed> downloads_;  // oldest first
  download::TaskId newest_ = download::kNoTask;
  struct Pending {
    Text play_page;
    RecordId record = kNotRemembered;
  };
  std::deque<Pending> batch_pending_;
  std::vector<Text> batch_failed_tracks_;
  int batch_already_ = 0;
  SiteAddresses batch_sites_;
  int batch_total_ = 0;
  int batch_started_ = 0;
  int batch_failed_ = 0;
  std::int64_t batch_amount_ = 0;
  std::deque<EndLine> end_lines_;
  int hold_ticks_ = 0;
  bool tick_running_ = false;
};

}  // namespace wuqu::catalogue
