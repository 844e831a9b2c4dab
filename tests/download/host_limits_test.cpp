// The connections each host is given, over a fake clock: a table of steps,
// each an event at a moment and the target afterwards.
#include "download/host_limits.h"

#include <gtest/gtest.h>

namespace wuqu::download {
namespace {

using namespace std::chrono_literals;
using Clock = HostLimits::Clock;

TEST(HostKeyTest, NamesHostAndPortInLowerCase) {
  struct Case {
    std::string_view url, key;
  };
  const Case cases[] = {
      {"http://Media.Example:8080/a/b.mp4?x=1", "media.example:8080"},
      {"https://user:pw@cdn.example/x", "cdn.example"},
      {"http://[::1]:9/x#frag", "[::1]:9"},
      {"http://host?q", "host"},
      {"no address", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HostKey(c.url), c.key) << c.url;
}

enum class Event { kSign, kReceiving, kGrow };
struct Step {
  int at_ms;
  Event event;
  int count = 0;           // receiving connections for kSign and kReceiving
  int quiet_until_ms = 0;  // kSign: a Retry-After ending then
  int target;              // for a download asking for 20
};

void Play(const std::vector<Step>& steps) {
  HostLimits limits(2000ms);
  const Clock::time_point zero{};
  const std::string host = "media.example";
  for (const Step& s : steps) {
    const auto now = zero + std::chrono::milliseconds(s.at_ms);
    switch (s.event) {
      case Event::kSign:
        limits.LimitSeen(host, s.count, now,
                         s.quiet_until_ms ? zero + std::chrono::milliseconds(s.quiet_until_ms)
                                          : Clock::time_point{});
        break;
      case Event::kReceiving:
        limits.Receiving(host, s.count);
        break;
      case Event::kGrow:
        limits.Grow(host, 20, now);
        break;
    }
    EXPECT_EQ(limits.Target(host, 20), s.target) << "after the step at " << s.at_ms << " ms";
    EXPECT_EQ(limits.Target("other.example", 20), 20) << "another host is not limited";
  }
}

TEST(HostLimitsTest, LearnsAndRetestsAHostsLimit) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"unlimited until a sign",
       {{0, Event::kGrow, 0, 0, 20}, {0, Event::kReceiving, 7, 0, 20}}},
      {"drops to the receiving, then finds the others that receive",
       {{0, Event::kSign, 1, 0, 1},
        {10, Event::kReceiving, 3, 0, 3},
        {20, Event::kSign, 4, 0, 4},
        {30, Event::kReceiving, 2, 0, 4}}},
      {"a sign with none receiving keeps one",
       {{0, Event::kSign, 0, 0, 1}}},
      {"grows by one after a quiet while, then waits again",
       {{0, Event::kSign, 4, 0, 4},
        {1999, Event::kGrow, 0, 0, 4},
        {2000, Event::kGrow, 0, 0, 5},
        {2001, Event::kGrow, 0, 0, 5},
        {4000, Event::kGrow, 0, 0, 6},
        {4500, Event::kSign, 5, 0, 5},
        {6000, Event::kGrow, 0, 0, 5},
        {6500, Event::kGrow, 0, 0, 6}}},
      {"back to the most it served at a quarter of the quiet while, then by one",
       {{0, Event::kSign, 4, 0, 4},
        {100, Event::kSign, 1, 0, 1},
        {599, Event::kGrow, 0, 0, 1},
        {600, Event::kGrow, 0, 0, 2},
        {1100, Event::kGrow, 0, 0, 3},
        {1600, Event::kGrow, 0, 0, 4},
        {2100, Event::kGrow, 0, 0, 4},
        {3600, Event::kGrow, 0, 0, 5}}},
      {"a Retry-After longer than the quiet while holds growth back",
       {{0, Event::kSign, 2, 5000, 2},
        {2000, Event::kGrow, 0, 0, 2},
        {4999, Event::kGrow, 0, 0, 2},
        {5000, Event::kGrow, 0, 0, 3}}},
      {"never beyond what the download asks",
       {{0, Event::kSign, 19, 0, 19},
        {2000, Event::kGrow, 0, 0, 20},
        {4000, Event::kGrow, 0, 0, 20},
        {4001, Event::kReceiving, 25, 0, 20}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Play(c.steps);
  }
}

TEST(HostLimitsTest, GrowSaysWhenItNextMay) {
  HostLimits limits(2000ms);
  const Clock::time_point zero{};
  EXPECT_EQ(limits.Grow("h", 4, zero), Clock::time_point::max());
  limits.LimitSeen("h", 2, zero);
  EXPECT_EQ(limits.Grow("h", 4, zero + 100ms), zero + 2000ms);
  EXPECT_EQ(limits.Grow("h", 4, zero + 2000ms), zero + 4000ms);  // now 3
  EXPECT_EQ(limits.Grow("h", 4, zero + 4000ms), Clock::time_point::max());  // now 4 of 4
  // The next download of the run starts at what was learned.
  EXPECT_EQ(limits.Target("h", 20), 4);
  EXPECT_EQ(limits.Target("h", 3), 3);
}

}  // namespace
}  // namespace wuqu::download
