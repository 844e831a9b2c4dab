// What remembering a download costs the window, on a store that already
// holds 10,000 downloads: the write at a download's end, the writes at a
// batch's start, and the start-up (open, check, marks, unfinished ones);
// beside the peer, the same single-row write through SQLite's defaults
// (rollback journal, full sync). Files go into the current folder.
//
//   build/bin/bench_store
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/stored_download_log.h"
#include "store/store.h"

namespace wuqu::store {
namespace {

constexpr int kStored = 10000;

std::string Scratch(const std::string& name) {
  return (std::filesystem::current_path() /
          ("wuqu-bench-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

void Remove(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
}

std::string Track(int i) {
  return "http://127.0.0.1:8077/m/" + std::to_string(100000 + i) + "/";
}

// A store holding kStored downloads in batches of 10, all ended.
std::string FilledStore(const std::string& name) {
  const std::string path = Scratch(name);
  Remove(path);
  std::unique_ptr<Store> store = Store::Open(path).store;
  for (int b = 0; b < kStored / 10; ++b) {
    std::vector<std::string> tracks;
    for (int i = 0; i < 10; ++i) tracks.push_back(Track(b * 10 + i));
    const std::vector<std::int64_t> ids = store->AddDownloads(tracks, true);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      store->MarkRunning(ids[i], "http://127.0.0.1:8077/mp4/djmusic/" + std::to_string(i) + ".mp4",
                         "/home/u/wuqu/下载/" + std::to_string(b * 10 + i) + ".mp4");
      if (i % 5 == 4) {
        store->MarkFailed(ids[i], 1, 0);
      } else {
        store->MarkComplete(ids[i], 5 * 1000 * 1000);
      }
    }
  }
  return path;
}

void BM_DownloadEnd(benchmark::State& state) {
  const std::string path = FilledStore("end");
  std::unique_ptr<Store> store = Store::Open(path).store;
  std::int64_t id = 1;
  for (auto _ : state) {
    if (!store->MarkComplete(id, 1234)) state.SkipWithError("write failed");
    id = id % kStored + 1;
  }
  store.reset();
  Remove(path);
}
BENCHMARK(BM_DownloadEnd)->Unit(benchmark::kMicrosecond);

// A batch of 12 asked for, and its first track started.
void BM_BatchStart(benchmark::State& state) {
  const std::string path = FilledStore("batch");
  std::unique_ptr<Store> store = Store::Open(path).store;
  std::vector<std::string> tracks;
  for (int i = 0; i < 12; ++i) tracks.push_back(Track(i));
  for (auto _ : state) {
    const std::vector<std::int64_t> ids = store->AddDownloads(tracks, true);
    if (ids.size() != 12 || !store->MarkRunning(ids[0], "http://m/a.mp4", "/d/a.mp4")) {
      state.SkipWithError("write failed");
    }
  }
  store.reset();
  Remove(path);
}
BENCHMARK(BM_BatchStart)->Unit(benchmark::kMicrosecond);

// What the program does with the store before its window shows: open (with
// its check), read every track's mark, ask for the unfinished downloads.
void BM_StartUpWith10000Stored(benchmark::State& state) {
  const std::string path = FilledStore("startup");
  std::ostringstream messages;
  for (auto _ : state) {
    catalogue::StoredDownloadLog log(Store::Open(path).store, messages);
    benchmark::DoNotOptimize(log.Unfinished());
  }
  if (!messages.str().empty()) state.SkipWithError(messages.str().c_str());
  Remove(path);
}
BENCHMARK(BM_StartUpWith10000Stored)->Unit(benchmark::kMillisecond);

// The peer: one row updated per transaction through SQLite's defaults.
void BM_PeerSqliteDefaultUpdate(benchmark::State& state) {
  const std::string path = FilledStore("peer");
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, "UPDATE downloads SET phase=2, size=?2 WHERE id=?1", -1, &update, nullptr);
  std::int64_t id = 1;
  for (auto _ : state) {
    sqlite3_bind_int64(update, 1, id);
    sqlite3_bind_int64(update, 2, 1234);
    if (sqlite3_step(update) != SQLITE_DONE) state.SkipWithError("write failed");
    sqlite3_reset(update);
    id = id % kStored + 1;
  }
  sqlite3_finalize(update);
  sqlite3_close(db);
  Remove(path);
}
BENCHMARK(BM_PeerSqliteDefaultUpdate)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace wuqu::store
