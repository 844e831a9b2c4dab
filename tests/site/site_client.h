#pragma once

#include <string>
#include <string_view>
#include <vector>

// A deliberately plain HTTP/1.1 client for the site's tests: it sends exactly
// the request text it is given (hostile targets included) on a fresh
// connection and reads until the server closes it, so a body cut short shows.
namespace wuqu::test {

struct RawResponse {
  bool connected = false;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;        // everything after the header block
  bool timed_out = false;  // the read stopped: nothing came for the timeout, or time was up

  std::string Header(std::string_view name) const;  // "" when absent
  bool HasHeader(std::string_view name) const;
};

// Sends `request` as it is to 127.0.0.1:`port` and reads the answer, until
// nothing comes for `read_timeout_ms` or, when `total_timeout_ms` is not 0,
// until that long after the request was sent (for answers that trickle).
RawResponse RawExchange(int port, std::string_view request, int read_timeout_ms = 20000,
                        int total_timeout_ms = 0);

// A request with "Connection: close" and the given extra header lines ("Range: bytes=0-1").
RawResponse RawRequest(int port, std::string_view method, std::string_view target,
                       const std::vector<std::string>& headers = {}, int read_timeout_ms = 20000,
                       int total_timeout_ms = 0);

inline RawResponse RawGet(int port, std::string_view target,
                          const std::vector<std::string>& headers = {}) {
  return RawRequest(port, "GET", target, headers);
}

// The contents of a file, "" when it cannot be read.
std::string ReadFile(const std::string& path);

// The source tree (WUQU_SOURCE_DIR, set by the test runner).
std::string SourceDir();

}  // namespace wuqu::test
