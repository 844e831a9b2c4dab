#include "catalogue/user_downloads.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <unordered_set>

#include "catalogue/status_line.h"
#include "download/resume_record.h"
#include "platform/files.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

// The speed is taken over this many milliseconds of looks.
constexpr std::int64_t kSpeedWindowMs = 5000;
// Changes remembered for ChangedSince; a view further behind reads all.
constexpr std::size_t kChangeMemory = 8192;

RowPhase PhaseOf(RememberedPhase phase) {
  switch (phase) {
    case RememberedPhase::kQueued:
    case RememberedPhase::kRunning:
      return RowPhase::kWaiting;
    case RememberedPhase::kComplete:
      return RowPhase::kComplete;
    case RememberedPhase::kFailed:
      return RowPhase::kFailed;
    case RememberedPhase::kPaused:
      return RowPhase::kPaused;
    case RememberedPhase::kCancelled:
      return RowPhase::kCancelled;
  }
  return RowPhase::kWaiting;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Sample {
  std::int64_t ms;
  std::int64_t bytes;
};

// The partial file of a paused download, its record and side file: only
// while its resume record is beside it, so a complete file is never touched.
void RemovePartialFile(const Text& target) {
  if (target.empty()) return;
  const std::string path = LocalTextToUtf8(target);
  const std::string record = download::ResumeRecordPath(path);
  if (FileSize(record) < 0) return;
  ::unlink(path.c_str());
  ::unlink(record.c_str());
}

}  // namespace

bool RowEnded(RowPhase phase) {
  return phase == RowPhase::kComplete || phase == RowPhase::kAlreadyThere ||
         phase == RowPhase::kFailed || phase == RowPhase::kCancelled;
}

struct UserDownloads::Impl {
  std::vector<DownloadRow> rows;  // oldest first
  std::unordered_map<DownloadRowId, std::size_t> where;  // id -> index in rows
  std::unordered_map<RecordId, DownloadRowId> by_record;
  std::unordered_map<DownloadBatchId, DownloadBatch> batches;
  std::unordered_map<DownloadRowId, std::deque<Sample>> samples;  // running rows'
  // The downloader's task each row ran as last in this run.
  std::unordered_map<DownloadRowId, download::TaskId> tasks;
  std::deque<std::pair<std::uint64_t, DownloadRowId>> changes;
  std::uint64_t forgotten = 0;  // the newest version no longer in `changes`
  DownloadRowId next_row = 1;
  DownloadBatchId next_batch = 1;
  DownloadBatchId running_batch = kNoBatch;
  std::vector<DownloadRowId> to_start;
  SiteAddresses sites;
  UserDownloads::Downloader* downloader = nullptr;
  DownloadLog* log = nullptr;
  std::function<void()> wake;

  DownloadRow* Row(DownloadRowId id) {
    const auto found = where.find(id);
    return found == where.end() ? nullptr : &rows[found->second];
  }
  void Reindex() {
    where.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) where[rows[i].id] = i;
  }
  void Wake() const {
    if (wake) wake();
  }
};

UserDownloads::UserDownloads() : impl_(std::make_unique<Impl>()) {}
UserDownloads::~UserDownloads() = default;

std::size_t UserDownloads::RowCount() const {
  return impl_->rows.size();
}

const DownloadRow& UserDownloads::RowAt(std::size_t index) const {
  return impl_->rows[impl_->rows.size() - 1 - index];
}

const DownloadRow* UserDownloads::Find(DownloadRowId id) const {
  return impl_->Row(id);
}

std::optional<std::size_t> UserDownloads::IndexOf(DownloadRowId id) const {
  const auto found = impl_->where.find(id);
  if (found == impl_->where.end()) return std::nullopt;
  return impl_->rows.size() - 1 - found->second;
}

const DownloadBatch* UserDownloads::Batch(DownloadBatchId id) const {
  const auto found = impl_->batches.find(id);
  return found == impl_->batches.end() ? nullptr : &found->second;
}

