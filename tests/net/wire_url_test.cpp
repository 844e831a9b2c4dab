#include "net/wire_url.h"

#include <gtest/gtest.h>

#include "text/codepage.h"

namespace wuqu {
namespace {

TEST(WireUrl, Cases) {
  struct Case {
    const char* name;
    Text local;  // program text (code page 936)
    std::string wire;
  };
  const Case cases[] = {
      {"plain address passes", "http://h:8/a/b.mp4?x=1&y=2#top", "http://h:8/a/b.mp4?x=1&y=2#top"},
      {"Chinese as UTF-8 escapes", Utf8ToLocalText("http://h/中文/"),
       "http://h/%E4%B8%AD%E6%96%87/"},
      {"blanks", "http://h/a b\tc", "http://h/a%20b%09c"},
      {"unsafe characters", "http://h/\"<>\\^`{|}", "http://h/%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"control characters and DEL", "http://h/\x01\x7F", "http://h/%01%7F"},
      {"CR LF cannot split the request line", "http://h/a\r\nX: 1", "http://h/a%0D%0AX:%201"},
      {"existing escapes are kept", "http://h/a%20b%e4", "http://h/a%20b%e4"},
      {"a lone percent sign is encoded", "http://h/100%.mp4", "http://h/100%25.mp4"},
      {"percent near the end", "http://h/a%2", "http://h/a%252"},
      {"percent at the end", "http://h/a%", "http://h/a%25"},
      {"trail byte in the ASCII range stays with its lead", Utf8ToLocalText("http://h/乤/"),
       "http://h/%E4%B9%A4/"},
      {"euro sign", "http://h/\x80", "http://h/%E2%82%AC"},
      {"lead byte without a trail keeps its byte, not a query mark", "http://h/a\x81/b?c=1",
       "http://h/a%81/b?c=1"},
      {"lead byte at the end", "http://h/a\x81", "http://h/a%81"},
      {"invalid byte 0xFF",
       "http://h/\xFF"
       "a",
       "http://h/%FFa"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(WireUrl(c.local), c.wire) << c.name;
}

}  // namespace
}  // namespace wuqu
