#include "site/http_bits.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace wuqu {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Digits to a number, saturating: a position beyond any body is still beyond it.
std::uint64_t ToNumber(std::string_view digits) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t v = 0;
  for (char c : digits) {
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (kMax - d) / 10) return kMax;
    v = v * 10 + d;
  }
  return v;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

ByteRangeAnswer EvaluateRange(std::string_view header, std::uint64_t size) {
  using Kind = ByteRangeAnswer::Kind;
  const ByteRangeAnswer whole;
  header = Trim(header);
  const auto eq = header.find('=');
  if (eq == std::string_view::npos || !EqualsNoCase(Trim(header.substr(0, eq)), "bytes"))
    return whole;
  const std::string_view range_set = Trim(header.substr(eq + 1));
  if (range_set.find(',') != std::string_view::npos) return whole;
  const auto dash = range_set.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view a = Trim(range_set.substr(0, dash));
  const std::string_view b = Trim(range_set.substr(dash + 1));

  if (a.empty()) {  // the last b bytes
    if (!IsDigits(b)) return whole;
    const std::uint64_t n = ToNumber(b);
    if (n == 0 || size == 0) return {Kind::kUnsatisfiable};
    return {Kind::kPartial, n >= size ? 0 : size - n, size - 1};
  }
  if (!IsDigits(a) || !(b.empty() || IsDigits(b))) return whole;
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
