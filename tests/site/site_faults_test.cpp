// The ways the site misbehaves on request, for the tests of the downloader
// and the HTTP client: each does what it says, and nothing more.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "site/demo_site.h"
#include "site/site_client.h"
#include "site/synthetic.h"

namespace wuqu {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::string Range(std::uint64_t first, std::uint64_t last) {
  return "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

class SiteFaultsTest : public ::testing::Test {
 protected:
  void StartSite(SiteFaults faults) {
    site_ = std::make_unique<DemoSite>(DemoSiteOptions{.faults = std::move(faults)});
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }
  int port() const { return site_->Port(); }

  const std::string path_ = DemoSite::SyntheticMediaPath(1000000, 3);
  const std::string bytes_ = SyntheticBytes(3).Range(0, 1000000);
  std::unique_ptr<DemoSite> site_;
};

TEST_F(SiteFaultsTest, RefusedRangesGiveTheWholeFile) {
  StartSite({.refuse_ranges = true});
  const auto r = test::RawGet(port(), path_, {Range(10, 19)});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Accept-Ranges"), "none");
  EXPECT_FALSE(r.HasHeader("Content-Range"));
  EXPECT_EQ(r.body, bytes_);
  const auto head = test::RawRequest(port(), "HEAD", path_, {Range(10, 19)});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Accept-Ranges"), "none");
  EXPECT_EQ(head.Header("Content-Length"), "1000000");
}

TEST_F(SiteFaultsTest, DroppedConnectionsEndAfterExactlyThatManyBytes) {
  struct Case {
    std::uint64_t drop_after;
    std::string range;  // "" for the whole file
    std::uint64_t first;
    std::uint64_t expected;  // body bytes that arrive
  };
  const Case cases[] = {
      {1000, "", 0, 1000},      // inside the first piece written
      {300000, "", 0, 300000},  // after several pieces
      {300000, Range(500000, 999999), 500000, 300000},
      {300000, Range(900000, 999999), 900000, 100000},  // the range ends first: complete
      {2000000, "", 0, 1000000},                        // beyond the body: complete
  };
  for (const auto& c : cases) {
    site_.reset();
    StartSite({.drop_after = c.drop_after});
    std::vector<std::string> headers;
    if (!c.range.empty()) headers.push_back(c.range);
    const auto r = test::RawGet(port(), path_, headers);
    EXPECT_EQ(r.status, c.range.empty() ? 200 : 206) << c.drop_after << " " << c.range;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.body.size(), c.expected) << c.drop_after << " " << c.range;
    EXPECT_EQ(r.body, bytes_.substr(c.first, r.body.size())) << c.drop_after << " " << c.range;
  }
}

TEST_F(SiteFaultsTest, EveryNthRangedRequestFailsWith503) {
  StartSite({.fail_every_nth_range = 3});
  std::vector<int> statuses;
  for (int i = 0; i < 9; ++i) {
    statuses.push_back(test::RawGet(port(), path_, {Range(i, i + 9)}).status);
    // Requests without a range are never failed and not counted.
    EXPECT_EQ(test::RawGet(port(), path_).status, 200);
  }
  EXPECT_EQ(statuses, (std::vector<int>{206, 206, 503, 206, 206, 503, 206, 206, 503}));
  // Pages are not media: their ranges are not counted either.
  site_->SetFaults({.fail_every_nth_range = 2});
  EXPECT_EQ(test::RawGet(port(), "/zw/", {Range(0, 9)}).status, 200);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).status, 206);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).status, 503);
}

TEST_F(SiteFaultsTest, StallStopsTheBodyAtItsPlaceThenGoesOn) {
  // A long stall: the client sees exactly stall_after bytes and then nothing.
  // Only the first response stalls, so a second one comes whole meanwhile.
  StartSite({.stall_after = 200000, .stall_for = milliseconds(60000), .stall_count = 1});
  const auto stalled = test::RawRequest(port(), "GET", path_, {}, 3000);
  EXPECT_TRUE(stalled.timed_out);
  EXPECT_EQ(stalled.body, bytes_.substr(0, 200000));
  const auto next = test::RawGet(port(), path_);
  EXPECT_EQ(next.body, bytes_);

  // A short stall in every response: the bodies arrive whole and unchanged.
  site_->SetFaults({.stall_after = 1000, .stall_for = milliseconds(100)});
  for (int i = 0; i < 2; ++i) {
    const auto r = test::RawGet(port(), path_, {Range(500, 999999)});
    EXPECT_EQ(r.status, 206);
    EXPECT_EQ(r.body, bytes_.substr(500));
  }
}

