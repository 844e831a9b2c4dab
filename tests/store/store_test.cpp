// The store on real files in a scratch folder: how each kind of file is
// opened, what a record keeps, and what a writer killed between two writes
// leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "store/store.h"
#include "store/store_path.h"

namespace wuqu::store {
namespace {

namespace fs = std::filesystem;

class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("wuqu_store_" + std::to_string(::getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = (folder_ / "wuqu.sqlite").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::vector<std::string> Contents() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path folder_;
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs `sql` on the file through a connection of SQLite's own.
void RawExecute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::int64_t RawInt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  std::int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    value = sqlite3_column_int64(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return value;
}

// A store with a little in it, closed again.
void MakeStoreWithRecords(const std::string& path, int batches) {
  OpenResult opened = Store::Open(path);
  ASSERT_TRUE(opened.store) << opened.detail;
  for (int i = 0; i < batches; ++i) {
    const auto ids = opened.store->AddDownloads({"a" + std::to_string(i), "b" + std::to_string(i)}, true);
    ASSERT_EQ(ids.size(), 2u);
    ASSERT_TRUE(opened.store->MarkRunning(ids[0], "http://m/a.mp4", "/d/a.mp4"));
    ASSERT_TRUE(opened.store->MarkComplete(ids[0], 1000 + i));
  }
}

// Every kind of file the store may find at its path, and what opening it
// gives: a usable store or none, and what became of the file.
TEST_F(StoreTest, OpeningEachKindOfFile) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    OpenProblem problem;
    bool usable;
    bool file_untouched;  // the bytes found are still there, unchanged
  };
  const std::vector<Case> cases = {
      {"no file yet", [](const std::string&) {}, OpenProblem::kNone, true, false},
      {"an empty file", [](const std::string& p) { WriteAll(p, ""); }, OpenProblem::kNone, true,
       false},
      {"a store of ours", [](const std::string& p) { MakeStoreWithRecords(p, 3); },
       OpenProblem::kNone, true, false},
      {"text, not a database",
       [](const std::string& p) { WriteAll(p, std::string(8192, 'x') + "my notes\n"); },
       OpenProblem::kNotADatabase, false, true},
      {"a newer program's layout",
       [](const std::string& p) {
         RawExecute(p, "CREATE TABLE future(x); PRAGMA user_version=99");
       },
       OpenProblem::kNewerLayout, false, true},
      {"damaged pages behind a good header",
       [](const std::string& p) {
         MakeStoreWithRecords(p, 200);
         std::string bytes = ReadAll(p);
         ASSERT_GT(bytes.size(), 3 * 4096u);
         for (std::size_t i = 4096 + 100; i < bytes.size(); i += 7) bytes[i] = '\x5a';
         WriteAll(p, bytes);
       },
       OpenProblem::kMovedAside, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    c.make(path_);
    const std::string before = fs::exists(path_) ? ReadAll(path_) : "";
    OpenResult opened = Store::Open(path_);
    EXPECT_EQ(opened.problem, c.problem) << opened.detail;
    EXPECT_EQ(opened.store != nullptr, c.usable);
    if (c.file_untouched) {
      EXPECT_TRUE(ReadAll(path_) == before);
      EXPECT_EQ(Contents(), std::vector<std::string>{"wuqu.sqlite"});
    }
    if (c.problem == OpenProblem::kMovedAside) {
      ASSERT_FALSE(opened.moved_to.empty());
      EXPECT_EQ(fs::path(opened.moved_to).parent_path(), folder_);
      EXPECT_EQ(fs::path(opened.moved_to).filename().string().rfind("wuqu.sqlite.corrupt-", 0), 0u);
      EXPECT_TRUE(ReadAll(opened.moved_to) == before);
      EXPECT_EQ(opened.store->Count(), 0);
    }
    if (!opened.store) continue;
    // A usable store is WAL, current, and keeps a write.
    const auto ids = opened.store->AddDownloads({"t"}, false);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_TRUE(opened.store->MarkFailed(ids[0], 2, 404));
    opened.store.reset();
    EXPECT_EQ(RawInt(path_, "PRAGMA user_version"), kSchemaVersion);
    EXPECT_EQ(RawInt(path_, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode='wal'"), 1);
    EXPECT_EQ(RawInt(path_, "SELECT http_status FROM downloads WHERE track=x'74'"), 404);
  }
}

// Places the store cannot be made: nothing is opened, nothing is written,
// and the answer comes at once.
TEST_F(StoreTest, AFolderThatTakesNoFilesGivesNoStore) {
  WriteAll((folder_ / "a-file").string(), "x");
  for (const std::string& path :
       {std::string("/proc/wuqu-store-test/wuqu.sqlite"), std::string("/proc/wuqu.sqlite"),
        (folder_ / "a-file" / "wuqu.sqlite").string()}) {
    SCOPED_TRACE(path);
    OpenResult opened = Store::Open(path);
    EXPECT_EQ(opened.store, nullptr);
    EXPECT_EQ(opened.problem, OpenProblem::kCannotOpen);
  }
  EXPECT_FALSE(MakeStoreFolder("/proc/wuqu-store-test/wuqu.sqlite"));
}

// Each file at every earlier layout is brought to the current one with
// what it held kept.
TEST_F(StoreTest, MigratesFromEveryEarlierLayout) {
  for (int from = 0; from < kSchemaVersion; ++from) {
    SCOPED_TRACE(from);
    fs::remove(path_);
    std::string sql = "PRAGMA user_version=" + std::to_string(from) + ";";
    for (int v = 0; v < from; ++v) sql += MigrationFrom(v);
    sql += "CREATE TABLE notes_of_the_user(x); INSERT INTO notes_of_the_user VALUES(7);";
    // From the first layout on, a download it remembers, in the columns
    // every layout has.
    if (from >= 1) {
      sql +=
          "INSERT INTO batches VALUES(1, 5);"
          "INSERT INTO downloads(track, media_url, target, size, phase, cause, http_status, "
          "batch, position, queued_ms, started_ms, ended_ms) "
          "VALUES(x'CEE8', 'http://m/a.mp4', '/d/a.mp4', 42, 3, 6, 404, 1, 1, 10, 11, 12);";
    }
    RawExecute(path_, sql);
    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store) << opened.detail;
    EXPECT_EQ(opened.problem, OpenProblem::kNone);
    if (from >= 1) {
      const auto kept = opened.store->LastOf("\xCE\xE8");
      ASSERT_TRUE(kept);
      EXPECT_EQ(kept->media_url, "http://m/a.mp4");
      EXPECT_EQ(kept->target, "/d/a.mp4");
      EXPECT_EQ(kept->size, 42);
      EXPECT_EQ(kept->phase, DownloadPhase::kFailed);
      EXPECT_EQ(kept->cause, 6);
      EXPECT_EQ(kept->http_status, 404);
      EXPECT_EQ(kept->batch, 1);
      EXPECT_EQ(kept->position, 1);
      EXPECT_EQ(kept->ended_ms, 12);
      EXPECT_EQ(kept->etag, "");  // not known of a download of an older layout
      EXPECT_EQ(kept->last_modified, "");
      // Nor its title, category or tags; it stays on the downloads list.
      EXPECT_EQ(kept->title, "");
      EXPECT_EQ(kept->category, "");
      EXPECT_EQ(kept->tags, TagState::kNotTagged);
      EXPECT_FALSE(kept->removed);
    }
    EXPECT_EQ(opened.store->Setting("write_tags"), std::nullopt);
    EXPECT_EQ(opened.store->AddDownloads({"x", "y"}, true).size(), 2u);
    opened.store.reset();
    EXPECT_EQ(RawInt(path_, "PRAGMA user_version"), kSchemaVersion);
    EXPECT_EQ(RawInt(path_, "SELECT x FROM notes_of_the_user"), 7);
  }
  EXPECT_EQ(MigrationFrom(kSchemaVersion), nullptr);
}

// One program holds the store: a second opening while it does is refused,
// promptly, as is one while another connection holds a write lock; once
// the first has closed, the next opening finds what it wrote.
TEST_F(StoreTest, ASecondHolderIsRefused) {
  OpenResult first = Store::Open(path_);
  ASSERT_TRUE(first.store);
  const auto ids = first.store->AddDownloads({"one"}, false);
  ASSERT_EQ(ids.size(), 1u);

  const auto before = std::chrono::steady_clock::now();
  OpenResult second = Store::Open(path_);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_EQ(second.store, nullptr);
  EXPECT_EQ(second.problem, OpenProblem::kLocked) << second.detail;
  // The first goes on writing.
  EXPECT_TRUE(first.store->MarkRunning(ids[0], "u", "/t"));
  first.store.reset();

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  OpenResult while_locked = Store::Open(path_);
  EXPECT_EQ(while_locked.store, nullptr);
  EXPECT_EQ(while_locked.problem, OpenProblem::kLocked) << while_locked.detail;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  OpenResult third = Store::Open(path_);
  ASSERT_TRUE(third.store);
  const auto last = third.store->LastOf("one");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->phase, DownloadPhase::kRunning);
  EXPECT_EQ(last->target, "/t");
}

// What the records keep, and the questions asked of them: the unfinished
// downloads in the order they were asked for, a track's newest record,
// and whether a later download has named the same file.
TEST_F(StoreTest, RecordsAndTheirQuestions) {
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& s = *opened.store;
  const std::string gbk_track = "http://h/m/\xCE\xE8/";  // bytes, kept as they are
  const auto batch = s.AddDownloads({gbk_track, "p2", "p3"}, true);
  ASSERT_EQ(batch.size(), 3u);
  const auto single = s.AddDownloads({"p4"}, false);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_TRUE(s.MarkRunning(batch[0], "http://m/a.mp4", "/d/a.mp4"));
  EXPECT_TRUE(s.MarkComplete(batch[0], 1234));
  EXPECT_TRUE(s.MarkRunning(batch[1], "http://m/b.mp4", "/d/b.mp4"));
  EXPECT_TRUE(s.MarkRunning(single[0], "http://m/d.mp4", "/d/d.mp4"));
  EXPECT_FALSE(s.MarkComplete(999, 1));  // no such record

  std::vector<std::string> unfinished;
  for (const DownloadRecord& r : s.Unfinished()) unfinished.push_back(r.track);
  EXPECT_EQ(unfinished, (std::vector<std::string>{"p2", "p3", "p4"}));
  const auto first = s.LastOf(gbk_track);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->phase, DownloadPhase::kComplete);
  EXPECT_EQ(first->size, 1234);
  EXPECT_EQ(first->batch, s.Unfinished()[0].batch);
  EXPECT_EQ(first->position, 1);
  EXPECT_EQ(s.Unfinished()[2].batch, 0);
  EXPECT_GE(first->ended_ms, first->started_ms);
  EXPECT_FALSE(s.LastOf("never"));

  // The same track again: its newest record speaks for it.
  const auto again = s.AddDownloads({gbk_track}, false);
  EXPECT_TRUE(s.MarkFailed(again[0], 6, 0));
  EXPECT_EQ(s.LastOf(gbk_track)->phase, DownloadPhase::kFailed);
  EXPECT_EQ(s.LastOf(gbk_track)->cause, 6);

  // Another track to the same file takes it over.
  EXPECT_TRUE(s.LastToWrite(batch[0], "/d/a.mp4"));
  EXPECT_TRUE(s.MarkRunning(batch[2], "http://m/other/a.mp4", "/d/a.mp4"));
  EXPECT_FALSE(s.LastToWrite(batch[0], "/d/a.mp4"));
  EXPECT_TRUE(s.LastToWrite(batch[2], "/d/a.mp4"));

  std::map<std::string, DownloadPhase> last;
  for (const DownloadRecord& r : s.LastOfEveryTrack()) last[r.track] = r.phase;
  EXPECT_EQ(last.size(), 4u);
  EXPECT_EQ(last[gbk_track], DownloadPhase::kFailed);
  EXPECT_EQ(last["p3"], DownloadPhase::kRunning);
}

// The version of the server's file a download holds: written while it runs
// (kept byte for byte), read back with its record in a later run, kept when
// it completes, and forgotten when the download is started again until it
// names its version anew. A download not running takes none.
// A setting reads back as last set, byte for byte, across a reopen; one
// never set has no value, so the caller's default holds.
TEST_F(StoreTest, SettingsKeepTheirLastValue) {
  {
    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store);
    EXPECT_EQ(opened.store->Setting("write_tags"), std::nullopt);
    EXPECT_TRUE(opened.store->SetSetting("write_tags", "1"));
    EXPECT_TRUE(opened.store->SetSetting("write_tags", "0"));
    EXPECT_TRUE(opened.store->SetSetting("folder", std::string("\xCF\xC2\0x", 4)));
  }
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  EXPECT_EQ(opened.store->Setting("write_tags"), "0");
  EXPECT_EQ(opened.store->Setting("folder"), std::string("\xCF\xC2\0x", 4));
  EXPECT_EQ(opened.store->Setting("Write_tags"), std::nullopt);
}

TEST_F(StoreTest, ValidatorsOfARunningDownload) {
  const std::string etag = "W/\"s2dc6c0-\x01\xCE\"";
  const std::string modified = "Mon, 01 Jan 2024 00:00:00 GMT";
  std::int64_t id = 0;
  {
    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store);
    Store& s = *opened.store;
    id = s.AddDownloads({"p1"}, false).at(0);
    EXPECT_FALSE(s.MarkValidators(id, etag, modified));  // queued
    EXPECT_EQ(s.Find(id)->etag, "");
    EXPECT_TRUE(s.MarkRunning(id, "http://m/a.mp4", "/d/a.mp4"));
    EXPECT_TRUE(s.MarkValidators(id, etag, modified));
  }
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& s = *opened.store;
  ASSERT_EQ(s.Unfinished().size(), 1u);
  EXPECT_EQ(s.Unfinished()[0].etag, etag);
  EXPECT_EQ(s.Unfinished()[0].last_modified, modified);

