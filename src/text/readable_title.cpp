#include "text/readable_title.h"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "text/codepage.h"

namespace wuqu {
namespace {

bool IsGbkLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
bool IsGbkTrail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}
bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int HexValue(char c) {
  if (IsAsciiDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}

// Controls, white space and the no-break space: shown as one blank.
bool IsBlankCode(std::uint32_t code) {
  return code <= 0x20 || (code >= 0x7F && code <= 0xA0);
}

struct NamedEntity {
  std::string_view name;
  std::uint32_t code;
};

// The entities titles use; the rest of HTML's list stays as written.
constexpr NamedEntity kNamedEntities[] = {
    {"amp", '&'},       {"AMP", '&'},       {"lt", '<'},        {"LT", '<'},
    {"gt", '>'},        {"GT", '>'},        {"quot", '"'},      {"QUOT", '"'},
    {"apos", '\''},     {"nbsp", 0xA0},     {"middot", 0xB7},   {"times", 0xD7},
    {"divide", 0xF7},   {"copy", 0xA9},     {"reg", 0xAE},      {"deg", 0xB0},
    {"laquo", 0xAB},    {"raquo", 0xBB},    {"ndash", 0x2013},  {"mdash", 0x2014},
    {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"ldquo", 0x201C},  {"rdquo", 0x201D},
    {"bull", 0x2022},   {"hellip", 0x2026}, {"trade", 0x2122},  {"hearts", 0x2665},
};

// Longest entity read, "&" and ";" aside: longer runs are not entities.
constexpr std::size_t kMaxEntityBody = 10;

struct Entity {
  std::uint32_t code;
  std::size_t length;  // from the "&" to the ";", both included
};

// The entity at the "&" at text[0], when it is one.
std::optional<Entity> EntityAt(std::string_view text) {
  const std::size_t semicolon = text.substr(0, kMaxEntityBody + 2).find(';');
  if (semicolon == std::string_view::npos || semicolon < 2) return std::nullopt;
  const std::string_view body = text.substr(1, semicolon - 1);
  if (body[0] == '#') {
    const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    const std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) return std::nullopt;
    std::uint32_t code = 0;
    for (const char c : digits) {
      if (hex ? !IsHexDigit(c) : !IsAsciiDigit(c)) return std::nullopt;
      code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(hex ? HexValue(c) : c - '0');
      // Past the last character: read as the replacement character below.
      if (code > 0x10FFFF) code = 0x110000;
    }
    return Entity{code, semicolon + 1};
  }
  for (const NamedEntity& e : kNamedEntities) {
    if (e.name == body) return Entity{e.code, semicolon + 1};
  }
  return std::nullopt;
}

// One character as program text; "?" for what code page 936 cannot hold.
Text LocalCharacter(std::uint32_t code) {
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  std::string utf8;
  if (code < 0x80) {
    utf8.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
    utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
    utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
    utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
  Text local = Utf8ToLocalText(std::string_view(utf8));
  return local.empty() ? Text("?") : local;
}

// The title as it is built: blanks held back until a character follows, so
// runs become one and none is left at either end.
class TitleBuilder {
 public:
  void Blank() { blank_ = !out_.empty(); }
  void Append(std::string_view characters) {
    if (blank_) out_.push_back(' ');
    blank_ = false;
    out_.append(characters);
  }
  Text Take() { return std::move(out_); }

 private:
  Text out_;
  bool blank_ = false;
};

bool StartsMarkup(std::string_view rest) {
  if (rest.size() < 2) return false;
  const char c = rest[1];
  return IsAsciiLetter(c) || c == '/' || c == '!' || c == '?';
}

}  // namespace

Text ReadableTitle(std::string_view cell) {
  TitleBuilder title;
  // Once no ">" is left, no later "<" can open markup: looked for once.
  bool closing_left = true;
  std::size_t i = 0;
  while (i < cell.size()) {
    const auto c = static_cast<unsigned char>(cell[i]);
    if (IsGbkLead(c) && i + 1 < cell.size() && IsGbkTrail(static_cast<unsigned char>(cell[i + 1]))) {
      title.Append(cell.substr(i, 2));
      i += 2;
      continue;
    }
    if (c == '<' && closing_left && StartsMarkup(cell.substr(i))) {
      // ">" is below every trail byte, so it is never half a character.
      const std::size_t close = cell.find('>', i + 1);
      if (close != std::string_view::npos) {
        i = close + 1;
        continue;
      }
      closing_left = false;
    }
    if (c == '&') {
      if (const std::optional<Entity> entity = EntityAt(cell.substr(i))) {
        if (IsBlankCode(entity->code)) {
          title.Blank();
        } else {
          title.Append(LocalCharacter(entity->code));
        }
        i += entity->length;
        continue;
      }
    }
    // A byte of its own: white space and controls are blanks (0x80 is a
    // character of code page 936, not a control).
    if (c <= 0x20 || c == 0x7F) {
      title.Blank();
    } else {
      title.Append(cell.substr(i, 1));
    }
    ++i;
  }
  return title.Take();
}

}  // namespace wuqu
