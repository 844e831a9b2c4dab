#include "catalogue/progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/download.h"
#include "catalogue/download_testing.h"
#include "catalogue/memory_window.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

using testing::FakeDownloader;
using testing::MakeFileOfSize;
using testing::MemoryWindow;
using testing::ScratchFolder;

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

TEST(ProgressTexts, ReadAsTheirChineseText) {
  EXPECT_EQ(LocalTextToUtf8(kRunningLinePrefix), "正在下载...  已下载 ");
  EXPECT_EQ(LocalTextToUtf8(kFinishedLinePrefix), "下载完成...  已下载 ");
  EXPECT_EQ(kPercentSign, "%");
  EXPECT_EQ(kAmountSeparator, "   ");
  EXPECT_EQ(kAmountUnit, "KB");
}

// One tick with the downloader's figures and the target file's size given:
// the caption of 标签EX3, the bar, the timer, and what was written to them.
TEST(OnProgressTick, CaptionBarAndTimerForGivenFigures) {
  constexpr std::int64_t kBig = 5LL << 30;  // 5 GiB: past every 32-bit figure
  const std::vector<Text> finished = {"bar 100", "bar 100", "timer 0", "bar 0"};
  const struct {
    const char* name;
    std::optional<std::uint64_t> size;  // nullopt: no file yet
    std::int64_t received;
    std::int64_t amount;
    int bar_before;
    std::string caption;  // UTF-8
    int bar_after;
    int timer_after;
    std::vector<Text> writes;
  } cases[] = {
      {"amount 1000", 1000, 500, 1000, 10, "正在下载...  已下载 50%   4KB", 50, 100, {"bar 50"}},
      {"amount 1200", 1000, 500, 1200, 10, "正在下载...  已下载 50%   5KB", 50, 100, {"bar 50"}},
      {"amount 1100", 1000, 500, 1100, 10, "正在下载...  已下载 50%   4KB", 50, 100, {"bar 50"}},
      {"amount 100", 1000, 500, 100, 10, "正在下载...  已下载 50%   0KB", 50, 100, {"bar 50"}},
      {"a half rounds up",
       1000,
       500,
       125,
       10,
       "正在下载...  已下载 50%   1KB",
       50,
       100,
       {"bar 50"}},
      {"nothing yet", 1000, 0, 0, 0, "正在下载...  已下载 0%   0KB", 0, 100, {"bar 0"}},
      {"989 of 1000", 1000, 989, 247, 90, "正在下载...  已下载 98%   1KB", 98, 100, {"bar 98"}},
      // One byte short is not finished, whatever the percentage shows.
      {"990 of 1000", 1000, 990, 247, 98, "正在下载...  已下载 99%   1KB", 99, 100, {"bar 99"}},
      {"999 of 1000", 1000, 999, 249, 99, "正在下载...  已下载 99%   1KB", 99, 100, {"bar 99"}},
      {"1000 of 1000", 1000, 1000, 250, 99, "下载完成...  已下载 100%   1KB", 0, 0, finished},
      {"more than the file holds",
       1000,
       1500,
       375,
       99,
       "正在下载...  已下载 100%   2KB",
       100,
       100,
       {"bar 150"}},
      {"figures far past the size",
       1,
       5000000000,
       1250000000,
       0,
       "正在下载...  已下载 100%   5000000KB",
       100,
       100,
       {"bar 2147483647"}},
      // The bar does not move and nothing is asked of the downloader.
      {"empty file", 0, 500, 1000, 37, "   0KB", 37, 100, {}},
      {"no file yet", std::nullopt, 0, 0, 0, "正在下载...  已下载 0%   0KB", 0, 100, {"bar 0"}},
      {"no file, bytes received",
       std::nullopt,
       300,
       300,
       45,
       "正在下载...  已下载 0%   1KB",
       0,
       100,
       {"bar -30000"}},
      {"past 4 GiB, one byte short",
       kBig,
       kBig - 1,
       (kBig - 1) / 4,
       99,
       "正在下载...  已下载 99%   5368709KB",
       99,
       100,
       {"bar 99"}},
      {"past 4 GiB, complete", kBig, kBig, kBig / 4, 99, "下载完成...  已下载 100%   5368709KB", 0,
       0, finished},
  };
  ScratchFolder program_folder;
  ASSERT_FALSE(program_folder.path().empty());
  const std::string target = program_folder.path() + "/下载/track.mp4";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(target);
    if (c.size) {
      ASSERT_TRUE(MakeFileOfSize(target, *c.size));
    }
    MemoryWindow w;
    w.progress = c.bar_before;
    w.timer_interval = 100;
    FakeDownloader downloader;
    downloader.transferred = c.received;
    downloader.amount = c.amount;
    Text file_name = "track.mp4";
    DownloadTask task;
    DownloadSession session{file_name, task, downloader};

    OnProgressTick(w, L(program_folder.path()), session);
    EXPECT_EQ(LocalTextToUtf8(w.status_label), c.caption);
    EXPECT_EQ(w.progress, c.bar_after);
    EXPECT_EQ(w.timer_interval, c.timer_after);
    EXPECT_EQ(w.writes, c.writes);
    if (c.size == 0u) {
      EXPECT_EQ(downloader.figure_reads, 0);
    }
  }
}