bool UserDownloads::ChangedSince(std::uint64_t version, std::vector<DownloadRowId>& rows) const {
  rows.clear();
  if (version < impl_->forgotten) return false;
  std::unordered_set<DownloadRowId> seen;
  for (auto it = impl_->changes.rbegin(); it != impl_->changes.rend() && it->first > version;
       ++it) {
    if (impl_->where.count(it->second) != 0 && seen.insert(it->second).second) {
      rows.push_back(it->second);
    }
  }
  return true;
}

DownloadRowId UserDownloads::FollowedRow() const {
  return downloads_.empty() ? kNoRow : downloads_.back().row;
}

DownloadBatchId UserDownloads::RunningBatch() const {
  return BatchRunning() ? impl_->running_batch : kNoBatch;
}

bool UserDownloads::ShowsBatchFailures() const {
  return !BatchRunning() && !batch_failed_tracks_.empty();
}

// ---- Rows ----

void UserDownloads::SetWake(std::function<void()> wake) {
  impl_->wake = std::move(wake);
}

void UserDownloads::Connect(Downloader* downloader, DownloadLog* log) {
  impl_->downloader = downloader;
  impl_->log = log;
}

const SiteAddresses& UserDownloads::Sites() const {
  return impl_->sites;
}

void UserDownloads::Remember(const std::vector<RememberedDownload>& downloads,
                             const SiteAddresses& sites) {
  Impl& impl = *impl_;
  impl.sites = sites;
  std::unordered_map<std::int64_t, DownloadBatchId> batches;
  impl.rows.reserve(impl.rows.size() + downloads.size());
  for (const RememberedDownload& d : downloads) {
    DownloadRow row;
    row.id = impl.next_row++;
    row.record = d.record;
    row.play_page = d.play_page;
    row.title = d.title;
    row.category = d.category;
    row.file = d.target_path;
    row.phase = PhaseOf(d.phase);
    row.size = d.size;
    if (row.phase == RowPhase::kComplete) row.bytes = std::max<std::int64_t>(d.size, 0);
    row.cause = row.phase == RowPhase::kFailed ? d.cause : download::FailureCause::kNone;
    row.http_status = row.phase == RowPhase::kFailed ? d.http_status : 0;
    if (d.batch != 0) {
      auto [it, added] = batches.try_emplace(d.batch, impl.next_batch);
      if (added) ++impl.next_batch;
      row.batch = it->second;
      DownloadBatch& batch = impl.batches[row.batch];
      batch.id = row.batch;
      ++batch.total;
      if (row.phase == RowPhase::kFailed) ++batch.failed;
      if (row.phase == RowPhase::kCancelled) ++batch.cancelled;
    }
    row.position = d.position;
    row.queued_ms = d.queued_ms;
    row.ended_ms = d.ended_ms;
    row.changed = ++version_;
    if (row.record != kNotRemembered) impl.by_record[row.record] = row.id;
    impl.rows.push_back(std::move(row));
  }
  impl.Reindex();
  ++list_version_;
  impl.changes.clear();
  impl.forgotten = version_;
}

