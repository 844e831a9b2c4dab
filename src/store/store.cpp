#include "store/store.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace wuqu::store {
namespace {

// Migrations, one per version: kMigrations[v] brings a file at version v to
// v + 1. A new layout adds an entry here and raises kSchemaVersion; entries
// are never changed once released.
constexpr const char* kMigrations[] = {
    // 0 -> 1: an empty file becomes the first layout.
    "CREATE TABLE batches("
    "  id INTEGER PRIMARY KEY,"
    "  created_ms INTEGER NOT NULL);"
    "CREATE TABLE downloads("
    "  id INTEGER PRIMARY KEY,"
    "  track BLOB NOT NULL,"
    "  media_url BLOB NOT NULL DEFAULT x'',"
    "  target BLOB NOT NULL DEFAULT x'',"
    "  size INTEGER NOT NULL DEFAULT -1,"
    "  phase INTEGER NOT NULL DEFAULT 0,"
    "  cause INTEGER NOT NULL DEFAULT 0,"
    "  http_status INTEGER NOT NULL DEFAULT 0,"
    "  batch INTEGER REFERENCES batches(id),"
    "  position INTEGER NOT NULL DEFAULT 0,"
    "  queued_ms INTEGER NOT NULL,"
    "  started_ms INTEGER NOT NULL DEFAULT 0,"
    "  ended_ms INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX downloads_by_track ON downloads(track, id);"
    "CREATE INDEX downloads_by_target ON downloads(target, id);"
    "CREATE INDEX downloads_unfinished ON downloads(id) WHERE phase < 2;",
    // 1 -> 2: the version of the server's file a download holds.
    "ALTER TABLE downloads ADD COLUMN etag BLOB NOT NULL DEFAULT x'';"
    "ALTER TABLE downloads ADD COLUMN last_modified BLOB NOT NULL DEFAULT x'';",
    // 2 -> 3: the track's title and category as the list showed them, whether
    // tags were written into its file, whether the user took it off the list
    // of downloads (the record still counts for the track); the user's settings; when each track of
    // a category was first listed, and when the category was first visited.
    "ALTER TABLE downloads ADD COLUMN title BLOB NOT NULL DEFAULT x'';"
    "ALTER TABLE downloads ADD COLUMN category BLOB NOT NULL DEFAULT x'';"
    "ALTER TABLE downloads ADD COLUMN tags INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE downloads ADD COLUMN removed INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE settings("
    "  name TEXT PRIMARY KEY,"
    "  value BLOB NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE category_visits("
    "  category BLOB PRIMARY KEY,"
    "  first_ms INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE listed_tracks("
    "  category BLOB NOT NULL,"
    "  track BLOB NOT NULL,"
    "  first_listed_ms INTEGER NOT NULL,"
    "  PRIMARY KEY(category, track)) WITHOUT ROWID;",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

constexpr const char* kColumns =
    "id, track, media_url, target, size, phase, cause, http_status, ifnull(batch, 0), position, "
    "queued_ms, started_ms, ended_ms, etag, last_modified, title, category, tags, removed";

DownloadRecord RecordAt(const Statement& s) {
  DownloadRecord r;
  r.id = s.Int(0);
  r.track = s.Bytes(1);
  r.media_url = s.Bytes(2);
  r.target = s.Bytes(3);
  r.size = s.Int(4);
  r.phase = static_cast<DownloadPhase>(s.Int(5));
  r.cause = static_cast<int>(s.Int(6));
  r.http_status = static_cast<int>(s.Int(7));
  r.batch = s.Int(8);
  r.position = static_cast<int>(s.Int(9));
  r.queued_ms = s.Int(10);
  r.started_ms = s.Int(11);
  r.ended_ms = s.Int(12);
  r.etag = s.Bytes(13);
  r.last_modified = s.Bytes(14);
  r.title = s.Bytes(15);
  r.category = s.Bytes(16);
  r.tags = static_cast<TagState>(s.Int(17));
  r.removed = s.Int(18) != 0;
  return r;
}

bool IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT;
}

OpenProblem ProblemOf(int code) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return OpenProblem::kLocked;
    case SQLITE_NOTADB:
      return OpenProblem::kNotADatabase;
    default:
      return OpenProblem::kCannotOpen;
  }
}

