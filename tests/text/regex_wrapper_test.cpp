#include "text/regex_wrapper.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "text/codepage.h"
#include "text/regex_testing.h"

namespace wuqu {
namespace {

// Program text from UTF-8 source text.
Text L(const char* utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

// The listing pattern as the track list uses it, with its placeholders.
const char kListingPattern[] =
    "<td><a href=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5 id=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5"
    " target=#\xD2\xFD\xBA\xC5play#\xD2\xFD\xBA\xC5>(.*?)</a>";  // #引号 for each quote

struct Link {
  Text href, id, title;
  bool operator==(const Link&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Link& link) {
  return os << "{" << link.href << " | " << link.id << " | " << link.title << "}";
}

// Every test runs on both ways of matching: JIT code where the machine has
// it, and the interpreter that a machine without JIT falls back on.
enum class Engine { kJit, kInterpreter };

void PrintTo(Engine engine, std::ostream* os) {
  *os << (engine == Engine::kJit ? "JIT" : "interpreter");
}

class RegexWrapperTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::kInterpreter) {
      interpreter_.emplace();
    } else if (!RegexUsesJit()) {
      GTEST_SKIP() << "PCRE2 has no JIT here";
    }
  }

  static std::vector<Link> Listing(const Text& page) {
    RegexWrapper regex;
    EXPECT_TRUE(regex.Compile(kListingPattern, page, false, false, true, true));
    std::vector<Link> links;
    for (int i = 1; i <= regex.MatchCount(); ++i) {
      links.push_back(
          {regex.SubMatchText(i, 1), regex.SubMatchText(i, 2), regex.SubMatchText(i, 3)});
    }
    return links;
  }

