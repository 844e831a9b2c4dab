// HttpRequest and the curl request object against real servers on loopback.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "net/curl_request_object.h"
#include "net/http_request.h"
#include "net/loopback_server.h"
#include "platform/com.h"
#include "platform/wait_hook.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

using namespace std::chrono_literals;
using testing::HttplibServer;
using testing::RawConnection;
using testing::RawRequest;
using testing::RawResponse;
using testing::RawServer;
using Clock = std::chrono::steady_clock;

std::string AsString(const ByteArray& bytes) {
  return std::string(bytes.begin(), bytes.end());
}
ByteArray AsBytes(std::string_view text) {
  return ByteArray(text.begin(), text.end());
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Base64(std::string_view in) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, in.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<unsigned char>(in[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k)
      out.push_back(k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=');
  }
  return out;
}

// The machine's proxy settings must not route the loopback requests elsewhere.
class CurlRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      ::unsetenv(name);
    }
    com_before_ = ComBalance();
  }
  void TearDown() override { EXPECT_EQ(ComBalance(), com_before_) << "COM pairs balanced"; }

  int com_before_ = 0;
};

// --- What the request looks like on the wire ---------------------------------

TEST_F(CurlRequestTest, WhatArrivesOnTheWire) {
  RawServer server([](const RawRequest&, RawConnection& connection) {
    connection.Write(RawResponse("HTTP/1.1 200 OK", "ok"));
  });
  const std::string root = server.Url("");
  const std::string big(2 << 20, 'x');
  const std::string binary("a\0b\xFF\r\n", 6);

  struct Case {
    const char* name;
    Text url;  // program text
    HttpRequestOptions options;
    Text cookies;
    Text headers;
    std::string request_line;
    std::string body;
  };
  const Case cases[] = {
      {"plain GET", root + "/p", {}, "", "", "GET /p HTTP/1.1", ""},
      {"POST with a text body",
       root + "/form",
       {.method = 1, .body_text = "a=1&b=%E4"},
       "",
       "",
       "POST /form HTTP/1.1",
       "a=1&b=%E4"},
      {"bytes win over text, sent unchanged",
       root + "/bin",
       {.method = 1, .body_text = "text", .body_bytes = AsBytes(binary)},
       "",
       "",
       "POST /bin HTTP/1.1",
       binary},
      {"a large body goes without waiting for 100 Continue",
       root + "/big",
       {.method = 1, .body_text = big},
       "",
       "",
       "POST /big HTTP/1.1",
       big},
      {"HEAD", root + "/h", {.method = 2}, "", "", "HEAD /h HTTP/1.1", ""},
      {"cookies", root + "/c", {}, "a=1; b=2", "", "GET /c HTTP/1.1", ""},
      {"program text address on the wire",
       root + Utf8ToLocalText("/中文 a.html?q=中"),
       {},
       "",
       "",
       "GET /%E4%B8%AD%E6%96%87%20a.html?q=%E4%B8%AD HTTP/1.1",
       ""},
      {"no header injection, one header per name",
       root + "/x",
       {},
       "",
       "X-A: 1\nInjected: 2\r\naccept: text/html",
       "GET /x HTTP/1.1",
       ""},
  };
  const std::vector<std::string> kDefaultOrder = {"Accept", "Referer", "Accept-Language",
                                                  "User-Agent", "Content-Type"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = server.requests().size();
    Text cookies = c.cookies;
    Text headers = c.headers;
    HttpRequestOptions options = c.options;
    options.cookies = &cookies;
    options.headers = &headers;
    const ByteArray body = HttpRequest(c.url, options);
    EXPECT_EQ(AsString(body), c.options.method == 2 ? "" : "ok");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 1);
    const RawRequest& r = requests.back();
    EXPECT_EQ(r.request_line, c.request_line);
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.Header("Expect"), "");
    EXPECT_EQ(r.Header("Referer"), c.url) << "the address as the caller gave it";
    EXPECT_EQ(r.Header("Accept-Language"), "zh-cn");
    EXPECT_EQ(r.Header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
    EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.Header("Accept"), "*/*");
    EXPECT_EQ(r.Header("Cookie"), c.cookies);
    EXPECT_EQ(r.head.find("Injected"), std::string::npos);

    // The default headers keep their order, after a Cookie header if any.
    std::vector<std::string> names = r.HeaderNames();
    std::vector<std::string> ours;
    for (const auto& name : names) {
      if (name == "Cookie" ||
          std::find(kDefaultOrder.begin(), kDefaultOrder.end(), name) != kDefaultOrder.end()) {
        ours.push_back(name);
      }
    }
    std::vector<std::string> expected = kDefaultOrder;
    if (!c.cookies.empty()) expected.insert(expected.begin(), "Cookie");
    EXPECT_EQ(ours, expected);
    int accept_headers = 0;
    for (const auto& name : names) accept_headers += (name == "Accept" || name == "accept");
    EXPECT_EQ(accept_headers, 1);
  }
}