  EXPECT_TRUE(s.MarkRunning(id, "http://m/a.mp4", "/d/a.mp4"));
  EXPECT_EQ(s.Find(id)->etag, "");
  EXPECT_EQ(s.Find(id)->last_modified, "");
  EXPECT_TRUE(s.MarkValidators(id, "", modified));  // a server that sends no ETag
  EXPECT_TRUE(s.MarkComplete(id, 1234));
  EXPECT_FALSE(s.MarkValidators(id, "\"late\"", ""));
  const auto last = s.LastOf("p1");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->etag, "");
  EXPECT_EQ(last->last_modified, modified);
  EXPECT_EQ(s.LastOfEveryTrack().at(0).last_modified, modified);
}

// A writer killed with SIGKILL at different moments: the store opens
// without damage, every change that had returned is there, and no change
// is there in part (a batch has all its tracks or none).
TEST_F(StoreTest, AWriterKilledBetweenWritesLeavesEveryReturnedChange) {
  for (const int rounds : {1, 9, 40}) {
    SCOPED_TRACE(rounds);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execl(WUQU_STORE_CHILD, WUQU_STORE_CHILD, path_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    int reported = 0;
    char line[64];
    while (reported < rounds && std::fgets(line, sizeof line, lines) != nullptr) {
      reported = std::atoi(line + 6);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::fclose(lines);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(reported, rounds);

    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store) << opened.detail;
    EXPECT_EQ(opened.problem, OpenProblem::kNone);
    opened.store.reset();
    const std::int64_t batches = RawInt(path_, "SELECT count(*) FROM batches");
    EXPECT_GE(batches, rounds);
    EXPECT_EQ(RawInt(path_, "SELECT count(*) FROM downloads"), 3 * batches);
    EXPECT_EQ(RawInt(path_, "SELECT count(*) FROM (SELECT batch FROM downloads GROUP BY batch "
                            "HAVING count(*) <> 3)"),
              0);
    for (int r = 1; r <= rounds; ++r) {
      const std::string t = "t" + std::to_string(r) + "-";
      EXPECT_EQ(RawInt(path_, "SELECT phase FROM downloads WHERE track=CAST('" + t +
                                  "1' AS BLOB)"),
                2);
      EXPECT_EQ(RawInt(path_, "SELECT phase FROM downloads WHERE track=CAST('" + t +
                                  "2' AS BLOB)"),
                3);
    }
  }
}

// Every phase a download can reach, and what the next start does with it:
// queued and running ones are taken up again, paused ones stay listed and
// fetch nothing, cancelled ones never come back; a removed ended one is off
// the list but still names its track's last download. Read after the file
// was closed and opened again, as a next start reads it.
TEST_F(StoreTest, WhatStartUpDoesWithEachPhase) {
  struct Case {
    const char* name;
    std::function<bool(Store&, std::int64_t)> reach;  // from queued
    DownloadPhase phase;
    bool taken_up;   // in Unfinished
    bool listed;     // in Listed
    bool last_of;    // LastOf names it
  };
  const auto run = [](Store& s, std::int64_t id) { return s.MarkRunning(id, "m", "/t/" + std::to_string(id)); };
  const Case cases[] = {
      {"queued", [](Store&, std::int64_t) { return true; }, DownloadPhase::kQueued, true, true, false},
      {"running", run, DownloadPhase::kRunning, true, true, true},
      {"paused while queued", [](Store& s, std::int64_t id) { return s.MarkPaused(id); },
       DownloadPhase::kPaused, false, true, false},
      {"paused while running",
       [&](Store& s, std::int64_t id) { return run(s, id) && s.MarkPaused(id); },
       DownloadPhase::kPaused, false, true, true},
      {"resumed after a pause",
       [&](Store& s, std::int64_t id) {
         return run(s, id) && s.MarkPaused(id) && s.MarkQueuedAgain(id);
       },
       DownloadPhase::kQueued, true, true, false},
      {"cancelled while queued", [](Store& s, std::int64_t id) { return s.MarkCancelled(id); },
       DownloadPhase::kCancelled, false, true, false},
      {"cancelled while running",
       [&](Store& s, std::int64_t id) { return run(s, id) && s.MarkCancelled(id); },
       DownloadPhase::kCancelled, false, true, false},
      {"cancelled once paused",
       [&](Store& s, std::int64_t id) {
         return run(s, id) && s.MarkPaused(id) && s.MarkCancelled(id);
       },
       DownloadPhase::kCancelled, false, true, false},
      {"complete",
       [&](Store& s, std::int64_t id) { return run(s, id) && s.MarkComplete(id, 10); },
       DownloadPhase::kComplete, false, true, true},
      {"complete, removed from the list",
       [&](Store& s, std::int64_t id) {
         return run(s, id) && s.MarkComplete(id, 10) && s.MarkRemoved(id);
       },
       DownloadPhase::kComplete, false, false, true},
      {"failed, removed from the list",
       [&](Store& s, std::int64_t id) {
         return run(s, id) && s.MarkFailed(id, 1, 0) && s.MarkRemoved(id);
       },
       DownloadPhase::kFailed, false, false, true},
      {"failed, retried",
       [&](Store& s, std::int64_t id) {
         return run(s, id) && s.MarkFailed(id, 2, 404) && s.MarkQueuedAgain(id);
       },
       DownloadPhase::kQueued, true, true, false},
  };
  std::vector<std::int64_t> ids;
  {
    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store);
    for (const Case& c : cases) {
      const std::vector<std::int64_t> added = opened.store->AddTitledDownloads(
          {{std::string("track ") + c.name, std::string("title ") + c.name, "cat"}}, false);
      ASSERT_EQ(added.size(), 1u);
      EXPECT_TRUE(c.reach(*opened.store, added[0])) << c.name;
      ids.push_back(added[0]);
    }
  }
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& store = *opened.store;
  const auto has = [](const std::vector<DownloadRecord>& records, std::int64_t id) {
    return std::any_of(records.begin(), records.end(),
                       [id](const DownloadRecord& r) { return r.id == id; });
  };
  const std::vector<DownloadRecord> unfinished = store.Unfinished();
  const std::vector<DownloadRecord> listed = store.Listed();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::optional<DownloadRecord> record = store.Find(ids[i]);
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(record->phase, c.phase) << c.name;
    EXPECT_EQ(record->title, std::string("title ") + c.name);
    EXPECT_EQ(record->category, "cat");
    EXPECT_EQ(has(unfinished, ids[i]), c.taken_up) << c.name;
    EXPECT_EQ(has(listed, ids[i]), c.listed) << c.name;
    const std::optional<DownloadRecord> last = store.LastOf(std::string("track ") + c.name);
    EXPECT_EQ(last.has_value() && last->id == ids[i], c.last_of) << c.name;
    if (c.phase == DownloadPhase::kQueued) {
      EXPECT_EQ(record->cause, 0) << c.name;
    }
  }
}