  std::optional<RegexInterpreterOnly> interpreter_;
};

TEST(QuotePlaceholder, IsNumberSignAndTheTwoCharacters) {
  EXPECT_EQ(Utf8ToLocalText(std::string_view("#引号")), kQuotePlaceholder);
  EXPECT_EQ(Utf8ToLocalText(std::string_view("<td><a href=#引号(.*?)#引号 id=#引号(.*?)#引号 "
                                             "target=#引号play#引号>(.*?)</a>")),
            kListingPattern);
}

TEST_P(RegexWrapperTest, PatternThatDoesNotCompile) {
  RegexWrapper regex;
  EXPECT_FALSE(regex.Compile("(ab", "ab ab"));
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_EQ(regex.SubMatchCount(), 0);
  int position = 7;
  EXPECT_EQ(regex.MatchText(1, &position), "");
  EXPECT_EQ(position, -1);
  EXPECT_EQ(regex.SubMatchText(1, 1), "");
  EXPECT_EQ(regex.ReplaceMatches("x"), "");
  EXPECT_EQ(regex.GetPattern(), "(ab");
  // A pattern may not switch UTF-8 matching on: the subject is code page 936.
  EXPECT_FALSE(regex.Compile("(*UTF)a", "a"));
}

TEST_P(RegexWrapperTest, BeforeAnyCompile) {
  RegexWrapper regex;
  EXPECT_EQ(regex.GetPattern(), "");
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_EQ(regex.SubMatchCount(), 0);
  EXPECT_EQ(regex.MatchText(1), "");
  EXPECT_EQ(regex.ReplaceMatches(), "");
}

TEST_P(RegexWrapperTest, EmptySubject) {
  RegexWrapper regex;
  EXPECT_TRUE(regex.Compile("(a)(b)", ""));
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_EQ(regex.SubMatchCount(), 0);
  EXPECT_EQ(regex.ReplaceMatches("x"), "");
  // A pattern that matches the empty text finds it once.
  EXPECT_TRUE(regex.Compile("x*", ""));
  EXPECT_EQ(regex.MatchCount(), 1);
}

struct CountCase {
  const char* name;
  const char* pattern;
  Text subject;
  bool case_sensitive;
  bool multi_line;
  int count;
};

TEST_P(RegexWrapperTest, MatchCounts) {
  const CountCase cases[] = {
      {"case-insensitive by default", "abc", "ABC abc AbC", false, true, 3},
      {"case-sensitive on request", "abc", "ABC abc AbC", true, true, 1},
      {"upper-case pattern", "PLAY", "play Play", false, true, 2},
      // Only ASCII letters fold: these two GBK characters differ by 0x20 in
      // their lead byte.
      {"no folding above ASCII", "\xC1\xA1", "\xE1\xA1", false, true, 0},
      {"dot stops at LF", "a.b", "a\nb", false, true, 0},
      {"dot stops at CR", "a.b", "a\rb", false, true, 0},
      {"dot takes any other byte", "a.b",
       "a\tb a\xFF"
       "b",
       false, true, 2},
      {"lines end at LF, CR and CR LF", "^\\w+$", "ab\ncd\r\nef\rgh", false, true, 4},
      {"without multi-line, ^ and $ are the subject's ends", "^\\w+$", "ab\ncd", false, false, 0},
      {"$ is the very end without multi-line", "ab$", "ab\n", false, false, 0},
      {"global takes matches without overlap", "aa", "aaaaa", false, true, 2},
      {"lazy group takes the least", "<(.*?)>", "<a><b>", false, true, 2},
      {"empty matches, one per character boundary", "x*", "abc", false, true, 4},
      // After the empty match at 1 the next search starts at 2, so "b" is
      // never matched, as in the scripting engines.
      {"empty match moves one character on", "|b", "ab", false, true, 3},
  };
  for (const auto& c : cases) {
    RegexWrapper regex;
    ASSERT_TRUE(regex.Compile(c.pattern, c.subject, c.case_sensitive, c.multi_line)) << c.name;
    EXPECT_EQ(regex.MatchCount(), c.count) << c.name;
  }
}

TEST_P(RegexWrapperTest, EmptyMatchesStepOverWholeCharacters) {
  RegexWrapper regex;
  // a* over "b" "aaa" "中" "c": empty at 0, "aaa" at 1, then empty at the
  // start of 中, after it (not between its two bytes), and at the end.
  ASSERT_TRUE(regex.Compile("a*",
                            "baaa\xD6\xD0"
                            "c"));
  std::vector<std::pair<Text, int>> found;
  for (int i = 1; i <= regex.MatchCount(); ++i) {
    int position = -1;
    Text text = regex.MatchText(i, &position);
    found.emplace_back(text, position);
  }
  const std::vector<std::pair<Text, int>> expected = {
      {"", 0}, {"aaa", 1}, {"", 4}, {"", 6}, {"", 7}};
  EXPECT_EQ(found, expected);
}

TEST_P(RegexWrapperTest, QuotePlaceholders) {
  const Text pattern = "value=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5";  // #引号
  const Text quoted = "value=\"abc\"";

  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile(pattern, quoted, false, true, true, true));
  EXPECT_EQ(regex.GetPattern(), "value=\"(.*?)\"");
  ASSERT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.SubMatchText(1, 1), "abc");

  // Without expansion only the placeholder text itself matches.
  ASSERT_TRUE(regex.Compile(pattern, quoted + " value=#\xD2\xFD\xBA\xC5xyz#\xD2\xFD\xBA\xC5"));
  EXPECT_EQ(regex.GetPattern(), pattern);
  ASSERT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.SubMatchText(1, 1), "xyz");
}

TEST_P(RegexWrapperTest, NumbersOutOfRange) {
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile("(\\d)(\\d)", "12 34"));
  ASSERT_EQ(regex.MatchCount(), 2);
  EXPECT_EQ(regex.SubMatchCount(), 2);
  for (int n : {0, -1, 3}) {
    int position = 7;
    EXPECT_EQ(regex.MatchText(n, &position), "") << n;
    EXPECT_EQ(position, -1) << n;
    EXPECT_EQ(regex.SubMatchText(n, 1), "") << n;
  }
  for (int k : {0, -1, 3}) {
    int position = 7;
    EXPECT_EQ(regex.SubMatchText(1, k, &position), "") << k;
    EXPECT_EQ(position, -1) << k;
  }
  EXPECT_EQ(regex.MatchText(2), "34");
  EXPECT_EQ(regex.SubMatchText(2, 2), "4");
}

