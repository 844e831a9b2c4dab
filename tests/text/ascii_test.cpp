#include "text/ascii.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace wuqu {
namespace {

TEST(AsciiTest, EqualsNoCaseFoldsAsciiLettersOnly) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"Content-Range", "content-RANGE", true},
      {"", "", true},
      {"ETag", "ETa", false},
      // Neighbours of the letters differ by 0x20 too, but are no letters.
      {"[", "{", false},
      {"@", "`", false},
      {"]^_", "}~\x7f", false},
      // Latin-1 and GBK bytes are compared as they are.
      {"\xC4", "\xE4", false},
      {"\xB5\xE7", "\xB5\xE7", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualsNoCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
}

// TrimBlanks takes line ends too; TrimSpacesAndTabs (HTTP's blanks around a
// header value) leaves them.
TEST(AsciiTest, TrimsTakeTheirBlanksFromBothEnds) {
  struct Case {
    std::string_view in, blanks, spaces_and_tabs;
  };
  const Case cases[] = {
      {" \t bytes 0-1/2 \r\n", "bytes 0-1/2", "bytes 0-1/2 \r\n"},
      {"\t a=1; b \t", "a=1; b", "a=1; b"},
      {"a b", "a b", "a b"},
      {" \r\n\t", "", "\r\n"},
      {" \t ", "", ""},
      {"", "", ""},
      {"\v x \f", "\v x \f", "\v x \f"},  // other control bytes stay
      {"\xA1\xA1x\xA1\xA1", "\xA1\xA1x\xA1\xA1", "\xA1\xA1x\xA1\xA1"},  // a wide space stays
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TrimBlanks(c.in), c.blanks) << '"' << c.in << '"';
    EXPECT_EQ(TrimSpacesAndTabs(c.in), c.spaces_and_tabs) << '"' << c.in << '"';
  }
}

TEST(AsciiTest, ParseDecimalTakesDigitsOnlyWithin64Bits) {
  struct Case {
    std::string_view in;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"000000000000000000000000000042", 42},  // leading zeros are no overflow
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"12a", std::nullopt},
      {"0x10", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // a full-width digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDecimal(c.in), c.value) << '"' << c.in << '"';
    EXPECT_EQ(IsDecimal(c.in), !c.in.empty() && c.in.find_first_not_of("0123456789") ==
                                                    std::string_view::npos)
        << '"' << c.in << '"';
  }
}

}  // namespace
}  // namespace wuqu