std::vector<DownloadRowId> UserDownloads::Asked(const std::vector<AskedTrack>& tracks,
                                                const std::vector<RecordId>& records,
                                                bool as_batch, const SiteAddresses& sites) {
  Impl& impl = *impl_;
  impl.sites = sites;
  std::vector<DownloadRowId> ids;
  ids.reserve(tracks.size());
  if (tracks.empty()) return ids;
  DownloadBatchId batch_id = kNoBatch;
  if (as_batch) {
    if (!BatchRunning()) {
      impl.running_batch = impl.next_batch++;
      batch_sites_ = sites;
      batch_started_ = 0;
      batch_failed_ = 0;
      batch_already_ = 0;
      batch_cancelled_ = 0;
      batch_cancelled_waiting_ = 0;
      batch_paused_ = 0;
      batch_amount_ = 0;
      batch_failed_tracks_.clear();
    }
    batch_id = impl.running_batch;
    DownloadBatch& batch = impl.batches[batch_id];
    batch.id = batch_id;
    batch.running = true;
  }
  const std::int64_t now = NowMs();
  bool added = false;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const RecordId record = i < records.size() ? records[i] : kNotRemembered;
    DownloadRow* row = nullptr;
    if (record != kNotRemembered) {
      const auto known = impl.by_record.find(record);
      if (known != impl.by_record.end()) row = impl.Row(known->second);
    }
    if (row == nullptr) {
      DownloadRow fresh;
      fresh.id = impl.next_row++;
      fresh.record = record;
      fresh.play_page = tracks[i].play_page;
      fresh.title = tracks[i].title;
      fresh.category = tracks[i].category;
      fresh.queued_ms = now;
      if (record != kNotRemembered) impl.by_record[record] = fresh.id;
      impl.where[fresh.id] = impl.rows.size();
      impl.rows.push_back(std::move(fresh));
      row = &impl.rows.back();
      added = true;
    }
    row->phase = RowPhase::kWaiting;
    if (as_batch) {
      // A remembered row taken up again moves from its old batch to this one.
      if (row->batch != kNoBatch && row->batch != batch_id) {
        const auto old = impl.batches.find(row->batch);
        if (old != impl.batches.end() && old->second.total > 0) --old->second.total;
      }
      row->batch = batch_id;
      DownloadBatch& batch = impl.batches[batch_id];
      row->position = ++batch.total;
      batch_pending_.push_back({row->play_page, 0, record, row->id});
      ++batch_total_;
    }
    Touch(*row);
    ids.push_back(row->id);
  }
  if (added) ++list_version_;
  return ids;
}

void UserDownloads::Touch(DownloadRow& row) {
  Impl& impl = *impl_;
  row.changed = ++version_;
  impl.changes.emplace_back(version_, row.id);
  while (impl.changes.size() > kChangeMemory) {
    impl.forgotten = impl.changes.front().first;
    impl.changes.pop_front();
  }
}

void UserDownloads::NoteRunning(DownloadRowId id, const Text& file) {
  DownloadRow* row = impl_->Row(id);
  if (row == nullptr) return;
  row->phase = RowPhase::kRunning;
  row->file = file;
  row->cause = download::FailureCause::kNone;
  row->http_status = 0;
  row->speed = 0;
  row->seconds_left = -1;
  row->ended_ms = 0;
  impl_->samples.erase(id);
  Touch(*row);
}

void UserDownloads::NoteProgress(DownloadRowId id, std::int64_t bytes, std::int64_t size,
                                 std::int64_t now_ms) {
  DownloadRow* row = impl_->Row(id);
  if (row == nullptr || row->phase != RowPhase::kRunning) return;
  std::deque<Sample>& samples = impl_->samples[id];
  samples.push_back({now_ms, bytes});
  while (samples.size() > 2 && samples.front().ms < now_ms - kSpeedWindowMs) samples.pop_front();
  double speed = 0;
  const Sample& first = samples.front();
  if (now_ms > first.ms && bytes >= first.bytes) {
    speed = static_cast<double>(bytes - first.bytes) * 1000.0 / static_cast<double>(now_ms - first.ms);
  }
  std::int64_t left = -1;
  if (speed > 0 && size >= 0 && size >= bytes) {
    left = static_cast<std::int64_t>(std::ceil(static_cast<double>(size - bytes) / speed));
  }
  if (row->bytes == bytes && row->size == size && row->speed == speed && row->seconds_left == left) {
    return;
  }
  row->bytes = bytes;
  row->size = size;
  row->speed = speed;
  row->seconds_left = left;
  Touch(*row);
}

namespace {
void Stilled(DownloadRow& row) {
  row.speed = 0;
  row.seconds_left = -1;
}
}  // namespace

void UserDownloads::NoteEnded(DownloadRowId id, const download::TaskState& state) {
  DownloadRow* row = impl_->Row(id);
  if (row == nullptr) return;
  impl_->samples.erase(id);
  Stilled(*row);
  row->ended_ms = NowMs();
  if (state.phase == download::TaskPhase::kComplete) {
    row->phase = RowPhase::kComplete;
    if (state.size >= 0) row->size = state.size;
    row->bytes = std::max<std::int64_t>(row->size, 0);
  } else {
    row->phase = RowPhase::kFailed;
    row->cause = state.cause;
    row->http_status = state.http_status;
    if (row->batch != kNoBatch) {
      const auto batch = impl_->batches.find(row->batch);
      if (batch != impl_->batches.end()) ++batch->second.failed;
    }
  }
  Touch(*row);
}

