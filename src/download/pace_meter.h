#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "download/piece_plan.h"

// The liveness rules of a download, on a clock its caller gives: how fast
// each request goes, what the download's connections typically reach, when
// a request counts as stalled or as far below the others, how long a piece
// waits before it is tried again, and what counts as a sign of a host's
// limit. Pure: no curl, no sockets, no clock of its own.
namespace wuqu::download {

using PaceClock = std::chrono::steady_clock;

struct PaceRules {
  // Fewer than a stall's worth of bytes for this long: stalled.
  std::chrono::milliseconds stall_timeout{15000};
  // The span a request's rate is measured over, and how long a request must
  // have run before it can be judged slow.
  std::chrono::milliseconds slow_window{3000};
  // A request's rate counts once it has run this long (or, when already far
  // below the others, a quarter of this after its reply began).
  std::chrono::milliseconds judge_after{1000};
  // Under typical / slow_fraction is far below the others.
  double slow_fraction = 10;
  // Waits before a piece is tried again: the first, doubled for each
  // further failure in a row, up to the longest.
  std::chrono::milliseconds retry_delay{250};
  std::chrono::milliseconds retry_delay_max{8000};
};

// One request in flight, as far as its pace goes.
struct RequestTimes {
  PaceClock::time_point sent_at{};
  PaceClock::time_point accepted_at{};    // when its reply was judged good
  PaceClock::time_point last_progress{};  // when it last brought a stall's worth of bytes
  bool accepted = false;
  std::uint64_t body_bytes = 0;  // of this reply
};

// A request's rate over the last slow window, from samples taken once a tick.
class RateWindow {
 public:
  void Clear() { samples_.clear(); }
  // Samples `request` at `now`. `early` tells whether the pace was judged
  // early, a quarter of judge_after into a reply already far below `typical`
  // (such a rate does not count towards the typical one).
  Pace Sample(const RequestTimes& request, double typical, PaceClock::time_point now,
              const PaceRules& rules, bool* early = nullptr);

 private:
  std::deque<std::pair<PaceClock::time_point, std::uint64_t>> samples_;
};

// What the download's connections typically reach: the median of the judged
// running ones, or, while fewer than two run, of those and of the requests
// that ended last. `previous` while there are not two rates to go by.
double TypicalRate(std::vector<double> running, const std::deque<double>& ended, double previous);

enum class Liveness {
  kGoing,
  kStalled,  // nothing worth counting for stall_timeout
  kSlow,     // judged, in flight for a slow window, and far below the others
};
Liveness Judge(const RequestTimes& request, const Pace& pace, double typical,
               PaceClock::time_point now, const PaceRules& rules);

// The wait before a piece is tried again after `failures` failures in a row,
// never shorter than a Retry-After of `retry_after_seconds`.
PaceClock::duration RetryDelay(int failures, std::int64_t retry_after_seconds,
                               const PaceRules& rules);

// A refusal is a sign of the host's limit when it is not the download's
// first request and others of the download are receiving: a 503 or 429, a
// connection refused, or one closed or reset before any reply. A connection
// refused, closed or reset is one also when none receives but one received
// within the stall bound (`received_lately`): a host that counts open
// connections, idle ones included, turns a new one away without a word.
bool HostLimitSign(bool busy_reply, bool no_reply, int others_receiving, bool received_lately,
                   bool first_request);

}  // namespace wuqu::download