// --- Answers of an ordinary server -------------------------------------------

class OrdinaryServerTest : public CurlRequestTest {
 protected:
  void SetUp() override {
    CurlRequestTest::SetUp();
    secret_path_ =
        std::filesystem::temp_directory_path() / ("wuqu-secret-" + std::to_string(::getpid()));
    std::ofstream(secret_path_) << "SECRET-FILE-CONTENT";
    server_->Get("/ok", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("ok", "text/plain");
      res.set_header("X-Final", "1");
    });
    server_->Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such page", "text/plain");
    });
    server_->Get("/redirect", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "/ok");
      res.set_header("Set-Cookie", "hop=1");
      res.set_content("moved", "text/plain");
    });
    server_->Get("/loop", [this](const httplib::Request&, httplib::Response& res) {
      ++loop_hits_;
      res.status = 302;
      res.set_header("Location", "/loop");
    });
    server_->Get("/to-file", [this](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "file://" + secret_path_.string());
      res.set_content("moved", "text/plain");
    });
    server_->Get("/cookies", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("set-cookie", "a=1");
      res.set_header("SET-COOKIE", "b=2; Path=/; HttpOnly");
      res.set_content("ok", "text/plain");
    });
    server_->Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(1 << 20, 'b'), "application/octet-stream");
    });
    server_->Get("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/octet-stream",
                                       [](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= (1u << 20)) {
                                           sink.done();
                                           return true;
                                         }
                                         const std::string chunk(16384, 'c');
                                         return sink.write(chunk.data(), chunk.size());
                                       });
    });
    server_.Start();
  }
  void TearDown() override {
    server_.Stop();
    std::filesystem::remove(secret_path_);
    CurlRequestTest::TearDown();
  }

  HttplibServer server_;
  std::atomic<int> loop_hits_{0};
  std::filesystem::path secret_path_;
};

