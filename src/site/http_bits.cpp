#include "site/http_bits.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "text/ascii.h"

namespace wuqu {
namespace {

// Digits to a number, saturating: a position beyond any body is still beyond it.
std::uint64_t ToNumber(std::string_view digits) {
  return ParseDecimal(digits).value_or(std::numeric_limits<std::uint64_t>::max());
}

}  // namespace

ByteRangeAnswer EvaluateRange(std::string_view header, std::uint64_t size) {
  using Kind = ByteRangeAnswer::Kind;
  const ByteRangeAnswer whole;
  header = TrimBlanks(header);
  const auto eq = header.find('=');
  if (eq == std::string_view::npos || !EqualsNoCase(TrimBlanks(header.substr(0, eq)), "bytes"))
    return whole;
  const std::string_view range_set = TrimBlanks(header.substr(eq + 1));
  if (range_set.find(',') != std::string_view::npos) return whole;
  const auto dash = range_set.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view a = TrimBlanks(range_set.substr(0, dash));
  const std::string_view b = TrimBlanks(range_set.substr(dash + 1));

  if (a.empty()) {  // the last b bytes
    if (!IsDecimal(b)) return whole;
    const std::uint64_t n = ToNumber(b);
    if (n == 0 || size == 0) return {Kind::kUnsatisfiable};
    return {Kind::kPartial, n >= size ? 0 : size - n, size - 1};
  }
  if (!IsDecimal(a) || !(b.empty() || IsDecimal(b))) return whole;
  const std::uint64_t first = ToNumber(a);
  std::uint64_t last = b.empty() ? std::numeric_limits<std::uint64_t>::max() : ToNumber(b);
  if (last < first) return whole;
  if (first >= size) return {Kind::kUnsatisfiable};
  if (last >= size) last = size - 1;
  return {Kind::kPartial, first, last};
}

RequestHeadScanner::State RequestHeadScanner::Scan(std::string_view bytes) {
  if (state_ != State::kIncomplete) return state_;
  const std::size_t end = std::min(bytes.size(), max_bytes_ + 1);
  while (scanned_ < end) {
    const auto lf = bytes.find('\n', scanned_);
    if (lf == std::string_view::npos || lf >= end) {
      scanned_ = end;
      break;
    }
    const std::size_t length = lf + 1 - line_start_;
    scanned_ = lf + 1;
    line_start_ = lf + 1;
    if (lines_++ == 0) continue;  // the request line
    if (length == 2 && bytes[lf - 1] == '\r') {
      head_size_ = lf + 1;
      return state_ = head_size_ > max_bytes_ ? State::kTooLarge : State::kComplete;
    }
    if (lines_ - 1 > max_fields_) return state_ = State::kTooLarge;
  }
  if (scanned_ > max_bytes_) return state_ = State::kTooLarge;
  return state_;
}

void RequestHeadScanner::Reset() {
  state_ = State::kIncomplete;
  scanned_ = line_start_ = lines_ = head_size_ = 0;
}

bool IsSafeRequestPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string HttpDate(std::time_t t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace wuqu