TEST(ProgressCaption, AmountTextToKilobytes) {
  const struct {
    ProgressTexts texts;
    std::string caption;
  } cases[] = {
      {{"", ""}, "   0KB"},
      {{"s", "1000"}, "s   4KB"},
      {{"s", "1200"}, "s   5KB"},
      {{"s", "1100"}, "s   4KB"},
      {{"s", "100"}, "s   0KB"},
      {{"s", "374"}, "s   1KB"},
      {{"s", "375"}, "s   2KB"},
      {{"s", "-375"}, "s   -2KB"},
      {{"s", "9223372036854775807"}, "s   36893488147419104KB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressCaption(c.texts), c.caption) << c.texts.amount;
  }
}

// A second download started while the first runs: the bar goes back to 0 at
// once, and the ticks follow the second file alone. Had they gone on
// following the first (complete by now), they would have shown it finished.
TEST(OnProgressTick, FollowsTheNewestDownload) {
  ScratchFolder program;
  ASSERT_FALSE(program.path().empty());
  const Text program_folder = L(program.path());
  const std::string folder = program.path() + "/下载/";
  MemoryWindow w;
  FakeDownloader downloader;
  Text file_name;
  DownloadTask task;
  DownloadSession session{file_name, task, downloader};
  CatalogueWindow& window = w;
  auto start = [&](const Text& address) {
    StartDownload(address, window.progress_bar, window.timer, kProgressTickPeriod, 20,
                  DownloadFolder(program_folder), session);
  };
  auto tick = [&] {
    OnProgressTick(w, program_folder, session);
    return LocalTextToUtf8(w.status_label);
  };

  start("http://h/mp4/djmusic/a/first.mp4");
  ASSERT_TRUE(MakeFileOfSize(folder + "first.mp4", 1000));
  downloader.transferred = 600;
  downloader.amount = 150;
  EXPECT_EQ(tick(), "正在下载...  已下载 60%   1KB");
  EXPECT_EQ(w.progress, 60);

  start(L("http://h/mp4/djmusic/b/现场 串烧.mp4"));
  EXPECT_EQ(w.progress, 0);
  EXPECT_EQ(w.timer_interval, 100);
  EXPECT_EQ(file_name, L("现场 串烧.mp4"));
  // The downloader's figures are the new download's from the start on.
  downloader.transferred = 0;
  downloader.amount = 0;
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB");  // its file is not there yet

  ASSERT_TRUE(MakeFileOfSize(folder + "现场 串烧.mp4", 4000));
  downloader.transferred = 1000;
  downloader.amount = 1000;
  EXPECT_EQ(tick(), "正在下载...  已下载 25%   4KB");
  EXPECT_EQ(w.timer_interval, 100);

  downloader.transferred = 4000;
  downloader.amount = 4000;
  EXPECT_EQ(tick(), "下载完成...  已下载 100%   16KB");
  EXPECT_EQ(w.progress, 0);
  EXPECT_EQ(w.timer_interval, 0);
}

}  // namespace
}  // namespace wuqu::catalogue