TEST_F(OrdinaryServerTest, StatusBodyAndRedirects) {
  struct Case {
    const char* name;
    std::string path;
    bool no_redirect;
    int status;
    std::string body;
    std::string header_present;  // a response header line that must be there
    std::string header_absent;   // text that must not be in the response headers
  };
  const Case cases[] = {
      {"a 404 body comes back", "/missing", false, 404, "no such page", "Content-Length: 12\r\n",
       ""},
      {"redirect followed: the final response only", "/redirect", false, 200, "ok",
       "X-Final: 1\r\n", "Location"},
      {"redirect not followed", "/redirect", true, 302, "moved", "Location: /ok\r\n", "X-Final"},
      {"the status line is not a header", "/ok", false, 200, "ok", "Content-Type: text/plain\r\n",
       "HTTP/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int status = -1;
    Text response_headers;
    const ByteArray body = HttpRequest(
        server_.Url(c.path),
        {.response_headers = &response_headers, .status = &status, .no_redirect = c.no_redirect});
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(AsString(body), c.body);
    EXPECT_NE(response_headers.find(c.header_present), Text::npos) << response_headers;
    if (!c.header_absent.empty()) {
      EXPECT_EQ(response_headers.find(c.header_absent), Text::npos) << response_headers;
    }
    EXPECT_GE(response_headers.size(), 2u);
    EXPECT_EQ(response_headers.substr(response_headers.size() - 2), "\r\n");
  }
}

TEST_F(OrdinaryServerTest, RedirectsStopAfterTen) {
  int status = -1;
  HttpRequest(server_.Url("/loop"), {.status = &status, .timeout_seconds = 10});
  EXPECT_EQ(status, 302);
  EXPECT_EQ(loop_hits_.load(), 11) << "the first request and ten redirects";
}

TEST_F(OrdinaryServerTest, FileAddressesAreRefused) {
  int status = -1;
  const ByteArray redirected = HttpRequest(server_.Url("/to-file"), {.status = &status});
  EXPECT_EQ(AsString(redirected).find("SECRET"), std::string::npos);
  EXPECT_EQ(status, 302) << "the redirect response is the last one that arrived";

  // A listing can carry any address; a file address is never opened.
  status = -1;
  const ByteArray direct = HttpRequest("file://" + secret_path_.string(), {.status = &status});
  EXPECT_TRUE(direct.empty());
  EXPECT_EQ(status, 0);
}

TEST_F(OrdinaryServerTest, SetCookieInAnyCaseIsNormalisedAndMerged) {
  Text cookies = "c=3; a=0";
  Text response_cookies;
  Text response_headers;
  HttpRequest(server_.Url("/cookies"), {.cookies = &cookies,
                                        .response_cookies = &response_cookies,
                                        .response_headers = &response_headers});
  EXPECT_NE(response_headers.find("Set-Cookie: a=1\r\n"), Text::npos) << response_headers;
  EXPECT_NE(response_headers.find("Set-Cookie: b=2; Path=/; HttpOnly\r\n"), Text::npos)
      << response_headers;
  EXPECT_EQ(response_cookies, "a=1;b=2");
  EXPECT_EQ(cookies, "a=1; b=2; c=3");

  // A cookie set by a redirect hop is not in the final response's headers.
  Text jar;
  HttpRequest(server_.Url("/redirect"), {.cookies = &jar});
  EXPECT_EQ(jar, "");
}

TEST_F(OrdinaryServerTest, BodyBeyondTheLimitIsAFailedTransfer) {
  constexpr std::size_t kLimit = 64 * 1024;
  for (const char* path : {"/big", "/big-chunked"}) {
    SCOPED_TRACE(path);
    const ByteArray body =
        HttpRequest(server_.Url(path), {.request_object = MakeCurlRequestObject(kLimit)});
    EXPECT_LE(body.size(), kLimit);
    // The same address within the default limit comes back whole.
    EXPECT_EQ(HttpRequest(server_.Url(path)).size(), 1u << 20);
  }
}

TEST_F(CurlRequestTest, UnreachablePort) {
  // A bound socket that does not listen: connections to it are refused.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

  int status = -1;
  Text response_headers = "stale";
  Text cookies = "a=1";
  const ByteArray body = HttpRequest(
      url, {.cookies = &cookies, .response_headers = &response_headers, .status = &status});
  ::close(fd);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(response_headers, "");
  EXPECT_EQ(cookies, "a=1");
}

TEST_F(CurlRequestTest, ResponseHeaderLines) {
  struct Case {
    const char* name;
    std::string response;
    int status;
    Text headers;
  };
  const Case cases[] = {
      {"an interim 100 Continue is not the response",
       "HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\n" + RawResponse("HTTP/1.1 200 OK", "ok"), 200,
       "Content-Length: 2\r\n"},
      {"each line as Name: value",
       RawResponse("HTTP/1.1 201 Created", "ok", "X-Tight:v\r\nX-Wide:   w  \r\n"), 201,
       "Content-Length: 2\r\nX-Tight: v\r\nX-Wide: w\r\n"},
      {"a folded line joins its header",
       RawResponse("HTTP/1.1 200 OK", "ok", "X-Long: a\r\n  b\r\n"), 200,
       "Content-Length: 2\r\nX-Long: a b\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server([&c](const RawRequest&, RawConnection& connection) {
      connection.Write(c.response);
      connection.Close();
    });
    int status = -1;
    Text headers;
    const ByteArray body =
        HttpRequest(server.Url("/"), {.response_headers = &headers, .status = &status});
    EXPECT_EQ(AsString(body), "ok");
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(headers, c.headers);
  }
}

// --- Time-outs and bodies that come slowly -------------------------------------

