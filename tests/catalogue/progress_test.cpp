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
#include "text/ui_texts.h"

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
  EXPECT_EQ(LocalTextToUtf8(ui_texts::kRunningLinePrefix.Gbk()), "正在下载...  已下载 ");
  EXPECT_EQ(LocalTextToUtf8(ui_texts::kFinishedLinePrefix.Gbk()), "下载完成...  已下载 ");
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
    UserDownloads queue;
    DownloadSession session{file_name, task, downloader, queue};

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

// Downloads started through the handlers, the fake downloader's states set
// by the test, one tick at a time.
class FollowedDownloadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(program_.path().empty());
    program_folder_ = L(program_.path());
  }

  download::TaskId Start(const Text& address) {
    CatalogueWindow& window = w_;
    return StartDownload(address, window.progress_bar, window.timer, kProgressTickPeriod, 20,
                         DownloadFolder(program_folder_), session_);
  }
  // The file the downloader would have made, at its full size.
  void MakeFile(const std::string& name, std::uint64_t size) {
    ASSERT_TRUE(MakeFileOfSize(program_.path() + "/下载/" + name, size));
  }
  void Set(download::TaskId task, download::TaskPhase phase, std::int64_t file_bytes,
           std::int64_t written, download::FailureCause cause = download::FailureCause::kNone,
           int http_status = 0) {
    download::TaskState& s = downloader_.states[task];
    s.phase = phase;
    s.file_bytes = file_bytes;
    s.written = written;
    s.cause = cause;
    s.http_status = http_status;
  }
  // The newest download's own two figures.
  void Figures(std::int64_t transferred, std::int64_t amount) {
    downloader_.transferred = transferred;
    downloader_.amount = amount;
  }
  std::string Tick() {
    OnProgressTick(w_, program_folder_, session_);
    return LocalTextToUtf8(w_.status_label);
  }
  // Ticks until the held line may change; gives the caption then.
  std::string TickPastTheHold() {
    for (int i = 0; i < kEndLineTicks; ++i) Tick();
    return Tick();
  }

  ScratchFolder program_;
  Text program_folder_;
  MemoryWindow w_;
  FakeDownloader downloader_;
  Text file_name_;
  DownloadTask task_;
  UserDownloads queue_;
  DownloadSession session_{file_name_, task_, downloader_, queue_};
};

