#pragma once

#include <memory>
#include <optional>

#include "net/request_object.h"
#include "text/text.h"

namespace wuqu {

// The options of one HTTP request. Pointers are the caller's own variables,
// read and written in place; null leaves that parameter out.
struct HttpRequestOptions {
  int method = 0;                    // 0 GET, 1 POST, 2 HEAD; anything else GET
  Text body_text{};                  // sent when body_bytes is empty
  Text* cookies = nullptr;           // in/out: sent as "Cookie"; becomes the merged jar
  Text* response_cookies = nullptr;  // out: the cookies this response set
  Text* headers = nullptr;           // in/out: extra lines (CR LF); becomes the applied text
  Text* response_headers = nullptr;  // out: all response header lines
  int* status = nullptr;             // out: the response's status code
  bool no_redirect = false;          // true: do not follow redirects
  ByteArray body_bytes{};            // request body; wins over body_text when not empty
  Text proxy{};                      // "host:port"; empty: no proxy set by this call
  int timeout_seconds = 0;           // -1: leave as is; below 1: 15 s; else this many seconds
  Text proxy_user{};                 // only used with a proxy
  Text proxy_password{};
  std::optional<int> credential_flags{};            // omitted: 1 (the proxy); 0: the server
  std::shared_ptr<RequestObject> request_object{};  // omitted: a new object per call
};

// One synchronous HTTP exchange; returns the response body (empty when there
// is none or the request object cannot be created). A failed transfer returns
// whatever body arrived and reports nothing. On a thread with a wait hook
// (platform/wait_hook.h) the hook runs while the request waits, and may give
// the request up: it then ends with no response at all.
ByteArray HttpRequest(const Text& url, const HttpRequestOptions& options = {});

}  // namespace wuqu