TEST_F(CurlRequestTest, SlowServers) {
  struct Case {
    const char* name;
    RawServer::Handler handler;
    int method;
    int timeout_seconds;
    double min_seconds;  // lower bounds only where time must pass
    double max_seconds;  // generous: a loaded machine must not fail these
    int status;
    std::size_t body_size;
  };
  const Case cases[] = {
      {"silent server: one receive time-out, not four",
       [](const RawRequest&, RawConnection& c) { c.Stall(); }, 0, 2, 1.5, 6.5, 0, 0},
      {"headers and part of the body, then silence: what arrived comes back",
       [](const RawRequest&, RawConnection& c) {
         c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
         c.Stall();
       },
       0, 2, 1.5, 6.5, 200, 10},
      {"a slow but steady body is not cut off",
       [](const RawRequest&, RawConnection& c) {
         c.Write("HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n");
         for (int i = 0; i < 15 && c.Sleep(200ms); ++i) c.Write("0123456789");
       },
       0, 2, 2.5, 60, 200, 150},
      {"HEAD does not wait for the announced body",
       [](const RawRequest&, RawConnection& c) {
         c.Write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
         c.Stall();
       },
       2, 10, 0, 5, 200, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server(c.handler);
    int status = -1;
    const auto start = Clock::now();
    const ByteArray body =
        HttpRequest(server.Url("/"),
                    {.method = c.method, .status = &status, .timeout_seconds = c.timeout_seconds});
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, c.min_seconds);
    EXPECT_LT(elapsed, c.max_seconds);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(body.size(), c.body_size);
  }
}

// --- Waiting with the thread's wait hook -------------------------------------

// Notes what a request does with the thread's hook; gives the request up on
// call `give_up_at` (0: never) and runs `inside` on the first call.
class RecordingHook final : public WaitHook {
 public:
  void WaitBegins() override {
    ++begins;
    max_depth = std::max(max_depth, ++depth);
  }
  void WaitEnds() override {
    ++ends;
    --depth;
  }
  bool KeepWaiting() override {
    if (depth <= 0) ++calls_outside_a_wait;
    ++calls;
    if (calls == 1 && inside) inside();
    return give_up_at == 0 || calls < give_up_at;
  }

  int give_up_at = 0;
  std::function<void()> inside;
  int begins = 0, ends = 0, depth = 0, max_depth = 0, calls = 0, calls_outside_a_wait = 0;
};

struct Outcome {
  int status = -1;
  std::string body;
  Text headers;
  bool operator==(const Outcome&) const = default;
};

Outcome Fetch(const std::string& url, int timeout_seconds) {
  Outcome o;
  const ByteArray body = HttpRequest(
      url,
      {.response_headers = &o.headers, .status = &o.status, .timeout_seconds = timeout_seconds});
  o.body = AsString(body);
  return o;
}