void UserDownloads::NoteAlreadyThere(DownloadRowId id, const Text& file, std::int64_t size) {
  DownloadRow* row = impl_->Row(id);
  if (row == nullptr) return;
  Stilled(*row);
  row->phase = RowPhase::kAlreadyThere;
  row->file = file;
  row->size = size;
  row->bytes = size;
  row->ended_ms = NowMs();
  if (row->batch != kNoBatch) {
    const auto batch = impl_->batches.find(row->batch);
    if (batch != impl_->batches.end()) ++batch->second.already_there;
  }
  Touch(*row);
}

std::vector<DownloadRowId> UserDownloads::TakeRowsToStart() {
  std::vector<DownloadRowId> rows;
  rows.swap(impl_->to_start);
  return rows;
}

// The tick only when it has something to do: with nothing followed, a tick
// would look at the last file started the old way.
void UserDownloads::WakeIfBusy() const {
  if (!downloads_.empty() || !end_lines_.empty() || !impl_->to_start.empty()) impl_->Wake();
}

bool UserDownloads::HasRowsToStart() const {
  return !impl_->to_start.empty();
}

// ---- Verbs ----

namespace {
template <typename Followed>
Followed* FollowedOf(std::vector<Followed>& downloads, DownloadRowId id) {
  for (Followed& f : downloads) {
    if (f.row == id && !f.taken_back) return &f;
  }
  return nullptr;
}
}  // namespace

bool UserDownloads::CanPause(DownloadRowId id) const {
  const DownloadRow* row = Find(id);
  return row != nullptr && (row->phase == RowPhase::kWaiting || row->phase == RowPhase::kRunning);
}

bool UserDownloads::CanResume(DownloadRowId id) const {
  const DownloadRow* row = Find(id);
  return row != nullptr && row->phase == RowPhase::kPaused;
}

bool UserDownloads::CanCancel(DownloadRowId id) const {
  const DownloadRow* row = Find(id);
  return row != nullptr && (row->phase == RowPhase::kWaiting || row->phase == RowPhase::kRunning ||
                            row->phase == RowPhase::kPaused);
}

bool UserDownloads::CanRetry(DownloadRowId id) const {
  const DownloadRow* row = Find(id);
  return row != nullptr && (row->phase == RowPhase::kFailed || row->phase == RowPhase::kCancelled);
}

bool UserDownloads::CanRemove(DownloadRowId id) const {
  const DownloadRow* row = Find(id);
  return row != nullptr && RowEnded(row->phase);
}

// Takes the row's download off whatever would start or continue it: the
// downloader's task (paused or cancelled there), the batch's waiting tracks,
// the rows to start. `cancel` says which.
void UserDownloads::StopRow(DownloadRow& row, bool cancel) {
  Impl& impl = *impl_;
  if (Followed* f = FollowedOf(downloads_, row.id)) {
    f->taken_back = true;
    f->cancelled = cancel;
    if (impl.downloader != nullptr) {
      if (cancel) {
        impl.downloader->Cancel(f->task);
      } else {
        impl.downloader->Pause(f->task);
      }
    }
    return;
  }
  const auto pending = std::find_if(batch_pending_.begin(), batch_pending_.end(),
                                    [&](const NextTrack& t) { return t.row == row.id; });
  if (pending != batch_pending_.end()) {
    batch_pending_.erase(pending);
    if (cancel) {
      ++batch_cancelled_;
      ++batch_cancelled_waiting_;
    } else {
      // A paused track leaves the batch; resumed, it runs on its own.
      --batch_total_;
    }
    if (batch_pending_.empty() && BatchTrackRunning() == false) {
      // The last tracks went before any of them started: the batch is over.
      batch_total_ = 0;
      EndTheBatch();
    }
    return;
  }
  const auto starting = std::find(impl.to_start.begin(), impl.to_start.end(), row.id);
  if (starting != impl.to_start.end()) impl.to_start.erase(starting);
}