TEST_P(RegexWrapperTest, PositionsAreByteOffsets) {
  RegexWrapper regex;
  // 中文 takes four bytes: "b" is the engine's character 3 but byte 5.
  ASSERT_TRUE(regex.Compile("b(c)",
                            "\xD6\xD0\xCE\xC4"
                            "abc bc"));
  int position = -1;
  EXPECT_EQ(regex.MatchText(1, &position), "bc");
  EXPECT_EQ(position, 5);
  EXPECT_EQ(regex.SubMatchText(1, 1, &position), "c");
  EXPECT_EQ(position, 6);
  EXPECT_EQ(regex.MatchText(2, &position), "bc");
  EXPECT_EQ(position, 8);
}

TEST_P(RegexWrapperTest, SubMatchPositionIsWhereTheGroupMatched) {
  RegexWrapper regex;
  // Group 2 holds "a" like the match's first byte: its place is 2, not 0.
  ASSERT_TRUE(regex.Compile("(a)b(a)", "aba"));
  int position = -1;
  EXPECT_EQ(regex.SubMatchText(1, 2, &position), "a");
  EXPECT_EQ(position, 2);
  // An empty group that took part sits where it matched.
  ASSERT_TRUE(regex.Compile("href=\"(.*?)\"", "x href=\"\""));
  EXPECT_EQ(regex.SubMatchText(1, 1, &position), "");
  EXPECT_EQ(position, 8);
  // A group that took no part is empty and has no place.
  ASSERT_TRUE(regex.Compile("(a)|(b)", "b"));
  EXPECT_EQ(regex.SubMatchCount(), 2);
  EXPECT_EQ(regex.SubMatchText(1, 1, &position), "");
  EXPECT_EQ(position, -1);
  EXPECT_EQ(regex.SubMatchText(1, 2, &position), "b");
  EXPECT_EQ(position, 0);
}

TEST_P(RegexWrapperTest, FirstMatchOnlyWithoutGlobal) {
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile("\\d+", "1 22 333", false, true, false));
  EXPECT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.MatchText(1), "1");
  EXPECT_EQ(regex.ReplaceMatches("#"), "# 22 333");
}

TEST_P(RegexWrapperTest, SecondCompileStartsAfresh) {
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile("(a)", "aaa"));
  ASSERT_EQ(regex.MatchCount(), 3);
  EXPECT_FALSE(regex.Compile("[", "aaa"));
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_EQ(regex.GetPattern(), "[");
  ASSERT_TRUE(regex.Compile("b", "abcb", true));
  EXPECT_EQ(regex.MatchCount(), 2);
  EXPECT_EQ(regex.SubMatchCount(), 0);
  EXPECT_EQ(regex.ReplaceMatches("-"), "a-c-");
}

TEST_P(RegexWrapperTest, ReplaceMatches) {
  struct Case {
    const char* pattern;
    const char* subject;
    const char* replacement;
    const char* result;
  };
  const Case cases[] = {
      {"(\\w+)@(\\w+)", "me@host you@there", "$2 at $1", "host at me there at you"},
      {"\\d+", "a1b22c", "[$&]", "a[1]b[22]c"},
      {"\\d+", "a1b22c", "", "abc"},
      {"b", "abc", "<$`|$'>", "a<a|c>c"},
      {"b", "abc", "$$", "a$c"},
      {"(b)", "abc", "$2$0$", "a$2$0$c"},  // no such group: the text stands
      {"(b)", "abc", "$10", "ab0c"},       // group 1, then a zero
      {"(b)", "abc", "$01", "abc"},
      {"(a)|(b)", "ab", "[$1$2]", "[a][b]"},
      {"x", "abc", "y", "abc"},
      {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "abcdefghijkl", "$12$11$1", "lka"},
  };
  for (const auto& c : cases) {
    RegexWrapper regex;
    ASSERT_TRUE(regex.Compile(c.pattern, c.subject)) << c.pattern;
    EXPECT_EQ(regex.ReplaceMatches(c.replacement), c.result) << c.pattern << " / " << c.replacement;
  }
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile("b", "abc"));
  EXPECT_EQ(regex.ReplaceMatches(), "ac");
}

