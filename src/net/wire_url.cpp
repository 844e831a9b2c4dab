#include "net/wire_url.h"

#include "text/codepage.h"

namespace wuqu {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void PercentEncode(unsigned char c, std::string& out) {
  out.push_back('%');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0x0F]);
}

void PercentEncode(std::string_view bytes, std::string& out) {
  for (const char ch : bytes) PercentEncode(static_cast<unsigned char>(ch), out);
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool KeptAsIs(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' && c != '^' &&
         c != '`' && c != '{' && c != '|' && c != '}';
}

bool IsGbkLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
bool IsGbkTrail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

}  // namespace

std::string WireUrl(std::string_view local_url) {
  std::string out;
  out.reserve(local_url.size() * 3);
  std::size_t i = 0;
  while (i < local_url.size()) {
    const auto c = static_cast<unsigned char>(local_url[i]);
    if (c < 0x80) {
      // A "%" that starts no escape is a percent sign of its own.
      const bool escape = c == '%' && i + 2 < local_url.size() && IsHexDigit(local_url[i + 1]) &&
                          IsHexDigit(local_url[i + 2]);
      if (KeptAsIs(c) && (c != '%' || escape)) {
        out.push_back(static_cast<char>(c));
      } else {
        PercentEncode(c, out);
      }
      ++i;
      continue;
    }
    // One character of code page 936 (0x80 alone is the euro sign). A byte
    // that forms no character, or a character without a Unicode mapping, goes
    // out as its own percent-encoded byte rather than as a "?", which would
    // turn the rest of the path into a query.
    const std::size_t length = (IsGbkLead(c) && i + 1 < local_url.size() &&
                                IsGbkTrail(static_cast<unsigned char>(local_url[i + 1])))
                                   ? 2
                                   : 1;
    const std::string_view character = local_url.substr(i, length);
    const std::string utf8 =
        (length == 2 || c == 0x80) ? LocalTextToUtf8(character) : std::string("?");
    PercentEncode(utf8 == "?" ? character : std::string_view(utf8), out);
    i += length;
  }
  return out;
}

}  // namespace wuqu
