#pragma once

#include <string_view>
#include <vector>

#include "text/text.h"

// Small text operations of the HTTP client: header lines, Set-Cookie lines and
// the cookie jar. Positions are 1-based byte positions; comparisons are byte
// for byte.
//
// Blanks are the space (0x20) and the tab (0x09), the two characters HTTP
// allows around a header value. The full-width space of code page 936 (A1 A1)
// is not a blank: removing its two bytes wherever they stand could cut a pair
// of neighbouring characters apart.
//
// Splitting a text into items never yields an empty item: an empty text, two
// separators next to each other, or a separator at either end give no item
// there. So a jar never grows an empty cookie or a trailing separator.
namespace wuqu {

// The text between the first `left` found from `start_position` (1-based;
// 0 or below means from the first character) and the next `right` after it;
// empty when either is missing. In both markers "#引号" stands for '"'.
// `ignore_case` true makes both searches ignore the case of ASCII letters.
// An empty left marker matches at the start position; an empty right marker
// matches right after the left one, so the result is empty.
Text TextBetween(std::string_view source, std::string_view left, std::string_view right,
                 int start_position = 0, bool ignore_case = false);

// The trimmed text before / after the first ':' of a header line; both are
// empty when the line holds no ':'.
Text HeaderName(std::string_view line);
Text HeaderValue(std::string_view line);

// The trimmed text before the first '=' of a cookie item (all of it without '=').
Text CookieName(std::string_view item);

// True when some item's cookie name equals `name`.
bool HasCookieName(const std::vector<Text>& items, std::string_view name);

// 1-based index of the first item equal to `text`, or -1.
int FindItem(const std::vector<Text>& items, std::string_view text);

// `text` with every item that repeats an earlier one removed, joined again
// by `separator`.
Text RemoveDuplicateItems(std::string_view text, std::string_view separator);

// Folds the cookies a response set (`fresh`, items joined by "; ") into the
// caller's cookie `jar`: fresh cookies replace old ones of the same name, a
// fresh "name=deleted" removes the cookie, exact repeats collapse. Both
// variables lose every blank; the jar receives the merged jar, which is also
// returned.
Text MergeCookies(Text& jar, Text& fresh);

// Helpers the operations above are made of, shared with the HTTP request.
std::vector<Text> SplitItems(std::string_view text, std::string_view separator);

// Position (0-based) of `needle` in `haystack` from `from`, ASCII letters
// compared without case (as EqualsNoCase does); npos when absent.
std::size_t FindIgnoringCase(std::string_view haystack, std::string_view needle,
                             std::size_t from = 0);

}  // namespace wuqu
