#include "text/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace wuqu {
namespace {

// The reference answer: one iconv call over the whole buffer, or nothing when
// iconv refuses any of it.
std::optional<std::string> IconvOnce(const char* to, const char* from, const std::string& in) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  const std::size_t rc = ::iconv(cd, &src, &src_left, &dst, &dst_left);
  ::iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || src_left != 0) return std::nullopt;
  out.resize(out.size() - dst_left);
  return out;
}

// Every character code page 936 holds beyond ASCII: its local bytes and its
// UTF-8 form, as glibc's table has them.
struct Character {
  std::string local;
  std::string utf8;
};

const std::vector<Character>& CodePageCharacters() {
  static const std::vector<Character> table = [] {
    std::vector<Character> characters;
    characters.push_back({"\x80", "\xE2\x82\xAC"});  // €
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        const std::string local{static_cast<char>(lead), static_cast<char>(trail)};
        if (auto utf8 = IconvOnce("UTF-8", "CP936", local)) characters.push_back({local, *utf8});
      }
    }
    return characters;
  }();
  return table;
}

std::string Repeat(std::string_view piece, int times) {
  std::string out;
  out.reserve(piece.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::string EncodeUtf8(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

struct Case {
  const char* name;
  std::string utf8;
  std::string local;
};

TEST(Utf8ToLocalText, KnownCases) {
  const Case cases[] = {
      {"empty", "", ""},
      {"ascii", "abc", "abc"},
      {"zhong", "\xE4\xB8\xAD", "\xD6\xD0"},
      {"not in code page 936", "a\xE0\xB8\x81z", "a?z"},
      {"four-byte character not in code page 936", "a\xF0\x9F\x98\x80z", "a?z"},
      {"euro sign is 0x80", "\xE2\x82\xAC", "\x80"},
      {"ends at the first zero", std::string("ab\0cd", 5), "ab"},
      {"zero after Chinese", std::string("\xE4\xB8\xAD\0\xE4\xB8\xAD", 7), "\xD6\xD0"},
      {"zero first", std::string("\0abc", 4), ""},
      {"zero after a broken piece", std::string("\xE4\xB8\0z", 4), "?"},
      {"lone continuation byte", "a\x80z", "a?z"},
      {"truncated sequence at end", "a\xE4\xB8", "a?"},
      {"truncated sequence before ASCII", "\xE4\xB8z", "?z"},
      {"truncated sequence before a character", "\xE4\xE4\xB8\xAD", "?\xD6\xD0"},
      {"surrogate encoded", "\xED\xA0\x80", "???"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"byte order mark is kept as a character", "\xEF\xBB\xBFx", "?x"},
      {"mixed run", "<a>\xE4\xB8\xAD\xE6\x96\x87</a>", "<a>\xD6\xD0\xCE\xC4</a>"},
      {"trail byte in the ASCII range", "\xE4\xB8\x82", "\x81\x40"},  // 丂
      // iconv drops the tag characters U+E0000 to U+E007F without an error.
      {"tag character", "a\xF3\xA0\x81\x81z", "a?z"},  // U+E0041
      {"first and last tag characters", "\xF3\xA0\x80\x80\xF3\xA0\x81\xBF", "??"},
      {"tag sequence of a flag", "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7\xF3\xA0\x81\xA2\xF3\xA0\x81\xBF",
       "????"},
      {"last code point", "\xF4\x8F\xBF\xBF", "?"},
      {"euro among Chinese", "\xE4\xB8\xAD\xE2\x82\xAC\xE4\xB8\xAD", "\xD6\xD0\x80\xD6\xD0"},
      {"two-byte character in code page 936", "\xC2\xB7", "\xA1\xA4"},  // ·
      {"two-byte character outside it", "\xC4\x82", "?"},               // Ă
      {"Thai run", Repeat("\xE0\xB8\x81", 100000), std::string(100000, '?')},
      {"emoji run", Repeat("\xF0\x9F\x98\x80", 100000), std::string(100000, '?')},
      {"Chinese and Thai alternating", Repeat("\xE4\xB8\xAD\xE0\xB8\x81", 50000),
       Repeat("\xD6\xD0?", 50000)},
      {"run of broken pieces", Repeat("\xE4\xB8\xFF", 50000), Repeat("??", 50000)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToLocalText(c.utf8), c.local) << c.name;
    ByteArray bytes(c.utf8.begin(), c.utf8.end());
    EXPECT_EQ(Utf8ToLocalText(bytes), c.local) << c.name << " (byte array)";
  }
  EXPECT_EQ(Utf8ToLocalText(ByteArray{}), "");
}

// Each code point of the Basic Multilingual Plane, alone between two
// letters, against iconv asked about that one character: its bytes where
// iconv gives some, else one "?" (refused, or dropped without an error).
// Then the whole plane in one buffer, so no character disturbs the next.
TEST(Utf8ToLocalText, EveryBmpCodePointAsIconvMapsItAlone) {
  std::string whole_utf8, whole_local;
  int mapped = 0;
  for (std::uint32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // no UTF-8 form
    const std::string utf8 = EncodeUtf8(cp);
    const auto alone = IconvOnce("CP936", "UTF-8", utf8);
    const bool has_bytes = alone.has_value() && !alone->empty();
    const std::string local = has_bytes ? *alone : "?";
    mapped += has_bytes && cp >= 0x80;
    ASSERT_EQ(Utf8ToLocalText("<" + utf8 + ">"), "<" + local + ">") << std::hex << "U+" << cp;
    whole_utf8 += utf8;
    whole_local += local;
  }
  EXPECT_GT(mapped, 21000);  // the reference itself works: iconv knows code page 936
  EXPECT_EQ(Utf8ToLocalText(whole_utf8), whole_local);
}

// Code page 936 holds nothing beyond the Basic Multilingual Plane (the
// four-byte characters of GB 18030 are not part of it): every one of them
// is one "?", in one buffer and inside Chinese text.
TEST(Utf8ToLocalText, EverySupplementaryCodePointIsOneQuestionMark) {
  std::string utf8;
  for (std::uint32_t cp = 0x10000; cp <= 0x10FFFF; ++cp) utf8 += EncodeUtf8(cp);
  const Text local = Utf8ToLocalText(utf8);
  EXPECT_EQ(local.size(), 0x100000u);
  EXPECT_EQ(local.find_first_not_of('?'), Text::npos);
  for (std::uint32_t cp : {0x10000u, 0x1F600u, 0x20000u, 0xE0001u, 0xE007Fu, 0x10FFFFu}) {
    EXPECT_EQ(Utf8ToLocalText("\xE4\xB8\xAD" + EncodeUtf8(cp) + "\xE4\xB8\xAD"),
              "\xD6\xD0?\xD6\xD0")
        << std::hex << "U+" << cp;
  }
}

// Long inputs cross the ASCII fast path's eight-byte steps and iconv's
// buffer at every alignment.
TEST(Utf8ToLocalText, AgreesWithIconvOnRandomText) {
  const auto& characters = CodePageCharacters();
  ASSERT_GT(characters.size(), 20000u);
  std::mt19937 rng(936);
  for (int ascii_percent : {0, 5, 50, 95, 100}) {
    for (int round = 0; round < 20; ++round) {
      std::string utf8;
      const int length = static_cast<int>(rng() % 3000);
      for (int i = 0; i < length; ++i) {
        if (static_cast<int>(rng() % 100) < ascii_percent) {
          utf8.push_back(static_cast<char>(1 + rng() % 0x7F));
        } else {
          utf8 += characters[rng() % characters.size()].utf8;
        }
      }
      const auto expected = IconvOnce("CP936", "UTF-8", utf8);
      ASSERT_TRUE(expected.has_value());
      ASSERT_EQ(Utf8ToLocalText(utf8), *expected)
          << "ascii " << ascii_percent << "% round " << round;
    }
  }
}

// Each broken piece of UTF-8 gives one "?" per maximal subpart, and the
// well-formed text around it comes through unchanged.
TEST(Utf8ToLocalText, BrokenPiecesAmongValidText) {
  struct Piece {
    std::string utf8;
    std::string local;
    bool incomplete;  // a continuation byte after it would extend it
  };
  const std::vector<Piece> broken = {
      {"\x80", "?", false},
      {"\xBF\xBF", "??", false},
      {"\xFF", "?", false},
      {"\xF5\x80", "??", false},
      {"\xC0\xAF", "??", false},
      {"\xE0\x9F\x80", "???", false},
      {"\xED\xA0\x80", "???", false},
      {"\xF4\x90\x80\x80", "????", false},
      {"\xF8\x88\x80\x80\x80", "?????", false},
      {"\xC3", "?", true},
      {"\xE4\xB8", "?", true},
      {"\xF0\x9F\x98", "?", true},
  };
  const std::vector<Piece> valid = {
      {"a", "a", false},
      {"<td>", "<td>", false},
      {"\xE4\xB8\xAD", "\xD6\xD0", false},
      {"\xE2\x82\xAC", "\x80", false},
      {"\xE0\xB8\x81", "?", false},  // U+0E01, not in code page 936
      {"\xF0\x9F\x98\x80", "?", false},
  };
  const auto& characters = CodePageCharacters();
  std::mt19937 rng(65001);
  for (int round = 0; round < 500; ++round) {
    std::string utf8, expected;
    bool after_incomplete = false;
    const int pieces = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < pieces; ++i) {
      Piece piece;
      const unsigned pick = rng() % 4;
      if (pick == 0) {
        const auto& c = characters[rng() % characters.size()];
        piece = {c.utf8, c.local, false};
      } else if (pick == 1) {
        piece = valid[rng() % valid.size()];
      } else {
        piece = broken[rng() % broken.size()];
      }
      // A continuation byte right after an incomplete sequence would belong
      // to it; that is a different piece, covered by the known cases.
      const auto first = static_cast<unsigned char>(piece.utf8[0]);
      if (after_incomplete && first >= 0x80 && first <= 0xBF) continue;
      utf8 += piece.utf8;
      expected += piece.local;
      after_incomplete = piece.incomplete;
    }
    ASSERT_EQ(Utf8ToLocalText(utf8), expected) << "round " << round;
  }
}

TEST(Utf8ToLocalText, ArbitraryBytesNeverGrowBeyondTheInput) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(rng() % 200, '\0');
    for (char& b : bytes) b = static_cast<char>(0x80 + rng() % 0x80);  // no zero, no ASCII
    const Text local = Utf8ToLocalText(bytes);
    EXPECT_LE(local.size(), bytes.size());
    EXPECT_EQ(local.find('\0'), Text::npos);
  }
}

