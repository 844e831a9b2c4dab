#include "catalogue/stored_download_log.h"

#include "store/store_path.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

using store::DownloadPhase;

TrackMark MarkOfPhase(DownloadPhase phase) {
  switch (phase) {
    case DownloadPhase::kComplete:
      return TrackMark::kOnDisk;
    case DownloadPhase::kFailed:
      return TrackMark::kFailed;
    default:
      return TrackMark::kNone;
  }
}

constexpr const char* kPrefix = "wuqu: downloads are not remembered: ";

}  // namespace

StoredDownloadLog::StoredDownloadLog(std::unique_ptr<store::Store> store, std::ostream& messages)
    : store_(std::move(store)), messages_(messages) {
  if (!store_) return;
  for (const store::DownloadRecord& r : store_->LastOfEveryTrack()) {
    marks_[r.track] = MarkOfPhase(r.phase);
  }
}

bool StoredDownloadLog::Wrote(bool ok) {
  if (ok || !store_) return ok;
  messages_ << kPrefix << "a write to the store failed; nothing more is kept in this run\n";
  store_.reset();
  return false;
}

std::vector<RecordId> StoredDownloadLog::Asked(const std::vector<Text>& play_pages,
                                               bool as_batch) {
  std::vector<AskedTrack> tracks;
  tracks.reserve(play_pages.size());
  for (const Text& play_page : play_pages) tracks.push_back({play_page, {}, {}});
  return AskedTracks(tracks, as_batch);
}

std::vector<RecordId> StoredDownloadLog::AskedTracks(const std::vector<AskedTrack>& tracks,
                                                     bool as_batch) {
  std::vector<RecordId> ids;
  if (store_) {
    std::vector<store::Store::NewDownload> downloads;
    downloads.reserve(tracks.size());
    for (const AskedTrack& t : tracks) downloads.push_back({t.play_page, t.title, t.category});
    ids = store_->AddTitledDownloads(downloads, as_batch);
  }
  if (tracks.empty()) return ids;
  if (!Wrote(ids.size() == tracks.size())) {
    return std::vector<RecordId>(tracks.size(), kNotRemembered);
  }
  for (std::size_t i = 0; i < ids.size(); ++i) tracks_[ids[i]] = tracks[i].play_page;
  return ids;
}

void StoredDownloadLog::Paused(RecordId record) {
  if (!store_ || record == kNotRemembered) return;
  Wrote(store_->MarkPaused(record));
}

void StoredDownloadLog::Cancelled(RecordId record) {
  if (!store_ || record == kNotRemembered) return;
  if (Wrote(store_->MarkCancelled(record))) RemarkCancelled(record);
}

void StoredDownloadLog::CancelledMany(const std::vector<RecordId>& records) {
  if (!store_) return;
  std::vector<RecordId> remembered;
  for (const RecordId r : records) {
    if (r != kNotRemembered) remembered.push_back(r);
  }
  if (remembered.empty()) return;
  if (!Wrote(store_->MarkManyCancelled(remembered) >= 0)) return;
  for (const RecordId r : remembered) RemarkCancelled(r);
}

void StoredDownloadLog::RemovedMany(const std::vector<RecordId>& records) {
  if (!store_) return;
  std::vector<RecordId> remembered;
  for (const RecordId r : records) {
    if (r != kNotRemembered) remembered.push_back(r);
  }
  if (!remembered.empty()) Wrote(store_->MarkManyRemoved(remembered) >= 0);
}

// A cancelled download does not count for its track: the one before it (if
// any) marks the row again.
void StoredDownloadLog::RemarkCancelled(RecordId record) {
  const Text* track = TrackOf(record);
  if (track == nullptr) return;
  const std::optional<store::DownloadRecord> last = store_->LastOf(*track);
  marks_[*track] = last ? MarkOfPhase(last->phase) : TrackMark::kNone;
  ++marks_version_;
}

void StoredDownloadLog::Requeued(RecordId record) {
  if (!store_ || record == kNotRemembered) return;
  Wrote(store_->MarkQueuedAgain(record));
}

void StoredDownloadLog::Removed(RecordId record) {
  if (!store_ || record == kNotRemembered) return;
  Wrote(store_->MarkRemoved(record));
}

std::vector<RememberedDownload> StoredDownloadLog::Remembered() {
  std::vector<RememberedDownload> listed;
  if (!store_) return listed;
  std::vector<store::DownloadRecord> records = store_->Listed();
  listed.reserve(records.size());
  for (store::DownloadRecord& r : records) {
    RememberedDownload d;
    d.record = r.id;
    d.title = std::move(r.title);
    d.category = std::move(r.category);
    d.target_path = Utf8ToLocalText(std::string_view(r.target));
    switch (r.phase) {
      case DownloadPhase::kQueued: d.phase = RememberedPhase::kQueued; break;
      case DownloadPhase::kRunning: d.phase = RememberedPhase::kRunning; break;
      case DownloadPhase::kComplete: d.phase = RememberedPhase::kComplete; break;
      case DownloadPhase::kFailed: d.phase = RememberedPhase::kFailed; break;
      case DownloadPhase::kPaused: d.phase = RememberedPhase::kPaused; break;
      case DownloadPhase::kCancelled: d.phase = RememberedPhase::kCancelled; break;
    }
    d.size = r.size;
    d.cause = static_cast<download::FailureCause>(r.cause);
    d.http_status = r.http_status;
    d.batch = r.batch;
    d.position = r.position;
    d.queued_ms = r.queued_ms;
    d.started_ms = r.started_ms;
    d.ended_ms = r.ended_ms;
    tracks_[r.id] = r.track;
    d.play_page = std::move(r.track);
    listed.push_back(std::move(d));
  }
  return listed;
}