// "<path>.corrupt-20261210T143000", a number added while that name is taken.
std::string AsideName(const std::string& path) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
  std::string name = path + ".corrupt-" + stamp;
  std::error_code error;
  for (int n = 2; std::filesystem::exists(name, error); ++n) {
    name = path + ".corrupt-" + stamp + "-" + std::to_string(n);
  }
  return name;
}

struct Attempt {
  Database db;
  int code = SQLITE_OK;
  bool damaged = false;
  bool newer = false;
};

// One go at opening `path`: exclusive WAL, checked, migrated.
Attempt TryOpen(const std::string& path) {
  Attempt a;
  a.code = a.db.Open(path, true);
  if (a.code != SQLITE_OK) return a;
  // The lock of the other process is held for its whole run: waiting longer
  // would only hold up this window's start.
  sqlite3_busy_timeout(a.db.Handle(), 200);
  auto fail = [&a](int code) {
    a.code = code;
    a.damaged = IsDamage(code);
    return a.code;
  };
  // Exclusive: the lock taken by the first write below stays until the
  // connection closes, so a second window is refused rather than let in to
  // start the same downloads again. It also keeps WAL's index in memory.
  if (a.db.Execute("PRAGMA locking_mode=EXCLUSIVE") != SQLITE_OK) {
    fail(a.db.ExtendedErrorCode());
    return a;
  }
  // A newer program's file is left exactly as it is: looked at before
  // anything (the journal mode among them) is changed.
  {
    Statement version(a.db.Handle(), "PRAGMA user_version");
    if (version.Step() != SQLITE_ROW) {
      fail(a.db.ExtendedErrorCode());
      return a;
    }
    if (version.Int(0) > kSchemaVersion || version.Int(0) < 0) {
      a.newer = true;
      return a;
    }
  }
  {
    Statement wal(a.db.Handle(), "PRAGMA journal_mode=WAL");
    const int rc = wal.Step();
    if (rc != SQLITE_ROW) {
      fail(a.db.ExtendedErrorCode());
      return a;
    }
    if (wal.Bytes(0) != "wal") {
      fail(SQLITE_CANTOPEN);
      return a;
    }
  }
  if (a.db.Execute("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON") != SQLITE_OK) {
    fail(a.db.ExtendedErrorCode());
    return a;
  }
  Transaction transaction(a.db);
  if (!transaction.Began()) {
    fail(a.db.ExtendedErrorCode());
    return a;
  }
  {
    Statement check(a.db.Handle(), "PRAGMA quick_check");
    const int rc = check.Step();
    if (rc != SQLITE_ROW) {
      fail(a.db.ExtendedErrorCode());
      return a;
    }
    if (check.Bytes(0) != "ok") {
      fail(SQLITE_CORRUPT);
      return a;
    }
  }
  const std::optional<std::int64_t> version = a.db.QueryInt("PRAGMA user_version");
  if (!version) {
    fail(a.db.ExtendedErrorCode());
    return a;
  }
  if (*version > kSchemaVersion || *version < 0) {
    a.newer = true;
    return a;
  }
  for (int v = static_cast<int>(*version); v < kSchemaVersion; ++v) {
    if (a.db.Execute(kMigrations[v]) != SQLITE_OK) {
      fail(a.db.ExtendedErrorCode());
      return a;
    }
  }
  if (*version != kSchemaVersion &&
      a.db.Execute("PRAGMA user_version=" + std::to_string(kSchemaVersion)) != SQLITE_OK) {
    fail(a.db.ExtendedErrorCode());
    return a;
  }
  if (!transaction.Commit()) fail(a.db.ExtendedErrorCode());
  return a;
}

}  // namespace

const char* MigrationFrom(int from) {
  return from >= 0 && from < kSchemaVersion ? kMigrations[from] : nullptr;
}

std::int64_t Store::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