// The hook runs through every wait, at least 20 times a second, and the
// request ends just as it would without it: the same answer, the same
// time-outs.
TEST_F(CurlRequestTest, WaitHookRunsThroughTheWaitAndChangesNoResult) {
  struct Case {
    const char* name;
    RawServer::Handler handler;
    double min_seconds;  // time the request must take with and without the hook
  };
  const Case cases[] = {
      {"an answer that comes in pieces",
       [](const RawRequest&, RawConnection& c) {
         c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nX-A: 1\r\n\r\n");
         for (int i = 0; i < 10 && c.Sleep(60ms); ++i) c.Write("0123456789");
       },
       0.5},
      {"silence: the receive time-out still ends it",
       [](const RawRequest&, RawConnection& c) { c.Stall(); }, 0.9},
      {"part of the body, then silence: what arrived comes back",
       [](const RawRequest&, RawConnection& c) {
         c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
         c.Stall();
       },
       0.9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer plain_server(c.handler);
    const Outcome plain = Fetch(plain_server.Url("/"), 1);

    RawServer server(c.handler);
    RecordingHook hook;
    ScopedWaitHook scoped(hook);
    const auto start = Clock::now();
    const Outcome hooked = Fetch(server.Url("/"), 1);
    const double elapsed = SecondsSince(start);

    EXPECT_EQ(hooked, plain);
    EXPECT_GE(elapsed, c.min_seconds);
    EXPECT_LT(elapsed, 6.5);
    EXPECT_EQ(hook.begins, 1);
    EXPECT_EQ(hook.ends, 1);
    EXPECT_EQ(hook.calls_outside_a_wait, 0);
    EXPECT_GE(hook.calls, static_cast<int>(elapsed * 20) - 1) << elapsed << " s";
  }
}

// A hook that gives the request up ends it at once, as a request that got
// no answer at all, long before its time-out.
TEST_F(CurlRequestTest, WaitHookThatGivesUpEndsTheRequestWithNoResponse) {
  const RawServer::Handler handlers[] = {
      [](const RawRequest&, RawConnection& c) { c.Stall(); },
      [](const RawRequest&, RawConnection& c) {
        c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nSet-Cookie: a=1\r\n\r\n0123456789");
        c.Stall();
      },
  };
  for (const auto& handler : handlers) {
    RawServer server(handler);
    RecordingHook hook;
    hook.give_up_at = 5;
    ScopedWaitHook scoped(hook);
    Text cookies = "c=3";
    Outcome o;
    const auto start = Clock::now();
    o.body = AsString(HttpRequest(server.Url("/"), {.cookies = &cookies,
                                                    .response_headers = &o.headers,
                                                    .status = &o.status,
                                                    .timeout_seconds = 30}));
    EXPECT_LT(SecondsSince(start), 5);
    EXPECT_EQ(o, (Outcome{.status = 0, .body = "", .headers = ""}));
    EXPECT_EQ(cookies, "c=3");
    EXPECT_EQ(hook.calls, 5);
    EXPECT_EQ(hook.ends, 1);
  }
}

// A request made from inside the hook (the window runs events there) waits
// on its own and leaves the outer one its answer; a request on another
// thread never calls this thread's hook.
TEST_F(CurlRequestTest, RequestsInsideTheHookAndOnOtherThreads) {
  RawServer slow([](const RawRequest&, RawConnection& c) {
    c.Sleep(300ms);
    c.Write(RawResponse("HTTP/1.1 200 OK", "outer"));
  });
  RawServer quick([](const RawRequest&, RawConnection& c) {
    c.Sleep(100ms);
    c.Write(RawResponse("HTTP/1.1 200 OK", "inner"));
  });
  RecordingHook hook;
  std::string inner;
  hook.inside = [&] { inner = AsString(HttpRequest(quick.Url("/"))); };
  ScopedWaitHook scoped(hook);
  EXPECT_EQ(AsString(HttpRequest(slow.Url("/"))), "outer");
  EXPECT_EQ(inner, "inner");
  EXPECT_EQ(hook.max_depth, 2);
  EXPECT_EQ(hook.begins, 2);
  EXPECT_EQ(hook.ends, 2);

  const int calls = hook.calls;
  std::string other_thread;
  std::thread([&] { other_thread = AsString(HttpRequest(quick.Url("/"))); }).join();
  EXPECT_EQ(other_thread, "inner");
  EXPECT_EQ(hook.calls, calls);
}

// --- Proxies ------------------------------------------------------------------

// A forward proxy: takes absolute-form requests, optionally asks for Basic
// credentials, and passes the request on to the origin with cpp-httplib.
class ForwardProxy {
 public:
  explicit ForwardProxy(std::string credentials = "")
      : credentials_(std::move(credentials)),
        server_([this](const RawRequest& r, RawConnection& c) { Handle(r, c); }) {}
  std::string Address() const { return "127.0.0.1:" + std::to_string(server_.port()); }
  std::vector<RawRequest> requests() const { return server_.requests(); }

 private:
  void Handle(const RawRequest& request, RawConnection& connection) {
    if (!credentials_.empty() &&
        request.Header("Proxy-Authorization") != "Basic " + Base64(credentials_)) {
      connection.Write(RawResponse("HTTP/1.1 407 Proxy Authentication Required", "",
                                   "Proxy-Authenticate: Basic realm=\"wuqu\"\r\n"));
      return;
    }
    // "GET http://host:port/path HTTP/1.1"
    const std::size_t first = request.request_line.find(' ');
    const std::size_t last = request.request_line.rfind(' ');
    const std::string method = request.request_line.substr(0, first);
    const std::string target = request.request_line.substr(first + 1, last - first - 1);
    const std::size_t path_at = target.find('/', target.find("//") + 2);
    httplib::Client origin(target.substr(0, path_at));
    httplib::Headers headers;
    for (const auto& [name, value] : request.headers) {
      if (name != "Host" && name != "Proxy-Authorization" && name != "Proxy-Connection") {
        headers.emplace(name, value);
      }
    }
    auto result = method == "POST"
                      ? origin.Post(target.substr(path_at).c_str(), headers, request.body,
                                    request.Header("Content-Type").c_str())
                      : origin.Get(target.substr(path_at).c_str(), headers);
    if (!result) {
      connection.Write(RawResponse("HTTP/1.1 502 Bad Gateway", ""));
      return;
    }
    std::string extra = "Via: 1.1 wuqu-test-proxy\r\n";
    for (const auto& [name, value] : result->headers) {
      if (name != "Content-Length" && name != "Transfer-Encoding" && name != "Connection") {
        extra += name + ": " + value + "\r\n";
      }
    }
    connection.Write(
        RawResponse("HTTP/1.1 " + std::to_string(result->status) + " X", result->body, extra));
  }

  std::string credentials_;
  RawServer server_;
};

TEST_F(CurlRequestTest, Proxies) {
  HttplibServer origin;
  origin->Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("origin ok", "text/plain");
  });
  origin->Get("/private", [](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") != "Basic " + Base64("site:pw")) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"site\"");
      return;
    }
    res.set_content("private ok", "text/plain");
  });
  origin.Start();
  ForwardProxy open_proxy;
  ForwardProxy closed_proxy("user:secret");

  struct Case {
    const char* name;
    ForwardProxy* proxy;
    std::string path;
    Text user;
    Text password;
    std::optional<int> credential_flags;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"open proxy", &open_proxy, "/ok", "", "", std::nullopt, 200, "origin ok"},
      {"credentials for the proxy by default", &closed_proxy, "/ok", "user", "secret", std::nullopt,
       200, "origin ok"},
      {"no credentials", &closed_proxy, "/ok", "", "", std::nullopt, 407, ""},
      {"wrong password", &closed_proxy, "/ok", "user", "wrong", std::nullopt, 407, ""},
      {"flags 0 send them to the server, not the proxy", &closed_proxy, "/ok", "user", "secret", 0,
       407, ""},
      {"flags 0: server credentials through an open proxy", &open_proxy, "/private", "site", "pw",
       0, 200, "private ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t seen_before = c.proxy->requests().size();
    int status = -1;
    Text response_headers;
    const ByteArray body =
        HttpRequest(origin.Url(c.path), {.response_headers = &response_headers,
                                         .status = &status,
                                         .proxy = c.proxy->Address(),
                                         .proxy_user = c.user,
                                         .proxy_password = c.password,
                                         .credential_flags = c.credential_flags});
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(AsString(body), c.body);
    const auto seen = c.proxy->requests();
    ASSERT_GT(seen.size(), seen_before) << "the request went through the proxy";
    EXPECT_EQ(seen.back().request_line, "GET " + origin.Url(c.path) + " HTTP/1.1");
    if (c.status == 200) {
      EXPECT_NE(response_headers.find("Via: 1.1 wuqu-test-proxy\r\n"), Text::npos);
    }
  }
}

