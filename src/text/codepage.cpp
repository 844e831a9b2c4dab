#include "text/codepage.h"

#include <iconv.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace wuqu {
namespace {

// Both directions convert through tables filled once from iconv, one
// character per call, so iconv stays the only source of the mapping while
// the conversion itself never stops at a character iconv refuses: restarting
// iconv after each refusal costs it a fresh decode of the rest of the run,
// quadratic work on a page of Thai or emoji. The tables also catch what iconv
// drops without an error (the tag characters U+E0000 to U+E007F): whatever
// does not come out as code page 936 bytes becomes "?".

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) ::iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // The whole of `in` converted in one go, into `out` (at most `capacity`
  // bytes); the number of bytes written, or -1 when iconv refuses any of it.
  int ConvertWhole(const char* in, std::size_t in_size, char* out, std::size_t capacity) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    char* dst = out;
    std::size_t src_left = in_size, dst_left = capacity;
    if (::iconv(cd_, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1) ||
        src_left != 0 ||
        ::iconv(cd_, nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
      return -1;
    }
    return static_cast<int>(capacity - dst_left);
  }

 private:
  iconv_t cd_;
};

std::size_t EncodeUtf8(std::uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Code page 936 bytes of each code point of the Basic Multilingual Plane,
// "?" for those it has none for. Code page 936 holds nothing beyond this
// plane.
struct LocalForm {
  char bytes[2];
  std::uint8_t length;
};

using LocalTable = std::array<LocalForm, 0x10000>;

std::unique_ptr<LocalTable> BuildLocalTable() {
  auto table = std::make_unique<LocalTable>();
  table->fill(LocalForm{{'?', 0}, 1});
  for (std::uint32_t cp = 1; cp < 0x80; ++cp) (*table)[cp] = {{static_cast<char>(cp), 0}, 1};
  Iconv iconv("CP936", "UTF-8");
  if (!iconv.ok()) return table;
  for (std::uint32_t cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // no UTF-8 form
    char utf8[4];
    const std::size_t length = EncodeUtf8(cp, utf8);
    char local[8];
    const int written = iconv.ConvertWhole(utf8, length, local, sizeof local);
    if ((written == 1 && local[0] != 0) || written == 2) {
      (*table)[cp] = {{local[0], written == 2 ? local[1] : '\0'},
                      static_cast<std::uint8_t>(written)};
    }
  }
  return table;
}

const LocalTable& LocalBytes() {
  static const std::unique_ptr<LocalTable> table = BuildLocalTable();
  return *table;
}

// A code page 936 lead byte takes the next byte as its trail, which may lie
// in the ASCII range (0x40 to 0x7E).
bool IsGbkLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

// A trail byte that makes a pair of a lead byte even when the pair is
// unmapped: that pair becomes one "?", where a lead byte before anything
// else becomes "?" alone and the byte after it is read afresh.
bool IsGbkTrail(unsigned char c) {
  return c >= 0x40 && c != 0x7F && c != 0xFF;
}

// UTF-8 of each piece of program text above ASCII, "?" for those iconv does
// not map, and how many bytes the piece takes: one entry per single byte
// (0x80 to 0xFF) and one per lead byte and whatever byte follows it.
struct Utf8Form {
  char bytes[3];
  std::uint8_t length;
  std::uint8_t advance;
};

struct Utf8Table {
  std::array<Utf8Form, 0x80> single;        // byte - 0x80
  std::array<Utf8Form, 0x7E * 0x100> pair;  // (lead - 0x81) * 0x100 + next byte
};

Utf8Form Utf8Of(Iconv& iconv, const char* local, std::size_t length,
                std::uint8_t unmapped_advance) {
  Utf8Form form{{'?', 0, 0}, 1, unmapped_advance};
  char utf8[8];
  const int written = iconv.ConvertWhole(local, length, utf8, sizeof utf8);
  if (written > 0 && written <= 3) {
    std::memcpy(form.bytes, utf8, static_cast<std::size_t>(written));
    form.length = static_cast<std::uint8_t>(written);
    form.advance = static_cast<std::uint8_t>(length);
  }
  return form;
}

std::unique_ptr<Utf8Table> BuildUtf8Table() {
  auto table = std::make_unique<Utf8Table>();
  Iconv iconv("UTF-8", "CP936");
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const char local = static_cast<char>(byte);
    table->single[static_cast<std::size_t>(byte - 0x80)] =
        iconv.ok() ? Utf8Of(iconv, &local, 1, 1) : Utf8Form{{'?', 0, 0}, 1, 1};
  }
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int next = 0; next <= 0xFF; ++next) {
      const char local[2] = {static_cast<char>(lead), static_cast<char>(next)};
      // An unmapped pair goes as a whole; a lead byte without a proper trail
      // goes alone, so an ASCII byte after it survives.
      const std::uint8_t unmapped_advance = IsGbkTrail(static_cast<unsigned char>(next)) ? 2 : 1;
      table->pair[static_cast<std::size_t>((lead - 0x81) * 0x100 + next)] =
          iconv.ok() ? Utf8Of(iconv, local, 2, unmapped_advance)
                     : Utf8Form{{'?', 0, 0}, 1, unmapped_advance};
    }
  }
  return table;
}

