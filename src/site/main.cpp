// wuqu-site: the demo catalogue site as a program of its own, the default
// peer of wuqu and of the benchmarks.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "site/demo_site.h"

#ifndef WUQU_SITE_PORT
#define WUQU_SITE_PORT 8077
#endif

namespace {

constexpr const char* kUsage = R"(Usage: wuqu-site [options]
Serves the demo dance-music catalogue over HTTP: ten listing pages, a play page
per track and the media files under /mp4/djmusic/, plus synthetic media files
of any size at /mp4/djmusic/synthetic/<bytes>/<seed>.mp4. Stops on Ctrl+C.

  --host ADDR            address to listen on (default 127.0.0.1, loopback only)
  --port N               port (default %d; 0 picks a free one)
  --tracks N             tracks per category (default 36)
  --track-size BYTES     serve every catalogue track as a synthetic file of this size
  --folder DIR           catalogue of the .mp4 files directly inside DIR instead of
                         the built-in one (every category lists them; links skipped)
  --threads N            server threads, one per request being answered (default 64);
                         connections waiting for a request or sending its head hold none
  --rate BYTES           limit each media response to BYTES per second
  --drop-after BYTES     close the connection after BYTES of a media body
  --refuse-ranges        answer ranged requests with 200 and the whole file
  --fail-every N         answer every Nth ranged media request with 503
  --stall-after BYTES    pause media responses after BYTES of their body ...
  --stall-ms MS          ... for MS milliseconds (no pause unless given)
  --stall-count N        only the first N media responses pause (default: all)
  --trickle-nth N        the Nth ranged media GET sends its body at --trickle-rate ...
  --trickle-rate BYTES   ... bytes per second (default 1)
  --slow-head-nth N      the Nth ranged media GET sends the lines of its head ...
  --slow-head-ms MS      ... MS milliseconds apart (no pause unless given)
  --first-byte-delay MS  wait MS milliseconds before answering any request
  --max-connections N    with N media responses being sent, answer a further media
                         request 503 with Retry-After: 1 (a host's limit) ...
  --max-connections-close  ... or close its connection without a reply
  --max-open-connections N  with N TCP connections open, idle kept-alive ones
                         included (a firewall's limit), close a further one as soon
                         as it is accepted, without a reply
  --retry-after-429 S    answer each ranged media GET's first try (the first request
                         for its first byte) 429 with Retry-After: S
  --status PATH=CODE     answer the decoded PATH (e.g. /zw/) with status CODE;
                         may be given more than once
  --revision N           media revision: other ETag, Last-Modified, synthetic bytes
  --log                  print one line per request
  --help                 show this text

BYTES may end in k, M or G (1000-based) or Ki, Mi or Gi (1024-based).
Ranged media GETs are counted from the start. A request head of more than 100
header lines or 64 KiB is answered 431, one not complete 10 s after its first
byte 408.
)";

std::optional<std::uint64_t> ParseBytes(std::string_view s) {
  std::uint64_t unit = 1;
  const std::pair<std::string_view, std::uint64_t> suffixes[] = {
      {"Ki", 1ull << 10}, {"Mi", 1ull << 20}, {"Gi", 1ull << 30},
      {"k", 1000},        {"M", 1000000},     {"G", 1000000000}};
  for (const auto& [suffix, factor] : suffixes) {
    if (s.size() > suffix.size() && s.ends_with(suffix)) {
      s.remove_suffix(suffix.size());
      unit = factor;
      break;
    }
  }
  if (s.empty() || s.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > UINT64_MAX / unit) return std::nullopt;
  return v * unit;
}

std::optional<int> ParseInt(std::string_view s) {
  const auto v = ParseBytes(s);
  if (!v || *v > 1000000000) return std::nullopt;
  return static_cast<int>(*v);
}

int Fail(const std::string& message) {
  std::cerr << "wuqu-site: " << message << " (see --help)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  wuqu::DemoSiteOptions options;
  options.port = WUQU_SITE_PORT;
  bool log = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string_view(argv[++i]);
    };
    auto bytes = [&](std::uint64_t& out) {
      const auto v = value();
      const auto n = v ? ParseBytes(*v) : std::nullopt;
      if (n) out = *n;
      return n.has_value();
    };
    auto number = [&](auto& out) {
      const auto v = value();
      const auto n = v ? ParseInt(*v) : std::nullopt;
      if (n) out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
      return n.has_value();
    };
    auto millis = [&](std::chrono::milliseconds& out) {
      int ms = 0;
      if (!number(ms)) return false;
      out = std::chrono::milliseconds(ms);
      return true;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, WUQU_SITE_PORT);
      return 0;
    } else if (arg == "--host") {
      const auto v = value();
      ok = v.has_value();
      if (ok) options.host = *v;
    } else if (arg == "--port") {
      ok = number(options.port) && options.port <= 65535;
    } else if (arg == "--tracks") {
      ok = number(options.tracks_per_category);
    } else if (arg == "--track-size") {
      ok = bytes(options.track_media_size);
    } else if (arg == "--folder") {
      const auto v = value();
      ok = v.has_value();
      if (ok) options.folder = *v;
    } else if (arg == "--threads") {
      ok = number(options.threads);
    } else if (arg == "--rate") {
      ok = bytes(options.faults.rate_limit);
    } else if (arg == "--drop-after") {
      ok = bytes(options.faults.drop_after);
    } else if (arg == "--refuse-ranges") {
      options.faults.refuse_ranges = true;
    } else if (arg == "--max-connections") {
      ok = number(options.faults.max_connections);
    } else if (arg == "--max-connections-close") {
      options.faults.max_connections_close = true;
    } else if (arg == "--max-open-connections") {
      ok = number(options.faults.max_open_connections);
    } else if (arg == "--retry-after-429") {
      ok = number(options.faults.retry_after_429);
    } else if (arg == "--fail-every") {
      ok = number(options.faults.fail_every_nth_range);
    } else if (arg == "--stall-after") {
      ok = bytes(options.faults.stall_after);
    } else if (arg == "--stall-ms") {
      ok = millis(options.faults.stall_for);
    } else if (arg == "--stall-count") {
      ok = number(options.faults.stall_count);
    } else if (arg == "--trickle-nth") {
      ok = number(options.faults.trickle_nth_range);
    } else if (arg == "--trickle-rate") {
      ok = bytes(options.faults.trickle_rate);
    } else if (arg == "--slow-head-nth") {
      ok = number(options.faults.slow_head_nth_range);
    } else if (arg == "--slow-head-ms") {
      ok = millis(options.faults.slow_head_interval);
    } else if (arg == "--first-byte-delay") {
      ok = millis(options.faults.first_byte_delay);
    } else if (arg == "--revision") {
      ok = number(options.faults.media_revision);
    } else if (arg == "--status") {
      const auto v = value();
      const auto eq = v ? v->rfind('=') : std::string_view::npos;
      const auto code = eq != std::string_view::npos ? ParseInt(v->substr(eq + 1)) : std::nullopt;
      ok = code && *code >= 100 && *code <= 599 && eq > 0;
      if (ok) options.faults.path_status[std::string(v->substr(0, eq))] = *code;
    } else if (arg == "--log") {
      log = true;
    } else {
      return Fail("unknown option " + std::string(arg));
    }
    if (!ok) return Fail("bad or missing value for " + std::string(arg));
  }

  // Ctrl+C and kill end the site through sigwait below; every thread the
  // site starts inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  wuqu::DemoSite site(options);
  if (!site.Start()) {
    std::cerr << "wuqu-site: " << site.Error() << "\n";
    return 1;
  }
  std::printf("wuqu-site: catalogue %s  media %s\n", site.CatalogueBaseUrl().c_str(),
              site.MediaBaseUrl().c_str());
  std::fflush(stdout);

  std::atomic<bool> done{false};
  std::thread printer;
  if (log) {
    printer = std::thread([&site, &done] {
      int turned_away = 0;
      while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const auto& r : site.TakeRequests())
          std::printf("%d %s %s%s%s\n", r.status, r.method.c_str(), r.target.c_str(),
                      r.range.empty() ? "" : " ", r.range.c_str());
        // Connections closed at once for --max-open-connections carry no request.
        for (const int now = site.ConnectionsTurnedAway(); turned_away < now; ++turned_away)
          std::printf("--- a connection closed beyond --max-open-connections\n");
        std::fflush(stdout);
      }
    });
  }

  int received = 0;
  sigwait(&stop_signals, &received);
  done = true;
  if (printer.joinable()) printer.join();
  site.Stop();
  return 0;
}