TEST_F(SiteFaultsTest, StopEndsSlowStalledAndDelayedResponsesAtOnce) {
  // One response of each kind of wait, each started under its own faults.
  StartSite({.rate_limit = 1000});
  std::vector<std::thread> clients;
  const SiteFaults waits[] = {
      {.rate_limit = 1000},
      {.stall_after = 10, .stall_for = milliseconds(600000)},
      {.first_byte_delay = milliseconds(600000)},
      {.trickle_nth_range = 1},
      {.slow_head_nth_range = 1, .slow_head_interval = milliseconds(600000)},
  };
  for (std::size_t i = 0; i < std::size(waits); ++i) {
    site_->SetFaults(waits[i]);
    clients.emplace_back(
        [&] { test::RawRequest(port(), "GET", path_, {Range(0, 999999)}, 600000); });
    while (site_->Requests().size() < i + 1) std::this_thread::sleep_for(milliseconds(5));
  }
  site_->Stop();  // returns only once every server thread has ended
  for (auto& t : clients) t.join();
  EXPECT_FALSE(site_->IsRunning());
}

TEST_F(SiteFaultsTest, ChosenPathsGetTheChosenStatus) {
  const std::string media = "/mp4/djmusic/2024/live/116717.mp4";
  StartSite({.path_status = {{"/zw/", 500}, {"/m/116717/", 404}, {media, 503}, {"/gone", 410}}});
  const std::pair<std::string, int> cases[] = {
      {"/zw/", 500},  {"/m/116717/", 404}, {media, 503},
      {"/gone", 410}, {"/xc/", 200},       {"/m/116724/", 200},  // others keep their answers
  };
  for (const auto& [target, status] : cases) {
    const auto r = test::RawGet(port(), target);
    EXPECT_EQ(r.status, status) << target;
    if (status != 200) {
      EXPECT_EQ(r.body.find("', file: '"), std::string::npos) << target;
    }
  }
  // Changed while running, the next request follows.
  site_->SetFaults({});
  EXPECT_EQ(test::RawGet(port(), "/zw/").status, 200);
}

// Lower bounds only: a busy machine can make these slower, never faster.
TEST_F(SiteFaultsTest, DelayAndRateLimitHoldTheBytesBack) {
  StartSite({.first_byte_delay = milliseconds(300)});
  auto start = Clock::now();
  EXPECT_EQ(test::RawGet(port(), "/zw/").status, 200);
  EXPECT_GE(Clock::now() - start, milliseconds(300));

  site_->SetFaults({.rate_limit = 200000});
  start = Clock::now();
  const auto r = test::RawGet(port(), path_, {Range(0, 99999)});
  EXPECT_GE(Clock::now() - start, milliseconds(490));  // 100 kB at 200 kB/s
  EXPECT_EQ(r.body, bytes_.substr(0, 100000));
}

TEST_F(SiteFaultsTest, NewMediaRevisionIsAnotherFile) {
  StartSite({});
  const auto before = test::RawGet(port(), path_);
  const std::string shipped = "/mp4/djmusic/2024/live/116717.mp4";
  const auto shipped_before = test::RawGet(port(), shipped);

  site_->SetFaults({.media_revision = 1});
  const auto after = test::RawGet(port(), path_);
  EXPECT_NE(after.Header("ETag"), before.Header("ETag"));
  EXPECT_NE(after.Header("Last-Modified"), before.Header("Last-Modified"));
  EXPECT_NE(after.body, before.body);
  EXPECT_EQ(after.body.size(), before.body.size());
  EXPECT_EQ(site_->MediaBytes(path_), after.body);
  // A resume that names the old version gets the whole new file.
  const auto resumed =
      test::RawGet(port(), path_, {Range(500000, 999999), "If-Range: " + before.Header("ETag")});
  EXPECT_EQ(resumed.status, 200);
  EXPECT_EQ(resumed.body, after.body);
  // The shipped tracks keep their bytes under their new validators.
  const auto shipped_after = test::RawGet(port(), shipped);
  EXPECT_EQ(shipped_after.body, shipped_before.body);
  EXPECT_NE(shipped_after.Header("ETag"), shipped_before.Header("ETag"));
}

