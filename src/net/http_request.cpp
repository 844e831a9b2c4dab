#include "net/http_request.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "net/header_cookie.h"
#include "platform/com.h"
#include "text/ascii.h"

namespace wuqu {
namespace {

constexpr int kDefaultTimeoutMs = 15000;
constexpr int kIgnoredCertificateErrors = 0x3300;
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSetCookie = "Set-Cookie";

struct ComScope {
  ComScope() { ComInitialize(); }
  ~ComScope() { ComUninitialize(); }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

const char* MethodText(int method) {
  switch (method) {
    case 1:
      return "POST";
    case 2:
      return "HEAD";
    default:
      return "GET";
  }
}

int TimeoutMs(int timeout_seconds) {
  if (timeout_seconds < 1) return kDefaultTimeoutMs;
  return static_cast<int>(std::min<long long>(timeout_seconds * 1000LL, INT_MAX));
}

bool Contains(const Text& text, std::string_view what) {
  return text.find(what) != Text::npos;
}

Text CompleteHeaders(Text headers, const Text& url) {
  if (headers.empty()) headers = "Accept: */*";
  if (!Contains(headers, "Accept:")) headers.append(kCrLf).append("Accept: */*");
  if (!Contains(headers, "Referer:")) headers.append(kCrLf).append("Referer: ").append(url);
  if (!Contains(headers, "Accept-Language:"))
    headers.append(kCrLf).append("Accept-Language: zh-cn");
  if (!Contains(headers, "User-Agent:")) {
    headers.append(kCrLf).append("User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  }
  if (!Contains(headers, "Content-Type:")) {
    headers.append(kCrLf).append("Content-Type: application/x-www-form-urlencoded");
  }
  return headers;
}

void ApplyHeaders(RequestObject& object, const Text& headers) {
  if (!Contains(headers, kCrLf)) {
    object.SetRequestHeader(HeaderName(headers), HeaderValue(headers));
    return;
  }
  for (const Text& line : SplitItems(headers, kCrLf)) {
    object.SetRequestHeader(HeaderName(line), HeaderValue(line));
  }
}

// Every "Set-Cookie", whatever its letter case, written exactly so.
Text NormaliseSetCookie(Text headers) {
  std::size_t pos = 0;
  while ((pos = FindIgnoringCase(headers, kSetCookie, pos)) != Text::npos) {
    headers.replace(pos, kSetCookie.size(), kSetCookie);
    pos += kSetCookie.size();
  }
  return headers;
}

Text RemoveAllIgnoringCase(Text text, std::string_view what) {
  std::size_t pos = 0;
  while ((pos = FindIgnoringCase(text, what, pos)) != Text::npos) text.erase(pos, what.size());
  return text;
}

// One "name=value" item per Set-Cookie line; the cookie's attributes are dropped.
Text ResponseCookies(const Text& response_headers) {
  Text cookies;
  for (const Text& line : SplitItems(response_headers, kCrLf)) {
    if (!Contains(line, kSetCookie)) continue;
    const Text item = Contains(line, ";")
                          ? Text(TrimSpacesAndTabs(TextBetween(line, "Set-Cookie:", ";")))
                          : Text(TrimSpacesAndTabs(RemoveAllIgnoringCase(line, "Set-Cookie:")));
    cookies.append(item).append("; ");
  }
  if (!cookies.empty()) cookies.resize(cookies.size() - 2);
  return cookies;
}

}  // namespace

ByteArray HttpRequest(const Text& url_in, const HttpRequestOptions& options) {
  // Declared before the object, so the object is released before COM goes.
  ComScope com;

  const Text url = url_in;  // the caller's url may be one of its out variables
  const char* method = MethodText(options.method);

  std::shared_ptr<RequestObject> object =
      options.request_object ? options.request_object : CreateRequestObject();
  if (!object) return {};

  if (options.timeout_seconds != -1) {
    const int t = TimeoutMs(options.timeout_seconds);
    object->SetTimeouts(t, t, t, t);
  }
  if (!options.proxy.empty()) {
    object->SetProxy(kProxySettingProxy, options.proxy);
    if (!options.proxy_user.empty()) {
      object->SetCredentials(options.proxy_user, options.proxy_password,
                             options.credential_flags.value_or(1));
    }
  }
  object->Open(method, url, false);
  if (options.no_redirect) object->SetOption(kOptionEnableRedirects, 0);
  object->SetOption(kOptionSslErrorIgnoreFlags, kIgnoredCertificateErrors);

  const Text headers = CompleteHeaders(options.headers ? *options.headers : Text(), url);
  Text cookies = options.cookies ? *options.cookies : Text();
  if (options.headers) *options.headers = headers;
  if (!cookies.empty()) object->SetRequestHeader("Cookie", cookies);
  ApplyHeaders(*object, headers);

  if (!options.body_bytes.empty()) {
    object->Send(options.body_bytes);
  } else {
    object->Send(options.body_text);
  }

  ByteArray body = object->ResponseBody();
  const Text response_headers = NormaliseSetCookie(object->GetAllResponseHeaders());
  if (options.response_headers) *options.response_headers = response_headers;
  const int status = object->Status();
  if (options.status) *options.status = status;

  Text response_cookies = ResponseCookies(response_headers);
  MergeCookies(cookies, response_cookies);
  if (options.response_cookies) *options.response_cookies = response_cookies;
  if (options.cookies) *options.cookies = cookies;

  object.reset();
  return body;
}

}  // namespace wuqu
