#include "text/ascii.h"

#include <charconv>

namespace wuqu {
namespace {

constexpr char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool IsSpaceOrTab(char c) {
  return c == ' ' || c == '\t';
}

constexpr bool IsBlank(char c) {
  return IsSpaceOrTab(c) || c == '\r' || c == '\n';
}

template <typename Blank>
std::string_view TrimWhere(std::string_view text, Blank blank) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  return TrimWhere(text, IsBlank);
}

std::string_view TrimSpacesAndTabs(std::string_view text) {
  return TrimWhere(text, IsSpaceOrTab);
}

bool IsDecimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  // from_chars stops at the first byte that is no digit; the whole text must be digits.
  if (!IsDecimal(text)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace wuqu
