// Runs one download in a process of its own, for the tests that kill a
// download outright or limit the size of the files it may write.
//
//   downloader_child URL TARGET THREADS [FSIZE_LIMIT]
//
// With FSIZE_LIMIT the process may not make a file larger than that many
// bytes (SIGXFSZ ignored, so writes fail with EFBIG). While it waits it
// watches the figures the way the progress display does, and prints
// "claimed complete" should bytes written ever equal the file's size on disk.
// Last line: "status S failure F".
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "catalogue/downloader.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  using namespace wuqu::catalogue;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s URL TARGET THREADS [FSIZE_LIMIT]\n", argv[0]);
    return 2;
  }
  if (argc > 4) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = std::strtoull(argv[4], nullptr, 10);
    const rlimit r{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &r) != 0) return 3;
  }
  DownloaderSettings settings;
  settings.stall_timeout = std::chrono::milliseconds(1500);
  settings.retry_delay = std::chrono::milliseconds(50);
  settings.retry_delay_max = std::chrono::milliseconds(400);
  settings.min_segment = 64 * 1024;
  settings.record_interval = std::chrono::milliseconds(100);
  auto downloader = CreateDownloader(settings);
  DownloadTask task;
  task.option_1 = 4096;
  task.source_address = argv[1];
  task.target_path = argv[2];
  task.thread_count = std::atoi(argv[3]);
  downloader->StartTask(task);
  std::printf("started\n");
  std::fflush(stdout);

  bool claimed = false;
  while (downloader->ActiveTasks() > 0) {
    const std::int64_t written = downloader->GetTransferredBytes();
    const std::int64_t size = wuqu::FileSize(task.target_path);
    if (written > 0 && written == size && !claimed) {
      std::printf("claimed complete\n");
      claimed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const DownloadReport report = downloader->Report();
  ReleaseDownloader(downloader);
  std::printf("status %d failure %d\n", static_cast<int>(report.phase),
              static_cast<int>(report.cause));
  return 0;
}
