// The model of the user's downloads with 10,000 remembered downloads, 20 of
// them running, beside the same 20 with nothing remembered: what the
// remembered rows cost the progress tick (which must stay well under 2 ms),
// the start-up listing, a view's look at the rows changed by a tick, and the
// verbs on all of them at once (one pass, no quadratic path).
//
//   build/bin/bench_user_downloads
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "catalogue/download.h"
#include "catalogue/download_testing.h"
#include "catalogue/memory_window.h"
#include "catalogue/progress.h"
#include "catalogue/user_downloads.h"

namespace wuqu::catalogue {
namespace {

constexpr int kRunning = 20;

std::vector<RememberedDownload> Remembered(int count) {
  std::vector<RememberedDownload> downloads;
  downloads.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    RememberedDownload d;
    d.record = i + 1;
    d.play_page = "http://c/play/" + std::to_string(i) + ".html";
    d.title = "DJ track " + std::to_string(i);
    d.category = "cat";
    d.target_path = "/nowhere/" + std::to_string(i) + ".mp4";
    d.phase = i % 7 == 0 ? RememberedPhase::kFailed : RememberedPhase::kComplete;
    d.size = 2000000;
    d.batch = i / 12 + 1;
    d.position = i % 12 + 1;
    downloads.push_back(std::move(d));
  }
  return downloads;
}

// A program's downloads: `remembered` rows from earlier runs, then 20
// downloads asked for alone and running.
struct Running {
  explicit Running(int remembered) {
    downloads.Remember(Remembered(remembered), {});
    for (int i = 0; i < kRunning; ++i) {
      const std::vector<DownloadRowId> rows = downloads.Asked(
          {{"http://c/play/new" + std::to_string(i) + ".html", "new", "cat"}}, {kNotRemembered},
          false, {});
      UserDownloads::Followed f;
      f.task = static_cast<download::TaskId>(i + 1);
      f.file_name = "new" + std::to_string(i) + ".mp4";
      f.row = rows.front();
      downloader.tasks.emplace_back();
      downloads.Started(std::move(f));
    }
  }
  testing::MemoryWindow w;
  testing::FakeDownloader downloader{nullptr};
  Text file_name;
  DownloadTask task;
  UserDownloads downloads;
  DownloadSession session{file_name, task, downloader, downloads};
};

void Tick(benchmark::State& state) {
  Running run(static_cast<int>(state.range(0)));
  std::int64_t bytes = 0;
  for (auto _ : state) {
    run.downloader.transferred = (bytes += 4096);
    OnProgressTick(run.w, "/nowhere", run.session);
  }
  state.counters["rows"] = static_cast<double>(run.downloads.RowCount());
}
BENCHMARK(Tick)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

// What a view reads after each tick: the rows that changed, each looked up.
void TickAndChangedRows(benchmark::State& state) {
  Running run(static_cast<int>(state.range(0)));
  std::int64_t bytes = 0;
  std::vector<DownloadRowId> changed;
  for (auto _ : state) {
    const std::uint64_t seen = run.downloads.Version();
    run.downloader.transferred = (bytes += 4096);
    OnProgressTick(run.w, "/nowhere", run.session);
    run.downloads.ChangedSince(seen, changed);
    for (const DownloadRowId id : changed) benchmark::DoNotOptimize(run.downloads.IndexOf(id));
  }
  state.counters["changed"] = static_cast<double>(changed.size());
}
BENCHMARK(TickAndChangedRows)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Start-up: 10,000 remembered downloads listed, and a view's first read of
// every row.
void ListAtStartUp(benchmark::State& state) {
  const std::vector<RememberedDownload> remembered = Remembered(10000);
  for (auto _ : state) {
    UserDownloads downloads;
    downloads.Remember(remembered, {});
    std::size_t chars = 0;
    for (std::size_t i = 0; i < downloads.RowCount(); ++i) {
      chars += RowStatusText(downloads.RowAt(i)).size() + downloads.RowAt(i).title.size();
    }
    benchmark::DoNotOptimize(chars);
  }
}
BENCHMARK(ListAtStartUp)->Unit(benchmark::kMillisecond);

// Every ended row off the list at once, and a 10,000-track batch cancelled
// while its first track runs.
void ClearTenThousandEnded(benchmark::State& state) {
  const std::vector<RememberedDownload> remembered = Remembered(10000);
  for (auto _ : state) {
    state.PauseTiming();
    UserDownloads downloads;
    downloads.Remember(remembered, {});
    state.ResumeTiming();
    benchmark::DoNotOptimize(downloads.ClearEnded());
  }
}
BENCHMARK(ClearTenThousandEnded)->Unit(benchmark::kMillisecond);

void CancelATenThousandTrackBatch(benchmark::State& state) {
  std::vector<AskedTrack> tracks;
  for (int i = 0; i < 10000; ++i) tracks.push_back({"http://c/p/" + std::to_string(i), "t", "c"});
  for (auto _ : state) {
    state.PauseTiming();
    UserDownloads downloads;
    downloads.Asked(tracks, {}, true, {});
    UserDownloads::NextTrack first = downloads.TakeNextBatchTrack();
    UserDownloads::Followed f;
    f.task = 1;
    f.batch_position = first.position;
    f.row = first.row;
    downloads.Started(std::move(f));
    state.ResumeTiming();
    benchmark::DoNotOptimize(downloads.CancelBatch(downloads.RunningBatch()));
  }
}
BENCHMARK(CancelATenThousandTrackBatch)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace wuqu::catalogue

BENCHMARK_MAIN();