OpenResult Store::Open(const std::string& path) {
  OpenResult result;
  Attempt a = TryOpen(path);
  if (a.damaged) {
    a.db.Close();
    const std::string aside = AsideName(path);
    std::error_code error;
    std::filesystem::rename(path, aside, error);
    if (error) {
      result.problem = OpenProblem::kCannotOpen;
      result.detail = "cannot move the damaged file aside: " + error.message();
      return result;
    }
    // Its log belongs to it, and must not be replayed into the fresh file.
    for (const char* suffix : {"-wal", "-shm"}) {
      std::error_code ignored;
      if (std::filesystem::exists(path + suffix, ignored)) {
        std::filesystem::rename(path + suffix, aside + suffix, ignored);
      }
    }
    result.moved_to = aside;
    a = TryOpen(path);
    if (a.code == SQLITE_OK && !a.newer) result.problem = OpenProblem::kMovedAside;
  }
  if (a.newer) {
    result.problem = OpenProblem::kNewerLayout;
    result.detail = "written by a newer program";
    return result;
  }
  if (a.code != SQLITE_OK) {
    result.problem = ProblemOf(a.code);
    result.detail = a.db.Handle() != nullptr ? a.db.LastError() : sqlite3_errstr(a.code);
    return result;
  }
  std::unique_ptr<Store> store(new Store(std::move(a.db)));
  if (!store->Prepare()) {
    result.problem = OpenProblem::kCannotOpen;
    result.detail = store->db_.LastError();
    return result;
  }
  result.store = std::move(store);
  return result;
}

Store::Store(Database db) : db_(std::move(db)) {}

Store::~Store() = default;

bool Store::Prepare() {
  sqlite3* db = db_.Handle();
  const std::string columns = kColumns;
  insert_batch_ = Statement(db, "INSERT INTO batches(created_ms) VALUES(?1)");
  insert_download_ = Statement(
      db, "INSERT INTO downloads(track, batch, position, queued_ms) VALUES(?1, nullif(?2, 0), ?3, ?4)");
  // A download started again names its version anew.
  mark_running_ = Statement(db,
                            "UPDATE downloads SET phase=1, media_url=?2, target=?3, started_ms=?4, "
                            "etag=x'', last_modified=x'' WHERE id=?1");
  mark_size_ = Statement(db, "UPDATE downloads SET size=?2 WHERE id=?1 AND phase=1");
  mark_validators_ =
      Statement(db, "UPDATE downloads SET etag=?2, last_modified=?3 WHERE id=?1 AND phase=1");
  mark_complete_ =
      Statement(db, "UPDATE downloads SET phase=2, size=?2, ended_ms=?3 WHERE id=?1");
  mark_failed_ = Statement(
      db, "UPDATE downloads SET phase=3, cause=?2, http_status=?3, ended_ms=?4 WHERE id=?1");
  mark_already_ = Statement(db,
                            "UPDATE downloads SET phase=2, media_url=?2, target=?3, size=?4, "
                            "started_ms=?5, ended_ms=?5 WHERE id=?1");
  // A download whose file a later one has taken over goes on in that one.
  unfinished_ = Statement(db, "SELECT " + columns +
                                  " FROM downloads AS d WHERE phase < 2 AND NOT EXISTS "
                                  "(SELECT 1 FROM downloads AS n WHERE n.target = d.target "
                                  "AND n.id > d.id AND n.phase > 0 AND d.phase > 0) ORDER BY id");
  last_of_ = Statement(
      db, "SELECT " + columns +
          " FROM downloads WHERE track=?1 AND phase > 0 AND phase <> 5 "
          "AND NOT (phase = 4 AND started_ms = 0) ORDER BY id DESC LIMIT 1");
  find_ = Statement(db, "SELECT " + columns + " FROM downloads WHERE id=?1");
  last_to_write_ =
      Statement(db, "SELECT count(*) FROM downloads WHERE target=?2 AND id>?1 AND phase>0");
  insert_titled_ = Statement(db,
                             "INSERT INTO downloads(track, batch, position, queued_ms, title, category) "
                             "VALUES(?1, nullif(?2, 0), ?3, ?4, ?5, ?6)");
  mark_paused_ = Statement(db, "UPDATE downloads SET phase=4 WHERE id=?1 AND phase IN (0, 1)");
  mark_cancelled_ =
      Statement(db, "UPDATE downloads SET phase=5, ended_ms=?2 WHERE id=?1 AND phase IN (0, 1, 4)");
  mark_queued_again_ = Statement(db,
                                 "UPDATE downloads SET phase=0, cause=0, http_status=0, ended_ms=0, "
                                 "removed=0 WHERE id=?1 AND phase IN (3, 4, 5)");
  mark_removed_ =
      Statement(db, "UPDATE downloads SET removed=1 WHERE id=?1 AND phase IN (2, 3, 5)");
  if (!insert_titled_.Ok() || !mark_paused_.Ok() || !mark_cancelled_.Ok() ||
      !mark_queued_again_.Ok() || !mark_removed_.Ok()) {
    return false;
  }
  return insert_batch_.Ok() && insert_download_.Ok() && mark_running_.Ok() && mark_size_.Ok() &&
         mark_validators_.Ok() && mark_complete_.Ok() && mark_failed_.Ok() && mark_already_.Ok() && unfinished_.Ok() &&
         last_of_.Ok() && last_to_write_.Ok() && find_.Ok();
}

