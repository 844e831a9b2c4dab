// What one request may cost the site: heads too large or too slow are refused
// without holding a server thread, and the request log stays small whatever
// the requests hold.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "site/demo_site.h"
#include "site/request_log.h"
#include "site/site_client.h"

namespace wuqu {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A connection of our own, for clients that send while they read or take
// their time.
class Connection {
 public:
  explicit Connection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Everything until the server closes, or until nothing came for `quiet`.
  std::string ReadAll(milliseconds quiet) {
    std::string all;
    char buf[65536];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
  }

 private:
  int fd_ = -1;
};

int StatusOf(const std::string& response) {
  return response.starts_with("HTTP/1.1 ") ? std::atoi(response.c_str() + 9) : 0;
}

std::string Head(std::string_view target, int fields, std::size_t value_size) {
  std::string head = "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (int i = 1; i < fields; ++i)
    head += "X-F" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
  return head + "\r\n";
}

class SiteLimits : public ::testing::Test {
 protected:
  void StartSite(DemoSiteOptions options = {}) {
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }
  int port() const { return site_->Port(); }
  std::unique_ptr<DemoSite> site_;
};

TEST_F(SiteLimits, HeadsBeyondTheLimitsAre431AndTheSiteGoesOn) {
  StartSite();
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"100 fields", Head("/zw/", 100, 10), 200},
      {"101 fields", Head("/zw/", 101, 10), 431},
      {"20000 short fields", Head("/zw/", 20000, 1), 431},
      {"64 KiB in all", Head("/zw/", 80, 780), 200},
      {"more than 64 KiB in fewer than 100 fields", Head("/zw/", 90, 800), 431},
      {"a request line of 70 KiB", "GET /" + std::string(70000, 'a') + " HTTP/1.1\r\n\r\n", 431},
      {"a request line without end", "GET /" + std::string(70000, 'a'), 431},
  };
  for (const auto& c : cases) {
    site_->ClearRequests();
    Connection conn(port());
    ASSERT_TRUE(conn.ok());
    conn.Send(c.request);
    const std::string answer = conn.ReadAll(milliseconds(10000));
    EXPECT_EQ(StatusOf(answer), c.status) << c.what;
    const auto log = site_->Requests();
    ASSERT_EQ(log.size(), 1u) << c.what;
    EXPECT_EQ(log[0].status, c.status) << c.what;
    EXPECT_EQ(log[0].method, "GET") << c.what;
    if (c.status == 431) {
      EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << c.what;
      EXPECT_TRUE(log[0].headers.empty()) << c.what;
    }
  }
  EXPECT_EQ(test::RawGet(port(), "/zw/").status, 200);
}

// A client that sends header lines without end gets its answer while it is
// still sending, and costs the site no more than the limit.
TEST_F(SiteLimits, EndlessHeadIsCutOffEarly) {
  StartSite();
  Connection conn(port());
  ASSERT_TRUE(conn.ok());
  std::atomic<std::uint64_t> sent{0};
  std::thread sender([&] {
    const std::string lines = [] {
      std::string s = "GET /zw/ HTTP/1.1\r\n";
      while (s.size() < 1 << 20) s += "X-Endless: " + std::string(100, 'e') + "\r\n";
      return s;
    }();
    for (int i = 0; i < 100 && conn.Send(lines); ++i) sent += lines.size();
  });
  const std::string answer = conn.ReadAll(milliseconds(10000));
  EXPECT_EQ(StatusOf(answer), 431);
  sender.join();
  EXPECT_LT(sent, 100u << 20) << "the site read all 100 MB";
  const auto log = site_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_LE(RequestRecordBytes(log[0]), 4096u);
}

// The whole head has a deadline from its first byte: a client that sends a
// byte a second is answered 408 and let go, however far it got.
TEST_F(SiteLimits, HeadNotCompleteInTimeIs408) {
  StartSite({.request_head = {.deadline = milliseconds(1500)}});
  Connection conn(port());
  ASSERT_TRUE(conn.ok());
  const std::string head = "GET /zw/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const auto start = Clock::now();
  std::size_t sent = 0;
  std::string answer;
  while (answer.empty() && sent < head.size() && Clock::now() - start < std::chrono::seconds(20)) {
    conn.Send(head.substr(sent++, 1));
    answer = conn.ReadAll(milliseconds(400));
  }
  EXPECT_EQ(StatusOf(answer), 408) << answer;
  EXPECT_LT(sent, head.size());
  const auto log = site_->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 408);
}

// 100 clients each sending a header byte a second, more than there are
// server threads: a new client is still answered at once (the bound here
// only keeps a hang from lasting).
TEST_F(SiteLimits, SlowHeadsHoldNoServerThread) {
  StartSite({.threads = 64});
  constexpr int kSlow = 100;
  std::vector<std::unique_ptr<Connection>> slow;
  for (int i = 0; i < kSlow; ++i) {
    slow.push_back(std::make_unique<Connection>(port()));
    ASSERT_TRUE(slow.back()->ok());
  }
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    const std::string head =
        "GET /zw/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(100, 's') + "\r\n\r\n";
    for (std::size_t at = 0; !done && at < head.size() - 1; ++at) {
      for (auto& c : slow) c->Send(head.substr(at, 1));
      for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(milliseconds(100));
    }
  });
  std::this_thread::sleep_for(milliseconds(1500));  // every slow client has begun its head
  const auto start = Clock::now();
  const auto page = test::RawRequest(port(), "GET", "/zw/", {}, 5000);
  const auto waited = Clock::now() - start;
  done = true;
  trickler.join();
  EXPECT_EQ(page.status, 200);
  EXPECT_FALSE(page.timed_out);
  EXPECT_LT(waited, std::chrono::seconds(5));
  // None of them got anywhere.
  for (const auto& r : site_->Requests()) EXPECT_EQ(r.target, "/zw/");
  EXPECT_EQ(site_->Requests().size(), 1u);
}

