#include "text/ui_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "text/codepage.h"

namespace wuqu {
namespace {

// The program-text form reads back as the text was written, with the bytes
// code page 936 gives it; a character the code page lacks shows as "?".
TEST(UiText, ProgramTextFormReadsBackAsWritten) {
  const struct {
    const char* utf8;
    Text gbk;
    const char* read_back;
  } cases[] = {
      {"播放", "\xB2\xA5\xB7\xC5", "播放"},
      {"英文disco",
       "\xD3\xA2\xCE\xC4"
       "disco",
       "英文disco"},
      {"，服务器返回 ", "\xA3\xAC\xB7\xFE\xCE\xF1\xC6\xF7\xB7\xB5\xBB\xD8 ", "，服务器返回 "},
      {"", "", ""},
      {"a\xF0\x9F\x8E\xB5z", "a?z", "a?z"},  // a musical note: not in the code page
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    const UiText text{c.utf8};
    EXPECT_EQ(text.Gbk(), c.gbk);
    EXPECT_EQ(LocalTextToUtf8(text.Gbk()), c.read_back);
    EXPECT_EQ(text.Utf8(), c.utf8);
  }
}

// Made once: every use, from any thread, sees the same text object.
TEST(UiText, MadeOnceForEveryThread) {
  static const UiText text{"下载完成...  已下载 "};
  std::vector<const Text*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &text.Gbk(); });
  for (auto& t : threads) t.join();
  for (const Text* p : seen) EXPECT_EQ(p, &text.Gbk());
  EXPECT_EQ(LocalTextToUtf8(text.Gbk()), "下载完成...  已下载 ");
}

}  // namespace
}  // namespace wuqu