// Whether a download running now writes the row's file.
bool UserDownloads::FileInUse(const DownloadRow& row) const {
  for (const Followed& f : downloads_) {
    const DownloadRow* other = impl_->Row(f.row);
    if (f.row != row.id && (other == nullptr || other->file == row.file)) return true;
  }
  return false;
}

bool UserDownloads::BatchTrackRunning() const {
  for (const Followed& f : downloads_) {
    if (f.batch_position > 0) return true;
  }
  return false;
}

void UserDownloads::EndTheBatch() {
  const auto batch = impl_->batches.find(impl_->running_batch);
  if (batch != impl_->batches.end()) batch->second.running = false;
  PushBatchEnd();
  batch_over_unannounced_ = true;
  WakeIfBusy();
}

bool UserDownloads::TakeBatchOver() {
  const bool over = batch_over_unannounced_;
  batch_over_unannounced_ = false;
  return over;
}

bool UserDownloads::Pause(DownloadRowId id) {
  if (!CanPause(id)) return false;
  DownloadRow& row = *impl_->Row(id);
  StopRow(row, false);
  if (impl_->log != nullptr) impl_->log->Paused(row.record);
  row.phase = RowPhase::kPaused;
  Stilled(row);
  impl_->samples.erase(id);
  Touch(row);
  WakeIfBusy();
  return true;
}

bool UserDownloads::Cancel(DownloadRowId id) {
  return CancelRows({id}) == 1;
}

int UserDownloads::CancelRows(const std::vector<DownloadRowId>& ids) {
  Impl& impl = *impl_;
  std::unordered_set<DownloadRowId> waiting;  // in the batch, not started
  std::vector<DownloadRowId> rows;
  for (const DownloadRowId id : ids) {
    if (CanCancel(id) && std::find(rows.begin(), rows.end(), id) == rows.end()) rows.push_back(id);
  }
  if (rows.empty()) return 0;
  const std::unordered_set<DownloadRowId> chosen(rows.begin(), rows.end());
  // The batch's waiting tracks in one pass: a batch of thousands stays fast.
  const std::size_t pending_before = batch_pending_.size();
  batch_pending_.erase(std::remove_if(batch_pending_.begin(), batch_pending_.end(),
                                      [&](const NextTrack& t) {
                                        if (chosen.count(t.row) == 0) return false;
                                        waiting.insert(t.row);
                                        return true;
                                      }),
                       batch_pending_.end());
  const int left_waiting = static_cast<int>(pending_before - batch_pending_.size());
  batch_cancelled_ += left_waiting;
  batch_cancelled_waiting_ += left_waiting;
  std::vector<RecordId> records;
  records.reserve(rows.size());
  for (const DownloadRowId id : rows) {
    DownloadRow& row = *impl.Row(id);
    if (row.phase == RowPhase::kPaused) {
      // The downloader removes what a task of this run kept; what an earlier
      // run kept is removed here, unless another download writes that file.
      const auto task = impl.tasks.find(id);
      if (task != impl.tasks.end() && impl.downloader != nullptr) {
        impl.downloader->Cancel(task->second);
      } else if (!FileInUse(row)) {
        RemovePartialFile(row.file);
      }
    } else if (waiting.count(id) == 0) {
      StopRow(row, true);
    }
    records.push_back(row.record);
  }
  if (impl.log != nullptr) impl.log->CancelledMany(records);
  const std::int64_t now = NowMs();
  for (const DownloadRowId id : rows) {
    DownloadRow& row = *impl.Row(id);
    if (row.batch != kNoBatch) {
      const auto batch = impl.batches.find(row.batch);
      if (batch != impl.batches.end()) ++batch->second.cancelled;
    }
    row.phase = RowPhase::kCancelled;
    row.bytes = 0;
    row.ended_ms = now;
    Stilled(row);
    impl.samples.erase(id);
    Touch(row);
  }
  if (left_waiting > 0 && BatchRunning() && batch_pending_.empty() && !BatchTrackRunning()) {
    // The last tracks went before any of them started: the batch is over.
    batch_total_ = 0;
    EndTheBatch();
  }
  WakeIfBusy();
  return static_cast<int>(rows.size());
}

