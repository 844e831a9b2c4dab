#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>

#include "catalogue/download_log.h"
#include "store/store.h"

// The download log on the store (src/store): play pages and media addresses
// kept as program text, target paths as the UTF-8 names on disk. The marks
// of the tracks are read once and kept up to date in memory, so marking a
// list costs no query per row.
namespace wuqu::catalogue {

class StoredDownloadLog final : public DownloadLog {
 public:
  // `messages` hears, once, that a write failed and the log remembers
  // nothing more from then on.
  StoredDownloadLog(std::unique_ptr<store::Store> store, std::ostream& messages);

  std::vector<RecordId> Asked(const std::vector<Text>& play_pages, bool as_batch) override;
  std::vector<RecordId> AskedTracks(const std::vector<AskedTrack>& tracks, bool as_batch) override;
  void Paused(RecordId record) override;
  void Cancelled(RecordId record) override;
  void Requeued(RecordId record) override;
  void Removed(RecordId record) override;
  void CancelledMany(const std::vector<RecordId>& records) override;
  void RemovedMany(const std::vector<RecordId>& records) override;
  std::vector<RememberedDownload> Remembered() override;
  void Started(RecordId record, const Text& media_url, const Text& target_path) override;
  void SizeKnown(RecordId record, std::int64_t size) override;
  void ValidatorsKnown(RecordId record, const download::Validators& validators) override;
  void Ended(RecordId record, const download::TaskState& state) override;
  void AlreadyThere(RecordId record, const Text& media_url, const Text& target_path,
                    std::int64_t size) override;
  std::vector<UnfinishedDownload> Unfinished() override;
  std::optional<CompletedFile> LastCompleted(const Text& play_page) override;
  TrackMark MarkOf(const Text& play_page) override;
  std::uint64_t MarksVersion() const override { return marks_version_; }
  std::optional<std::string> Setting(const std::string& name) override;
  void SetSetting(const std::string& name, const std::string& value) override;

 private:
  // False (and the store given up, with one message) when a write failed.
  bool Wrote(bool ok);
  void Mark(RecordId record, TrackMark mark);
  // The track of `record`, as the log has it; null when unknown.
  const Text* TrackOf(RecordId record);
  void RemarkCancelled(RecordId record);

  std::unique_ptr<store::Store> store_;
  std::ostream& messages_;
  // Each record's track, for the marks; and each track's mark.
  std::unordered_map<RecordId, Text> tracks_;
  std::unordered_map<Text, TrackMark> marks_;
  std::uint64_t marks_version_ = 0;
};

// The log the program runs with: the store at `store_path` (UTF-8; its
// folder is made), or, when there is none to use, a log that remembers
// nothing. Says once on `messages` why there is no memory, or where a
// damaged store was moved.
std::unique_ptr<DownloadLog> OpenDownloadLog(const std::string& store_path,
                                             std::ostream& messages);

}  // namespace wuqu::catalogue
