// The reply check on whatever a server sends: status, Content-Length and the
// header values, against a context of what was asked. Input: a status (2
// bytes), a Content-Length (8 bytes, signed), flags (1 byte), the asked range
// and the known size (8 bytes each), then up to eight texts separated by
// 0x1F: Content-Range, Content-Encoding, Transfer-Encoding, ETag,
// Last-Modified, Retry-After, the known ETag, the known Last-Modified.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "download/reply_check.h"

namespace {

using namespace wuqu::download;

void Check(bool condition) {
  if (!condition) std::abort();
}

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof value ? size : sizeof value;
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto status = Take<std::uint16_t>(data, size);
  const auto length = Take<std::int64_t>(data, size);
  const auto flags = Take<std::uint8_t>(data, size);
  const auto range_first = Take<std::uint64_t>(data, size);
  const auto range_last = Take<std::uint64_t>(data, size);
  const auto known_size = Take<std::uint64_t>(data, size);
  std::vector<std::string_view> texts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (texts.size() < 8) {
    const auto cut = rest.find('\x1F');
    texts.push_back(rest.substr(0, cut));
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  texts.resize(8);

  ReplyFacts reply{.status = status % 700,
                   .content_length = length,
                   .content_range = texts[0],
                   .content_encoding = texts[1],
                   .transfer_encoding = texts[2],
                   .etag = texts[3],
                   .last_modified = texts[4],
                   .retry_after = texts[5]};
  ReplyContext context{.first = (flags & 1) != 0,
                       .asked_range = (flags & 2) != 0,
                       .range_first = range_first,
                       .range_last = (flags & 4) ? kOpenEnd : range_last,
                       .size_known = (flags & 8) != 0,
                       .size = known_size,
                       .validated = (flags & 16) != 0,
                       .etag = texts[6],
                       .last_modified = texts[7],
                       .now = 1445412480,
                       .longest_wait = 60};
  const ReplyDecision d = CheckReply(reply, context);
  if (d.verdict == Verdict::kAccept || d.verdict == Verdict::kOneConnection) {
    // Nothing is ever written outside the file, nor beyond what a file can be.
    Check(d.body_first <= d.body_end);
    if (d.size) {
      Check(d.body_end <= *d.size);
      Check(*d.size <= static_cast<std::uint64_t>(INT64_MAX));
      if (context.size_known) Check(*d.size == context.size);
    } else {
      Check(d.body_end == kOpenEnd && d.body_first == 0);
    }
  }
  if (d.verdict == Verdict::kRetry && d.busy) Check(d.retry_after >= 0 && d.retry_after <= 60);

  if (const auto range = ParseContentRange(texts[0])) {
    if (range->satisfied) {
      Check(range->first <= range->last);
      if (range->total) Check(range->last < *range->total);
    } else {
      Check(range->total.has_value());
    }
  }
  if (const auto wait = ParseRetryAfter(texts[5], context.now)) Check(*wait >= 0);
  return 0;
}
