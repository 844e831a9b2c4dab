#include "text/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>

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
  // (EILSEQ or EINVAL); *in then points at the offending bytes.
  int Convert(const char** in, std::size_t* in_left, std::string& out) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (*in_left > 0) {
      char buffer[4096];
      char* dst = buffer;
      std::size_t dst_left = sizeof buffer;
      char* src = const_cast<char*>(*in);
      const std::size_t rc = ::iconv(cd_, &src, in_left, &dst, &dst_left);
      const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
      *in = src;
      out.append(buffer, static_cast<std::size_t>(dst - buffer));
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

bool IsAscii(unsigned char c) { return c < 0x80; }

// Length of the well-formed UTF-8 sequence at the start of [p, end), or 0.
std::size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < n) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return n;
}

// Converts one run of non-ASCII UTF-8 bytes. A character that code page 936
// cannot hold becomes one "?"; so does each byte of malformed input.
void ConvertUtf8Run(const unsigned char* p, const unsigned char* end, Text& out) {
  Converter& converter = Utf8ToGbk();
  const char* in = reinterpret_cast<const char*>(p);
  std::size_t left = static_cast<std::size_t>(end - p);
  while (left > 0) {
    if (!converter.ok() || converter.Convert(&in, &left, out) != 0) {
      const auto* at = reinterpret_cast<const unsigned char*>(in);
      std::size_t skip = converter.ok() ? Utf8SequenceLength(at, end) : left;
      if (skip == 0) skip = 1;
      out.push_back('?');
      in += skip;
      left -= skip;
    }
  }
}

// A code page 936 lead byte takes the next byte as its trail, which may lie
// in the ASCII range (0x40 to 0x7E).
bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

void ConvertGbkRun(const unsigned char* p, const unsigned char* end, std::string& out) {
  Converter& converter = GbkToUtf8();
  const char* in = reinterpret_cast<const char*>(p);
  std::size_t left = static_cast<std::size_t>(end - p);
  while (left > 0) {
    if (!converter.ok() || converter.Convert(&in, &left, out) != 0) {
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
    while (p < end && IsAscii(*p) && *p != 0) ++p;
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end || *p == 0) break;  // the text ends at the first zero
    run = p;
    while (p < end && !IsAscii(*p)) ++p;
    ConvertUtf8Run(run, p, out);
  }
  return out;
}

Text Utf8ToLocalText(const ByteArray& utf8) {
  return Utf8ToLocalText(
      std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

std::string LocalTextToUtf8(std::string_view local) {
  std::string out;
  out.reserve(local.size() + local.size() / 2);
  const auto* p = reinterpret_cast<const unsigned char*>(local.data());
  const auto* end = p + local.size();
  while (p < end) {
    const auto* run = p;
    while (p < end && IsAscii(*p)) ++p;
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