bool UserDownloads::Resume(DownloadRowId id) {
  if (!CanResume(id)) return false;
  DownloadRow& row = *impl_->Row(id);
  if (impl_->log != nullptr) impl_->log->Requeued(row.record);
  row.phase = RowPhase::kWaiting;
  impl_->to_start.push_back(id);
  Touch(row);
  WakeIfBusy();
  return true;
}

bool UserDownloads::Retry(DownloadRowId id) {
  if (!CanRetry(id)) return false;
  DownloadRow& row = *impl_->Row(id);
  if (impl_->log != nullptr) impl_->log->Requeued(row.record);
  row.phase = RowPhase::kWaiting;
  row.cause = download::FailureCause::kNone;
  row.http_status = 0;
  row.bytes = 0;
  row.ended_ms = 0;
  impl_->to_start.push_back(id);
  Touch(row);
  WakeIfBusy();
  return true;
}

bool UserDownloads::Remove(DownloadRowId id) {
  return RemoveRows({id}) == 1;
}

int UserDownloads::RemoveRows(const std::vector<DownloadRowId>& ids) {
  std::unordered_set<DownloadRowId> gone;
  for (const DownloadRowId id : ids) {
    if (CanRemove(id)) gone.insert(id);
  }
  return RemoveWhere([&](const DownloadRow& row) { return gone.count(row.id) != 0; });
}

int UserDownloads::ClearEnded() {
  return RemoveWhere([](const DownloadRow& row) { return RowEnded(row.phase); });
}

