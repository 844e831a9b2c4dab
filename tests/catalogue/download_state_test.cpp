#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "catalogue/catalogue_testing.h"
#include "catalogue/download.h"
#include "catalogue/download_state.h"

namespace wuqu::catalogue {
namespace {

using testing::Fields;
using testing::FieldValue;


TEST(DownloadState, StartUpValuesFieldByField) {
  const FieldValue none = std::optional<Text>();
  auto text = [](const char* s) { return FieldValue(std::optional<Text>(s)); };
  auto num = [](std::int64_t n) { return FieldValue(n); };
  const FieldValue expected[] = {num(1),
                                 text(""),
                                 text(""),
                                 text("anonymous"),
                                 text("guest@example.com"),
                                 num(1),
                                 num(0),
                                 num(20000),
                                 num(20000),
                                 num(20000),
                                 num(1000),
                                 num(20480),
                                 num(1024),
                                 num(0),
                                 num(0),
                                 text(""),
                                 num(1),
                                 text(".exe|.rar|.zip|.gif|.jpg|.mp3|.rm"),
                                 none,
                                 none};

  auto state = CreateDownloadState();
  ASSERT_NE(state->task, nullptr);
  ASSERT_NE(state->downloader, nullptr);
  EXPECT_EQ(state->download_file_name, "");
  const auto fields = Fields(*state->task);
  ASSERT_EQ(fields.size(), std::size(expected));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i], expected[i]) << "field " << i + 1;
  }
  // The anonymous password has the e-mail form and 17 characters.
  EXPECT_EQ(state->task->password.size(), 17u);
  EXPECT_NE(state->task->password.find('@'), Text::npos);
}

TEST(DownloadState, ReleaseEmptiesEverythingAndMayRunTwice) {
  auto state = CreateDownloadState();
  state->download_file_name = "b.mp4";
  state->task->source_address = "http://media.example/a/b.mp4";
  ProgramDownloader(state->downloader).StartTask(*state->task);

  ReleaseDownloadState(*state);
  EXPECT_TRUE(state->download_file_name.empty());
  EXPECT_EQ(state->task, nullptr);
  EXPECT_EQ(state->downloader, nullptr);

  ReleaseDownloadState(*state);  // shutdown after a partial release does no harm
  EXPECT_EQ(state->downloader, nullptr);
}

}  // namespace
}  // namespace wuqu::catalogue
