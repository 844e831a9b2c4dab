#pragma once

#include <cstddef>
#include <memory>

#include "net/request_object.h"

namespace wuqu {

// A response body beyond this size is a failed transfer, not an out-of-memory.
inline constexpr std::size_t kMaxResponseBodyBytes = std::size_t{256} << 20;

// The request object on libcurl, one easy handle per object; null when curl
// cannot give a handle. `max_body_bytes` bounds the body kept in memory.
//
// How the object's members map onto curl:
// - SetTimeouts: resolve + connect bound the whole connection set-up (curl
//   resolves as part of connecting); send bounds the time without progress
//   while the request body goes out, receive the time without a single byte
//   of response. Until SetTimeouts is called the Windows object's defaults
//   hold: resolve unlimited, connect 60 s, send 30 s, receive 30 s.
// - Option 6 (redirects): 0 stops following; otherwise at most 10 are followed.
// - Option 4 (certificate errors to ignore): an unknown CA (0x0100), a wrong
//   usage (0x0200) or a bad date (0x2000) switch off verification of the
//   peer's certificate chain, since the TLS library cannot ignore one of them
//   alone; a host name mismatch (0x1000) switches off the host name check.
//   The same holds for an https proxy.
// - SetProxy 2 uses the proxy, 1 goes direct, 0 leaves the environment's
//   proxy variables (http_proxy, https_proxy, no_proxy...) to curl.
// - SetCredentials: flags 1 for the proxy, 0 for the server; the scheme is
//   whichever the peer asks for.
// - SetRequestHeader: a later header of the same name (any letter case)
//   replaces the earlier one; a header with an empty name, or with a CR, LF
//   or NUL in its name or value, is refused (no header injection).
// - Open: the address is program text and goes through WireUrl; only http
//   and https are spoken, on redirects too. The request is always synchronous.
// - Send: a HEAD does not wait for a body, and sends none. With a wait hook
//   on the calling thread (platform/wait_hook.h) the hook runs between slices
//   of the wait; the time-outs run on as they would without it. A hook that
//   gives the request up ends it at once with no response: no body, no
//   headers, status 0.
std::shared_ptr<RequestObject> MakeCurlRequestObject(
    std::size_t max_body_bytes = kMaxResponseBodyBytes);

}  // namespace wuqu
