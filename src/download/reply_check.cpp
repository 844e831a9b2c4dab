#include "download/reply_check.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>

#include <curl/curl.h>

#include "text/ascii.h"

namespace wuqu::download {
namespace {

// File offsets are signed 64-bit numbers.
constexpr std::uint64_t kMaxFileSize = static_cast<std::uint64_t>(INT64_MAX);

// True when every coding of a comma-separated list is one of `allowed`
// (an empty list is no coding at all).
bool OnlyCodings(std::string_view list, std::initializer_list<std::string_view> allowed) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = TrimBlanks(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty()) continue;
    if (std::none_of(allowed.begin(), allowed.end(),
                     [&](std::string_view a) { return EqualsNoCase(item, a); }))
      return false;
  }
  return true;
}

ReplyDecision Decide(Verdict verdict, FailureCause cause) {
  ReplyDecision d;
  d.verdict = verdict;
  d.cause = cause;
  return d;
}

// Bytes of another version must never join the ones already taken: once the
// first reply named its version, every later one must name the same.
bool SameVersion(const ReplyFacts& reply, const ReplyContext& context) {
  if (!context.validated) return true;
  if (!context.etag.empty() && TrimBlanks(reply.etag) != context.etag) return false;
  if (!context.last_modified.empty() && TrimBlanks(reply.last_modified) != context.last_modified)
    return false;
  return true;
}

ReplyDecision Partial(const ReplyFacts& reply, const ReplyContext& context) {
  if (!context.asked_range) return Decide(Verdict::kRetry, FailureCause::kNetwork);
  const auto range = ParseContentRange(reply.content_range);
  if (!range || !range->satisfied || !range->total) {
    ReplyDecision d = Decide(Verdict::kRetry, FailureCause::kNetwork);
    d.ask_without_range = context.first && !context.size_known;
    return d;
  }
  if (*range->total > kMaxFileSize) return Decide(Verdict::kFail, FailureCause::kHttpStatus);
  if (context.size_known && *range->total != context.size)
    return Decide(Verdict::kStartOver, FailureCause::kChanged);
  // A reply that starts at another byte than asked is still of use when its
  // bytes say where they belong: the range is well-formed, inside the file
  // (checked by the parser against the total) and of a named version.
  const bool named = !TrimBlanks(reply.etag).empty() || !TrimBlanks(reply.last_modified).empty();
  const bool same_start = range->first == context.range_first;
  const bool inside = (same_start || named) &&
                      (context.range_last == kOpenEnd || range->last <= context.range_last);
  const bool length_fits = reply.content_length < 0 ||
                           static_cast<std::uint64_t>(reply.content_length) ==
                               range->last - range->first + 1;
  if (!inside || !length_fits) return Decide(Verdict::kRetry, FailureCause::kNetwork);
  ReplyDecision d = Decide(Verdict::kAccept, FailureCause::kNone);
  d.body_first = range->first;
  d.body_end = range->last + 1;
  d.size = *range->total;
  d.ranges = true;
  return d;
}

