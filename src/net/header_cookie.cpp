#include "net/header_cookie.h"

#include <algorithm>

#include "text/ascii.h"

namespace wuqu {
namespace {

constexpr std::string_view kQuoteMarker = "#\xD2\xFD\xBA\xC5";  // #引号
constexpr std::string_view kDeletionMark = "=deleted";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

Text ReplaceQuoteMarker(std::string_view marker) {
  Text out;
  out.reserve(marker.size());
  std::size_t pos = 0;
  while (pos < marker.size()) {
    const std::size_t hit = marker.find(kQuoteMarker, pos);
    if (hit == std::string_view::npos) {
      out.append(marker.substr(pos));
      break;
    }
    out.append(marker.substr(pos, hit - pos));
    out.push_back('"');
    pos = hit + kQuoteMarker.size();
  }
  return out;
}

Text RemoveBlanks(std::string_view text) {
  Text out;
  out.reserve(text.size());
  for (const char c : text) {
    if (!IsBlank(c)) out.push_back(c);
  }
  return out;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::size_t FindIgnoringCase(std::string_view haystack, std::string_view needle, std::size_t from) {
  if (from > haystack.size() || needle.size() > haystack.size() - from)
    return std::string_view::npos;
  const auto last = haystack.size() - needle.size();
  for (std::size_t i = from; i <= last; ++i)
    if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) return i;
  return std::string_view::npos;
}

Text TextBetween(std::string_view source, std::string_view left, std::string_view right,
                 int start_position, bool ignore_case) {
  const Text left_marker = ReplaceQuoteMarker(left);
  const Text right_marker = ReplaceQuoteMarker(right);
  const auto find = [&](std::string_view needle, std::size_t from) {
    return ignore_case ? FindIgnoringCase(source, needle, from) : source.find(needle, from);
  };
  const std::size_t from = start_position < 1 ? 0 : static_cast<std::size_t>(start_position) - 1;
  std::size_t p = find(left_marker, from);
  if (p == std::string_view::npos) return {};
  p += left_marker.size();
  const std::size_t q = find(right_marker, p);
  if (q == std::string_view::npos) return {};
  return Text(source.substr(p, q - p));
}

Text HeaderName(std::string_view line) {
  const std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? Text() : Text(TrimSpacesAndTabs(line.substr(0, colon)));
}

Text HeaderValue(std::string_view line) {
  const std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? Text() : Text(TrimSpacesAndTabs(line.substr(colon + 1)));
}

Text CookieName(std::string_view item) {
  return Text(TrimSpacesAndTabs(item.substr(0, item.find('='))));
}

bool HasCookieName(const std::vector<Text>& items, std::string_view name) {
  return std::any_of(items.begin(), items.end(),
                     [&](const Text& item) { return CookieName(item) == name; });
}

int FindItem(const std::vector<Text>& items, std::string_view text) {
  const auto hit = std::find(items.begin(), items.end(), text);
  return hit == items.end() ? -1 : static_cast<int>(hit - items.begin()) + 1;
}

std::vector<Text> SplitItems(std::string_view text, std::string_view separator) {
  std::vector<Text> items;
  if (separator.empty()) {
    if (!text.empty()) items.emplace_back(text);
    return items;
  }
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t hit = text.find(separator, pos);
    if (hit == std::string_view::npos) hit = text.size();
    if (hit > pos) items.emplace_back(text.substr(pos, hit - pos));
    pos = hit + separator.size();
  }
  return items;
}

Text RemoveDuplicateItems(std::string_view text, std::string_view separator) {
  std::vector<Text> kept;
  Text result;
  for (Text& item : SplitItems(text, separator)) {
    if (FindItem(kept, item) != -1) continue;
    result.append(item).append(separator);
    kept.push_back(std::move(item));
  }
  if (!result.empty()) result.resize(result.size() - separator.size());
  return result;
}

Text MergeCookies(Text& jar, Text& fresh) {
  jar = RemoveBlanks(jar);
  fresh = RemoveBlanks(fresh);
  std::vector<Text> items = SplitItems(fresh, ";");
  for (Text& old_item : SplitItems(jar, ";")) {
    if (!HasCookieName(items, CookieName(old_item))) items.push_back(std::move(old_item));
  }
  Text merged;
  for (const Text& item : items) {
    if (!EndsWith(item, kDeletionMark)) merged.append(item).append("; ");
  }
  if (!merged.empty()) merged.resize(merged.size() - 2);
  jar = RemoveDuplicateItems(merged, "; ");
  return jar;
}

}  // namespace wuqu