int UserDownloads::RemoveWhere(const std::function<bool(const DownloadRow&)>& leaves) {
  Impl& impl = *impl_;
  std::vector<RecordId> records;
  auto kept = impl.rows.begin();
  for (auto it = impl.rows.begin(); it != impl.rows.end(); ++it) {
    if (leaves(*it)) {
      records.push_back(it->record);
      impl.by_record.erase(it->record);
      impl.samples.erase(it->id);
      continue;
    }
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  if (records.empty()) return 0;
  if (impl.log != nullptr) impl.log->RemovedMany(records);
  impl.rows.erase(kept, impl.rows.end());
  impl.Reindex();
  ++version_;
  ++list_version_;
  return static_cast<int>(records.size());
}

int UserDownloads::CancelBatch(DownloadBatchId id) {
  if (id == kNoBatch) return 0;
  std::vector<DownloadRowId> rows;
  for (const DownloadRow& row : impl_->rows) {
    if (row.batch == id && CanCancel(row.id)) rows.push_back(row.id);
  }
  return CancelRows(rows);
}

// ---- What the status line follows, and the batch ----

void UserDownloads::Started(Followed download) {
  newest_ = download.task;
  if (download.row != kNoRow) {
    impl_->tasks[download.row] = download.task;
    const Text file = download.file_name;
    DownloadRow* row = impl_->Row(download.row);
    if (row != nullptr && row->file.empty()) row->file = file;
    if (row != nullptr) NoteRunning(download.row, row->file);
  }
  downloads_.push_back(std::move(download));
}

void UserDownloads::Unfollow(download::TaskId task) {
  const auto it = std::find_if(downloads_.begin(), downloads_.end(),
                               [task](const Followed& f) { return f.task == task; });
  if (it != downloads_.end()) downloads_.erase(it);
}

namespace {

template <typename Change>
void ChangeFollowed(std::vector<UserDownloads::Followed>& downloads, download::TaskId task,
                    Change change) {
  for (UserDownloads::Followed& f : downloads) {
    if (f.task == task) change(f);
  }
}

}  // namespace

void UserDownloads::NoteSizeWritten(download::TaskId task) {
  ChangeFollowed(downloads_, task, [](Followed& f) { f.size_noted = true; });
}

void UserDownloads::NoteValidatorsWritten(download::TaskId task,
                                          std::shared_ptr<const download::Validators> validators) {
  ChangeFollowed(downloads_, task, [&](Followed& f) { f.validators_noted = validators; });
}

void UserDownloads::NoteEndWritten(download::TaskId task) {
  ChangeFollowed(downloads_, task, [](Followed& f) { f.end_written = true; });
}

void UserDownloads::NoteTagJob(download::TaskId task, std::uint64_t job) {
  ChangeFollowed(downloads_, task, [job](Followed& f) { f.tag_job = job; });
}

void UserDownloads::NoteFileFinal(download::TaskId task) {
  ChangeFollowed(downloads_, task, [](Followed& f) { f.file_final = true; });
}

UserDownloads::NextTrack UserDownloads::TakeNextBatchTrack() {
  NextTrack next = std::move(batch_pending_.front());
  batch_pending_.pop_front();
  next.position = ++batch_started_;
  return next;
}

void UserDownloads::NoteBatchFailure(const Text& play_page, DownloadRowId row) {
  const DownloadRow* listed = Find(row);
  batch_failed_tracks_.push_back(
      {play_page, listed ? listed->title : Text(), listed ? listed->category : Text()});
}

bool UserDownloads::BatchTrackEnded(Outcome outcome, std::int64_t amount) {
  if (outcome == Outcome::kFailed) ++batch_failed_;
  if (outcome == Outcome::kAlreadyThere) ++batch_already_;
  if (outcome == Outcome::kCancelled) ++batch_cancelled_;
  if (outcome == Outcome::kPaused) {
    // A paused track leaves the batch; resumed, it runs on its own.
    ++batch_paused_;
    --batch_total_;
  }
  batch_amount_ += amount;
  if (!batch_pending_.empty()) return false;
  batch_total_ = 0;
  const auto batch = impl_->batches.find(impl_->running_batch);
  if (batch != impl_->batches.end()) batch->second.running = false;
  return true;
}

void UserDownloads::PushBatchEnd() {
  EndLine end;
  end.finished = true;
  end.amount = batch_amount_;
  end.batch_end = true;
  end.batch_size = BatchStarted();
  end.batch_failures = batch_failed_;
  end.batch_already = batch_already_;
  end.batch_cancelled = batch_cancelled_;
  end_lines_.push_back(end);
}

int UserDownloads::BatchStarted() const {
  return batch_started_ - batch_paused_ + batch_cancelled_waiting_;
}

DownloadRowId UserDownloads::RowOfRecord(RecordId record) const {
  if (record == kNotRemembered) return kNoRow;
  const auto found = impl_->by_record.find(record);
  return found == impl_->by_record.end() ? kNoRow : found->second;
}

void UserDownloads::PushEndLine(EndLine line) {
  end_lines_.push_back(std::move(line));
}

UserDownloads::EndLine UserDownloads::TakeEndLine() {
  EndLine line = std::move(end_lines_.front());
  end_lines_.pop_front();
  return line;
}

bool UserDownloads::WaitHold() {
  if (hold_ticks_ <= 0) return false;
  --hold_ticks_;
  return true;
}

bool UserDownloads::EnterTick() {
  if (tick_running_) return false;
  tick_running_ = true;
  return true;
}

// ---- Texts ----

Text RowStatusText(const DownloadRow& row) {
  namespace t = ui_texts;
  switch (row.phase) {
    case RowPhase::kWaiting:
      return t::kDownloadStateWaiting;
    case RowPhase::kRunning: {
      Text text = t::kDownloadStateRunning.Gbk();
      if (row.size > 0) {
        const auto percent = static_cast<int>(
            std::clamp<std::int64_t>(row.bytes * 100 / row.size, 0, 100));
        text += " " + std::to_string(percent) + "%";
      }
      return text;
    }
    case RowPhase::kPaused:
      return t::kDownloadStatePaused;
    case RowPhase::kComplete:
      return t::kDownloadStateComplete;
    case RowPhase::kAlreadyThere:
      return t::kDownloadStateAlreadyThere;
    case RowPhase::kFailed:
      return t::kDownloadStateFailed.Gbk() + " " + FailureCauseText(row.cause, row.http_status);
    case RowPhase::kCancelled:
      return t::kDownloadStateCancelled;
  }
  return Text();
}

}  // namespace wuqu::catalogue