// Reading heads ahead of httplib must not lose or mix requests: several on
// one connection, sent at once or one after another, each get their answer.
TEST_F(SiteLimits, RequestsOnOneConnectionAreAnsweredInTurn) {
  StartSite();
  const std::string two =
      "GET /zw/ HTTP/1.1\r\nHost: a\r\n\r\n"
      "GET /mp4/djmusic/synthetic/10/1.mp4 HTTP/1.1\r\nHost: a\r\n"
      "Range: bytes=2-5\r\n\r\n";
  Connection conn(port());
  ASSERT_TRUE(conn.Send(two));
  std::string answers = conn.ReadAll(milliseconds(500));
  ASSERT_TRUE(conn.Send("GET /xc/ HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
  answers += conn.ReadAll(milliseconds(5000));
  EXPECT_EQ(answers.find("HTTP/1.1 200 OK"), 0u);
  EXPECT_NE(answers.find("HTTP/1.1 206 Partial Content"), std::string::npos);
  EXPECT_NE(answers.find("Content-Range: bytes 2-5/10"), std::string::npos);
  const auto log = site_->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].target, "/zw/");
  EXPECT_EQ(log[1].range, "bytes=2-5");
  EXPECT_EQ(log[1].status, 206);
  EXPECT_EQ(log[2].target, "/xc/");
  EXPECT_EQ(log[0].remote_port, log[2].remote_port);
}

// A body the site never reads ends the connection: its bytes are never taken
// for a next request, also after an interim "100 Continue".
TEST_F(SiteLimits, UnreadBodyEndsTheConnection) {
  StartSite();
  const std::string body = "GET /xc/ HTTP/1.1\r\nHost: a\r\n\r\n";
  struct Case {
    std::string extra_field;
    std::vector<int> statuses;
  };
  const Case cases[] = {
      {"", {405}},
      {"Expect: 100-continue\r\n", {100, 405}},
  };
  for (const auto& c : cases) {
    site_->ClearRequests();
    Connection conn(port());
    ASSERT_TRUE(conn.Send("POST /zw/ HTTP/1.1\r\nHost: a\r\n" + c.extra_field +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    const std::string answer = conn.ReadAll(milliseconds(5000));
    std::vector<int> statuses;
    for (auto at = answer.find("HTTP/1.1 "); at != std::string::npos;
         at = answer.find("HTTP/1.1 ", at + 1))
      statuses.push_back(StatusOf(answer.substr(at)));
    EXPECT_EQ(statuses, c.statuses) << c.extra_field;
    const auto log = site_->Requests();
    ASSERT_EQ(log.size(), 1u) << c.extra_field;
    EXPECT_EQ(log[0].method, "POST");
  }
}

TEST_F(SiteLimits, LoggedRecordsAreCutToAFewKiB) {
  StartSite();
  const std::string long_target = "/zw/?" + std::string(6000, 'q');
  std::vector<std::string> fields;
  for (int i = 0; i < 90; ++i)
    fields.push_back("X-Big" + std::to_string(i) + ": " + std::string(600, 'b'));
  fields.push_back("X-Last: " + std::string(3000, 'l'));
  EXPECT_EQ(test::RawGet(port(), long_target, fields).status, 200);
  test::RawGet(port(), "/zw/?small", {"X-Probe: one"});

  const auto log = site_->Requests();
  ASSERT_EQ(log.size(), 2u);
  const SiteRequest& big = log[0];
  EXPECT_TRUE(big.truncated);
  EXPECT_EQ(big.target, long_target.substr(0, kLoggedTextBytes));
  EXPECT_EQ(big.status, 200);
  EXPECT_LE(RequestRecordBytes(big), kLoggedRecordBytes + 4096);
  for (const auto& [name, value] : big.headers) EXPECT_LE(value.size(), kLoggedFieldBytes);

  const SiteRequest& small = log[1];
  EXPECT_FALSE(small.truncated);
  EXPECT_EQ(small.target, "/zw/?small");
  EXPECT_EQ(small.Header("X-Probe"), "one");
}

TEST_F(SiteLimits, LogKeepsTheLatestWithinItsBounds) {
  struct Case {
    const char* what;
    RequestLogLimits limits;
    std::size_t value_size;
  };
  const Case cases[] = {
      {"by count", {.max_records = 5}, 10},
      {"by bytes", {.max_bytes = 40000}, 900},
  };
  for (const auto& c : cases) {
    StartSite({.request_log = c.limits});
    for (int i = 0; i < 12; ++i) {
      std::vector<std::string> fields;
      for (int f = 0; f < 8; ++f)
        fields.push_back("X-" + std::to_string(f) + ": " + std::string(c.value_size, 'x'));
      test::RawGet(port(), "/zw/?" + std::to_string(i), fields);
    }
    const auto log = site_->Requests();
    ASSERT_FALSE(log.empty()) << c.what;
    ASSERT_LT(log.size(), 12u) << c.what;
    EXPECT_LE(log.size(), c.limits.max_records) << c.what;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
      bytes += RequestRecordBytes(log[i]);
      // The newest ones, in order.
      EXPECT_EQ(log[i].target, "/zw/?" + std::to_string(12 - log.size() + i)) << c.what;
    }
    EXPECT_LE(bytes, c.limits.max_bytes) << c.what;
  }
}

}  // namespace
}  // namespace wuqu