TEST_F(CurlRequestTest, WithoutAProxyTheEnvironmentsProxyApplies) {
  HttplibServer origin;
  origin->Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("origin ok", "text/plain");
  });
  origin.Start();
  ForwardProxy proxy;
  ::setenv("http_proxy", ("http://" + proxy.Address()).c_str(), 1);
  const ByteArray body = HttpRequest(origin.Url("/ok"));
  ::unsetenv("http_proxy");
  EXPECT_EQ(AsString(body), "origin ok");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].request_line, "GET " + origin.Url("/ok") + " HTTP/1.1");
}

// --- Certificates ---------------------------------------------------------------

// A self-signed certificate for a host name that is not the server's.
struct SelfSignedCertificate {
  SelfSignedCertificate() {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("wuqu.invalid"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
  }
  ~SelfSignedCertificate() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

TEST_F(CurlRequestTest, CertificateErrorFlags) {
  SelfSignedCertificate certificate;
  HttplibServer server(std::make_unique<httplib::SSLServer>(certificate.cert, certificate.key));
  server->Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("tls ok", "text/plain");
  });
  server.Start();
  const std::string url = server.Url("/ok", "https");

  struct Case {
    const char* name;
    int flags;
    int status;
  };
  const Case cases[] = {
      {"nothing ignored", 0, 0},
      {"host name ignored, unknown root still fails", 0x1000, 0},
      {"unknown root ignored, wrong host name still fails", 0x0100, 0},
      {"both ignored", 0x1100, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto object = MakeCurlRequestObject();
    object->SetTimeouts(5000, 5000, 5000, 5000);
    object->Open("GET", url, false);
    object->SetOption(kOptionSslErrorIgnoreFlags, c.flags);
    object->Send(Text());
    EXPECT_EQ(object->Status(), c.status);
    EXPECT_EQ(AsString(object->ResponseBody()), c.status == 200 ? "tls ok" : "");
  }

  // HttpRequest ignores all four certificate errors.
  int status = -1;
  EXPECT_EQ(AsString(HttpRequest(url, {.status = &status})), "tls ok");
  EXPECT_EQ(status, 200);
}

}  // namespace
}  // namespace wuqu
