#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>

#include "download/task_state.h"

// What a download does with one reply of the server, decided from its status
// line and headers alone, before a body byte is written.
namespace wuqu::download {

inline constexpr std::uint64_t kOpenEnd = UINT64_MAX;

// The two halves of "bytes a-b/n" (or "bytes */n") of a Content-Range header.
struct ContentRange {
  bool satisfied = false;  // false for "*/n"
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;  // nullopt for "/*"
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

// The reply as it came: its final status and the headers that matter.
struct ReplyFacts {
  long status = 0;
  std::int64_t content_length = -1;  // -1: none given
  std::string_view content_range{};
  std::string_view content_encoding{};
  std::string_view transfer_encoding{};
  std::string_view etag{};
  std::string_view last_modified{};
  std::string_view retry_after{};
};

// What the download knew and asked when it sent the request.
struct ReplyContext {
  // The download's first request: it learns the size, whether the server
  // answers ranges, and the validators.
  bool first = false;
  // The request carried "Range: bytes=range_first-range_last" (range_last
  // kOpenEnd for "range_first-").
  bool asked_range = false;
  std::uint64_t range_first = 0;
  std::uint64_t range_last = kOpenEnd;
  // A resume record or the first reply gave these; unused for a first request
  // without a record.
  bool size_known = false;
  std::uint64_t size = 0;
  // The validators the bytes already taken came with. `validated` is true
  // once the first reply (or the record) carried an ETag or a Last-Modified.
  bool validated = false;
  std::string_view etag{};
  std::string_view last_modified{};
  // The wall clock when the reply came, for a Retry-After given as a date.
  std::time_t now = 0;
  // A Retry-After asking for a longer wait than this (in seconds) ends the
  // download with the reply's status rather than waiting that long.
  std::int64_t longest_wait = 60;
};

enum class Verdict {
  kAccept,         // write the body
  kRetry,          // this reply is no good; ask again for the same bytes
  kStartOver,      // the server's file is not the one the bytes on disk came from
  kOneConnection,  // the server sends the whole file in reply to a range: read it whole
  kFail,           // the download ends here with `cause`
};

struct ReplyDecision {
  Verdict verdict = Verdict::kRetry;
  // For kFail the download's cause; for kRetry the cause it fails with should
  // the retries run out.
  FailureCause cause = FailureCause::kNone;
  // For kAccept and kOneConnection: the file offset of the first body byte and
  // one past the last (kOpenEnd when the body's length is unknown), and the
  // file's size (nullopt for a body of unknown length).
  std::uint64_t body_first = 0;
  std::uint64_t body_end = kOpenEnd;
  std::optional<std::uint64_t> size;
  // The first reply answered the range: later requests may ask for ranges.
  bool ranges = false;
  // With kRetry: the range was answered in a form that cannot be used; ask
  // again without one.
  bool ask_without_range = false;
  // With kRetry for a busy server (503, 429): the seconds its Retry-After
  // asks to wait before the next request (0 when it gives none).
  std::int64_t retry_after = 0;
  // The reply says the server is busy (503 or 429): a sign of a host's
  // limit when other connections of the download are receiving.
  bool busy = false;
};

// The seconds a Retry-After header asks to wait, given as seconds or as an
// HTTP date (seen at `now`); a date in the past is 0. nullopt for a value
// that is neither.
std::optional<std::int64_t> ParseRetryAfter(std::string_view value, std::time_t now);

// Statuses that say "not now" rather than "not this": 408, 429, 500, 502,
// 503 and 504.
bool TransientStatus(long status);

ReplyDecision CheckReply(const ReplyFacts& reply, const ReplyContext& context);

}  // namespace wuqu::download