// The user's word applies only where it means something: nothing undoes a
// complete download, nothing but an ended one leaves the list.
TEST_F(StoreTest, TheUsersWordOnlyWhereItApplies) {
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& store = *opened.store;
  const std::vector<std::int64_t> ids = store.AddDownloads({"done", "running"}, false);
  ASSERT_TRUE(store.MarkRunning(ids[0], "m", "/t/a") && store.MarkComplete(ids[0], 5));
  ASSERT_TRUE(store.MarkRunning(ids[1], "m", "/t/b"));
  EXPECT_FALSE(store.MarkPaused(ids[0]));
  EXPECT_FALSE(store.MarkCancelled(ids[0]));
  EXPECT_FALSE(store.MarkQueuedAgain(ids[0]));
  EXPECT_FALSE(store.MarkRemoved(ids[1]));
  EXPECT_FALSE(store.MarkQueuedAgain(ids[1]));
  EXPECT_EQ(store.Find(ids[0])->phase, DownloadPhase::kComplete);
  EXPECT_EQ(store.Find(ids[1])->phase, DownloadPhase::kRunning);
  EXPECT_FALSE(store.Find(ids[1])->removed);
}

// A batch whose remaining tracks were cancelled is over: nothing of it is
// taken up; what had ended stays as it was. Clearing the ended ones takes
// them off the list, and their tracks still name their last download.
TEST_F(StoreTest, ABatchCancelledInPartIsOver) {
  {
    OpenResult opened = Store::Open(path_);
    ASSERT_TRUE(opened.store);
    Store& store = *opened.store;
    const std::vector<std::int64_t> ids = store.AddDownloads({"a", "b", "c", "d"}, true);
    ASSERT_EQ(ids.size(), 4u);
    ASSERT_TRUE(store.MarkRunning(ids[0], "m", "/t/a") && store.MarkComplete(ids[0], 5));
    ASSERT_TRUE(store.MarkRunning(ids[1], "m", "/t/b") && store.MarkFailed(ids[1], 2, 404));
    ASSERT_TRUE(store.MarkRunning(ids[2], "m", "/t/c"));
    const std::int64_t batch = store.Find(ids[0])->batch;
    EXPECT_EQ(store.CancelBatch(batch), 2);  // the running one and the waiting one
    EXPECT_EQ(store.CancelBatch(batch), 0);
  }
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& store = *opened.store;
  EXPECT_TRUE(store.Unfinished().empty());
  EXPECT_EQ(store.Listed().size(), 4u);
  EXPECT_EQ(store.RemoveEnded(), 4);
  EXPECT_TRUE(store.Listed().empty());
  EXPECT_EQ(store.LastOf("a")->phase, DownloadPhase::kComplete);
  EXPECT_EQ(store.LastOf("b")->phase, DownloadPhase::kFailed);
  EXPECT_FALSE(store.LastOf("c"));  // cancelled: it names no last download
  std::vector<std::string> tracks;
  for (const DownloadRecord& r : store.LastOfEveryTrack()) tracks.push_back(r.track);
  std::sort(tracks.begin(), tracks.end());
  EXPECT_EQ(tracks, (std::vector<std::string>{"a", "b"}));
}