// One statement, one transaction: autocommit.
bool Store::Change(Statement& statement) {
  const int rc = statement.Step();
  const bool changed = rc == SQLITE_DONE && sqlite3_changes(db_.Handle()) == 1;
  statement.Reset();
  return changed;
}

std::vector<std::int64_t> Store::AddDownloads(const std::vector<std::string>& tracks,
                                              bool as_batch) {
  std::vector<NewDownload> downloads;
  downloads.reserve(tracks.size());
  for (const std::string& track : tracks) downloads.push_back({track, {}, {}});
  return AddTitledDownloads(downloads, as_batch);
}

std::vector<std::int64_t> Store::AddTitledDownloads(const std::vector<NewDownload>& tracks,
                                              bool as_batch) {
  std::vector<std::int64_t> ids;
  if (tracks.empty()) return ids;
  const std::int64_t now = NowMs();
  Transaction transaction(db_);
  if (!transaction.Began()) return {};
  std::int64_t batch = 0;
  if (as_batch) {
    insert_batch_.Bind(1, now);
    const int rc = insert_batch_.Step();
    insert_batch_.Reset();
    if (rc != SQLITE_DONE) return {};
    batch = sqlite3_last_insert_rowid(db_.Handle());
  }
  ids.reserve(tracks.size());
  int position = 0;
  for (const NewDownload& track : tracks) {
    insert_titled_.BindBytes(1, track.track)
        .Bind(2, batch)
        .Bind(3, as_batch ? ++position : 0)
        .Bind(4, now)
        .BindBytes(5, track.title)
        .BindBytes(6, track.category);
    const int rc = insert_titled_.Step();
    insert_titled_.Reset();
    if (rc != SQLITE_DONE) return {};
    ids.push_back(sqlite3_last_insert_rowid(db_.Handle()));
  }
  if (!transaction.Commit()) return {};
  return ids;
}

bool Store::MarkRunning(std::int64_t id, const std::string& media_url, const std::string& target) {
  mark_running_.Bind(1, id).BindBytes(2, media_url).BindBytes(3, target).Bind(4, NowMs());
  return Change(mark_running_);
}

bool Store::MarkSize(std::int64_t id, std::int64_t size) {
  mark_size_.Bind(1, id).Bind(2, size);
  return Change(mark_size_);
}

bool Store::MarkValidators(std::int64_t id, const std::string& etag,
                           const std::string& last_modified) {
  mark_validators_.Bind(1, id).BindBytes(2, etag).BindBytes(3, last_modified);
  return Change(mark_validators_);
}

bool Store::MarkComplete(std::int64_t id, std::int64_t size) {
  mark_complete_.Bind(1, id).Bind(2, size).Bind(3, NowMs());
  return Change(mark_complete_);
}

bool Store::MarkFailed(std::int64_t id, int cause, int http_status) {
  mark_failed_.Bind(1, id).Bind(2, cause).Bind(3, http_status).Bind(4, NowMs());
  return Change(mark_failed_);
}

bool Store::MarkAlreadyThere(std::int64_t id, const std::string& media_url,
                             const std::string& target, std::int64_t size) {
  mark_already_.Bind(1, id).BindBytes(2, media_url).BindBytes(3, target).Bind(4, size).Bind(5, NowMs());
  return Change(mark_already_);
}

std::vector<DownloadRecord> Store::Unfinished() {
  std::vector<DownloadRecord> records;
  while (unfinished_.Step() == SQLITE_ROW) records.push_back(RecordAt(unfinished_));
  unfinished_.Reset();
  return records;
}

std::vector<DownloadRecord> Store::Listed() {
  Statement listed(db_.Handle(),
                   std::string("SELECT ") + kColumns + " FROM downloads WHERE removed = 0 ORDER BY id");
  std::vector<DownloadRecord> records;
  while (listed.Step() == SQLITE_ROW) records.push_back(RecordAt(listed));
  return records;
}

