#include "net/header_cookie.h"

#include <gtest/gtest.h>

#include "text/codepage.h"

namespace wuqu {
namespace {

TEST(TextBetween, Cases) {
  struct Case {
    const char* name;
    Text source, left, right;
    int start;
    bool ignore_case;
    Text expected;
  };
  const Case cases[] = {
      {"first pair", "a[1]b[2]", "[", "]", 0, false, "1"},
      {"start position 4 skips the first pair", "a[1]b[2]", "[", "]", 4, false, "2"},
      {"start position 2 is the first [", "a[1]b[2]", "[", "]", 2, false, "1"},
      {"start position below 1 means the first character", "a[1]b[2]", "[", "]", -7, false, "1"},
      {"start position past the end", "a[1]b[2]", "[", "]", 100, false, ""},
      {"start position at the last character", "a[1]b[2]", "[", "]", 8, false, ""},
      {"left marker missing", "a[1]b[2]", "{", "]", 0, false, ""},
      {"right marker missing after the left one", "a]b[1", "[", "]", 0, false, ""},
      {"right marker directly after the left one", "a[]b", "[", "]", 0, false, ""},
      {"right marker searched after the left marker, not inside it", "x=ab=c;", "b=", "b", 0, false,
       ""},
      {"longer markers", "<a href=\"x.html\">", "href=\"", "\"", 0, false, "x.html"},
      {"case must match by default", "SET-COOKIE: a=1;", "Set-Cookie:", ";", 0, false, ""},
      {"case flag ignores letter case", "SET-COOKIE: a=1;", "Set-Cookie:", ";", 0, true, " a=1"},
      {"case flag applies to the right marker too", "<B>x</B>", "<b>", "</b>", 0, true, "x"},
      {"case flag leaves non-letters alone", "a[1]", "{", "}", 0, true, ""},
      {"two-byte characters are bytes", "\xD6\xD0[\xCE\xC4]", "[", "]", 0, false, "\xCE\xC4"},
      {"empty left marker matches at the start", "abc]", "", "]", 0, false, "abc"},
      {"empty right marker gives the empty text", "a[bc", "[", "", 0, false, ""},
      {"empty source", "", "[", "]", 0, false, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextBetween(c.source, c.left, c.right, c.start, c.ignore_case), c.expected) << c.name;
  }
}

// The quote marker is written as GBK bytes in the source; converting its
// readable form catches a typo in those bytes.
TEST(TextBetween, QuoteMarkerStandsForADoubleQuote) {
  const Text left = Utf8ToLocalText("id=#引号");
  const Text right = Utf8ToLocalText("#引号");
  EXPECT_EQ(TextBetween("id=\"7\"", left, right), "7");
  EXPECT_EQ(TextBetween("x id=\"7\" id=\"8\"", left, right, 5), "8");
  EXPECT_EQ(TextBetween("<a #\xD2\xFD\xBA\xC5>", "<a #", ">"), "\xD2\xFD\xBA\xC5")
      << "the source itself is not changed";
  EXPECT_EQ(TextBetween("a\"b\"\"c\"", right + right, right), "c")
      << "every occurrence is replaced";
}

TEST(HeaderLine, NameAndValue) {
  struct Case {
    Text line, name, value;
  };
  const Case cases[] = {
      {"Accept: */*", "Accept", "*/*"}, {"Referer: a:b", "Referer", "a:b"},
      {"no colon here", "", ""},        {"", "", ""},
      {"  X-A  :  1  ", "X-A", "1"},    {"X-Tab:\t1\t", "X-Tab", "1"},
      {":value", "", "value"},          {"Empty:", "Empty", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HeaderName(c.line), c.name) << c.line;
    EXPECT_EQ(HeaderValue(c.line), c.value) << c.line;
  }
}

TEST(CookieItems, NamesAndLookups) {
  EXPECT_EQ(CookieName(" sid =1"), "sid");
  EXPECT_EQ(CookieName("flag"), "flag");
  EXPECT_EQ(CookieName("a=b=c"), "a");
  EXPECT_EQ(CookieName("=v"), "");

  const std::vector<Text> items = {"a=1", "B=2", " c =3", "a=1"};
  EXPECT_TRUE(HasCookieName(items, "c"));
  EXPECT_FALSE(HasCookieName(items, "b")) << "names compare with their case";
  EXPECT_FALSE(HasCookieName({}, "a"));
  EXPECT_EQ(FindItem(items, "a=1"), 1);
  EXPECT_EQ(FindItem(items, "B=2"), 2);
  EXPECT_EQ(FindItem(items, "c=3"), -1) << "items compare exactly, blanks included";
  EXPECT_EQ(FindItem({}, ""), -1);
}

TEST(RemoveDuplicateItems, Cases) {
  struct Case {
    Text text, separator, expected;
  };
  const Case cases[] = {
      {"a=1; b=2; a=1", "; ", "a=1; b=2"},
      {"", "; ", ""},
      {"a=1", "; ", "a=1"},
      {"a=1; a=1; a=1", "; ", "a=1"},
      {"a=1; A=1", "; ", "a=1; A=1"},
      {"x,y,,x,", ",", "x,y"},
      {"; a=1; ; a=1; ", "; ", "a=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RemoveDuplicateItems(c.text, c.separator), c.expected) << c.text;
  }
}

TEST(MergeCookies, Cases) {
  struct Case {
    const char* name;
    Text jar, fresh;
    Text jar_after, fresh_after;
  };
  const Case cases[] = {
      {"fresh replaces old of the same name", "a=1; b=2", "b=3", "b=3; a=1", "b=3"},
      {"deletion mark removes the cookie", "a=1; b=2", "a=deleted", "b=2", "a=deleted"},
      {"empty fresh keeps the jar", "a=1", "", "a=1", ""},
      {"both empty", "", "", "", ""},
      {"names keep their case", "A=1", "a=2", "a=2; A=1", "a=2"},
      {"first of several old ones of one name stays", "a=1; a=2", "", "a=1", ""},
      {"equal fresh items collapse", "", "a=1; a=1", "a=1", "a=1;a=1"},
      {"unequal fresh items of one name both stay", "", "a=1; a=2", "a=1; a=2", "a=1;a=2"},
      {"blanks removed everywhere", "x=1; y = 2", "", "x=1; y=2", ""},
      {"tabs are blanks", "x=1;\ty=2", "z =\t3", "z=3; x=1; y=2", "z=3"},
      {"empty items vanish", ";a=1;; b=2;", "; ;", "a=1; b=2", ";;"},
      {"deleted fresh cookie without an old one", "a=1", "b=deleted", "a=1", "b=deleted"},
      {"deleted old cookie is dropped too", "a=deleted; b=1", "", "b=1", ""},
      {"fresh first, then survivors in old order", "c=3; a=1; b=2", "b=9; d=4",
       "b=9; d=4; c=3; a=1", "b=9;d=4"},
  };
  for (const auto& c : cases) {
    Text jar = c.jar;
    Text fresh = c.fresh;
    const Text result = MergeCookies(jar, fresh);
    EXPECT_EQ(jar, c.jar_after) << c.name;
    EXPECT_EQ(result, c.jar_after) << c.name;
    EXPECT_EQ(fresh, c.fresh_after) << c.name;
  }
}

}  // namespace
}  // namespace wuqu
