#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The byte-level helpers every protocol reader of the program shares: letter
// case folded for ASCII only, blanks trimmed, and decimal numbers read
// strictly (digits only, no sign, no blanks, nothing left over).
namespace wuqu {

// True when `a` and `b` differ at most in the case of ASCII letters. Bytes at
// or above 0x80 compare as they are, whatever the locale.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `text` without the spaces, tabs, carriage returns and line feeds around it.
std::string_view TrimBlanks(std::string_view text);

// `text` without the spaces and tabs around it, the blanks HTTP allows around
// a header value; line ends and every other byte stay.
std::string_view TrimSpacesAndTabs(std::string_view text);

// True for a non-empty run of the digits 0 to 9 and nothing else.
bool IsDecimal(std::string_view text);

// The number `text` spells in decimal digits only; nullopt for anything else
// (a sign, a blank, an empty text) and for a value beyond 64 bits.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

}  // namespace wuqu