// Twenty connections at once, as the downloader opens them: the chosen one
// trickles at its rate from its first body byte, the other nineteen come whole.
TEST_F(SiteFaultsTest, OneRangedRequestTrickles) {
  StartSite({.trickle_nth_range = 7, .trickle_rate = 10});
  constexpr int kConnections = 20;
  std::vector<test::RawResponse> answers(kConnections);
  std::vector<std::thread> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.emplace_back([&, i] {
      const std::uint64_t first = 50000ull * static_cast<std::uint64_t>(i);
      answers[i] =
          test::RawRequest(port(), "GET", path_, {Range(first, first + 49999)}, 3000, 3000);
    });
  }
  for (auto& t : clients) t.join();
  int trickled = 0;
  for (int i = 0; i < kConnections; ++i) {
    const auto& r = answers[i];
    EXPECT_EQ(r.status, 206) << i;
    EXPECT_EQ(r.body, bytes_.substr(50000 * i, r.body.size())) << i;
    if (r.timed_out) {
      ++trickled;
      EXPECT_LE(r.body.size(), 100u) << i;  // 10 bytes a second for 3 s, with room to spare
    } else {
      EXPECT_EQ(r.body.size(), 50000u) << i;
    }
  }
  EXPECT_EQ(trickled, 1);

  // Requests without a range are not counted; HEADs are not either.
  site_->SetFaults({.trickle_nth_range = 2});
  EXPECT_EQ(test::RawGet(port(), path_).body, bytes_);
  EXPECT_EQ(test::RawRequest(port(), "HEAD", path_, {Range(0, 9)}).status, 206);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).body, bytes_.substr(0, 10));
  const auto slow = test::RawRequest(port(), "GET", path_, {Range(0, 9)}, 1500, 1500);
  EXPECT_TRUE(slow.timed_out);
  EXPECT_LT(slow.body.size(), 10u);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).body, bytes_.substr(0, 10));
}

// A host's limit: with four media responses being sent, a fifth request is
// refused (503 with Retry-After: 1, or a close without a reply); once a slot
// is free again it is served.
TEST_F(SiteFaultsTest, AHostsLimitRefusesRequestsBeyondIt) {
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "close" : "503");
    StartSite({.rate_limit = 100000, .max_connections = 4, .max_connections_close = close});
    constexpr int kClients = 6;
    std::vector<test::RawResponse> answers(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        // Each body takes half a second at 100 kB/s: all six overlap.
        const std::uint64_t first = 50000ull * static_cast<std::uint64_t>(i);
        answers[i] = test::RawGet(port(), path_, {Range(first, first + 49999)});
      });
    }
    for (auto& t : clients) t.join();
    int served = 0, refused = 0;
    for (int i = 0; i < kClients; ++i) {
      const auto& r = answers[i];
      if (r.status == 206) {
        ++served;
        EXPECT_EQ(r.body, bytes_.substr(50000 * i, 50000)) << i;
      } else if (close) {
        ++refused;
        EXPECT_EQ(r.status, 0) << i;
        EXPECT_TRUE(r.headers.empty() && r.body.empty()) << i;
      } else {
        ++refused;
        EXPECT_EQ(r.status, 503) << i;
        EXPECT_EQ(r.Header("Retry-After"), "1") << i;
      }
    }
    EXPECT_EQ(served, 4);
    EXPECT_EQ(refused, 2);
    // The slots are free again.
    EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).status, 206);
    site_.reset();
  }
}

