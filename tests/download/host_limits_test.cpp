// The connections each host is given, over a fake clock: a table of steps,
// each an event at a moment and the target afterwards.
#include "download/host_limits.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "download/open_connections.h"

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

enum class Event { kSign, kReceiving, kGrow, kBegin };
struct Step {
  int at_ms;
  Event event;
  int count = 0;           // receiving connections for kSign and kReceiving
  int quiet_until_ms = 0;  // kSign: a Retry-After ending then
  int target;              // for a download asking for 20
  int allowed = -1;        // what the host is said to allow then (-1: unchecked)
  int awaiting = 0;        // kSign: requests sent and not yet answered
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
                                          : Clock::time_point{},
                         s.awaiting);
        break;
      case Event::kReceiving:
        limits.Receiving(host, s.count);
        break;
      case Event::kGrow:
        limits.Grow(host, 20, now);
        break;
      case Event::kBegin:
        limits.DownloadBegins(host);
        break;
    }
    EXPECT_EQ(limits.Target(host, 20), s.target) << "after the step at " << s.at_ms << " ms";
    if (s.allowed >= 0) {
      EXPECT_EQ(limits.Allowed(host, 20), s.allowed) << "after the step at " << s.at_ms << " ms";
    }
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
      // A host that counts open connections: the refusals of the first
      // burst come while few of the others have their replies yet, later
      // ones (a test for one more, a connection the host has not yet seen
      // close) while one is between pieces. What it allows is the most that
      // worked at once, whatever the target of the moment.
      {"refusals while others receive: allows the most that received at once",
       {{0, Event::kReceiving, 1, 0, 20, 20},
        {5, Event::kSign, 1, 0, 1, 1},
        {6, Event::kSign, 1, 0, 1, 1},
        {10, Event::kReceiving, 4, 0, 4, 4},
        {20, Event::kSign, 3, 0, 3, 4},
        {519, Event::kGrow, 0, 0, 3, 4},
        {520, Event::kGrow, 0, 0, 4, 4},
        {2519, Event::kGrow, 0, 0, 4, 4},
        {2520, Event::kGrow, 0, 0, 5, 4},
        {2600, Event::kSign, 4, 0, 4, 4}}},
      {"refusals while others await their replies keep room for them until they are answered",
       {{0, Event::kSign, 1, 0, 2, 1, 1},
        {5, Event::kSign, 1, 0, 2, 1, 1},
        {10, Event::kReceiving, 2, 0, 2, 2},
        {20, Event::kSign, 2, 0, 2, 2, 0}}},
      {"the next download starts at what the host allows, not where a late refusal left it",
       {{0, Event::kBegin, 0, 0, 20, 20},
        {0, Event::kSign, 2, 0, 2, 2},
        {10, Event::kSign, 1, 0, 1, 2},
        {20, Event::kBegin, 0, 0, 2, 2},
        {30, Event::kSign, 0, 0, 1, 2},
        {40, Event::kBegin, 0, 0, 2, 2}}},
      {"receiving before the first sign counts towards what it allows",
       {{0, Event::kReceiving, 4, 0, 20, 20}, {10, Event::kSign, 2, 0, 2, 4}}},
      {"refusals with none receiving: one kept, the most served still allowed",
       {{0, Event::kSign, 4, 0, 4, 4},
        {100, Event::kSign, 0, 0, 1, 4},
        {200, Event::kSign, 0, 0, 1, 4},
        {700, Event::kGrow, 0, 0, 2, 4}}},
      {"a host refusing with none ever receiving allows 1",
       {{0, Event::kSign, 0, 0, 1, 1}, {2000, Event::kGrow, 0, 0, 2, 1}}},
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

// ---- the connections open to a host, idle ones included ----

// A listening socket on loopback and connections to it, each with its
// accepted end, so a test can see which ones the host was told are over.
class Loopback {
 public:
  Loopback() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 16);
    socklen_t length = sizeof addr_;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr_), &length);
  }
  ~Loopback() {
    for (const auto& [client, server] : pairs_) {
      ::close(client);
      ::close(server);
    }
    ::close(listener_);
  }
  // A new connection: its client end.
  int Connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_);
    pairs_.emplace_back(fd, ::accept(listener_, nullptr, nullptr));
    return fd;
  }
  static int LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
  }
  // The host's end of the connection has seen it end.
  bool EndedAtTheHost(int client) const {
    for (const auto& [c, server] : pairs_) {
      if (c != client) continue;
      pollfd p{server, POLLIN, 0};
      char byte;
      return ::poll(&p, 1, 0) == 1 && ::recv(server, &byte, 1, MSG_DONTWAIT) == 0;
    }
    return false;
  }

 private:
  int listener_ = -1;
  sockaddr_in addr_{};
  std::vector<std::pair<int, int>> pairs_;
};

TEST(OpenConnectionsTest, IdleConnectionsCountAndAreClosedFirst) {
  struct Case {
    const char* name;
    int in_use;  // connections with a transfer on them
    int idle;    // connections whose transfer is over
    int limit;
    int open_after, shut;
  };
  const Case cases[] = {
      {"idle ones count like busy ones", 2, 2, 4, 4, 0},
      {"idle ones beyond the limit are closed", 2, 3, 3, 3, 2},
      {"busy ones are never closed, even beyond the limit", 4, 2, 2, 4, 2},
      {"all idle, limit 1", 0, 5, 1, 1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback host;
    OpenConnections open;
    std::vector<int> busy, idle;
    TransferSerial serial = 1;
    for (int i = 0; i < c.in_use + c.idle; ++i) {
      const int fd = host.Connect();
      open.Opened(fd, "media.example", serial);
      (i < c.in_use ? busy : idle).push_back(fd);
      if (i >= c.in_use) open.Released(serial);
      ++serial;
    }
    open.Opened(host.Connect(), "other.example", 0);  // idle, another host's
    EXPECT_EQ(open.Open("media.example"), c.in_use + c.idle);
    EXPECT_EQ(open.Idle("media.example"), c.idle);
    EXPECT_EQ(open.CloseIdle("media.example", c.limit), c.shut);
    EXPECT_EQ(open.Open("media.example"), c.open_after);
    for (const int fd : busy) EXPECT_FALSE(host.EndedAtTheHost(fd)) << "a busy one was closed";
    int ended = 0;
    for (const int fd : idle) ended += host.EndedAtTheHost(fd) ? 1 : 0;
    EXPECT_EQ(ended, c.shut) << "the host sees the closed ones end at once";
    EXPECT_EQ(open.Open("other.example"), 1);
  }
}

// A transfer that reuses an idle connection from the pool names it by its
// local port: it is busy again, and the one it used before is idle.
TEST(OpenConnectionsTest, AReusedConnectionIsBusyAgain) {
  Loopback host;
  OpenConnections open;
  const int first = host.Connect();
  const int second = host.Connect();
  open.Opened(first, "h", 1);
  open.Opened(second, "h", 2);
  open.Released(1);
  open.Released(2);
  EXPECT_EQ(open.Idle("h"), 2);
  open.InUse("h", Loopback::LocalPort(second), 3);
  EXPECT_EQ(open.Idle("h"), 1);
  EXPECT_EQ(open.CloseIdle("h", 1), 1);
  EXPECT_TRUE(host.EndedAtTheHost(first));
  EXPECT_FALSE(host.EndedAtTheHost(second));
  // A late release of an older transfer leaves the new one's connection busy.
  open.Released(2);
  EXPECT_EQ(open.Idle("h"), 0);
  open.Closed(second);
  EXPECT_EQ(open.Open("h"), 0);
}

}  // namespace
}  // namespace wuqu::download
