#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "catalogue/download_log.h"
#include "catalogue/site_addresses.h"
#include "download/task_state.h"
#include "text/text.h"

// Every download the user asked for, in one place: those of this run and the
// ones remembered from earlier runs, as rows (newest first) with where each
// stands, grouped in batches, and the verbs the user steers them with. The
// status line (catalogue/progress.h) and the downloads window both read it;
// the download handlers and the progress tick are the only writers besides
// the verbs.
//
// The status line follows the newest download still running. A download that
// ends (complete or failed) shows its end line once; when something else is
// still to be shown, that line stays for kEndLineTicks ticks before the line
// moves on, to the newest download still running or to the next ending not
// yet shown. A download replaced by a newer one to the same file leaves
// without a line: its file goes on in the newer one. A download the user
// paused or cancelled leaves without a line of its own.
//
// A batch downloads its tracks one after another in the order given; the next
// starts when the current one has ended. Tracks added while a batch runs join
// its end. A batch track that completes shows no end line of its own (the next
// track's position says enough); one that fails does, and the batch's last
// track ends in a line with the count, the failures and the tracks cancelled.
// A batch track the user pauses leaves the batch (the batch goes on with its
// next track); resumed, it runs as a download of its own.
namespace wuqu::catalogue {

// Ticks an end line stays when the status line has somewhere else to go.
inline constexpr int kEndLineTicks = 15;

// Names one row for the program's whole life; never reused, never 0.
using DownloadRowId = std::uint64_t;
inline constexpr DownloadRowId kNoRow = 0;
// Names one batch; 0: a download asked for alone.
using DownloadBatchId = std::uint64_t;
inline constexpr DownloadBatchId kNoBatch = 0;

// Where a row stands, as the user sees it.
enum class RowPhase {
  kWaiting,       // asked for, not started yet (or resumed / retried, to start)
  kRunning,       // with the downloader
  kPaused,        // stopped by the user; its partial file and record kept
  kComplete,      // its file holds every byte
  kAlreadyThere,  // not fetched: its file was there already
  kFailed,        // ended with a cause
  kCancelled,     // taken back by the user; its partial file removed
};

// Whether a row in `phase` has ended: it does nothing more by itself.
bool RowEnded(RowPhase phase);

// One download as a view shows it. Texts are program text (code page 936).
struct DownloadRow {
  DownloadRowId id = kNoRow;
  RecordId record = kNotRemembered;  // in the download log
  Text play_page;  // its track; empty for an address typed
  Text title;      // the list cell as shown when it was asked for; may be empty
  Text category;   // the category it was listed in; may be empty
  Text file;       // its target path, once known
  RowPhase phase = RowPhase::kWaiting;
  std::int64_t bytes = 0;  // of its file in place
  std::int64_t size = -1;  // its file's size, once known
  // Bytes per second over the last few seconds, and the seconds still to go
  // at that speed (-1: not known); both only while it runs, else 0 and -1.
  double speed = 0;
  std::int64_t seconds_left = -1;
  // Of a failure: the downloader's cause and the server's status.
  download::FailureCause cause = download::FailureCause::kNone;
  int http_status = 0;
  DownloadBatchId batch = kNoBatch;
  int position = 0;  // in its batch, from 1
  std::int64_t queued_ms = 0;  // when it was asked for (ms since the epoch)
  std::int64_t ended_ms = 0;
  // The model's Version() when a field of this row last changed.
  std::uint64_t changed = 0;
};

// A batch as a group of rows.
struct DownloadBatch {
  DownloadBatchId id = kNoBatch;
  int total = 0;  // tracks asked for in it
  int failed = 0;
  int already_there = 0;
  int cancelled = 0;
  bool running = false;  // tracks of it are still waiting or running
};

class UserDownloads {
 public:
  UserDownloads();
  ~UserDownloads();
  UserDownloads(const UserDownloads&) = delete;
  UserDownloads& operator=(const UserDownloads&) = delete;

  // ---- What a view reads ----

  std::size_t RowCount() const;
  // Row `index`, 0 the newest; index < RowCount().
  const DownloadRow& RowAt(std::size_t index) const;
  // The row of `id`; null for one removed from the list or never given.
  const DownloadRow* Find(DownloadRowId id) const;
  // Where the row of `id` stands now (0 the newest); nullopt when not listed.
  std::optional<std::size_t> IndexOf(DownloadRowId id) const;
  const DownloadBatch* Batch(DownloadBatchId id) const;
  // The row of a download the log calls `record`; kNoRow when none.
  DownloadRowId RowOfRecord(RecordId record) const;

  // Moves on with every change of any row (a row's `changed` takes it).
  std::uint64_t Version() const { return version_; }
  // Moves on when rows are added or removed, so that indexes shift; a view
  // whose last look was at this value may keep its row indexes.
  std::uint64_t ListVersion() const { return list_version_; }
  // The rows whose fields changed after `version` (each once, still listed).
  // False when the model no longer knows that far back: read every row.
  bool ChangedSince(std::uint64_t version, std::vector<DownloadRowId>& rows) const;