bool Store::MarkPaused(std::int64_t id) {
  mark_paused_.Bind(1, id);
  return Change(mark_paused_);
}

bool Store::MarkCancelled(std::int64_t id) {
  mark_cancelled_.Bind(1, id).Bind(2, NowMs());
  return Change(mark_cancelled_);
}

bool Store::MarkQueuedAgain(std::int64_t id) {
  mark_queued_again_.Bind(1, id);
  return Change(mark_queued_again_);
}

bool Store::MarkRemoved(std::int64_t id) {
  mark_removed_.Bind(1, id);
  return Change(mark_removed_);
}

int Store::CancelBatch(std::int64_t batch) {
  Statement cancel(db_.Handle(),
                   "UPDATE downloads SET phase=5, ended_ms=?2 WHERE batch=?1 AND phase IN (0, 1, 4)");
  cancel.Bind(1, batch).Bind(2, NowMs());
  if (cancel.Step() != SQLITE_DONE) return -1;
  return sqlite3_changes(db_.Handle());
}

int Store::ChangeMany(Statement& statement, const std::vector<std::int64_t>& ids, bool stamp) {
  Transaction transaction(db_);
  if (!transaction.Began()) return -1;
  const std::int64_t now = NowMs();
  int changed = 0;
  for (const std::int64_t id : ids) {
    statement.Bind(1, id);
    if (stamp) statement.Bind(2, now);
    const int rc = statement.Step();
    statement.Reset();
    if (rc != SQLITE_DONE) return -1;
    changed += sqlite3_changes(db_.Handle());
  }
  return transaction.Commit() ? changed : -1;
}

int Store::MarkManyCancelled(const std::vector<std::int64_t>& ids) {
  return ChangeMany(mark_cancelled_, ids, true);
}

int Store::MarkManyRemoved(const std::vector<std::int64_t>& ids) {
  return ChangeMany(mark_removed_, ids, false);
}

int Store::RemoveEnded() {
  Statement remove(db_.Handle(),
                   "UPDATE downloads SET removed=1 WHERE removed=0 AND phase IN (2, 3, 5)");
  if (remove.Step() != SQLITE_DONE) return -1;
  return sqlite3_changes(db_.Handle());
}

std::optional<DownloadRecord> Store::LastOf(const std::string& track) {
  last_of_.BindBytes(1, track);
  std::optional<DownloadRecord> record;
  if (last_of_.Step() == SQLITE_ROW) record = RecordAt(last_of_);
  last_of_.Reset();
  return record;
}

std::optional<DownloadRecord> Store::Find(std::int64_t id) {
  find_.Bind(1, id);
  std::optional<DownloadRecord> record;
  if (find_.Step() == SQLITE_ROW) record = RecordAt(find_);
  find_.Reset();
  return record;
}

bool Store::LastToWrite(std::int64_t id, const std::string& target) {
  last_to_write_.Bind(1, id).BindBytes(2, target);
  const bool last = last_to_write_.Step() == SQLITE_ROW && last_to_write_.Int(0) == 0;
  last_to_write_.Reset();
  return last;
}

std::vector<DownloadRecord> Store::LastOfEveryTrack() {
  Statement all(db_.Handle(), std::string("SELECT ") + kColumns +
                                  " FROM downloads WHERE id IN "
                                  "(SELECT max(id) FROM downloads WHERE phase > 0 AND phase <> 5 "
                                  "AND NOT (phase = 4 AND started_ms = 0) GROUP BY track)");
  std::vector<DownloadRecord> records;
  while (all.Step() == SQLITE_ROW) records.push_back(RecordAt(all));
  return records;
}

std::optional<std::string> Store::Setting(const std::string& name) {
  Statement read(db_.Handle(), "SELECT value FROM settings WHERE name=?1");
  read.BindText(1, name);
  std::optional<std::string> value;
  if (read.Step() == SQLITE_ROW) value = read.Bytes(0);
  return value;
}

bool Store::SetSetting(const std::string& name, const std::string& value) {
  Statement write(db_.Handle(), "INSERT OR REPLACE INTO settings(name, value) VALUES(?1, ?2)");
  write.BindText(1, name).BindBytes(2, value);
  return Change(write);
}

std::int64_t Store::Count() {
  return db_.QueryInt("SELECT count(*) FROM downloads").value_or(0);
}

}  // namespace wuqu::store
