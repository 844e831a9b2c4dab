#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/sqlite_db.h"

// What the program remembers between runs: every download the user asked
// for, with where it stands, and the batches they came in. One SQLite file
// in WAL mode, held by one process at a time (a second one is refused, never
// shares it), its layout versioned in user_version and brought up to date
// when it is opened. Each change is one transaction, durable when the call
// returns. The store knows nothing of what its texts mean: they are kept
// byte for byte as given.
namespace wuqu::store {

// The layout this program writes; user_version of a current file.
inline constexpr int kSchemaVersion = 3;

enum class DownloadPhase : int {
  kQueued = 0,    // asked for, not started yet
  kRunning = 1,   // handed to the downloader
  kComplete = 2,  // the file holds every byte
  kFailed = 3,    // ended for good, with a cause
  kPaused = 4,    // stopped by the user, its partial file and record kept
  kCancelled = 5, // taken back by the user; never started again by itself
};

// Whether the program wrote a complete file's tags (title, album, comment).
enum class TagState : int {
  kNotTagged = 0,  // not tried: not complete yet, or writing tags was off
  kTagged = 1,     // written; the record's size is the tagged file's
  kNoTags = 2,     // the file could not be read as MP4: left as the server sent it
};

struct DownloadRecord {
  std::int64_t id = 0;
  std::string track;      // what names the track to its user (a play page)
  std::string media_url;  // the address the bytes come from, once known
  std::string target;     // the file, once known
  std::int64_t size = -1;  // the file's size once known
  DownloadPhase phase = DownloadPhase::kQueued;
  int cause = 0;  // the downloader's failure cause, for a failure
  int http_status = 0;
  std::int64_t batch = 0;  // 0: asked for alone
  int position = 0;        // in its batch, from 1
  std::int64_t queued_ms = 0;  // milliseconds since the epoch
  std::int64_t started_ms = 0;
  std::int64_t ended_ms = 0;
  // What named the version of the server's file it holds, as the server
  // sent them (empty when unknown, or when the server named none).
  std::string etag;
  std::string last_modified;
  // The track's title and category as the list showed them (program text).
  std::string title;
  std::string category;
  TagState tags = TagState::kNotTagged;
  // Taken off the downloads list by the user; the record still counts for
  // its track (its file stays known as downloaded).
  bool removed = false;
};

// Why a store was not opened as it stands.
enum class OpenProblem {
  kNone,
  kCannotOpen,     // the folder or file cannot be made, read or written
  kLocked,         // another process holds it
  kNotADatabase,   // the file is something else; left as it is
  kNewerLayout,    // written by a newer program; left as it is
  kMovedAside,     // it was damaged: moved aside, and a fresh one made
};

class Store;

struct OpenResult {
  std::unique_ptr<Store> store;  // null when there is no store to use
  OpenProblem problem = OpenProblem::kNone;
  std::string detail;       // SQLite's words, for a message
  std::string moved_to;     // where a damaged file went
};

class Store {
 public:
  // Opens, or makes, the store at the UTF-8 path `path` (its folder must
  // exist). A damaged file is renamed "<path>.corrupt-<time>" (its WAL
  // beside it likewise) and a fresh one made in its place.
  static OpenResult Open(const std::string& path);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Tracks asked for together: a new batch when `as_batch`, each a queued
  // download at its position from 1; else one download per track outside
  // any batch. The records' ids in order; empty when nothing was written.
  std::vector<std::int64_t> AddDownloads(const std::vector<std::string>& tracks, bool as_batch);
  // The same, each record with the track's title and category as the list
  // showed them.
  struct NewDownload {
    std::string track;
    std::string title;
    std::string category;
  };
  std::vector<std::int64_t> AddTitledDownloads(const std::vector<NewDownload>& downloads, bool as_batch);
  bool MarkRunning(std::int64_t id, const std::string& media_url, const std::string& target);
  // The size of a running download's file, once known.
  bool MarkSize(std::int64_t id, std::int64_t size);
  // The ETag and Last-Modified of the version a running download holds,
  // once known.
  bool MarkValidators(std::int64_t id, const std::string& etag, const std::string& last_modified);
  bool MarkComplete(std::int64_t id, std::int64_t size);
  bool MarkFailed(std::int64_t id, int cause, int http_status);
  // The media address, target and size of a download that ended complete
  // without being fetched (its file was there already).
  bool MarkAlreadyThere(std::int64_t id, const std::string& media_url, const std::string& target,
                        std::int64_t size);