  // The row the status line follows; kNoRow when it follows none.
  DownloadRowId FollowedRow() const;
  // The batch that runs now; kNoBatch when none does.
  DownloadBatchId RunningBatch() const;
  // Whether the status line shows, or is about to show, the end line of a
  // batch that had failed tracks not retried yet.
  bool ShowsBatchFailures() const;

  // ---- Verbs (each returns at once; false when it does not apply) ----

  // Running or waiting: stopped, its partial file and record kept.
  bool Pause(DownloadRowId id);
  // Paused: asked for again; it continues from its record.
  bool Resume(DownloadRowId id);
  // Waiting, running or paused: taken back, its partial file removed; a file
  // that had completed is never removed.
  bool Cancel(DownloadRowId id);
  // Failed or cancelled: asked for again.
  bool Retry(DownloadRowId id);
  // An ended row off the list; its file stays, and its track stays known as
  // downloaded.
  bool Remove(DownloadRowId id);
  // Every ended row off the list, as Remove; how many went.
  int ClearEnded();
  // Every track of the batch still waiting, running or paused is cancelled.
  // The number cancelled.
  int CancelBatch(DownloadBatchId id);
  // Cancel and Remove for many rows at once (a selection), each where it
  // applies, in one pass and one write; how many were.
  int CancelRows(const std::vector<DownloadRowId>& ids);
  int RemoveRows(const std::vector<DownloadRowId>& ids);

  // Whether each verb applies to the row now.
  bool CanPause(DownloadRowId id) const;
  bool CanResume(DownloadRowId id) const;
  bool CanCancel(DownloadRowId id) const;
  bool CanRetry(DownloadRowId id) const;
  bool CanRemove(DownloadRowId id) const;

  // Called (on the same thread) when a verb has left work for the progress
  // tick: a download to start, a line to show. The program wakes the tick.
  void SetWake(std::function<void()> wake);

  // ---- For the download handlers and the progress tick ----
  // (src/catalogue/download.cpp and progress.cpp)

  // What the verbs reach: the downloader, to pause and cancel its tasks, and
  // the log, to write the user's word before it is shown. Either may be
  // null: the verbs then change the rows only.
  class Downloader {
   public:
    virtual ~Downloader() = default;
    virtual void Pause(download::TaskId task) = 0;
    virtual void Cancel(download::TaskId task) = 0;
  };
  void Connect(Downloader* downloader, DownloadLog* log);

  // Rows for the downloads earlier runs remembered (start-up): ended and
  // paused ones listed as they are; queued and running ones waiting, for the
  // batch that takes them up.
  // `sites` are the addresses a resumed or retried one is fetched from.
  void Remember(const std::vector<RememberedDownload>& downloads, const SiteAddresses& sites);
  // Rows for tracks just asked for (their records as the log gave them):
  // one batch when `as_batch` (or the end of the one running), else each
  // alone. The rows' ids in order.
  std::vector<DownloadRowId> Asked(const std::vector<AskedTrack>& tracks,
                                   const std::vector<RecordId>& records, bool as_batch,
                                   const SiteAddresses& sites);

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
    DownloadRowId row = kNoRow;  // its row; kNoRow for a download not asked for as a track
    // The user paused or cancelled it: it leaves at the next tick without a
    // line, whatever the downloader's last word on it.
    bool taken_back = false;
    bool cancelled = false;
    // Tags in its file (catalogue/file_tags.h): its end is in the download
    // log; the tagger's name for its tag step, once asked; its file is final
    // (tagged, or not to be).
    bool end_written = false;
    std::uint64_t tag_job = 0;
    bool file_final = false;
  };
  // A line to show once the hold is over: a failure's status, or the
  // finished line (of one download, or of a whole batch).
  struct EndLine {
    bool finished = false;
    Text status;              // of a failure
    std::int64_t amount = 0;  // the downloader's amount figure for it
    int batch_position = 0;   // a failed batch track's position, of batch_size
    int batch_size = 0;
    bool batch_end = false;  // the batch's end: its tracks, failures, cancelled
    int batch_failures = 0;
    int batch_already = 0;  // tracks whose files were there already
    int batch_cancelled = 0;
    // A line shown as it is, in place of status and amount (a track whose
    // file was there already).
    Text caption;
    // The file of a finished download the line did not follow: named in
    // its finished line ("下载完成...  已下载 <name>   <n>KB") in place of
    // the percentage.
    Text named_file;
  };
  // How a batch track ended.
  enum class Outcome { kComplete, kFailed, kAlreadyThere, kCancelled, kPaused };

  // A download started; the line follows it from now on.
  void Started(Followed download);
  const std::vector<Followed>& Downloads() const { return downloads_; }
  // Takes the followed download of `task` off what the line follows.
  void Unfollow(download::TaskId task);
  // The task started last (the downloader's newest), kNoTask before the first.
  download::TaskId Newest() const { return newest_; }
  // The log has the size of the followed download of `task`; the validators.
  void NoteSizeWritten(download::TaskId task);
  void NoteValidatorsWritten(download::TaskId task,
                             std::shared_ptr<const download::Validators> validators);
  // Its end is in the log; its tag step asked for; its file final.
  void NoteEndWritten(download::TaskId task);
  void NoteTagJob(download::TaskId task, std::uint64_t job);
  void NoteFileFinal(download::TaskId task);

