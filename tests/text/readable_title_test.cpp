#include "text/readable_title.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text/codepage.h"

namespace wuqu {
namespace {

// Cells written as UTF-8 for the eye; the function sees them as the program
// does, in code page 936.
std::string ReadableOfUtf8(std::string_view utf8_cell) {
  return LocalTextToUtf8(ReadableTitle(Utf8ToLocalText(utf8_cell)));
}

TEST(ReadableTitleTest, ReadsTheCellAsAPersonReadsIt) {
  struct Case {
    std::string_view cell, readable, why;
  };
  const Case cases[] = {
      {"<b>新</b> DJ北川 &amp; DJ小满", "新 DJ北川 & DJ小满", "markup, an entity"},
      {"DJ远山 - 舞池心动 中文舞曲", "DJ远山 - 舞池心动 中文舞曲", "nothing to clean"},
      {"  \t舞曲\r\n  合集 ", "舞曲 合集", "blanks collapsed and trimmed"},
      {"A&nbsp;&nbsp;B&#160;C", "A B C", "no-break spaces are blanks"},
      {"<span class=\"hot\" title='x>'>热</span>", "'>热", "markup ends at its first >"},
      {"<a href=\"/m/1/\">链接</a><br/>下一", "链接下一", "tags of every kind"},
      {"<!-- 注释 -->曲", "曲", "a comment is markup"},
      {"1 < 2 > 0", "1 < 2 > 0", "a < before a blank is text"},
      {"<b 未闭合", "<b 未闭合", "markup never closed is text"},
      {"&lt;b&gt;粗&lt;/b&gt;", "<b>粗</b>", "decoded angle brackets stay text"},
      {"&quot;歌&quot; &apos;曲&apos; &#39;x&#x27;", "\"歌\" '曲' 'x'", "quotes"},
      {"&#20013;&#x6587;&#X821E;", "中文舞", "numeric entities, both bases"},
      {"R&amp;B &AMP; &hellip;&mdash;&middot;", "R&B & …—·", "named entities"},
      {"&unknown; &amp &#; &#x; &#12a;", "&unknown; &amp &#; &#x; &#12a;", "not entities: kept"},
      {"&#x1F600; &#55296; &#9999999;", "? ? ?", "emoji, a surrogate, too large: ?"},
      {"a&#0;b&#9;c&#x85;d", "a b c d", "decoded controls are blanks"},
      {"丂亐 囧 €", "丂亐 囧 €", "characters outside GB2312 (trail byte @) and 0x80"},
      {"   ", "", "only blanks"},
      {"", "", "empty"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadableOfUtf8(c.cell), c.readable) << c.why << ": " << c.cell;
  }
}

TEST(ReadableTitleTest, KeepsEveryCharacterOfALongTitle) {
  std::string cell;
  std::string readable;
  for (int i = 0; i < 100; ++i) {
    cell += "<i>舞</i>&amp;";
    readable += "舞&";
  }
  EXPECT_EQ(ReadableOfUtf8(cell), readable);
}

TEST(ReadableTitleTest, LeavesBytesThatAreNoCharacterAsTheyAre) {
  // A lead byte at the end, and one before a byte that cannot follow it.
  EXPECT_EQ(ReadableTitle("ab\x81"), "ab\x81");
  EXPECT_EQ(ReadableTitle("\x81<b>x</b>"), "\x81x");
}

TEST(ReadableTitleTest, StaysLinearOnMarkupThatNeverCloses) {
  // Each "<" looking for its ">" anew would take minutes here.
  std::string cell;
  for (int i = 0; i < 1'000'000; ++i) cell += "<a";
  EXPECT_EQ(ReadableTitle(cell), cell);
  std::string entities(2'000'000, '&');
  EXPECT_EQ(ReadableTitle(entities), entities);
}

}  // namespace
}  // namespace wuqu
