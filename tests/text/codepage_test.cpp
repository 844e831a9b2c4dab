#include <gtest/gtest.h>

#include "text/codepage.h"

namespace wuqu {
namespace {

struct Case {
  const char* name;
  std::string utf8;
  std::string gbk;
};

TEST(Utf8ToLocalText, KnownCases) {
  const Case cases[] = {
      {"empty", "", ""},
      {"ascii", "abc", "abc"},
      {"zhong", "\xE4\xB8\xAD", "\xD6\xD0"},
      {"not in code page 936", "a\xE0\xB8\x81z", "a?z"},
      {"euro sign is 0x80", "\xE2\x82\xAC", "\x80"},
      {"ends at the first zero", std::string("ab\0cd", 5), "ab"},
      {"zero after Chinese", std::string("\xE4\xB8\xAD\0\xE4\xB8\xAD", 7), "\xD6\xD0"},
      {"lone continuation byte", "a\x80z", "a?z"},
      {"truncated sequence at end", "a\xE4\xB8", "a??"},
      {"surrogate encoded", "\xED\xA0\x80", "???"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"byte order mark is kept as a character", "\xEF\xBB\xBFx", "?x"},
      {"mixed run", "<a>\xE4\xB8\xAD\xE6\x96\x87</a>", "<a>\xD6\xD0\xCE\xC4</a>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToLocalText(c.utf8), c.gbk) << c.name;
    ByteArray bytes(c.utf8.begin(), c.utf8.end());
    EXPECT_EQ(Utf8ToLocalText(bytes), c.gbk) << c.name << " (byte array)";
  }
}

TEST(LocalTextToUtf8, KnownCases) {
  const Case cases[] = {
      {"ascii", "abc", "abc"},
      {"zhong wen", "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},
      {"trail byte in the ASCII range", "\xE4\xB8\x82", "\x81\x40"},  // 丂
      {"lead byte before a blank", "? a", "\x81 a"},
      {"ASCII letter as trail byte", "\xE4\xB9\xA4", "\x81" "a"},  // 乤
      {"lead byte at the end", "a?", "a\x81"},
      {"invalid byte", "?", "\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(LocalTextToUtf8(c.gbk), c.utf8) << c.name;
}

}  // namespace
}  // namespace wuqu
