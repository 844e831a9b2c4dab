#include "text/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wuqu {
namespace {

// One conversion descriptor per direction and thread: opening one loads a
// gconv module, far too slow to do per call.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much of [*in, *in + *in_left) as it can, appending to `out`.
  // Returns 0 when everything was converted, else the errno that stopped it
  // (EILSEQ or EINVAL); *in then points at the offending bytes. The output
  // goes straight into `out`, with room for `bytes_per_input_byte` times the
  // input: a full output buffer makes glibc redo its intermediate step.
  int Convert(const char** in, std::size_t* in_left, std::string& out,
              std::size_t bytes_per_input_byte) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (*in_left > 0) {
      const std::size_t used = out.size();
      out.resize(used + *in_left * bytes_per_input_byte + 16);
      char* dst = out.data() + used;
      std::size_t dst_left = out.size() - used;
      char* src = const_cast<char*>(*in);
      const std::size_t rc = ::iconv(cd_, &src, in_left, &dst, &dst_left);
      const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
      *in = src;
      out.resize(static_cast<std::size_t>(dst - out.data()));
      if (error == E2BIG) continue;
      if (error != 0) return error;
    }
    return 0;
  }

 private:
  iconv_t cd_;
};

Converter& Utf8ToGbk() {
  thread_local Converter converter("CP936", "UTF-8");
  return converter;
}

Converter& GbkToUtf8() {
  thread_local Converter converter("UTF-8", "CP936");
  return converter;
}

bool IsAscii(unsigned char c) {
  return c < 0x80;
}

// End of the run of ASCII bytes at p: the first byte at or above 0x80, or,
// with stop_at_zero, the first zero byte. Eight bytes at a time, because
// pages are mostly ASCII.
const unsigned char* AsciiRunEnd(const unsigned char* p, const unsigned char* end,
                                 bool stop_at_zero) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    std::uint64_t stop = word & kHighs;
    if (stop_at_zero) stop |= (word - kOnes) & ~word & kHighs;  // some byte is zero
    if (stop != 0) break;
    p += 8;
  }
  while (p < end && IsAscii(*p) && !(stop_at_zero && *p == 0)) ++p;
  return p;
}

// The UTF-8 sequence at the start of [p, end): its length when well formed;
// otherwise the length of its maximal subpart (the bytes that began a
// sequence before it broke off, at least one), which becomes one "?".
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};

Utf8Sequence ReadUtf8Sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < n; ++i) {
    if (p + i == end) return {i, false};
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (p[i] < min || p[i] > max) return {i, false};
  }
  return {n, true};
}

// Most Chinese characters: a lead byte E1 to EF (not ED) and two continuation
// bytes, well formed whatever they hold.
bool IsCommonThreeByteCharacter(const unsigned char* p, const unsigned char* end) {
  return end - p >= 3 && p[0] >= 0xE1 && p[0] <= 0xEF && p[0] != 0xED && (p[1] & 0xC0) == 0x80 &&
         (p[2] & 0xC0) == 0x80;
}

// Converts well-formed UTF-8 in one iconv call where it can. A character that
// code page 936 cannot hold becomes one "?".
void ConvertWellFormedUtf8(const unsigned char* p, const unsigned char* end, Text& out) {
  Converter& converter = Utf8ToGbk();
  const char* in = reinterpret_cast<const char*>(p);
  std::size_t left = static_cast<std::size_t>(end - p);
  while (left > 0) {
    if (converter.ok() && converter.Convert(&in, &left, out, 1) == 0) break;
    const auto* at = reinterpret_cast<const unsigned char*>(in);
    const std::size_t skip = ReadUtf8Sequence(at, end).length;
    out.push_back('?');
    in += skip;
    left -= skip;
  }
}

// A code page 936 lead byte takes the next byte as its trail, which may lie
// in the ASCII range (0x40 to 0x7E).
bool IsGbkLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

void ConvertGbkRun(const unsigned char* p, const unsigned char* end, std::string& out) {
  Converter& converter = GbkToUtf8();
  const char* in = reinterpret_cast<const char*>(p);
  std::size_t left = static_cast<std::size_t>(end - p);
  while (left > 0) {
    if (converter.ok() && converter.Convert(&in, &left, out, 3) == 0) break;
    const auto* at = reinterpret_cast<const unsigned char*>(in);
    std::size_t skip = 1;
    // An unmapped pair goes as a whole; a lead byte without a proper trail
    // goes alone, so an ASCII byte after it survives.
    if (converter.ok() && IsGbkLead(at[0]) && left >= 2 && at[1] >= 0x40 && at[1] != 0x7F &&
        at[1] != 0xFF) {
      skip = 2;
    }
    if (!converter.ok()) skip = left;
    out.push_back('?');
    in += skip;
    left -= skip;
  }
}

}  // namespace

Text Utf8ToLocalText(std::string_view utf8) {
  Text out;
  if (utf8.empty()) return out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const auto* run = p;
    p = AsciiRunEnd(p, end, /*stop_at_zero=*/true);
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end || *p == 0) break;  // the text ends at the first zero
    // Well-formed characters up to the next ASCII byte go to iconv together;
    // each broken piece becomes one "?" without troubling iconv.
    run = p;
    while (p < end && !IsAscii(*p)) {
      if (IsCommonThreeByteCharacter(p, end)) {
        p += 3;
        continue;
      }
      const Utf8Sequence sequence = ReadUtf8Sequence(p, end);
      if (!sequence.valid) {
        ConvertWellFormedUtf8(run, p, out);
        out.push_back('?');
        run = p + sequence.length;
      }
      p += sequence.length;
    }
    ConvertWellFormedUtf8(run, p, out);
  }
  return out;
}

Text Utf8ToLocalText(const ByteArray& utf8) {
  return Utf8ToLocalText(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

std::string LocalTextToUtf8(std::string_view local) {
  std::string out;
  out.reserve(local.size() + local.size() / 2);
  const auto* p = reinterpret_cast<const unsigned char*>(local.data());
  const auto* end = p + local.size();
  while (p < end) {
    const auto* run = p;
    p = AsciiRunEnd(p, end, /*stop_at_zero=*/false);
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) break;
    run = p;
    while (p < end && !IsAscii(*p)) {
      p += (IsGbkLead(*p) && end - p >= 2) ? 2 : 1;
    }
    ConvertGbkRun(run, p, out);
  }
  return out;
}

}  // namespace wuqu