ReplyDecision Whole(const ReplyFacts& reply, const ReplyContext& context) {
  const bool length_known = reply.content_length >= 0;
  const auto length = static_cast<std::uint64_t>(reply.content_length);
  if (length_known && length > kMaxFileSize)
    return Decide(Verdict::kFail, FailureCause::kHttpStatus);
  if (!context.size_known) {
    // A first reply without a range: the file, front to back.
    ReplyDecision d = Decide(Verdict::kAccept, FailureCause::kNone);
    d.body_end = length_known ? length : kOpenEnd;
    if (length_known) d.size = length;
    return d;
  }
  // The size is known (from the record or the first reply): a whole body of
  // another length is another file, one without a length cannot be proved
  // to be this one.
  if (!length_known || length != context.size)
    return Decide(Verdict::kStartOver, FailureCause::kChanged);
  ReplyDecision d =
      Decide(context.asked_range ? Verdict::kOneConnection : Verdict::kAccept, FailureCause::kNone);
  d.body_end = context.size;
  d.size = context.size;
  return d;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = TrimBlanks(value);
  if (value.size() < 6 || !EqualsNoCase(value.substr(0, 5), "bytes") || value[5] != ' ')
    return std::nullopt;
  value = TrimBlanks(value.substr(6));
  const auto slash = value.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view span = value.substr(0, slash);
  const std::string_view total = value.substr(slash + 1);
  ContentRange r;
  if (total != "*") {
    r.total = ParseDecimal(total);
    if (!r.total) return std::nullopt;
  }
  if (span == "*") {
    if (!r.total) return std::nullopt;
    return r;
  }
  const auto dash = span.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = ParseDecimal(span.substr(0, dash));
  const auto last = ParseDecimal(span.substr(dash + 1));
  if (!first || !last || *last < *first) return std::nullopt;
  if (r.total && *last >= *r.total) return std::nullopt;
  r.satisfied = true;
  r.first = *first;
  r.last = *last;
  return r;
}

std::optional<std::int64_t> ParseRetryAfter(std::string_view value, std::time_t now) {
  value = TrimBlanks(value);
  if (value.empty()) return std::nullopt;
  if (IsDecimal(value)) {
    // Beyond any wait a download would make: saturate rather than refuse.
    const auto seconds = ParseDecimal(value);
    return static_cast<std::int64_t>(std::min<std::uint64_t>(seconds.value_or(INT64_MAX), INT64_MAX));
  }
  if (value.size() > 64) return std::nullopt;
  const std::time_t when = curl_getdate(std::string(value).c_str(), nullptr);
  if (when == -1) return std::nullopt;
  return when > now ? static_cast<std::int64_t>(when - now) : 0;
}

bool TransientStatus(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

ReplyDecision CheckReply(const ReplyFacts& reply, const ReplyContext& context) {
  const long status = reply.status;
  if (TransientStatus(status)) {
    ReplyDecision d = Decide(Verdict::kRetry, FailureCause::kNetwork);
    d.busy = status == 503 || status == 429;
    if (d.busy) d.retry_after = ParseRetryAfter(reply.retry_after, context.now).value_or(0);
    // A wait longer than the download may stall: say so now, not after it.
    if (d.retry_after > context.longest_wait) {
      d.verdict = Verdict::kFail;
      d.cause = FailureCause::kHttpStatus;
    }
    return d;
  }
  if (status >= 300 && status <= 399) return Decide(Verdict::kFail, FailureCause::kHttpStatus);
  if (status == 416 && context.first) {
    // The file is shorter than the record says.
    if (context.size_known) return Decide(Verdict::kStartOver, FailureCause::kChanged);
    // "bytes */0": an empty file has no range to give.
    const auto range = ParseContentRange(reply.content_range);
    if (range && !range->satisfied && range->total == 0u) {
      ReplyDecision d = Decide(Verdict::kAccept, FailureCause::kNone);
      d.body_end = 0;
      d.size = 0;
      return d;
    }
  }
  if (status >= 200 && status <= 599 && status != 200 && status != 206) {
    // Not the file, and not a "not now": a 2xx that is no file, a 4xx, or a
    // 5xx such as 501 that asking again does not change.
    return Decide(Verdict::kFail, FailureCause::kHttpStatus);
  }
  if (status != 200 && status != 206) {
    // No status at all (an interim one, or garbage): this connection's trouble.
    return Decide(Verdict::kRetry, FailureCause::kNetwork);
  }
  if (!OnlyCodings(reply.content_encoding, {"identity"}) ||
      !OnlyCodings(reply.transfer_encoding, {"chunked", "identity"}))
    return Decide(Verdict::kRetry, FailureCause::kEncodingRefused);
  if (!SameVersion(reply, context)) return Decide(Verdict::kStartOver, FailureCause::kChanged);
  return status == 206 ? Partial(reply, context) : Whole(reply, context);
}

}  // namespace wuqu::download
