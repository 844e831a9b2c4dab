// The calls HttpRequest makes on its request object, and what it makes of the
// object's answers, recorded on a fake object.
#include "net/http_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "platform/com.h"

namespace wuqu {
namespace {

using Calls = std::vector<std::string>;

struct CannedResponse {
  ByteArray body = {'o', 'k'};
  Text headers = "Content-Length: 2\r\n";
  int status = 200;
};

// What an object created by the factory tells when it is released.
struct ReleaseReport {
  bool released = false;
  bool released_inside_com = false;
  bool all_calls_inside_com = false;
};

// Records every call; notes whether each one (and its release) happened with
// COM initialised by the request.
class RecordingObject final : public RequestObject {
 public:
  RecordingObject(CannedResponse response, int com_inside, Calls* log, ReleaseReport* report)
      : response_(std::move(response)), com_inside_(com_inside), log_(log), report_(report) {}
  ~RecordingObject() override {
    if (report_) *report_ = {true, ComBalance() == com_inside_, all_calls_inside_com_};
  }

  void SetTimeouts(int a, int b, int c, int d) override {
    Record("SetTimeouts " + N(a) + " " + N(b) + " " + N(c) + " " + N(d));
  }
  void SetProxy(int setting, const Text& proxy) override {
    Record("SetProxy " + N(setting) + " " + proxy);
  }
  void SetCredentials(const Text& user, const Text& password, int flags) override {
    Record("SetCredentials " + user + " " + password + " " + N(flags));
  }
  void Open(const Text& method, const Text& url, bool async) override {
    Record("Open " + method + " " + url + (async ? " true" : " false"));
  }
  void SetOption(int index, int value) override { Record("Option " + N(index) + " " + N(value)); }
  void SetRequestHeader(const Text& name, const Text& value) override {
    Record("Header " + name + "|" + value);
  }
  void Send(const ByteArray& body) override {
    Record("SendBytes " + std::string(body.begin(), body.end()));
  }
  void Send(const Text& body) override { Record("SendText " + body); }
  ByteArray ResponseBody() override {
    Record("ResponseBody");
    return response_.body;
  }
  Text GetAllResponseHeaders() override {
    Record("GetAllResponseHeaders");
    return response_.headers;
  }
  int Status() override {
    Record("Status");
    return response_.status;
  }

  bool all_calls_inside_com() const { return all_calls_inside_com_; }

 private:
  static std::string N(int n) { return std::to_string(n); }
  void Record(std::string call) {
    if (ComBalance() != com_inside_) all_calls_inside_com_ = false;
    log_->push_back(std::move(call));
  }

