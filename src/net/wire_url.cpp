#include "net/wire_url.h"

#include "text/codepage.h"

namespace wuqu {

std::string WireUrl(std::string_view local_url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = LocalTextToUtf8(local_url);
  std::string out;
  out.reserve(utf8.size());
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    const bool keep = c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' &&
                      c != '^' && c != '`' && c != '{' && c != '|' && c != '}';
    if (keep) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

}  // namespace wuqu