const Utf8Table& Utf8Forms() {
  static const std::unique_ptr<Utf8Table> table = BuildUtf8Table();
  return *table;
}

bool IsAscii(unsigned char c) {
  return c < 0x80;
}

// End of the run of ASCII bytes at p: the first byte at or above 0x80, or,
// with stop_at_zero, the first zero byte. Eight bytes at a time, because
// pages are mostly ASCII.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// The high bit of each byte of `word` that is at or above 0x80 or, with
// stop_at_zero, zero. Only the lowest bit set is exact: the zero test may
// also mark bytes after a zero.
std::uint64_t StopBits(std::uint64_t word, bool stop_at_zero) {
  std::uint64_t stop = word & kHighs;
  if (stop_at_zero) stop |= (word - kOnes) & ~word & kHighs;
  return stop;
}

const unsigned char* AsciiRunEnd(const unsigned char* p, const unsigned char* end,
                                 bool stop_at_zero) {
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (StopBits(word, stop_at_zero) != 0) break;
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

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// What a byte at or above 0x80 begins: a sequence of `length` bytes whose
// second byte lies within [second_min, second_max]; a byte that begins none
// has an empty range, so no second byte fits.
struct LeadByte {
  std::uint8_t length;
  std::uint8_t second_min;
  std::uint8_t second_max;
};

constexpr std::array<LeadByte, 0x80> kLeadBytes = [] {
  std::array<LeadByte, 0x80> leads{};
  for (int c = 0x80; c <= 0xFF; ++c) {
    LeadByte lead{1, 1, 0};
    if (c >= 0xC2 && c <= 0xDF) lead = {2, 0x80, 0xBF};
    if (c >= 0xE0 && c <= 0xEF) lead = {3, 0x80, 0xBF};
    if (c == 0xE0) lead.second_min = 0xA0;  // no overlong forms
    if (c == 0xED) lead.second_max = 0x9F;  // no surrogates
    if (c >= 0xF0 && c <= 0xF4) lead = {4, 0x80, 0xBF};
    if (c == 0xF0) lead.second_min = 0x90;
    if (c == 0xF4) lead.second_max = 0x8F;  // nothing above U+10FFFF
    leads[static_cast<std::size_t>(c - 0x80)] = lead;
  }
  return leads;
}();

// Copies the ASCII bytes at p, eight at a time while no zero is among them;
// stops at the first byte at or above 0x80 or the first zero.
//
// Both callers keep at least as much room at o as input is left at p, so
// eight bytes may be stored at o while eight remain at p. That lets a short
// run, the common case on pages full of broken pieces, cost one word and no
// loop.
void CopyAscii(const unsigned char*& p, const unsigned char* end, char*& o, bool stop_at_zero) {
  if constexpr (std::endian::native == std::endian::little) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      std::memcpy(o, &word, sizeof word);
      const std::uint64_t stop = StopBits(word, stop_at_zero);
      if (stop != 0) {
        const int length = std::countr_zero(stop) / 8;
        p += length;
        o += length;
        return;
      }
    }
  }
  const auto* run = p;
  p = AsciiRunEnd(p, end, stop_at_zero);
  std::memcpy(o, run, static_cast<std::size_t>(p - run));
  o += p - run;
}

}  // namespace