  CannedResponse response_;
  int com_inside_;
  Calls* log_;
  ReleaseReport* report_;
  bool all_calls_inside_com_ = true;
};

const Text kUrl = "http://h/p";
const char* const kUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
const char* const kFormType = "application/x-www-form-urlencoded";

Calls Seq(std::initializer_list<Calls> parts) {
  Calls all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Calls Timeouts(int t) {
  const std::string s = std::to_string(t);
  return {"SetTimeouts " + s + " " + s + " " + s + " " + s};
}
Calls Open(const std::string& method) {
  return {"Open " + method + " " + kUrl + " false"};
}
const Calls kCertificateOption = {"Option 4 13056"};  // 0x3300
const Calls kReads = {"ResponseBody", "GetAllResponseHeaders", "Status"};
const Calls kAcceptCall = {"Header Accept|*/*"};
const Calls kRefererCall = {"Header Referer|" + kUrl};
// Accept-Language, User-Agent and Content-Type, as completion appends them.
const Calls kTailCalls = {"Header Accept-Language|zh-cn",
                          std::string("Header User-Agent|") + kUserAgent,
                          std::string("Header Content-Type|") + kFormType};
const Calls kDefaultHeaderCalls = Seq({kAcceptCall, kRefererCall, kTailCalls});
const Text kDefaultHeaders = "Accept: */*\r\nReferer: " + kUrl +
                             "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent +
                             "\r\nContent-Type: " + kFormType;
const Text kTailHeaders = "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + std::string(kUserAgent) +
                          "\r\nContent-Type: " + kFormType;
Calls PlainGet(const Calls& headers = kDefaultHeaderCalls) {
  return Seq({Timeouts(15000), Open("GET"), kCertificateOption, headers, {"SendText "}, kReads});
}

enum class ObjectSource { kFactory, kGiven, kCannotBeCreated };

struct Case {
  const char* name;
  HttpRequestOptions options{};  // its variable pointers are set by the runner
  bool bind_variables = true;    // false: the caller passes none of its variables
  Text cookies_in{};
  Text headers_in{};
  CannedResponse response{};
  ObjectSource source = ObjectSource::kFactory;
  Calls calls{};
  // What the caller's variables hold afterwards; unset: not checked.
  std::optional<Text> headers_out{};
  std::optional<Text> cookies_out{};
  std::optional<Text> response_cookies_out{};
  std::optional<Text> response_headers_out{};
  std::optional<int> status_out{};
};

TEST(HttpRequest, CallsOnTheRequestObjectAndResults) {
  const Case cases[] = {
      {.name = "only the url", .bind_variables = false, .calls = PlainGet()},
      {.name = "only the url, variables given",
       .calls = PlainGet(),
       .headers_out = kDefaultHeaders,
       .cookies_out = "",
       .response_cookies_out = "",
       .response_headers_out = "Content-Length: 2\r\n",
       .status_out = 200},
      {.name = "method 1 is POST",
       .options = {.method = 1},
       .calls = Seq({Timeouts(15000),
                     Open("POST"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "method 2 is HEAD",
       .options = {.method = 2},
       .calls = Seq({Timeouts(15000),
                     Open("HEAD"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "method 3 is GET", .options = {.method = 3}, .calls = PlainGet()},
      {.name = "method -1 is GET", .options = {.method = -1}, .calls = PlainGet()},
      {.name = "time-out -1 leaves the object's time-outs",
       .options = {.timeout_seconds = -1},
       .calls = Seq({Open("GET"), kCertificateOption, kDefaultHeaderCalls, {"SendText "}, kReads})},
      {.name = "time-out -5 is 15 s", .options = {.timeout_seconds = -5}, .calls = PlainGet()},
      {.name = "time-out 30 s",
       .options = {.timeout_seconds = 30},
       .calls = Seq({Timeouts(30000),
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "a huge time-out is capped, not overflowed",
       .options = {.timeout_seconds = INT_MAX},
       .calls = Seq({Timeouts(INT_MAX),
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "given Accept is not repeated",
       .headers_in = "Accept: text/html",
       .calls = PlainGet(Seq({{"Header Accept|text/html"}, kRefererCall, kTailCalls})),
       .headers_out = "Accept: text/html\r\nReferer: " + kUrl + kTailHeaders},
      {.name = "header names are searched with their case",
       .headers_in = "accept: text/html",
       .calls = PlainGet(Seq({{"Header accept|text/html"}, kAcceptCall, kRefererCall, kTailCalls})),
       .headers_out = "accept: text/html\r\nAccept: */*\r\nReferer: " + kUrl + kTailHeaders},
      {.name = "a name anywhere in the text counts",
       .headers_in = "X-Referer: 1",
       .calls = PlainGet(Seq({{"Header X-Referer|1"}, kAcceptCall, kTailCalls})),
       .headers_out = "X-Referer: 1\r\nAccept: */*" + kTailHeaders},
      {.name = "empty lines are skipped, odd lines passed as they split",
       .headers_in = "A: 1\r\n\r\nno colon\r\nB:  x:y ",
       .calls = PlainGet(Seq({{"Header A|1", "Header |", "Header B|x:y"}, kDefaultHeaderCalls})),
       .headers_out = "A: 1\r\n\r\nno colon\r\nB:  x:y \r\n" + kDefaultHeaders},
      {.name = "a text without CR LF is one header",
       .headers_in = "Accept: a Referer: b Accept-Language: c User-Agent: d Content-Type: e",
       .calls = PlainGet(
           {"Header Accept|a Referer: b Accept-Language: c User-Agent: d Content-Type: e"}),
       .headers_out = "Accept: a Referer: b Accept-Language: c User-Agent: d Content-Type: e"},
      {.name = "bytes win over text",
       .options = {.body_text = "text", .body_bytes = {'b', 0, 'y'}},
       .calls = Seq({Timeouts(15000),
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {std::string("SendBytes b\0y", 13)},
                     kReads})},
      {.name = "text body",
       .options = {.method = 1, .body_text = "a=1&b=2"},
       .calls = Seq({Timeouts(15000),
                     Open("POST"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText a=1&b=2"},
                     kReads})},
      {.name = "credentials without a proxy are not set",
       .options = {.proxy_user = "u", .proxy_password = "p", .credential_flags = 1},
       .calls = PlainGet()},
      {.name = "proxy without a user",
       .options = {.proxy = "px:3128"},
       .calls = Seq({Timeouts(15000),
                     {"SetProxy 2 px:3128"},
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "omitted credential flags target the proxy",
       .options = {.proxy = "px:3128", .proxy_user = "u", .proxy_password = "p"},
       .calls = Seq({Timeouts(15000),
                     {"SetProxy 2 px:3128", "SetCredentials u p 1"},
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "credential flags 0 stay 0",
       .options =
           {.proxy = "px:3128", .proxy_user = "u", .proxy_password = "p", .credential_flags = 0},
       .calls = Seq({Timeouts(15000),
                     {"SetProxy 2 px:3128", "SetCredentials u p 0"},
                     Open("GET"),
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "no redirect",
       .options = {.no_redirect = true},
       .calls = Seq({Timeouts(15000),
                     Open("GET"),
                     {"Option 6 0"},
                     kCertificateOption,
                     kDefaultHeaderCalls,
                     {"SendText "},
                     kReads})},
      {.name = "cookies go first; Set-Cookie lines merge into the jar",
       .cookies_in = "c=3",
       .response = {.headers = "Set-Cookie: a=1\r\nSet-Cookie: b=2; path=/\r\nX-A: 1\r\n"},
       .calls = PlainGet(Seq({{"Header Cookie|c=3"}, kDefaultHeaderCalls})),
       .cookies_out = "a=1; b=2; c=3",
       .response_cookies_out = "a=1;b=2",
       .response_headers_out = "Set-Cookie: a=1\r\nSet-Cookie: b=2; path=/\r\nX-A: 1\r\n"},
      {.name = "Set-Cookie in any case is normalised, values included",
       .response = {.headers =
                        "set-cookie: a=1\r\nSET-COOKIE: b=2;Path=/\r\nX-Note: see sEt-CoOkIe\r\n"},
       .calls = PlainGet(),
       .cookies_out = "a=1; b=2; X-Note:seeSet-Cookie",
       .response_cookies_out = "a=1;b=2;X-Note:seeSet-Cookie",
       .response_headers_out =
           "Set-Cookie: a=1\r\nSet-Cookie: b=2;Path=/\r\nX-Note: see Set-Cookie\r\n"},
      {.name = "a deleted cookie leaves the jar",
       .cookies_in = "a=1; b=2",
       .response = {.headers = "Set-Cookie: a=deleted; expires=Thu, 01 Jan 1970 00:00:00 GMT\r\n"},
       .calls = PlainGet(Seq({{"Header Cookie|a=1; b=2"}, kDefaultHeaderCalls})),
       .cookies_out = "b=2",
       .response_cookies_out = "a=deleted"},
      {.name = "no Set-Cookie still tidies the jar",
       .cookies_in = "x=1; y = 2",
       .calls = PlainGet(Seq({{"Header Cookie|x=1; y = 2"}, kDefaultHeaderCalls})),
       .cookies_out = "x=1; y=2",
       .response_cookies_out = ""},
      {.name = "a 404 body and status come back",
       .response = {.body = {'g', 'o', 'n', 'e'}, .headers = "", .status = 404},
       .calls = PlainGet(),
       .response_headers_out = "",
       .status_out = 404},
      {.name = "a given object is used",
       .source = ObjectSource::kGiven,
       .calls = PlainGet(),
       .status_out = 200},
      {.name = "object cannot be created: nothing called, nothing written",
       .cookies_in = "c=3",
       .headers_in = "X: 1",
       .source = ObjectSource::kCannotBeCreated,
       .calls = {},
       .headers_out = "X: 1",
       .cookies_out = "c=3",
       .response_cookies_out = "untouched",
       .response_headers_out = "untouched",
       .status_out = -99},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int com_before = ComBalance();
    Calls log;
    ReleaseReport report;
    int factory_calls = 0;
    ScopedRequestObjectFactory factory([&]() -> std::shared_ptr<RequestObject> {
      ++factory_calls;
      if (c.source == ObjectSource::kCannotBeCreated) return nullptr;
      return std::make_shared<RecordingObject>(c.response, com_before + 1, &log, &report);
    });

    HttpRequestOptions options = c.options;
    std::shared_ptr<RecordingObject> given;
    if (c.source == ObjectSource::kGiven) {
      given = std::make_shared<RecordingObject>(c.response, com_before + 1, &log, nullptr);
      options.request_object = given;
    }
    Text cookies = c.cookies_in, headers = c.headers_in;
    Text response_cookies = "untouched", response_headers = "untouched";
    int status = -99;
    if (c.bind_variables) {
      options.cookies = &cookies;
      options.headers = &headers;
      options.response_cookies = &response_cookies;
      options.response_headers = &response_headers;
      options.status = &status;
    }

    const ByteArray body = HttpRequest(kUrl, options);

    EXPECT_EQ(log, c.calls);
    EXPECT_EQ(ComBalance(), com_before) << "COM initialised and uninitialised in pairs";
    if (c.source == ObjectSource::kCannotBeCreated) {
      EXPECT_TRUE(body.empty());
    } else {
      EXPECT_EQ(body, c.response.body);
    }
    switch (c.source) {
      case ObjectSource::kFactory:
        EXPECT_EQ(factory_calls, 1);
        EXPECT_TRUE(report.released) << "the call releases the object it created";
        EXPECT_TRUE(report.released_inside_com) << "the object goes before COM does";
        EXPECT_TRUE(report.all_calls_inside_com);
        break;
      case ObjectSource::kGiven:
        EXPECT_EQ(factory_calls, 0);
        options.request_object.reset();
        EXPECT_EQ(given.use_count(), 1) << "the call keeps no reference to a given object";
        EXPECT_TRUE(given->all_calls_inside_com());
        break;
      case ObjectSource::kCannotBeCreated:
        EXPECT_EQ(factory_calls, 1);
        break;
    }
    if (c.headers_out) {
      EXPECT_EQ(headers, *c.headers_out);
    }
    if (c.cookies_out) {
      EXPECT_EQ(cookies, *c.cookies_out);
    }
    if (c.response_cookies_out) {
      EXPECT_EQ(response_cookies, *c.response_cookies_out);
    }
    if (c.response_headers_out) {
      EXPECT_EQ(response_headers, *c.response_headers_out);
    }
    if (c.status_out) {
      EXPECT_EQ(status, *c.status_out);
    }
    if (!c.bind_variables) {
      EXPECT_EQ(response_headers, "untouched");
      EXPECT_EQ(status, -99);
    }
  }
}

}  // namespace
}  // namespace wuqu
