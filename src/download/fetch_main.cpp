// wuqu-fetch: one download through the program's own downloader, from the
// command line, for the benchmarks beside curl and aria2c.
//
//   wuqu-fetch [-n CONNECTIONS] URL FILE
//
// FILE is a path in the platform's encoding (UTF-8). On a terminal a line
// shows the percentage, MB/s and the connections while it runs (receiving
// and asked for, "4/20", once the host has shown a limit). At the end
// it prints the bytes, seconds and MB/s (1 MB = 10^6 bytes); it exits with 0
// only when the file is complete, otherwise with 1 and the cause on stderr.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "download/downloader.h"

namespace {

using namespace wuqu::download;

constexpr const char* kUsage =
    "usage: wuqu-fetch [-n CONNECTIONS] URL FILE\n"
    "Downloads URL into FILE over up to CONNECTIONS connections (default 20, 1..64).\n"
    "An unfinished FILE is continued from where it stopped. Exit status 0 only\n"
    "when FILE is complete.\n";

const char* CauseText(const TaskState& s) {
  switch (s.cause) {
    case FailureCause::kNone:
      if (s.phase == TaskPhase::kPaused) return "paused";
      if (s.phase == TaskPhase::kCancelled) return "cancelled";
      return s.phase == TaskPhase::kStopped ? "stopped" : "failed";
    case FailureCause::kNetwork:
      return "the server could not be reached, or kept failing";
    case FailureCause::kHttpStatus:
      return "the server answered with a status that is not the file";
    case FailureCause::kChanged:
      return "the file changed on the server during the download";
    case FailureCause::kEncodingRefused:
      return "the server insisted on sending the file encoded";
    case FailureCause::kStalled:
      return "no data arrived for too long";
    case FailureCause::kDisk:
      return "the file could not be made or written";
    case FailureCause::kAddressRefused:
      return "not an http or https address";
  }
  return "failed";
}

void ShowProgress(const TaskState& s, int asked, double seconds) {
  const double mb_s = seconds > 0 ? static_cast<double>(s.written) / seconds / 1e6 : 0;
  if (s.size > 0) {
    const double percent = 100.0 * static_cast<double>(s.file_bytes) / static_cast<double>(s.size);
    if (s.connection_target > 0 && s.connection_target < asked)
      std::fprintf(stderr, "\r%5.1f %%  %8.1f MB/s  %2d/%d connections (host limit) ", percent,
                   mb_s, s.receiving, asked);
    else
      std::fprintf(stderr, "\r%5.1f %%  %8.1f MB/s  %2d connections               ", percent,
                   mb_s, s.peak_connections);
  } else {
    std::fprintf(stderr, "\r%12lld bytes  %8.1f MB/s ", static_cast<long long>(s.written), mb_s);
  }
  std::fflush(stderr);
}

// The download the command line asks for, or the status to exit with at
// once (after --help, a bad count or a wrong number of words, the usage
// already shown).
struct Arguments {
  DownloadRequest request;
  int exit_status = -1;  // -1: go on
};

Arguments ReadArguments(int argc, char** argv) {
  Arguments a;
  int connections = 20;
  int arg = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      a.exit_status = 0;
      return a;
    }
  }
  if (arg + 1 < argc && std::strcmp(argv[arg], "-n") == 0) {
    char* end = nullptr;
    const long n = std::strtol(argv[arg + 1], &end, 10);
    if (end == argv[arg + 1] || *end != '\0' || n < 1 || n > 64) {
      std::fprintf(stderr, "wuqu-fetch: CONNECTIONS must be a number from 1 to 64\n%s", kUsage);
      a.exit_status = 2;
      return a;
    }
    connections = static_cast<int>(n);
    arg += 2;
  }
  if (argc - arg != 2) {
    std::fputs(kUsage, stderr);
    a.exit_status = 2;
    return a;
  }
  a.request.url = argv[arg];
  a.request.target = argv[arg + 1];  // already the platform's encoding
  a.request.connections = connections;
  return a;
}

// How a download ended, as the summary tells it.
struct Outcome {
  TaskState report;
  std::int64_t bytes = 0;
  double seconds = 0;
};

// Runs the download to its end, showing its progress on a terminal.
Outcome Download(const DownloadRequest& request) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  auto downloader = CreateDownloader();
  downloader->Start(request);
  auto next_show = start;
  while (downloader->ActiveTasks() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto now = std::chrono::steady_clock::now();
    if (terminal && now >= next_show) {
      ShowProgress(downloader->Report(), request.connections,
                   std::chrono::duration<double>(now - start).count());
      next_show = now + std::chrono::milliseconds(200);
    }
  }
  Outcome o;
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.report = downloader->Report();
  o.bytes = downloader->GetTransferredBytes();
  ReleaseDownloader(downloader);
  if (terminal) std::fputs("\r\033[K", stderr);
  return o;
}

// Prints the summary line (and a failure's cause); returns the exit status.
int Summarise(const Outcome& o, int asked) {
  const TaskState& report = o.report;
  const bool ok = report.phase == TaskPhase::kComplete;
  std::printf("%s: %lld bytes in %.3f s, %.1f MB/s, %d connections at most, %lld requests",
              ok ? "completed" : "FAILED", static_cast<long long>(o.bytes), o.seconds,
              static_cast<double>(o.bytes) / o.seconds / 1e6, report.peak_connections,
              static_cast<long long>(report.requests));
  if (report.connection_target > 0 && report.connection_target < asked)
    std::printf(", the host allows %d", report.connection_target);
  std::printf("\n");
  if (!ok) {
    if (report.cause == FailureCause::kHttpStatus && report.http_status != 0)
      std::fprintf(stderr, "wuqu-fetch: %s (HTTP %d)\n", CauseText(report), report.http_status);
    else
      std::fprintf(stderr, "wuqu-fetch: %s\n", CauseText(report));
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments = ReadArguments(argc, argv);
  if (arguments.exit_status >= 0) return arguments.exit_status;
  return Summarise(Download(arguments.request), arguments.request.connections);
}