TEST_P(RegexWrapperTest, ListingPatternOnTrickyPages) {
  struct Case {
    const char* name;
    Text page;
    std::vector<Link> links;
  };
  const Case cases[] = {
      {"plain link",
       L("<tr><td><a href=\"/m/1/\" id=\"1\" target=\"play\">中文舞曲</a></td></tr>\n"),
       {{"/m/1/", "1", L("中文舞曲")}}},
      {"upper case", "<TD><A HREF=\"x\" ID=\"I\" TARGET=\"PLAY\">t</A>", {{"x", "I", "t"}}},
      {"single quotes", "<td><a href='x' id='i' target='play'>t</a>\n", {}},
      {"id before href", "<td><a id=\"i\" href=\"x\" target=\"play\">t</a>\n", {}},
      {"further attribute between href and id",
       "<td><a href=\"x\" class=\"c\" id=\"i\" target=\"play\">t</a>",
       {{"x\" class=\"c", "i", "t"}}},
      {"markup in the title",
       "<td><a href=\"x\" id=\"i\" target=\"play\"><b>t</b></a></td>",
       {{"x", "i", "<b>t</b>"}}},
      {"title stops at the first </a>",
       "<td><a href=\"x\" id=\"i\" target=\"play\">t</a> u</a>",
       {{"x", "i", "t"}}},
      {"two links on a line",
       "<td><a href=\"a\" id=\"1\" target=\"play\">A</a></td><td><a href=\"b\" id=\"2\" "
       "target=\"play\">B</a></td>\n",
       {{"a", "1", "A"}, {"b", "2", "B"}}},
      {"a broken link runs on into the next one on its line",
       "<td><a href=\"a\" target=\"play\">A</a><td><a href=\"b\" id=\"2\" target=\"play\">B</a>",
       {{"a\" target=\"play\">A</a><td><a href=\"b", "2", "B"}}},
      {"link split by LF",
       "<td><a href=\"x\" id=\"i\"\ntarget=\"play\">t</a>\n"
       "<td><a href=\"y\" id=\"j\" target=\"play\">u</a>",
       {{"y", "j", "u"}}},
      {"link split by CR", "<td><a href=\"x\" id=\"i\" target=\"play\">t\r</a>", {}},
      {"link split by CR LF", "<td><a href=\"x\r\n\" id=\"i\" target=\"play\">t</a>", {}},
      {"links on CR LF lines",
       "<td><a href=\"a\" id=\"1\" target=\"play\">A</a>\r\n"
       "<td><a href=\"b\" id=\"2\" target=\"play\">B</a>\r\n",
       {{"a", "1", "A"}, {"b", "2", "B"}}},
      {"empty href", "<td><a href=\"\" id=\"i\" target=\"play\">t</a>", {{"", "i", "t"}}},
      {"href from the root",
       "<td><a href=\"/m/7/\" id=\"7\" target=\"play\">t</a>",
       {{"/m/7/", "7", "t"}}},
      // 乤 and 丂 have trail bytes "a" and "@": they must stay whole.
      {"title with ASCII trail bytes",
       L("<td><a href=\"x\" id=\"i\" target=\"play\">乤丂</a>"),
       {{"x", "i",
         "\x81"
         "a"
         "\x81\x40"}}},
      {"empty page", "", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Listing(c.page), c.links) << c.name;
}

// Many links, one line each, or the whole page on one line as a minified page
// has it: every link is found. The bound must not cut short a real page.
TEST_P(RegexWrapperTest, ListingPatternOnLargePages) {
  for (const char* separator : {"\n", " "}) {
    Text page = "<html><body><table>\n";
    for (int i = 0; i < 20000; ++i) {
      const std::string n = std::to_string(i);
      page += "<tr><td>" + n + "</td><td><a href=\"/m/" + n + "/\" id=\"" + n +
              "\" target=\"play\">" + L("舞曲") + n + "</a></td></tr>" + separator;
    }
    RegexWrapper regex;
    ASSERT_TRUE(regex.Compile(kListingPattern, page, false, false, true, true)) << separator;
    ASSERT_EQ(regex.MatchCount(), 20000);
    EXPECT_EQ(regex.SubMatchText(20000, 1), "/m/19999/");
    EXPECT_EQ(regex.SubMatchText(20000, 3), L("舞曲") + "19999");
  }
  // A long title is fine too.
  const Text title(200000, 't');
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile(kListingPattern,
                            "<td><a href=\"x\" id=\"i\" target=\"play\">" + title + "</a>", false,
                            false, true, true));
  EXPECT_EQ(regex.SubMatchText(1, 3), title);
}

