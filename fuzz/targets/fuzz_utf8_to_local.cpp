// Utf8ToLocalText on arbitrary bytes, and LocalTextToUtf8 back and forth.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/codepage.h"

namespace {

bool IsWellFormedUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    std::size_t n = c < 0x80                 ? 1
                    : c >= 0xC2 && c <= 0xDF ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || static_cast<std::size_t>(end - p) < n) return false;
    for (std::size_t i = 1; i < n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n;
  }
  return true;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const wuqu::Text local = wuqu::Utf8ToLocalText(bytes);
  Check(local == wuqu::Utf8ToLocalText(wuqu::ByteArray(data, data + size)));
  // Every output byte comes from at least one input byte, and the text ends
  // at the first zero.
  Check(local.size() <= size);
  Check(local.find('\0') == wuqu::Text::npos);
  Check(local.size() <= bytes.find('\0'));
  // What the conversion produced goes to UTF-8 and back unchanged.
  const std::string utf8 = wuqu::LocalTextToUtf8(local);
  Check(IsWellFormedUtf8(utf8));
  Check(wuqu::Utf8ToLocalText(utf8) == local);
  // Arbitrary bytes taken as program text still give well-formed UTF-8.
  Check(IsWellFormedUtf8(wuqu::LocalTextToUtf8(bytes)));
  return 0;
}