// A failed download ends in the failure line with its cause, the timer
// stopped and the bar empty. One row per cause the downloader reports; the
// amount is the one written until then.
TEST_F(FollowedDownloadsTest, AFailureEndsInTheFailureLine) {
  using download::FailureCause;
  const struct {
    FailureCause cause;
    int http_status;
    std::string caption;  // UTF-8
  } cases[] = {
      {FailureCause::kNetwork, 0, "下载失败...  网络不通   2KB"},
      {FailureCause::kHttpStatus, 404, "下载失败...  服务器返回 404   2KB"},
      {FailureCause::kHttpStatus, 503, "下载失败...  服务器返回 503   2KB"},
      {FailureCause::kHttpStatus, 0, "下载失败...  服务器出错   2KB"},
      {FailureCause::kChanged, 200, "下载失败...  服务器上文件已变   2KB"},
      {FailureCause::kEncodingRefused, 200, "下载失败...  服务器强制压缩   2KB"},
      {FailureCause::kStalled, 206, "下载失败...  传输停滞   2KB"},
      {FailureCause::kDisk, 206, "下载失败...  磁盘满或写入失败   2KB"},
      {FailureCause::kAddressRefused, 0, "下载失败...  地址不可下载   2KB"},
      {FailureCause::kNone, 0, "下载失败...  原因不明   2KB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caption);
    const download::TaskId id = Start("http://h/mp4/djmusic/a/t.mp4");
    MakeFile("t.mp4", 1000);
    Figures(400, 400);
    EXPECT_EQ(Tick(), "正在下载...  已下载 40%   2KB");
    Set(id, download::TaskPhase::kFailed, 400, 1600, c.cause, c.http_status);
    EXPECT_EQ(Tick(), c.caption);
    EXPECT_EQ(w_.timer_interval, 0);
    EXPECT_EQ(w_.progress, 0);
    EXPECT_TRUE(queue_.Downloads().empty());
  }
}

// Failures that come before any byte: no file on disk (a 404 at the first
// request), or an empty one.
TEST_F(FollowedDownloadsTest, AFailureBeforeTheFirstByte) {
  const download::TaskId missing = Start("http://h/mp4/djmusic/missing.mp4");
  EXPECT_EQ(Tick(), "正在下载...  已下载 0%   0KB");
  Set(missing, download::TaskPhase::kFailed, 0, 0, download::FailureCause::kHttpStatus, 404);
  EXPECT_EQ(Tick(), "下载失败...  服务器返回 404   0KB");
  EXPECT_EQ(w_.timer_interval, 0);

  const download::TaskId empty = Start("http://h/mp4/djmusic/empty.mp4");
  MakeFile("empty.mp4", 0);
  EXPECT_EQ(Tick(), "   0KB");
  Set(empty, download::TaskPhase::kFailed, 0, 0, download::FailureCause::kNetwork);
  EXPECT_EQ(Tick(), "下载失败...  网络不通   0KB");
  EXPECT_EQ(w_.timer_interval, 0);
}

// The line follows the newest download still running. When it completes,
// its finished line stays a while, then the line goes back to the earlier
// one, still running, with that one's own figures; its end stops the timer.
TEST_F(FollowedDownloadsTest, TheLineReturnsToADownloadStillRunning) {
  const download::TaskId big = Start("http://h/mp4/djmusic/a/big.mp4");
  MakeFile("big.mp4", 10000);
  Figures(1000, 250);
  EXPECT_EQ(Tick(), "正在下载...  已下载 10%   1KB");

  const download::TaskId small = Start(L("http://h/mp4/djmusic/b/现场 串烧.mp4"));
  EXPECT_EQ(w_.progress, 0);
  EXPECT_EQ(file_name_, L("现场 串烧.mp4"));
  Set(big, download::TaskPhase::kRunning, 2000, 2000);
  Figures(0, 0);
  EXPECT_EQ(Tick(), "正在下载...  已下载 0%   0KB");  // its file is not there yet
  MakeFile("现场 串烧.mp4", 4000);
  Figures(1000, 1000);
  EXPECT_EQ(Tick(), "正在下载...  已下载 25%   4KB");

  Figures(4000, 4000);
  Set(small, download::TaskPhase::kComplete, 4000, 16000);
  EXPECT_EQ(Tick(), "下载完成...  已下载 100%   16KB");
  EXPECT_EQ(w_.progress, 0);
  EXPECT_EQ(w_.timer_interval, 100);  // the big one still runs
  // The finished line stays for the hold, whatever the big one does.
  Set(big, download::TaskPhase::kRunning, 5000, 5000);
  for (int i = 0; i < kEndLineTicks; ++i) EXPECT_EQ(Tick(), "下载完成...  已下载 100%   16KB");
  EXPECT_EQ(Tick(), "正在下载...  已下载 50%   5KB");
  EXPECT_EQ(w_.progress, 50);

  Set(big, download::TaskPhase::kComplete, 10000, 10000);
  EXPECT_EQ(Tick(), "下载完成...  已下载 100%   10KB");
  EXPECT_EQ(w_.timer_interval, 0);
  EXPECT_EQ(w_.progress, 0);
}

// An earlier download that fails while a newer one runs is not lost: its
// failure line comes at the next tick and stays a while, then the line
// follows the newer one again. One replaced by a newer download to the same
// file leaves without a line.
TEST_F(FollowedDownloadsTest, AnEarlierFailureIsShownThenTheLineGoesBack) {
  const download::TaskId first = Start("http://h/mp4/djmusic/a/first.mp4");
  const download::TaskId replaced = Start("http://h/mp4/djmusic/a/same.mp4");
  const download::TaskId newest = Start("http://h/mp4/djmusic/b/same.mp4");
  MakeFile("same.mp4", 1000);
  Figures(300, 300);
  Set(replaced, download::TaskPhase::kStopped, 0, 0);
  EXPECT_EQ(Tick(), "正在下载...  已下载 30%   1KB");
  EXPECT_EQ(queue_.Downloads().size(), 2u);

  Set(first, download::TaskPhase::kFailed, 0, 0, download::FailureCause::kHttpStatus, 404);
  EXPECT_EQ(Tick(), "下载失败...  服务器返回 404   0KB");
  EXPECT_EQ(w_.timer_interval, 100);
  Figures(600, 600);
  EXPECT_EQ(TickPastTheHold(), "正在下载...  已下载 60%   2KB");

  Figures(1000, 1000);
  Set(newest, download::TaskPhase::kComplete, 1000, 4000);
  EXPECT_EQ(Tick(), "下载完成...  已下载 100%   4KB");
  EXPECT_EQ(w_.timer_interval, 0);
}

// Without the downloader's word on a download (a task it does not know),
// every byte of the file in place is the finish, as it always was.
TEST_F(FollowedDownloadsTest, WithoutAStateEveryByteInPlaceIsTheFinish) {
  struct Unknowing final : DownloaderPort {
    download::TaskId StartTask(const DownloadTask&) override { return download::kNoTask; }
    std::int64_t GetTransferredBytes() const override { return transferred; }
    std::int64_t GetAmountFigure() const override { return transferred / 4; }
    download::TaskState State(download::TaskId) const override { return {}; }
    std::int64_t transferred = 0;
  } unknowing;
  DownloadSession session{file_name_, task_, unknowing, queue_};
  CatalogueWindow& window = w_;
  StartDownload("http://h/mp4/djmusic/t.mp4", window.progress_bar, window.timer,
                kProgressTickPeriod, 20, DownloadFolder(program_folder_), session);
  MakeFile("t.mp4", 1000);
  unknowing.transferred = 999;
  OnProgressTick(w_, program_folder_, session);
  EXPECT_EQ(LocalTextToUtf8(w_.status_label), "正在下载...  已下载 99%   1KB");
  unknowing.transferred = 1000;
  OnProgressTick(w_, program_folder_, session);
  EXPECT_EQ(LocalTextToUtf8(w_.status_label), "下载完成...  已下载 100%   1KB");
  EXPECT_EQ(w_.timer_interval, 0);
}

}  // namespace
}  // namespace wuqu::catalogue