Text GoodLink(int n) {
  const std::string id = std::to_string(n);
  return "<td><a href=\"/m/" + id + "/\" id=\"" + id + "\" target=\"play\">t" + id + "</a>";
}

Link GoodRow(int n) {
  const std::string id = std::to_string(n);
  return {"/m/" + id + "/", id, "t" + id};
}

// Pages on which some start positions reach the engine's bound: those give
// no match, and every link before and after them is found, in order. Compile
// succeeds; a page with nothing of the pattern's form has no match.
TEST_P(RegexWrapperTest, StartsThatReachTheBoundGiveNoMatchAndTheSearchGoesOn) {
  const Text dangling = "<td><a href=\"";
  const Text long_run(1'500'000, 'x');
  Text unclosed_line;  // as long as a start may run, and longer
  while (unclosed_line.size() < 2'000'000) unclosed_line += dangling + "x";
  Text line_with_unclosed_links;
  for (int i = 0; i < 20; ++i) line_with_unclosed_links += dangling;
  struct Case {
    const char* name;
    Text page;
    std::vector<Link> links;
  };
  std::vector<Case> cases = {
      {"dangling link on a long line between good links",
       GoodLink(1) + "\n" + dangling + long_run + "\n" + GoodLink(2) + "\n",
       {GoodRow(1), GoodRow(2)}},
      {"dangling link and a good one after it on the same long line",
       GoodLink(1) + dangling + long_run + GoodLink(2) + GoodLink(3),
       {GoodRow(1), GoodRow(2), GoodRow(3)}},
      {"one line of unclosed links", unclosed_line, {}},
      {"good links around a line of unclosed links",
       GoodLink(1) + "\n" + unclosed_line + "\n" + GoodLink(2),
       {GoodRow(1), GoodRow(2)}},
      {"minified page ending in a dangling link", {}, {}},
  };
  for (int i = 0; i < 2000; ++i) {
    cases.back().page += GoodLink(i);
    cases.back().links.push_back(GoodRow(i));
  }
  cases.back().page += dangling + long_run;
  // Once a line of unclosed links has spent the engine's credit, links on
  // one long line still come through whole, one after another.
  Case after_spent{"minified page after a line of unclosed links", unclosed_line + "\n", {}};
  for (int i = 0; i < 3000; ++i) {
    after_spent.page += GoodLink(i) + "<td>x</td>";
    after_spent.links.push_back(GoodRow(i));
  }
  cases.push_back(std::move(after_spent));
  // Lines that each hold a good link and then twenty unclosed ones, 1 MB.
  Case lines{"good link and twenty unclosed ones on each line", {}, {}};
  for (int i = 0; lines.page.size() < 1'000'000; ++i) {
    lines.page += "<tr>" + GoodLink(i) + line_with_unclosed_links + "\n";
    lines.links.push_back(GoodRow(i));
  }
  cases.push_back(std::move(lines));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegexWrapper regex;
    ASSERT_TRUE(regex.Compile(kListingPattern, c.page, false, false, true, true));
    std::vector<Link> links;
    for (int i = 1; i <= regex.MatchCount(); ++i) {
      links.push_back(
          {regex.SubMatchText(i, 1), regex.SubMatchText(i, 2), regex.SubMatchText(i, 3)});
    }
    EXPECT_EQ(links.size(), c.links.size());
    EXPECT_TRUE(links == c.links);
  }
}