const Text* StoredDownloadLog::TrackOf(RecordId record) {
  auto track = tracks_.find(record);
  if (track == tracks_.end() && store_) {
    const std::optional<store::DownloadRecord> found = store_->Find(record);
    if (!found) return nullptr;
    track = tracks_.emplace(record, found->track).first;
  }
  return track == tracks_.end() ? nullptr : &track->second;
}

void StoredDownloadLog::Started(RecordId record, const Text& media_url, const Text& target_path) {
  if (!store_ || record == kNotRemembered) return;
  // A track being fetched again is neither on disk nor failed until it ends.
  if (Wrote(store_->MarkRunning(record, media_url, LocalTextToUtf8(target_path)))) {
    Mark(record, TrackMark::kNone);
  }
}

void StoredDownloadLog::SizeKnown(RecordId record, std::int64_t size) {
  if (!store_ || record == kNotRemembered) return;
  Wrote(store_->MarkSize(record, size));
}

void StoredDownloadLog::ValidatorsKnown(RecordId record, const download::Validators& validators) {
  if (!store_ || record == kNotRemembered) return;
  Wrote(store_->MarkValidators(record, validators.etag, validators.last_modified));
}

void StoredDownloadLog::Ended(RecordId record, const download::TaskState& state) {
  if (!store_ || record == kNotRemembered) return;
  const bool complete = state.phase == download::TaskPhase::kComplete;
  const bool ok = complete ? store_->MarkComplete(record, state.size)
                           : store_->MarkFailed(record, static_cast<int>(state.cause),
                                                state.http_status);
  if (Wrote(ok)) Mark(record, complete ? TrackMark::kOnDisk : TrackMark::kFailed);
}

void StoredDownloadLog::Mark(RecordId record, TrackMark mark) {
  if (const Text* track = TrackOf(record)) {
    marks_[*track] = mark;
    ++marks_version_;
  }
}

void StoredDownloadLog::AlreadyThere(RecordId record, const Text& media_url,
                                     const Text& target_path, std::int64_t size) {
  if (!store_ || record == kNotRemembered) return;
  if (Wrote(store_->MarkAlreadyThere(record, media_url, LocalTextToUtf8(target_path), size))) {
    Mark(record, TrackMark::kOnDisk);
  }
}

std::vector<UnfinishedDownload> StoredDownloadLog::Unfinished() {
  std::vector<UnfinishedDownload> unfinished;
  if (!store_) return unfinished;
  for (store::DownloadRecord& r : store_->Unfinished()) {
    tracks_[r.id] = r.track;
    unfinished.push_back({r.id, std::move(r.track), Utf8ToLocalText(std::string_view(r.target)),
                          r.size, r.started_ms});
  }
  return unfinished;
}

std::optional<CompletedFile> StoredDownloadLog::LastCompleted(const Text& play_page) {
  if (!store_) return std::nullopt;
  const std::optional<store::DownloadRecord> last = store_->LastOf(play_page);
  if (!last || last->phase != DownloadPhase::kComplete || last->size < 0) return std::nullopt;
  if (!store_->LastToWrite(last->id, last->target)) return std::nullopt;
  return CompletedFile{last->media_url, Utf8ToLocalText(std::string_view(last->target)),
                       last->size};
}

TrackMark StoredDownloadLog::MarkOf(const Text& play_page) {
  const auto found = marks_.find(play_page);
  return found == marks_.end() ? TrackMark::kNone : found->second;
}

std::optional<std::string> StoredDownloadLog::Setting(const std::string& name) {
  return store_ ? store_->Setting(name) : std::nullopt;
}

void StoredDownloadLog::SetSetting(const std::string& name, const std::string& value) {
  if (store_) Wrote(store_->SetSetting(name, value));
}

std::unique_ptr<DownloadLog> OpenDownloadLog(const std::string& store_path,
                                             std::ostream& messages) {
  if (store_path.empty()) {
    messages << kPrefix << "no home folder to keep them in\n";
    return std::make_unique<NoDownloadLog>();
  }
  if (!store::MakeStoreFolder(store_path)) {
    messages << kPrefix << "cannot make the folder of " << store_path << "\n";
    return std::make_unique<NoDownloadLog>();
  }
  store::OpenResult opened = store::Store::Open(store_path);
  using store::OpenProblem;
  switch (opened.problem) {
    case OpenProblem::kNone:
      break;
    case OpenProblem::kMovedAside:
      messages << "wuqu: " << store_path << " was damaged; it was moved to " << opened.moved_to
               << " and a fresh one made\n";
      break;
    case OpenProblem::kLocked:
      messages << kPrefix << store_path << " is in use by another wuqu window\n";
      break;
    case OpenProblem::kNotADatabase:
      messages << kPrefix << store_path << " is not a wuqu store; it is left as it is\n";
      break;
    case OpenProblem::kNewerLayout:
      messages << kPrefix << store_path << " was written by a newer wuqu; it is left as it is\n";
      break;
    case OpenProblem::kCannotOpen:
      messages << kPrefix << store_path << " cannot be opened (" << opened.detail << ")\n";
      break;
  }
  if (!opened.store) return std::make_unique<NoDownloadLog>();
  return std::make_unique<StoredDownloadLog>(std::move(opened.store), messages);
}

}  // namespace wuqu::catalogue