  // The user's word. Paused: a queued or running download stops, its
  // partial file kept; start-up leaves it as it is. Cancelled: a queued,
  // running or paused one is taken back for good. Queued again: a paused,
  // failed or cancelled one is asked for anew (resume, retry), its cause
  // forgotten. Each false when the download is not in a phase it applies to.
  bool MarkPaused(std::int64_t id);
  bool MarkCancelled(std::int64_t id);
  bool MarkQueuedAgain(std::int64_t id);
  // Every download of `batch` still queued, running or paused is cancelled
  // (one transaction); how many were.
  int CancelBatch(std::int64_t batch);
  // An ended download (complete, failed or cancelled) off the user's list;
  // the record stays and still counts for its track (LastOf, the marks).
  bool MarkRemoved(std::int64_t id);
  // Every ended download off the list at once; how many went.
  int RemoveEnded();
  // MarkCancelled and MarkRemoved for many downloads in one transaction;
  // how many changed, -1 when nothing could be written.
  int MarkManyCancelled(const std::vector<std::int64_t>& ids);
  int MarkManyRemoved(const std::vector<std::int64_t>& ids);

  // Queued and running downloads, in the order they were asked for; not a
  // running one whose file a later download has named since. Never a paused
  // or cancelled one: start-up takes up exactly these.
  std::vector<DownloadRecord> Unfinished();
  // Every download on the user's list (not removed), oldest first: what
  // start-up lists.
  std::vector<DownloadRecord> Listed();
  // The newest record of `track` that went further than the queue (a
  // download paused before it started did not) and was not cancelled: its
  // last download. nullopt when it has none. Removed ones
  // count.
  std::optional<DownloadRecord> LastOf(const std::string& track);
  std::optional<DownloadRecord> Find(std::int64_t id);
  // Whether no download newer than `id` has named the same target file.
  bool LastToWrite(std::int64_t id, const std::string& target);
  // The last download (as LastOf) of each track that has one, for marking
  // many rows at once.
  std::vector<DownloadRecord> LastOfEveryTrack();
  std::int64_t Count();

  // The user's settings, by name: the value last set, nullopt for one never
  // set (the caller's default holds) or when it cannot be read.
  std::optional<std::string> Setting(const std::string& name);
  bool SetSetting(const std::string& name, const std::string& value);

  // The milliseconds since the epoch stamped on changes; tests may fix it.
  static std::int64_t NowMs();

 private:
  explicit Store(Database db);
  bool Prepare();
  bool Change(Statement& statement);
  int ChangeMany(Statement& statement, const std::vector<std::int64_t>& ids, bool stamp);

  Database db_;
  Statement insert_batch_;
  Statement insert_download_;
  Statement mark_running_;
  Statement mark_size_;
  Statement mark_validators_;
  Statement mark_complete_;
  Statement mark_failed_;
  Statement mark_already_;
  Statement unfinished_;
  Statement last_of_;
  Statement last_to_write_;
  Statement find_;
  Statement insert_titled_;
  Statement mark_paused_;
  Statement mark_cancelled_;
  Statement mark_queued_again_;
  Statement mark_removed_;
};

// What one pass of each migration does, from the version it starts at: the
// statement list that brings a file at version `from` to `from` + 1.
// Exposed for the tests that build files at every earlier version.
const char* MigrationFrom(int from);

}  // namespace wuqu::store