Text Utf8ToLocalText(std::string_view utf8) {
  Text out;
  if (utf8.empty()) return out;
  const LocalTable& table = LocalBytes();
  // No character gives more bytes than its UTF-8 form, and each broken piece
  // gives one "?" for one or more bytes: the input's size is room enough.
  out.resize(utf8.size());
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  const auto put = [&o](const LocalForm& form) {
    std::memcpy(o, form.bytes, sizeof form.bytes);  // room: its UTF-8 took two bytes or more
    o += form.length;
  };
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c == 0) break;  // the text ends at the first zero
      CopyAscii(p, end, o, /*stop_at_zero=*/true);
      continue;
    }
    // Most Chinese characters: a lead byte E1 to EF (not ED) and two
    // continuation bytes, well formed whatever they hold.
    if (c >= 0xE1 && c <= 0xEF && c != 0xED && end - p >= 3 && IsContinuation(p[1]) &&
        IsContinuation(p[2])) {
      put(table[(c & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu)]);
      p += 3;
      continue;
    }
    // The same reading as ReadUtf8Sequence with one test where it has a
    // chain of them: on pages of broken bytes each test is a guess.
    if (end - p >= 4) {
      const LeadByte lead = kLeadBytes[c - 0x80u];
      if (p[1] < lead.second_min || p[1] > lead.second_max) {
        *o++ = '?';  // begins nothing, or breaks off at once
        ++p;
      } else if (lead.length == 2) {
        put(table[(c & 0x1Fu) << 6 | (p[1] & 0x3Fu)]);
        p += 2;
      } else if (!IsContinuation(p[2])) {
        *o++ = '?';
        p += 2;
      } else if (lead.length == 3) {
        put(table[(c & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu)]);
        p += 3;
      } else {
        *o++ = '?';  // beyond code page 936 when whole
        p += IsContinuation(p[3]) ? 4 : 3;
      }
      continue;
    }
    const Utf8Sequence sequence = ReadUtf8Sequence(p, end);
    if (!sequence.valid || sequence.length == 4) {
      *o++ = '?';  // a broken piece, or a character beyond code page 936
    } else if (sequence.length == 2) {
      put(table[(c & 0x1Fu) << 6 | (p[1] & 0x3Fu)]);
    } else {
      put(table[(c & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu)]);
    }
    p += sequence.length;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

Text Utf8ToLocalText(const ByteArray& utf8) {
  return Utf8ToLocalText(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

std::string LocalTextToUtf8(std::string_view local) {
  std::string out;
  if (local.empty()) return out;
  const Utf8Table& table = Utf8Forms();
  // Each byte gives at most three: two bytes of a pair, or 0x80, give one
  // three-byte character.
  out.resize(local.size() * 3);
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(local.data());
  const auto* end = p + local.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      CopyAscii(p, end, o, /*stop_at_zero=*/false);
      continue;
    }
    // Branches rather than the entry's own advance: the next byte's place
    // then waits for no table load, and real text takes the same way each
    // time.
    if (IsGbkLead(c) && end - p >= 2) {
      const Utf8Form& form = table.pair[static_cast<std::size_t>((c - 0x81) * 0x100 + p[1])];
      std::memcpy(o, form.bytes, sizeof form.bytes);
      o += form.length;
      if (form.advance == 2) {
        p += 2;
      } else {
        ++p;
      }
      continue;
    }
    const Utf8Form& form = table.single[c - 0x80u];
    std::memcpy(o, form.bytes, sizeof form.bytes);
    o += form.length;
    ++p;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

}  // namespace wuqu