TEST(LocalTextToUtf8, KnownCases) {
  const Case cases[] = {
      {"ascii", "abc", "abc"},
      {"zhong wen", "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},
      {"euro sign", "\xE2\x82\xAC", "\x80"},
      {"trail byte in the ASCII range", "\xE4\xB8\x82", "\x81\x40"},  // 丂
      {"lead byte before a blank", "? a", "\x81 a"},
      {"ASCII letter as trail byte", "\xE4\xB9\xA4",
       "\x81"
       "a"},  // 乤
      {"lead byte at the end", "a?", "a\x81"},
      {"invalid byte", "?", "\xFF"},
      {"unmapped pair goes as one", "?z", "\xAA\xA1z"},
      {"lead byte before 0x7F", "?\x7F", "\x81\x7F"},
      {"zero byte kept", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"lead byte before an invalid byte", "??", "\x81\xFF"},
      {"euro before a pair", "\xE2\x82\xAC\xE4\xB8\xAD", "\x80\xD6\xD0"},
      {"run of 0x80", Repeat("\xE2\x82\xAC", 100000), std::string(100000, '\x80')},
      {"run of 0xFF", std::string(100000, '?'), std::string(100000, '\xFF')},
      {"run of unmapped pairs", std::string(50000, '?'), Repeat("\xAA\xA1", 50000)},
      {"run of lead bytes before blanks", Repeat("? ", 50000), Repeat("\x81 ", 50000)},
      {"run of lead bytes before 0x7F", Repeat("?\x7F", 50000), Repeat("\xFE\x7F", 50000)},
  };
  for (const auto& c : cases) EXPECT_EQ(LocalTextToUtf8(c.local), c.utf8) << c.name;
}

// The whole code page in one buffer, shuffled among ASCII: the same answer as
// iconv's, and back again unchanged.
TEST(LocalTextToUtf8, WholeCodePageAgreesWithIconvAndRoundTrips) {
  auto characters = CodePageCharacters();
  std::mt19937 rng(54936);
  std::shuffle(characters.begin(), characters.end(), rng);
  std::string local;
  for (const auto& c : characters) {
    local += c.local;
    if (rng() % 4 == 0) local.push_back(static_cast<char>(0x20 + rng() % 0x5F));
  }
  const auto expected = IconvOnce("UTF-8", "CP936", local);
  ASSERT_TRUE(expected.has_value());
  const std::string utf8 = LocalTextToUtf8(local);
  EXPECT_EQ(utf8, *expected);
  EXPECT_EQ(Utf8ToLocalText(utf8), local);
}

}  // namespace
}  // namespace wuqu
