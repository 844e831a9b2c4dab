#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "download/task_state.h"
#include "text/text.h"

// What the download handlers remember of the downloads the user asked for,
// across runs: the port the catalogue writes every change of a download's
// state through, before the window shows it. The program puts the store
// behind it (catalogue/stored_download_log.h); without one, NoDownloadLog
// remembers nothing and the handlers work as they did before there was a
// memory. Every text is program text (code page 936).
namespace wuqu::catalogue {

// Names one remembered download; kNotRemembered when nothing was written.
using RecordId = std::int64_t;
inline constexpr RecordId kNotRemembered = 0;

// A download asked for in an earlier run that had not ended.
struct UnfinishedDownload {
  RecordId record = kNotRemembered;
  Text play_page;
  // Of one that had started: its file, the file's size once the downloader
  // knew it (-1 before), and when it started (milliseconds since the epoch).
  Text target_path;
  std::int64_t size = -1;
  std::int64_t started_ms = 0;
};

// A track asked for: its play page, and its title and category as the list
// showed them (either may be empty).
struct AskedTrack {
  Text play_page;
  Text title;
  Text category;
};

// Where a remembered download stands, as the log keeps it.
enum class RememberedPhase { kQueued, kRunning, kComplete, kFailed, kPaused, kCancelled };

// A download the log remembers, for the list of the user's downloads.
struct RememberedDownload {
  RecordId record = kNotRemembered;
  Text play_page;
  Text title;
  Text category;
  Text target_path;
  RememberedPhase phase = RememberedPhase::kQueued;
  std::int64_t size = -1;
  download::FailureCause cause = download::FailureCause::kNone;
  int http_status = 0;
  std::int64_t batch = 0;  // 0: asked for alone
  int position = 0;
  std::int64_t queued_ms = 0;
  std::int64_t started_ms = 0;
  std::int64_t ended_ms = 0;
};

// The file a track's last download left, when that download completed.
struct CompletedFile {
  Text media_url;
  Text target_path;
  std::int64_t size = 0;
};

// What a track's last download came to, for its row in the list.
enum class TrackMark { kNone, kOnDisk, kFailed };

class DownloadLog {
 public:
  virtual ~DownloadLog() = default;
  // Tracks asked for, by their play pages: one batch when `as_batch`, else
  // each alone. Their records in order (kNotRemembered each when nothing was
  // written).
  virtual std::vector<RecordId> Asked(const std::vector<Text>& play_pages, bool as_batch) = 0;
  // The same, with each track's title and category kept beside it.
  virtual std::vector<RecordId> AskedTracks(const std::vector<AskedTrack>& tracks, bool as_batch) {
    std::vector<Text> play_pages;
    play_pages.reserve(tracks.size());
    for (const AskedTrack& t : tracks) play_pages.push_back(t.play_page);
    return Asked(play_pages, as_batch);
  }
  // The download of `record` went to the downloader.
  virtual void Started(RecordId record, const Text& media_url, const Text& target_path) = 0;
  // The downloader has learnt the size of its file.
  virtual void SizeKnown(RecordId record, std::int64_t size) = 0;
  // The downloader has named the version of the server's file the download
  // holds (again when it started over on a changed file).
  virtual void ValidatorsKnown(RecordId record, const download::Validators& validators) = 0;
  // It ended: complete or failed, with the downloader's last word on it.
  virtual void Ended(RecordId record, const download::TaskState& state) = 0;
  // It was not fetched: its file of `size` bytes was there already.
  virtual void AlreadyThere(RecordId record, const Text& media_url, const Text& target_path,
                            std::int64_t size) = 0;
  // The user's word on a download: paused (kept to resume), cancelled (never
  // started again by itself), asked for again (resumed or retried: queued),
  // or an ended one taken off the list (its track still counts as downloaded).
  virtual void Paused(RecordId) {}
  virtual void Cancelled(RecordId) {}
  virtual void Requeued(RecordId) {}
  virtual void Removed(RecordId) {}
  // The same for many at once (one write where the log can).
  virtual void CancelledMany(const std::vector<RecordId>& records) {
    for (const RecordId r : records) Cancelled(r);
  }
  virtual void RemovedMany(const std::vector<RecordId>& records) {
    for (const RecordId r : records) Removed(r);
  }
  // Downloads of earlier runs that had not ended, in the order asked for:
  // queued and running ones, never a paused or cancelled one.
  virtual std::vector<UnfinishedDownload> Unfinished() = 0;
  // Every download the log remembers that is still on the user's list,
  // oldest first: what start-up lists.
  virtual std::vector<RememberedDownload> Remembered() { return {}; }
  // The file of the track's last download, when that download completed and
  // no later download has named the same file.
  virtual std::optional<CompletedFile> LastCompleted(const Text& play_page) = 0;
  // What each track's last download came to, for the tracks the log knows;
  // a file is not looked at.
  virtual TrackMark MarkOf(const Text& play_page) = 0;
  // Moves on whenever a mark may have changed.
  virtual std::uint64_t MarksVersion() const { return 0; }
  // The user's settings, by name: the value last set; nullopt for one never
  // set or not remembered (the caller's default holds).
  virtual std::optional<std::string> Setting(const std::string&) { return std::nullopt; }
  virtual void SetSetting(const std::string&, const std::string&) {}
};

// Remembers nothing.
class NoDownloadLog final : public DownloadLog {
 public:
  std::vector<RecordId> Asked(const std::vector<Text>& play_pages, bool) override {
    return std::vector<RecordId>(play_pages.size(), kNotRemembered);
  }
  void Started(RecordId, const Text&, const Text&) override {}
  void SizeKnown(RecordId, std::int64_t) override {}
  void ValidatorsKnown(RecordId, const download::Validators&) override {}
  void Ended(RecordId, const download::TaskState&) override {}
  void AlreadyThere(RecordId, const Text&, const Text&, std::int64_t) override {}
  std::vector<UnfinishedDownload> Unfinished() override { return {}; }
  std::optional<CompletedFile> LastCompleted(const Text&) override { return std::nullopt; }
  TrackMark MarkOf(const Text&) override { return TrackMark::kNone; }
};

}  // namespace wuqu::catalogue