// A host that counts open TCP connections: idle ones, without a request,
// count as much as those being answered; one beyond the limit is closed
// without a reply, and once one closes another is let in.
TEST_F(SiteFaultsTest, AHostsLimitOfOpenConnectionsCountsIdleOnes) {
  StartSite({.max_open_connections = 2});
  auto open_idle = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port()));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  };
  // Until the site has seen the connections open or close as the test did.
  auto wait_open = [&](int n) {
    for (int i = 0; i < 200 && site_->OpenConnections() != n; ++i)
      std::this_thread::sleep_for(milliseconds(5));
    return site_->OpenConnections();
  };
  const int first = open_idle();
  ASSERT_EQ(wait_open(1), 1);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).body, bytes_.substr(0, 10))
      << "one idle of two: served";
  ASSERT_EQ(wait_open(1), 1);
  const int second = open_idle();
  ASSERT_EQ(wait_open(2), 2);
  EXPECT_EQ(site_->ConnectionsTurnedAway(), 0);
  const auto beyond = test::RawGet(port(), path_, {Range(0, 9)});
  EXPECT_EQ(beyond.status, 0);
  EXPECT_TRUE(beyond.headers.empty() && beyond.body.empty());
  EXPECT_EQ(site_->ConnectionsTurnedAway(), 1);
  EXPECT_EQ(test::RawGet(port(), "/").status, 0) << "pages count as much as media";
  EXPECT_EQ(site_->ConnectionsTurnedAway(), 2);
  ::close(second);
  ASSERT_EQ(wait_open(1), 1);
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).status, 206)
      << "a slot is free again once one closes";
  EXPECT_TRUE(site_->Requests().size() >= 2);
  for (const auto& r : site_->Requests()) EXPECT_NE(r.status, 0) << "refused ones are not logged";
  // No limit once the faults say none.
  site_->SetFaults({});
  const int third = open_idle();
  EXPECT_EQ(test::RawGet(port(), path_, {Range(0, 9)}).status, 206);
  ::close(first);
  ::close(third);
}

TEST_F(SiteFaultsTest, EachRangesFirstTryGets429WithRetryAfter) {
  StartSite({.retry_after_429 = 2});
  const auto first = test::RawGet(port(), path_, {Range(100, 199)});
  EXPECT_EQ(first.status, 429);
  EXPECT_EQ(first.Header("Retry-After"), "2");
  // The same first byte again is served, whatever its end; another first byte
  // is a first try of its own; a GET without a range is never refused.
  EXPECT_EQ(test::RawGet(port(), path_, {Range(100, 149)}).body, bytes_.substr(100, 50));
  EXPECT_EQ(test::RawGet(port(), path_, {Range(200, 299)}).status, 429);
  EXPECT_EQ(test::RawGet(port(), path_).status, 200);
}

// The chosen response's head comes a line at a time: the status line at once,
// then nothing until the next line is due; its bytes are unchanged.
TEST_F(SiteFaultsTest, OneRangedResponseSpreadsItsHead) {
  StartSite({.slow_head_nth_range = 1, .slow_head_interval = milliseconds(60000)});
  const auto held = test::RawRequest(port(), "GET", path_, {Range(0, 9)}, 1500);
  EXPECT_TRUE(held.timed_out);
  EXPECT_EQ(held.status, 206);
  EXPECT_TRUE(held.headers.empty());
  EXPECT_TRUE(held.body.empty());
  // The next one is not slowed.
  const auto next = test::RawRequest(port(), "GET", path_, {Range(0, 9)}, 1500);
  EXPECT_FALSE(next.timed_out);
  EXPECT_EQ(next.body, bytes_.substr(0, 10));

  // A short interval: the whole answer, a lower bound on its time only.
  site_->SetFaults({.slow_head_nth_range = 1, .slow_head_interval = milliseconds(100)});
  const auto start = Clock::now();
  const auto spread = test::RawGet(port(), path_, {Range(10, 19)});
  EXPECT_EQ(spread.status, 206);
  EXPECT_EQ(spread.Header("Content-Range"), "bytes 10-19/1000000");
  EXPECT_EQ(spread.body, bytes_.substr(10, 10));
  EXPECT_GE(Clock::now() - start, milliseconds(100) * spread.headers.size());
}

// Enough threads for the downloader's connections and the program besides:
// thirty responses held open do not keep a page from being served.
TEST_F(SiteFaultsTest, ManyHeldConnectionsLeaveRoomForMore) {
  StartSite({.stall_after = 1, .stall_for = milliseconds(600000)});
  std::vector<std::thread> held;
  for (int i = 0; i < 30; ++i)
    held.emplace_back([&] { test::RawRequest(port(), "GET", path_, {}, 600000); });
  while (site_->Requests().size() < 30) std::this_thread::sleep_for(milliseconds(5));
  const auto page = test::RawRequest(port(), "GET", "/zw/", {}, 20000);
  EXPECT_EQ(page.status, 200);
  EXPECT_FALSE(page.timed_out);
  site_->Stop();
  for (auto& t : held) t.join();
}

}  // namespace
}  // namespace wuqu
