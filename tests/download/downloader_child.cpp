// Runs one download in a process of its own, for the tests that kill a
// download outright or limit the size of the files it may write.
//
//   downloader_child URL TARGET THREADS [FSIZE_LIMIT [KILL_AT_SAVE]]
//
// With FSIZE_LIMIT (0: none) the process may not make a file larger than
// that many bytes (SIGXFSZ ignored, so writes fail with EFBIG). With
// KILL_AT_SAVE N it kills itself with SIGKILL right after the Nth resume
// record is saved. While it waits it watches the figures the way the
// progress display does, and prints "claimed complete" should bytes written
// ever equal the file's size on disk. Last line: "status S failure F".
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "download/downloader.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  using namespace wuqu::download;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s URL TARGET THREADS [FSIZE_LIMIT [KILL_AT_SAVE]]\n", argv[0]);
    return 2;
  }
  const rlim_t limit = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
  if (limit > 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit r{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &r) != 0) return 3;
  }
  DownloaderSettings settings;
  settings.stall_timeout = std::chrono::milliseconds(1500);
  settings.task_stall_timeout = std::chrono::milliseconds(10000);
  settings.retry_delay = std::chrono::milliseconds(50);
  settings.retry_delay_max = std::chrono::milliseconds(400);
  settings.min_segment = 64 * 1024;
  settings.record_interval = std::chrono::milliseconds(100);
  if (argc > 5) {
    static std::atomic<long> saves_left{std::strtol(argv[5], nullptr, 10)};
    settings.after_record_save = [] {
      if (--saves_left == 0) std::raise(SIGKILL);
    };
  }
  auto downloader = CreateDownloader(settings);
  DownloadRequest request;
  request.url = argv[1];
  request.target = argv[2];
  request.connections = std::atoi(argv[3]);
  downloader->Start(request);
  std::printf("started\n");
  std::fflush(stdout);

  bool claimed = false;
  while (downloader->ActiveTasks() > 0) {
    const std::int64_t written = downloader->GetTransferredBytes();
    const std::int64_t size = wuqu::FileSize(request.target);
    if (written > 0 && written == size && !claimed &&
        downloader->Report().phase != TaskPhase::kComplete) {
      std::printf("claimed complete\n");
      claimed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const TaskState report = downloader->Report();
  ReleaseDownloader(downloader);
  std::printf("status %d failure %d\n", static_cast<int>(report.phase),
              static_cast<int>(report.cause));
  return 0;
}
