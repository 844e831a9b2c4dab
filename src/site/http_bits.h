#pragma once

#include <cstddef>
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

// Finds where the head of one request (request line, header lines, blank
// line) ends in bytes that arrive piece by piece, and whether it stays within
// the limits. Only the bytes not yet looked at are scanned on each call, so a
// head that trickles in a byte at a time costs no more than one sent at once.
// Lines end at LF; the head ends at the first line after the request line that
// is exactly CRLF, as cpp-httplib reads it. Every line after the request line
// counts as a header field.
class RequestHeadScanner {
 public:
  enum class State { kIncomplete, kComplete, kTooLarge };

  RequestHeadScanner(std::size_t max_fields, std::size_t max_bytes)
      : max_fields_(max_fields), max_bytes_(max_bytes) {}

  // `bytes` is everything received for this request so far: what an earlier
  // call saw, followed by what came since.
  State Scan(std::string_view bytes);
  // Bytes of the head, blank line included (when kComplete).
  std::size_t head_size() const { return head_size_; }
  // For the next request on the same connection.
  void Reset();

 private:
  std::size_t max_fields_;
  std::size_t max_bytes_;
  State state_ = State::kIncomplete;
  std::size_t scanned_ = 0;     // bytes looked at
  std::size_t line_start_ = 0;  // where the current line begins
  std::size_t lines_ = 0;       // complete lines, the request line included
  std::size_t head_size_ = 0;
};

// True when a percent-decoded request path may be looked up at all: it begins
// with "/", holds no control character, and none of its segments, split at
// "/" or "\", is "." or "..".
bool IsSafeRequestPath(std::string_view path);

// An HTTP date, "Sat, 18 May 2024 08:00:00 GMT", independent of the locale.
std::string HttpDate(std::time_t t);

// Text made safe for HTML element content and attribute values.
std::string HtmlEscape(std::string_view text);

}  // namespace wuqu