// Catastrophic backtracking reaches the bound at every start in the run of
// letters; the match after it is still found, alone without global, and the
// next start after a failed one is one whole character on (a two-byte
// character is never split).
TEST_P(RegexWrapperTest, BoundAtSomeStartsOtherPatterns) {
  const Text run(40, 'a');
  RegexWrapper regex;
  ASSERT_TRUE(regex.Compile("(a+)+b", run + "! aab " + run + "! ab"));
  ASSERT_EQ(regex.MatchCount(), 2);
  int position = -1;
  EXPECT_EQ(regex.MatchText(1, &position), "aab");
  EXPECT_EQ(position, 42);
  EXPECT_EQ(regex.MatchText(2, &position), "ab");
  EXPECT_EQ(position, 88);

  ASSERT_TRUE(regex.Compile("(a+)+b", run + "! aab ab", false, true, /*global=*/false));
  ASSERT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.MatchText(1), "aab");

  // Work that escapes the step counts: a greedy repeat over a long run, a
  // group repeated until the stack runs out. Every start in the run gives
  // up; what follows the run is still found.
  const Text long_run(100'000, 'a');
  struct Case {
    const char* pattern;
    std::vector<Text> matches;
  };
  const Case deep_cases[] = {
      {"(?:(a)|b)*c", {"aac"}},
      {"(a|aa)*c", {"aac"}},
      {"(?:a|b)*?c", {"aac"}},
      {"(a+)+$", {}},
      // Without backtracking the first start's match is found whole.
      {"(a+)+!", {long_run + "!"}},
  };
  for (const auto& c : deep_cases) {
    ASSERT_TRUE(regex.Compile(c.pattern, long_run + "! aac", true)) << c.pattern;
    std::vector<Text> found;
    for (int i = 1; i <= regex.MatchCount(); ++i) found.push_back(regex.MatchText(i));
    EXPECT_EQ(found, c.matches) << c.pattern;
  }

  // From the start at 中's first byte the bound is reached; the next start
  // is after 中, so its trail byte "a" (as in 乤, 81 61) is not read as a
  // letter of its own.
  const Text long_tail(1'500'000, 'x');
  ASSERT_TRUE(regex.Compile("[\\x81-\\xFE].*?y|a.",
                            "\x81"
                            "a" +
                                long_tail + "\n" + "ab"));
  ASSERT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.MatchText(1, &position), "ab");
}

TEST_P(RegexWrapperTest, ComIsBalancedOnEveryPath) {
  const int before = ComBalance();
  {
    RegexWrapper regex;
    EXPECT_EQ(ComBalance(), before + 1);
  }
  EXPECT_EQ(ComBalance(), before);
  {
    RegexWrapper regex;
    EXPECT_FALSE(regex.Compile("(", "x"));
  }
  EXPECT_EQ(ComBalance(), before);
  {
    RegexWrapper outer;
    EXPECT_TRUE(outer.Compile("x", "x"));
    {
      RegexWrapper inner;
      EXPECT_TRUE(inner.Compile("x", "x"));
      EXPECT_TRUE(inner.Compile("y", "x"));
      EXPECT_EQ(ComBalance(), before + 2);
    }
    EXPECT_EQ(ComBalance(), before + 1);
  }
  EXPECT_EQ(ComBalance(), before);
}

INSTANTIATE_TEST_SUITE_P(Engines, RegexWrapperTest,
                         ::testing::Values(Engine::kJit, Engine::kInterpreter),
                         [](const auto& info) {
                           return info.param == Engine::kJit ? "Jit" : "Interpreter";
                         });

}  // namespace
}  // namespace wuqu