  // Batch: the tracks still to start, in order.
  bool BatchRunning() const { return batch_total_ > 0; }
  bool HasNextBatchTrack() const { return !batch_pending_.empty(); }
  // Takes the next track: its play page, position and record.
  struct NextTrack {
    Text play_page;
    int position = 0;
    RecordId record = kNotRemembered;
    DownloadRowId row = kNoRow;
  };
  NextTrack TakeNextBatchTrack();
  // The batch track that ran last has ended as `outcome`, with `amount`
  // (the downloader's amount figure) written for it. Returns true when that
  // was the batch's last track; the batch is over then.
  bool BatchTrackEnded(Outcome outcome, std::int64_t amount);
  int BatchTotal() const { return batch_total_; }
  int BatchFailures() const { return batch_failed_; }
  int BatchAlreadyThere() const { return batch_already_; }
  int BatchCancelled() const { return batch_cancelled_; }
  // Queues the line of the batch's end, once its last track has ended.
  void PushBatchEnd();
  // Whether a verb ended the batch (its last tracks cancelled or paused
  // before they started) since the last call: its end line is queued, its
  // notice still to give.
  bool TakeBatchOver();
  // The play pages of the batch's failed tracks, in the order they ran;
  // of the batch that ended last once it is over.
  const std::vector<AskedTrack>& BatchFailedTracks() const { return batch_failed_tracks_; }
  // A batch track failed: its play page, with the title and category of its
  // row, so that a retry asks for it as the user first did.
  void NoteBatchFailure(const Text& play_page, DownloadRowId row);
  // The failures were asked for again.
  void BatchFailuresRetried() { batch_failed_tracks_.clear(); }
  std::int64_t BatchAmount() const { return batch_amount_; }
  // The batch's size as it was when its last track ended: its tracks
  // started and those cancelled before they started, not those paused.
  int BatchStarted() const;
  const SiteAddresses& BatchSites() const { return batch_sites_; }

  // The status line's lines still to show, oldest first.
  void PushEndLine(EndLine line);
  bool HasEndLine() const { return !end_lines_.empty(); }
  EndLine TakeEndLine();
  // The line just shown stays for kEndLineTicks ticks.
  void HoldLine() { hold_ticks_ = kEndLineTicks; }
  // One tick of the hold gone; false when there was none to wait.
  bool WaitHold();

  // A tick that comes during another's fetch returns at once: Enter is
  // false then. Each Enter that was true is matched by one Leave.
  bool EnterTick();
  void LeaveTick() { tick_running_ = false; }

  // The rows' figures from one look at the download of `row` (the tick's):
  // bytes and size; the speed over the last few seconds from `now_ms`
  // (a steady clock's milliseconds).
  void NoteProgress(DownloadRowId row, std::int64_t bytes, std::int64_t size, std::int64_t now_ms);
  // The row's download went to the downloader, into `file`.
  void NoteRunning(DownloadRowId row, const Text& file);
  // It ended: complete, failed (with its cause), or found there already.
  void NoteEnded(DownloadRowId row, const download::TaskState& state);
  void NoteAlreadyThere(DownloadRowId row, const Text& file, std::int64_t size);
  // Rows resumed or retried, to start as downloads of their own, oldest
  // first; taken by the tick.
  std::vector<DownloadRowId> TakeRowsToStart();
  bool HasRowsToStart() const;
  // The addresses the rows to start are fetched from.
  const SiteAddresses& Sites() const;

 private:
  struct Impl;
  void Touch(DownloadRow& row);
  void StopRow(DownloadRow& row, bool cancel);
  bool BatchTrackRunning() const;
  bool FileInUse(const DownloadRow& row) const;
  int RemoveWhere(const std::function<bool(const DownloadRow&)>& leaves);
  void EndTheBatch();
  void WakeIfBusy() const;

  std::unique_ptr<Impl> impl_;
  std::uint64_t version_ = 0;
  std::uint64_t list_version_ = 0;

  std::vector<Followed> downloads_;  // oldest first
  download::TaskId newest_ = download::kNoTask;
  std::deque<NextTrack> batch_pending_;
  std::vector<AskedTrack> batch_failed_tracks_;
  int batch_already_ = 0;
  int batch_cancelled_ = 0;
  int batch_cancelled_waiting_ = 0;  // cancelled before they started
  int batch_paused_ = 0;             // paused once started: they left the batch
  bool batch_over_unannounced_ = false;
  SiteAddresses batch_sites_;
  int batch_total_ = 0;
  int batch_started_ = 0;
  int batch_failed_ = 0;
  std::int64_t batch_amount_ = 0;
  std::deque<EndLine> end_lines_;
  int hold_ticks_ = 0;
  bool tick_running_ = false;
};

// The 状态 column's text of a row: 等待, 下载中 n%, 已暂停, 已完成, 已下载过,
// 下载失败 with its cause, 已取消.
Text RowStatusText(const DownloadRow& row);

}  // namespace wuqu::catalogue
