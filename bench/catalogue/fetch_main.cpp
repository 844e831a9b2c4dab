// wuqu-fetch: one download through the program's own Downloader, from the
// command line, for the benchmarks beside curl and aria2c.
//
//   wuqu-fetch [-n CONNECTIONS] URL FILE
//
// Prints the bytes, seconds and MB/s (1 MB = 10^6 bytes) of the download and
// exits with 0 only when it completed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "catalogue/downloader.h"

int main(int argc, char** argv) {
  using namespace wuqu::catalogue;
  int connections = 20;
  int arg = 1;
  if (arg + 1 < argc && std::strcmp(argv[arg], "-n") == 0) {
    connections = std::atoi(argv[arg + 1]);
    arg += 2;
  }
  if (argc - arg != 2) {
    std::fprintf(stderr, "usage: %s [-n CONNECTIONS] URL FILE\n", argv[0]);
    return 2;
  }
  DownloadTask task;
  task.option_1 = 4096;
  task.source_address = argv[arg];
  task.target_path = argv[arg + 1];
  task.thread_count = connections;

  const auto start = std::chrono::steady_clock::now();
  auto downloader = CreateDownloader();
  downloader->StartTask(task);
  while (downloader->ActiveTasks() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const DownloadReport report = downloader->Report();
  const std::int64_t bytes = downloader->GetTransferredBytes();
  ReleaseDownloader(downloader);

  const bool ok = report.phase == wuqu::download::TaskPhase::kComplete;
  std::printf("%s: %lld bytes in %.3f s, %.1f MB/s, %d connections at most, %lld requests\n",
              ok ? "completed" : "FAILED", static_cast<long long>(bytes), seconds,
              static_cast<double>(bytes) / seconds / 1e6, report.peak_connections,
              static_cast<long long>(report.requests));
  return ok ? 0 : 1;
}