// A track downloaded again and that download cancelled: its last download is
// still the complete one (the skip rule then looks at the file itself).
TEST_F(StoreTest, ACancelledDownloadDoesNotHideTheCompleteOneBefore) {
  OpenResult opened = Store::Open(path_);
  ASSERT_TRUE(opened.store);
  Store& store = *opened.store;
  const std::int64_t first = store.AddDownloads({"t"}, false)[0];
  ASSERT_TRUE(store.MarkRunning(first, "m", "/t/x") && store.MarkComplete(first, 5));
  const std::int64_t again = store.AddDownloads({"t"}, false)[0];
  ASSERT_TRUE(store.MarkCancelled(again));
  EXPECT_EQ(store.LastOf("t")->id, first);
  EXPECT_TRUE(store.LastToWrite(first, "/t/x"));
}

// The store lives in the user's data folder, as the XDG rules name it.
TEST(StorePath, FollowsTheDataFolderRules) {
  struct Case {
    const char* xdg;  // nullptr: unset
    const char* home;
    std::string path;
  };
  const Case cases[] = {
      {"/data/me", "/home/me", "/data/me/wuqu/wuqu.sqlite"},
      {nullptr, "/home/me", "/home/me/.local/share/wuqu/wuqu.sqlite"},
      {"", "/home/me", "/home/me/.local/share/wuqu/wuqu.sqlite"},
      {"relative/data", "/home/me", "/home/me/.local/share/wuqu/wuqu.sqlite"},
      {nullptr, "", ""},
  };
  const std::string saved_xdg = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  for (const Case& c : cases) {
    if (c.xdg) ::setenv("XDG_DATA_HOME", c.xdg, 1); else ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", c.home, 1);
    EXPECT_EQ(StorePath(), c.path) << (c.xdg ? c.xdg : "(unset)");
  }
  ::setenv("HOME", saved_home.c_str(), 1);
  if (saved_xdg.empty()) ::unsetenv("XDG_DATA_HOME"); else ::setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
}

}  // namespace
}  // namespace wuqu::store
