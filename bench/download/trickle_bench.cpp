// One connection of 20 trickling at 1 byte/s: how long the download takes
// beside the same download without the trickler, for ours (in this process)
// and for aria2c (a process of its own), against the downloader tests'
// hostile server on loopback. Every file is checked by SHA-256.
//
//   build/bin/bench_download_trickle [--runs N] [--size BYTES] [--rate BYTES_PER_S]
//
// --rate caps every other reply (default 2000000, as the throttled case of
// bench_downloader; 0 for none). The trickler is the third request.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "download/downloader_testing.h"
#include "download/hostile_server.h"

extern char** environ;

namespace {

using namespace wuqu::download;
using namespace wuqu::download::testing;

constexpr int kTrickler = 3;
constexpr auto kPeerLimit = std::chrono::seconds(60);

HostilePlan Plan(bool trickle, std::uint64_t rate) {
  return [trickle, rate](const HostileRequest& r) {
    HostileReply reply;
    if (trickle && r.number == kTrickler) {
      reply.trickle_bytes_per_second = 1;
    } else {
      reply.rate_bytes_per_second = rate;
    }
    return reply;
  };
}

double Ours(HostileServer& server, const std::string& target, bool& ok) {
  auto d = CreateDownloader();
  const auto start = Clock::now();
  d->Start(MakeRequest(server.Url(), target, 20));
  ok = WaitIdle(*d, std::chrono::minutes(5)) && d->Report().phase == TaskPhase::kComplete;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Aria(HostileServer& server, const ScratchFolder& dir, bool& ok) {
  std::vector<std::string> args = {"aria2c", "-q", "--allow-overwrite=true",
                                   "--auto-file-renaming=false", "-d", dir.path(), "-o",
                                   "a.mp4", "-x16", "-s16", "-k1M",
                                   "--file-allocation=falloc", server.Url()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = -1;
  ok = posix_spawnp(&pid, "aria2c", nullptr, nullptr, argv.data(), environ) == 0;
  int status = 0;
  // A peer that never ends is stopped after kPeerLimit and counted as failed.
  while (ok && ::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - start > kPeerLimit) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::uint64_t size = 64000000;
  std::uint64_t rate = 2000000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--size") size = std::strtoull(argv[i + 1], nullptr, 10);
    if (a == "--rate") rate = std::strtoull(argv[i + 1], nullptr, 10);
  }
  std::printf("%llu bytes, 20 connections, other replies %s%llu B/s, %d runs (median)\n",
              static_cast<unsigned long long>(size), rate ? "capped at " : "uncapped, ",
              static_cast<unsigned long long>(rate), runs);
  std::printf("  %-34s %10s %10s %8s\n", "client", "plain s", "trickle s", "ratio");
  for (const bool aria : {false, true}) {
    double medians[2];
    bool all_ok = true;
    for (const bool trickle : {false, true}) {
      std::vector<double> times;
      for (int r = 0; r < runs; ++r) {
        HostileServer server(size, Plan(trickle, rate));
        ScratchFolder dir;
        bool ok = false;
        const double s = aria ? Aria(server, dir, ok) : Ours(server, dir / "a.mp4", ok);
        ok = ok && FileSha256(dir / "a.mp4") == wuqu::Sha256Hex(server.Content(0));
        all_ok = all_ok && ok;
        times.push_back(s);
      }
      std::sort(times.begin(), times.end());
      medians[trickle] = times[times.size() / 2];
    }
    std::printf("  %-34s %10.2f %10.2f %8.2f%s\n", aria ? "aria2c -x16 -s16 -k1M" : "ours",
                medians[0], medians[1], medians[1] / medians[0],
                all_ok ? "" : "  (a run failed, gave another file or ran past 60 s)");
  }
  return 0;
}
