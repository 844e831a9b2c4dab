#include "net/curl_request_object.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/header_cookie.h"
#include "net/wire_url.h"
#include "platform/wait_hook.h"
#include "text/ascii.h"

namespace wuqu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{1} << 20;
constexpr long kMaxRedirects = 10;
// Longest single wait in the transfer loop; the time-out checks run at least this often.
constexpr int kMaxPollMs = 200;

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view StripLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

class CurlRequestObject final : public RequestObject {
 public:
  CurlRequestObject(CURL* easy, CURLM* multi, std::size_t max_body_bytes)
      : easy_(easy), multi_(multi), max_body_bytes_(max_body_bytes) {}

  ~CurlRequestObject() override {
    curl_multi_cleanup(multi_);
    curl_easy_cleanup(easy_);
  }

  CurlRequestObject(const CurlRequestObject&) = delete;
  CurlRequestObject& operator=(const CurlRequestObject&) = delete;

  void SetTimeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms) override {
    resolve_ms_ = resolve_ms;
    connect_ms_ = connect_ms;
    send_ms_ = send_ms;
    receive_ms_ = receive_ms;
  }

  void SetProxy(int setting, const Text& proxy) override {
    proxy_setting_ = setting;
    proxy_ = proxy;
  }

  void SetCredentials(const Text& user, const Text& password, int flags) override {
    if (flags == 1) {
      proxy_user_ = user;
      proxy_password_ = password;
      has_proxy_credentials_ = true;
    } else if (flags == 0) {
      server_user_ = user;
      server_password_ = password;
      has_server_credentials_ = true;
    }
  }

  void Open(const Text& method, const Text& url, bool /*async*/) override {
    method_ = method;
    wire_url_ = WireUrl(url);
    request_headers_.clear();
    ClearResponse();
    opened_ = true;
  }

  void SetOption(int index, int value) override {
    if (index == kOptionEnableRedirects) follow_redirects_ = value != 0;
    if (index == kOptionSslErrorIgnoreFlags) ignored_certificate_errors_ = value;
  }

  void SetRequestHeader(const Text& name, const Text& value) override {
    if (!opened_ || name.empty() || HasLineBreakOrNul(name) || HasLineBreakOrNul(value)) return;
    for (auto& header : request_headers_) {
      if (EqualsNoCase(header.first, name)) {
        header = {name, value};
        return;
      }
    }
    request_headers_.emplace_back(name, value);
  }

  void Send(const ByteArray& body) override { Perform(std::string(body.begin(), body.end())); }

  void Send(const Text& body) override { Perform(body); }

  ByteArray ResponseBody() override { return body_; }

  Text GetAllResponseHeaders() override {
    Text all;
    for (const Text& line : response_headers_) all.append(line).append("\r\n");
    return all;
  }

  int Status() override { return status_; }

 private:
  void ClearResponse() {
    body_.clear();
    response_headers_.clear();
    status_ = 0;
    in_headers_ = false;
    header_bytes_ = 0;
  }

  void Touch() { last_activity_ = Clock::now(); }

  // Runs the request on the caller's thread, checking the send and receive
  // time-outs between short waits; curl itself bounds the connection set-up.
  // With a wait hook on the thread, the hook runs at least every slice.
  void Perform(std::string request_body) {
    if (!opened_) return;
    opened_ = false;
    ClearResponse();
    request_body_ = std::move(request_body);

    curl_slist* header_list = BuildHeaderList();
    if (!header_list || !Configure(header_list)) {
      curl_slist_free_all(header_list);
      return;
    }
    connected_ = false;
    uploaded_ = 0;
    Touch();
    if (curl_multi_add_handle(multi_, easy_) == CURLM_OK) {
      WaitScope wait;
      if (!RunTransfer(wait.hook())) ClearResponse();  // given up: no response at all
      curl_multi_remove_handle(multi_, easy_);
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(header_list);
    request_body_.clear();
  }

  // False when the thread's wait hook gave the request up.
  bool RunTransfer(WaitHook* hook) {
    Clock::time_point next_hook_call = Clock::now() + std::chrono::milliseconds(kWaitSliceMs);
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK || running == 0) return true;
      if (hook != nullptr && Clock::now() >= next_hook_call) {
        if (!hook->KeepWaiting()) return false;
        next_hook_call = Clock::now() + std::chrono::milliseconds(kWaitSliceMs);
        continue;  // the hook took time: look at the transfer again before waiting
      }
      int wait_ms = kMaxPollMs;
      if (connected_) {
        const bool sending = method_ != "HEAD" && uploaded_ < request_body_.size();
        const int limit = sending ? send_ms_ : receive_ms_;
        if (limit > 0) {
          const auto idle =
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_activity_)
                  .count();
          if (idle >= limit) return true;  // removing the handle ends the transfer
          wait_ms = static_cast<int>(std::min<long long>(wait_ms, limit - idle));
        }
      }
      if (hook != nullptr) {
        const auto to_hook =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_hook_call - Clock::now())
                .count();
        wait_ms = static_cast<int>(std::min<long long>(wait_ms, std::max<long long>(to_hook, 0)));
      }
      if (curl_multi_poll(multi_, nullptr, 0, std::max(wait_ms, 1), nullptr) != CURLM_OK) {
        return true;
      }
    }
  }

  curl_slist* BuildHeaderList() {
    // "Expect:" keeps curl from waiting for a 100 Continue before a large body.
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& [name, value] : request_headers_) {
      if (!list) return nullptr;
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      curl_slist* grown = curl_slist_append(list, line.c_str());
      if (!grown) {
        curl_slist_free_all(list);
        return nullptr;
      }
      list = grown;
    }
    return list;
  }

  bool Configure(curl_slist* header_list) {
    CURL* h = easy_;
    curl_easy_reset(h);
    bool ok = true;
    const auto set = [&](CURLoption option, auto value) {
      ok = ok && curl_easy_setopt(h, option, value) == CURLE_OK;
    };
    set(CURLOPT_URL, wire_url_.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, follow_redirects_ ? 1L : 0L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    set(CURLOPT_HTTPHEADER, header_list);
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_body_bytes_));

    if (method_ == "HEAD") {
      set(CURLOPT_NOBODY, 1L);
    } else if (method_ == "GET" && request_body_.empty()) {
      set(CURLOPT_HTTPGET, 1L);
    } else {
      if (method_ != "POST") set(CURLOPT_CUSTOMREQUEST, method_.c_str());
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_body_.size()));
      set(CURLOPT_POSTFIELDS, request_body_.data());
    }

    long connect_ms = std::max(resolve_ms_, 0) + static_cast<long>(std::max(connect_ms_, 0));
    set(CURLOPT_CONNECTTIMEOUT_MS, connect_ms);

    const bool verify_peer = (ignored_certificate_errors_ &
                              (kSecurityFlagIgnoreUnknownCa | kSecurityFlagIgnoreCertWrongUsage |
                               kSecurityFlagIgnoreCertDateInvalid)) == 0;
    const bool verify_host = (ignored_certificate_errors_ & kSecurityFlagIgnoreCertCnInvalid) == 0;
    set(CURLOPT_SSL_VERIFYPEER, verify_peer ? 1L : 0L);
    set(CURLOPT_SSL_VERIFYHOST, verify_host ? 2L : 0L);
    set(CURLOPT_PROXY_SSL_VERIFYPEER, verify_peer ? 1L : 0L);
    set(CURLOPT_PROXY_SSL_VERIFYHOST, verify_host ? 2L : 0L);

    if (proxy_setting_ == kProxySettingProxy) {
      set(CURLOPT_PROXY, proxy_.c_str());
    } else if (proxy_setting_ == kProxySettingDirect) {
      set(CURLOPT_PROXY, "");
    }
    if (has_proxy_credentials_) {
      set(CURLOPT_PROXYUSERNAME, proxy_user_.c_str());
      set(CURLOPT_PROXYPASSWORD, proxy_password_.c_str());
      set(CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
    }
    if (has_server_credentials_) {
      set(CURLOPT_USERNAME, server_user_.c_str());
      set(CURLOPT_PASSWORD, server_password_.c_str());
      set(CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
    }

    set(CURLOPT_WRITEFUNCTION, &CurlRequestObject::OnBody);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_HEADERFUNCTION, &CurlRequestObject::OnHeader);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_PREREQFUNCTION, &CurlRequestObject::OnConnected);
    set(CURLOPT_PREREQDATA, this);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &CurlRequestObject::OnProgress);
    set(CURLOPT_XFERINFODATA, this);
    return ok;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<CurlRequestObject*>(self_ptr);
    const size_t n = size * count;
    self->Touch();
    if (n > self->max_body_bytes_ - self->body_.size()) return 0;  // too large: fail the transfer
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    self->body_.insert(self->body_.end(), bytes, bytes + n);
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self_ptr) {
    auto* self = static_cast<CurlRequestObject*>(self_ptr);
    const size_t n = size * count;
    self->Touch();
    self->header_bytes_ += n;
    if (self->header_bytes_ > kMaxResponseHeaderBytes) return 0;
    self->TakeHeaderLine(StripLineEnd(std::string_view(data, n)));
    return n;
  }

  // Keeps the header lines of the latest response only: a status line starts
  // a new response (after a redirect, a 100 Continue or a proxy's CONNECT).
  void TakeHeaderLine(std::string_view line) {
    if (line.substr(0, 5) == "HTTP/") {
      response_headers_.clear();
      body_.clear();
      status_ = ParseStatus(line);
      in_headers_ = true;
      return;
    }
    if (!in_headers_) return;  // trailers after the body
    if (line.empty()) {
      in_headers_ = false;
      return;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !response_headers_.empty()) {
      const Text more(TrimSpacesAndTabs(line));  // a folded continuation of the previous value
      if (!more.empty()) response_headers_.back().append(" ").append(more);
      return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    response_headers_.push_back(Text(line.substr(0, colon)) + ": " +
                                 Text(TrimSpacesAndTabs(line.substr(colon + 1))));
  }

  static int ParseStatus(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return 0;
    // Up to three digits; anything else there gives 0.
    return static_cast<int>(ParseDecimal(line.substr(space + 1, 3)).value_or(0));
  }

  static int OnConnected(void* self_ptr, char*, char*, int, int) {
    auto* self = static_cast<CurlRequestObject*>(self_ptr);
    self->connected_ = true;
    self->Touch();
    return CURL_PREREQFUNC_OK;
  }

  static int OnProgress(void* self_ptr, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* self = static_cast<CurlRequestObject*>(self_ptr);
    const auto sent = static_cast<std::size_t>(ulnow);
    if (sent != self->uploaded_) {
      self->uploaded_ = sent;
      self->Touch();
    }
    return 0;
  }

  CURL* const easy_;
  CURLM* const multi_;
  const std::size_t max_body_bytes_;

  // Settings of the object; they outlive Open.
  int resolve_ms_ = 0;
  int connect_ms_ = 60000;
  int send_ms_ = 30000;
  int receive_ms_ = 30000;
  int proxy_setting_ = kProxySettingDefault;
  Text proxy_;
  bool has_proxy_credentials_ = false;
  Text proxy_user_;
  Text proxy_password_;
  bool has_server_credentials_ = false;
  Text server_user_;
  Text server_password_;
  bool follow_redirects_ = true;
  int ignored_certificate_errors_ = 0;

  // The request that Open prepares and Send performs.
  bool opened_ = false;
  Text method_;
  std::string wire_url_;
  std::vector<std::pair<Text, Text>> request_headers_;
  std::string request_body_;

  // Progress of the running transfer.
  bool connected_ = false;
  std::size_t uploaded_ = 0;
  Clock::time_point last_activity_;

  // The response.
  ByteArray body_;
  std::vector<Text> response_headers_;
  int status_ = 0;
  bool in_headers_ = false;
  std::size_t header_bytes_ = 0;
};

}  // namespace

std::shared_ptr<RequestObject> MakeCurlRequestObject(std::size_t max_body_bytes) {
  static std::once_flag global_init;
  static bool global_ok = false;
  std::call_once(global_init,
                 [] { global_ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  if (!global_ok) return nullptr;
  CURL* easy = curl_easy_init();
  CURLM* multi = easy ? curl_multi_init() : nullptr;
  if (!easy || !multi) {
    if (easy) curl_easy_cleanup(easy);
    return nullptr;
  }
  return std::make_shared<CurlRequestObject>(easy, multi, max_body_bytes);
}

}  // namespace wuqu
