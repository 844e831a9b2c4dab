#pragma once

#include <chrono>
#include <cstddef>

// What one request, and the record the site keeps of it, may cost.
namespace wuqu {

// A request head beyond these is answered 431 (too large) or 408 (too slow)
// and its connection closed, before any handler sees it.
struct RequestHeadLimits {
  std::size_t max_fields = 100;       // header lines after the request line
  std::size_t max_bytes = 64 * 1024;  // request line, header lines and blank line
  // From the first byte of a request to its blank line.
  std::chrono::milliseconds deadline{10000};
};

// The request log keeps the latest records within both bounds; each record is
// cut to a few KiB first (see SiteRequest::truncated).
struct RequestLogLimits {
  std::size_t max_records = 100000;
  std::size_t max_bytes = 64 << 20;  // all records together, as RequestRecordBytes counts
};

}  // namespace wuqu
