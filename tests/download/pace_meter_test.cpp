// The liveness rules over a fake clock: each row a few moments of a request's
// life, and what the rules make of them.
#include "download/pace_meter.h"

#include <gtest/gtest.h>

namespace wuqu::download {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

const PaceClock::time_point kZero{};
PaceClock::time_point At(int ms) {
  return kZero + milliseconds(ms);
}

PaceRules Rules() {
  return {.stall_timeout = 15000ms,
          .slow_window = 3000ms,
          .judge_after = 1000ms,
          .slow_fraction = 10,
          .retry_delay = 250ms,
          .retry_delay_max = 8000ms};
}

TEST(PaceMeterTest, ARequestsRateIsJudgedOverItsLastWindow) {
  struct Sample {
    int at_ms;
    std::uint64_t bytes;
  };
  struct Case {
    const char* name;
    int accepted_ms;  // -1: no reply yet
    double typical;
    std::vector<Sample> samples;
    bool judged, early;
    double rate;  // bytes per second at the last sample
  };
  const Case cases[] = {
      {"not judged before it has run a second", 0, 0,
       {{0, 0}, {300, 300000}, {600, 600000}, {900, 900000}}, false, false, 1e6},
      {"judged once it has", 0, 0, {{0, 0}, {500, 500000}, {1000, 1000000}}, true, false, 1e6},
      {"only the last window counts", 0, 0,
       {{0, 0}, {1000, 1000000}, {2000, 2000000}, {3000, 3000000}, {4000, 3000000},
        {5000, 3000000}, {6000, 3000000}, {7000, 3000000}},
       true, false, 0},
      {"far below the others a quarter second into its reply", 0, 1e6,
       {{0, 0}, {250, 100}}, true, true, 400},
      {"not early when near the others", 0, 1e6, {{0, 0}, {250, 200000}}, false, false,
       800000},
      {"no early judgement before the reply", -1, 1e6, {{0, 0}, {500, 0}}, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RateWindow window;
    RequestTimes request{.sent_at = kZero,
                         .accepted_at = At(std::max(c.accepted_ms, 0)),
                         .last_progress = kZero,
                         .accepted = c.accepted_ms >= 0};
    Pace pace;
    bool early = false;
    for (const Sample& s : c.samples) {
      request.body_bytes = s.bytes;
      pace = window.Sample(request, c.typical, At(s.at_ms), Rules(), &early);
    }
    EXPECT_EQ(pace.judged, c.judged);
    EXPECT_EQ(early, c.early);
    EXPECT_NEAR(pace.rate, c.rate, c.rate * 1e-9 + 1e-9);
  }
}

TEST(PaceMeterTest, TypicalRateIsTheMedianOfWhatThereIs) {
  struct Case {
    const char* name;
    std::vector<double> running;
    std::deque<double> ended;
    double expected;
  };
  const Case cases[] = {
      {"running ones", {1, 9, 5}, {100, 100}, 5},
      {"one running, and the ended ones", {1}, {7, 9}, 7},
      {"too few: the previous figure stays", {3}, {}, 42},
      {"none", {}, {}, 42},
  };
  for (const auto& c : cases) EXPECT_EQ(TypicalRate(c.running, c.ended, 42), c.expected) << c.name;
}

TEST(PaceMeterTest, JudgesStalledAndSlowRequests) {
  struct Case {
    const char* name;
    int now_ms;
    int last_progress_ms;
    Pace pace;
    double typical;
    Liveness expected;
  };
  const Case cases[] = {
      {"going", 5000, 4000, {1e6, true}, 1e6, Liveness::kGoing},
      {"nothing for the stall timeout", 20001, 5000, {1e6, true}, 1e6, Liveness::kStalled},
      {"just within it", 20000, 5000, {0, true}, 0, Liveness::kGoing},
      {"far below, judged, a window in flight", 3000, 2900, {99999, true}, 1e6, Liveness::kSlow},
      {"far below but not a window in flight yet", 2999, 2900, {10, true}, 1e6, Liveness::kGoing},
      {"far below but not judged", 5000, 4900, {10, false}, 1e6, Liveness::kGoing},
      {"a tenth exactly is not far below", 5000, 4900, {100000, true}, 1e6, Liveness::kGoing},
      {"no typical rate yet", 5000, 4900, {10, true}, 0, Liveness::kGoing},
  };
  for (const auto& c : cases) {
    const RequestTimes request{.sent_at = kZero, .last_progress = At(c.last_progress_ms)};
    EXPECT_EQ(Judge(request, c.pace, c.typical, At(c.now_ms), Rules()), c.expected) << c.name;
  }
}

TEST(PaceMeterTest, RetryWaitsDoubleAndNeverUndercutRetryAfter) {
  struct Case {
    int failures;
    std::int64_t retry_after;
    milliseconds expected;
  };
  const Case cases[] = {
      {1, 0, 250ms}, {2, 0, 500ms},  {3, 0, 1000ms}, {6, 0, 8000ms},
      {40, 0, 8000ms}, {1, 2, 2000ms}, {6, 2, 8000ms}, {1, 30, 30000ms}, {1, -5, 250ms},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RetryDelay(c.failures, c.retry_after, Rules()), c.expected)
        << c.failures << " failures, Retry-After " << c.retry_after;
}

// A host that counts open connections turns a new one away without a word
// while ours sit idle between pieces: a refusal then still is its limit, as
// long as the download received within the stall bound. A busy reply needs
// others receiving, and the first request is never one.
TEST(PaceMeterTest, HostLimitSignsNeedOthersReceivingOrReceivedLately) {
  struct Case {
    bool busy, no_reply;
    int others;
    bool lately, first, sign;
  };
  const Case cases[] = {
      // busy  no_reply others lately first  sign
      {true, false, 3, false, false, true},   {false, true, 1, false, false, true},
      {true, false, 0, false, false, false},  {false, true, 0, false, false, false},
      {true, false, 3, true, true, false},    {false, false, 3, true, false, false},
      {false, true, 0, true, false, true},    {true, false, 0, true, false, false},
      {false, true, 0, true, true, false},    {false, false, 0, true, false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HostLimitSign(c.busy, c.no_reply, c.others, c.lately, c.first), c.sign)
        << c.busy << c.no_reply << c.others << c.lately << c.first;
}

}  // namespace
}  // namespace wuqu::download
