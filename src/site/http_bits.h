#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Small HTTP rules of the demo site, kept apart so they can be tested alone.
namespace wuqu {

// What a Range header asks of a body of a given size.
struct ByteRangeAnswer {
  enum class Kind {
    kWhole,          // no usable range: answer 200 with the whole body
    kPartial,        // answer 206 with bytes first..last (inclusive)
    kUnsatisfiable,  // answer 416 with "Content-Range: bytes */size"
  };
  Kind kind = Kind::kWhole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// Evaluates one Range header value ("bytes=N-M", "bytes=N-", "bytes=-N") for a
// body of `size` bytes. A header that is not a single well-formed byte range
// (another unit, several ranges, last before first, garbage) is ignored, as
// HTTP allows, and gives kWhole.
ByteRangeAnswer EvaluateRange(std::string_view header, std::uint64_t size);

// True when a percent-decoded request path may be looked up at all: it begins
// with "/", holds no control character, and none of its segments, split at
// "/" or "\", is "." or "..".
bool IsSafeRequestPath(std::string_view path);

// An HTTP date, "Sat, 18 May 2024 08:00:00 GMT", independent of the locale.
std::string HttpDate(std::time_t t);

// Text made safe for HTML element content and attribute values.
std::string HtmlEscape(std::string_view text);

}  // namespace wuqu
