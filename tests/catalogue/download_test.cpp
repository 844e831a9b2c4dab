#include "catalogue/download.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "catalogue/catalogue_testing.h"
#include "catalogue/download_testing.h"
#include "catalogue/listing.h"
#include "catalogue/media_url.h"
#include "catalogue/memory_window.h"
#include "catalogue/progress.h"
#include "catalogue/status_line.h"
#include "site/demo_site.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

using testing::Fields;
using testing::FieldValue;
using testing::L;
using testing::Targets;

using testing::FakeDownloader;
using testing::MemoryWindow;

// A record as a start leaves it: the start-up values but for fields 1, 2, 3, 6.
DownloadTask StartedTask(const Text& source, const Text& target, std::int32_t thread_count) {
  DownloadTask task;
  task.option_1 = 4096;
  task.source_address = source;
  task.target_path = target;
  task.thread_count = thread_count;
  return task;
}

TEST(DownloadTexts, ReadAsTheirChineseText) {
  EXPECT_EQ(LocalTextToUtf8(ui_texts::kDownloadFolderName.Gbk()), "下载");
}

TEST(DownloadFolder, TheProgramsFolderAndThenTheDownloadFolder) {
  EXPECT_EQ(DownloadFolder("/opt/wuqu/bin"), L("/opt/wuqu/bin/下载"));
  EXPECT_EQ(DownloadFolder(L("/home/用户/舞曲")), L("/home/用户/舞曲/下载"));
}

// The last piece of the address names the file; whatever the site put into
// it, the name stays one plain file name directly inside the folder.
TEST(DownloadFileName, LastPieceOfTheAddressMadeSafe) {
  const struct {
    const char* name;
    Text address;
    Text file_name;
  } cases[] = {
      {"plain", "http://h/mp4/djmusic/2024/dj/116717.mp4", "116717.mp4"},
      {"sub-folders are not kept", "http://h/mp4/djmusic/a/b.mp4", "b.mp4"},
      {"empty file value", "http://h/mp4/djmusic/.mp4", ".mp4"},
      {"https address", "https://h/mp4/djmusic/a/b.mp4", "b.mp4"},
      {"https inside the file value", "http://h/mp4/djmusic/https://m/x.mp4", "x.mp4"},
      {"no slash at all", "b.mp4", "b.mp4"},
      {"Chinese and a blank", L("http://h/mp4/djmusic/2024/现场 串烧.mp4"), L("现场 串烧.mp4")},
      // Trail byte 0x5C: two Chinese characters, not backslashes.
      {"Chinese whose second byte is a backslash", L("http://h/x/嘰孿.mp4"), L("嘰孿.mp4")},
      {"a name of dots is a name", "http://h/x/...mp4", "...mp4"},
      {"backslashes", "http://h/x/..\\..\\evil.mp4", ".._.._evil.mp4"},
      {"control characters", "http://h/x/a\tb\r\n\x7f\x01.mp4", "a_b____.mp4"},
      {"empty address", "", "_"},
      {"address ending in a slash", "http://h/x/", "_"},
      {"dot", "http://h/x/.", "_"},
      {"dot dot", "http://h/x/..", "__"},
      {"dot dot without a slash", "..", "__"},
  };
  const Text folder = DownloadFolder("/p");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Text name = DownloadFileName(c.address);
    EXPECT_EQ(name, c.file_name);
    // On disk: one piece, no separator of either kind, no control character,
    // and never the folder itself or its parent.
    const std::string on_disk = LocalTextToUtf8(name);
    EXPECT_NE(on_disk, "");
    EXPECT_NE(on_disk, ".");
    EXPECT_NE(on_disk, "..");
    for (const char ch : on_disk) {
      EXPECT_FALSE(ch == '/' || ch == '\\' || static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
          << on_disk;
    }
  }
}

TEST(SourceAddress, EveryHttpsReadsHttp) {
  const struct {
    Text address, source;
  } cases[] = {
      {"http://h/mp4/djmusic/a.mp4", "http://h/mp4/djmusic/a.mp4"},
      {"https://h/mp4/djmusic/a.mp4", "http://h/mp4/djmusic/a.mp4"},
      {"https://h/mp4/djmusic/https://m/https://x.mp4",
       "http://h/mp4/djmusic/http://m/http://x.mp4"},
      {"HTTPS://h/a.mp4", "HTTPS://h/a.mp4"},  // letter case counts
      {"https:/h/https:x.mp4", "https:/h/https:x.mp4"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SourceAddress(c.address), c.source) << c.address;
}

// What the thread-count box holds, read the way C's atoi reads a number.
TEST(ThreadCount, TheNumberAtTheStartOfTheBox) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  const struct {
    Text box;
    std::int32_t count;
  } cases[] = {
      {"20", 20},
      {"8", 8},
      {"abc", 0},
      {"", 0},
      {" 8", 8},
      {"\t 8 ", 8},
      {"+8", 8},
      {"-3", -3},
      {"8abc", 8},
      {"- 3", 0},
      {"0x10", 0},
      {"007", 7},
      {L("８"), 0},  // a full-width digit is no digit
      {"99999999999", kMax},
      {"-99999999999", kMin},
  };
  for (const auto& c : cases) EXPECT_EQ(ThreadCount(c.box), c.count) << '"' << c.box << '"';
}

TEST(LeadingNumber, HeldWithinSixtyFourBits) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(LeadingNumber("9223372036854775807"), kMax);
  EXPECT_EQ(LeadingNumber("9223372036854775808"), kMax);
  EXPECT_EQ(LeadingNumber("123456789012345678901234567890"), kMax);
  EXPECT_EQ(LeadingNumber("-9223372036854775808"), kMin);
  EXPECT_EQ(LeadingNumber("-9223372036854775809"), kMin);
  EXPECT_EQ(LeadingNumber("4294967296"), 4294967296);
}

// The bar goes back to 0 and the timer starts before the task is handed over;
// the record keeps its start-up values but for the four fields of a start.
TEST(StartDownload, ResetsTheDisplayThenHandsOverTheTask) {
  MemoryWindow w;
  FakeDownloader downloader(&w);
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};
  w.progress = 63;

  StartDownload("https://h/mp4/djmusic/https://m/a/b.mp4", w.Window().progress_bar,
                w.Window().timer, 100, 8, "/p/dl", session);
  EXPECT_EQ(w.writes, (std::vector<Text>{"bar 0", "timer 100", "start /p/dl/b.mp4"}));
  EXPECT_EQ(file_name, "b.mp4");
  ASSERT_EQ(downloader.tasks.size(), 1u);
  EXPECT_EQ(Fields(downloader.tasks[0]),
            Fields(StartedTask("http://h/mp4/djmusic/http://m/a/b.mp4", "/p/dl/b.mp4", 8)));

  // A second start while the first runs: the same calls again, the record
  // refilled, the ticks to follow the new file.
  w.writes.clear();
  w.progress = 40;
  StartDownload("http://h/mp4/djmusic/c/d.mp4", w.Window().progress_bar, w.Window().timer, 100, 0,
                "/p/dl", session);
  EXPECT_EQ(w.writes, (std::vector<Text>{"bar 0", "timer 100", "start /p/dl/d.mp4"}));
  EXPECT_EQ(file_name, "d.mp4");
  ASSERT_EQ(downloader.tasks.size(), 2u);
  EXPECT_EQ(Fields(downloader.tasks[1]),
            Fields(StartedTask("http://h/mp4/djmusic/c/d.mp4", "/p/dl/d.mp4", 0)));
  EXPECT_EQ(Fields(task), Fields(downloader.tasks[1]));
}

class DownloadHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Start()) << site_.Error();
    sites_ = {site_.CatalogueBaseUrl(), site_.MediaBaseUrl()};
  }

  Text Media(const std::string& file_value) const {
    return sites_.media_base_url + L(file_value) + ".mp4";
  }

  DemoSite site_{DemoSiteOptions{
      .tracks_per_category = 3,
      .extra_tracks = {
          {.category = 2, .id = "900001", .title = "sub-folders", .file_value = "a/b"},
          {.category = 2, .id = "900002", .title = "https", .file_value = "https://m/x/c"},
          {.category = 2, .id = "900003", .title = "hostile", .file_value = "x/..\\..\\evil\x01"},
          {.category = 2, .id = "900004", .title = "现场", .file_value = "2024/现场 串烧"},
      }}};
  SiteAddresses sites_;
  const Text program_folder_ = L("/opt/舞曲");
  const Text folder_ = L("/opt/舞曲/下载");
};

// The Download button: the play page of the typed id, the media address into
// 编辑框EX3 as cut, the source address with "http://" for "https://", the
// file directly in the download folder, the connections typed in 编辑框EX2.
TEST_F(DownloadHandlerTest, DownloadTrackByIdStartsTheTypedTracksDownload) {
  const Text default_media = Media(site_.FindTrack("116717")->file_value);
  const Text https_media = Media("https://m/x/c");
  const struct {
    const char* name;
    Text id, threads;
    std::string page_target;
    Text media_url, source, file_name;
    std::int32_t thread_count;
  } cases[] = {
      {"default id", "116717", "20", "/m/116717/", default_media, default_media, "116717.mp4", 20},
      {"sub-folders", "900001", "8", "/m/900001/", Media("a/b"), Media("a/b"), "b.mp4", 8},
      {"https in the file value", "900002", "abc", "/m/900002/", https_media,
       sites_.media_base_url + "http://m/x/c.mp4", "c.mp4", 0},
      {"hostile file value", "900003", "-3", "/m/900003/", Media("x/..\\..\\evil\x01"),
       Media("x/..\\..\\evil\x01"), ".._.._evil_.mp4", -3},
      {"Chinese file value", "900004", " 4", "/m/900004/", Media("2024/现场 串烧"),
       Media("2024/现场 串烧"), L("现场 串烧.mp4"), 4},
      {"no such track", "404", "20", "/m/404/", Media(""), Media(""), ".mp4", 20},
      {"empty id", "", "20", "/m//", Media(""), Media(""), ".mp4", 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryWindow w;
    w.track_id = c.id;
    w.thread_count = c.threads;
    FakeDownloader downloader(&w);
    Text file_name;
    DownloadTask task;
    UserDownloads queue;
    DownloadSession session{file_name, task, downloader, queue};
    site_.ClearRequests();
    DownloadTrackById(w, sites_, program_folder_, session);

    EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET " + c.page_target});
    const Text target = folder_ + "/" + c.file_name;
    EXPECT_EQ(w.writes, (std::vector<Text>{"address " + c.media_url, "bar 0", "timer 100",
                                           "start " + target}));
    EXPECT_EQ(w.address_box, c.media_url);  // never the replaced source
    EXPECT_EQ(file_name, c.file_name);
    ASSERT_EQ(downloader.tasks.size(), 1u);
    EXPECT_EQ(Fields(downloader.tasks[0]), Fields(StartedTask(c.source, target, c.thread_count)));
    EXPECT_EQ(w.player_url, "");  // downloading plays nothing
    EXPECT_TRUE(w.rows.empty());
    EXPECT_TRUE(w.messages.empty());
  }
}

// A right click: the selected row's play page; two rows in a row, each
// started; no row selected fetches nothing and still starts ".mp4".
TEST_F(DownloadHandlerTest, DownloadSelectedTrackStartsTheSelectedRowsDownload) {
  MemoryWindow w;
  w.category = 2;
  LoadCategoryListing(w, sites_);
  ASSERT_EQ(w.rows.size(), 7u);
  const auto rows_before = w.rows;
  const std::vector<SiteTrack>& tracks = site_.Categories()[2].tracks;
  auto row_of = [&](const std::string& id) {
    for (std::size_t r = 0; r < tracks.size(); ++r) {
      if (tracks[r].id == id) return static_cast<int>(r);
    }
    return -1;
  };
  const SiteTrack& listed = tracks.back();
  const std::string listed_name = listed.file_value.substr(listed.file_value.rfind('/') + 1);
  FakeDownloader downloader(&w);
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};

  const struct {
    int selected;
    std::vector<std::string> targets;
    Text media_url;
    Text file_name;
  } cases[] = {
      {row_of("900001"), {"GET /m/900001/"}, Media("a/b"), "b.mp4"},
      {row_of(listed.id),
       {"GET /" + listed.href},
       Media(listed.file_value),
       L(listed_name) + ".mp4"},
      {row_of("900004"), {"GET /m/900004/"}, Media("2024/现场 串烧"), L("现场 串烧.mp4")},
      {-1, {}, Media(""), ".mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selected);
    site_.ClearRequests();
    w.writes.clear();
    w.selected_row = c.selected;
    DownloadSelectedTrack(w, sites_, program_folder_, session);
    EXPECT_EQ(Targets(site_.Requests()), c.targets);
    const Text target = folder_ + "/" + c.file_name;
    EXPECT_EQ(w.writes, (std::vector<Text>{"address " + c.media_url, "bar 0", "timer 100",
                                           "start " + target}));
    EXPECT_EQ(file_name, c.file_name);
    EXPECT_EQ(Fields(downloader.tasks.back()), Fields(StartedTask(c.media_url, target, 20)));
  }
  EXPECT_EQ(downloader.tasks.size(), 4u);
  EXPECT_EQ(w.rows, rows_before);
  EXPECT_EQ(w.player_url, "");
  EXPECT_TRUE(w.messages.empty());
}

// What the address box holds when the handler reads it back is what gets
// downloaded: a box that keeps only part of a long address (as a real edit
// box may) still leaves a file name inside the folder.
TEST_F(DownloadHandlerTest, TheAddressIsReadBackFromTheBox) {
  struct CuttingBox final : TextBoxControl {
    Text GetText() const override { return text.substr(0, text.find("/..") + 3); }
    void SetText(const Text& t) override { text = t; }
    Text text;
  } cutting_box;
  MemoryWindow w;
  CatalogueWindow window = w.Window();
  CatalogueWindow cut{window.track_list, window.category_box,     window.track_id_box,
                      cutting_box,       window.player,           window.error_box,
                      window.pump,       window.thread_count_box, window.progress_bar,
                      window.timer,      window.status_label};
  w.track_id = "900003";  // x/..\..\evil
  FakeDownloader downloader;
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};
  DownloadTrackById(cut, sites_, program_folder_, session);
  EXPECT_EQ(cutting_box.text, Media("x/..\\..\\evil\x01"));
  EXPECT_EQ(file_name, "__");
  ASSERT_EQ(downloader.tasks.size(), 1u);
  EXPECT_EQ(downloader.tasks[0].source_address, sites_.media_base_url + "x/..");
  EXPECT_EQ(downloader.tasks[0].target_path, folder_ + "/__");
}

// Several rows selected and right-clicked: their tracks one after another in
// list order, each started when the one before has ended, the position in
// the running line, a failure shown and counted, rows right-clicked during
// the batch joining its end, and the count at the end.
TEST_F(DownloadHandlerTest, ABatchDownloadsTheSelectedRowsOneAfterAnother) {
  MemoryWindow w;
  w.category = 2;
  LoadCategoryListing(w, sites_);
  ASSERT_EQ(w.rows.size(), 7u);
  const std::vector<SiteTrack>& tracks = site_.Categories()[2].tracks;
  auto page_target = [&](int row) { return "GET /" + tracks[static_cast<std::size_t>(row)].href; };
  auto media = [&](int row) { return Media(tracks[static_cast<std::size_t>(row)].file_value); };
  FakeDownloader downloader(&w);
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};
  const Text program_folder = program_folder_;
  auto tick = [&] {
    OnProgressTick(w, program_folder, session);
    return LocalTextToUtf8(w.status_label);
  };
  auto end_task = [&](download::TaskId id, download::TaskPhase phase, std::int64_t amount,
                      int http_status = 0) {
    downloader.amount = amount;
    download::TaskState& s = downloader.states[id];
    s.phase = phase;
    s.written = amount * 4;
    if (phase == download::TaskPhase::kFailed) {
      s.cause = download::FailureCause::kHttpStatus;
      s.http_status = http_status;
    }
  };

  // Row 4 clicked last, rows 0 and 2 selected with it.
  w.selected_row = 4;
  w.also_selected = {2, 0};
  site_.ClearRequests();
  DownloadSelectedTrack(w, sites_, program_folder_, session);
  EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{page_target(0)});
  ASSERT_EQ(downloader.tasks.size(), 1u);
  EXPECT_EQ(downloader.tasks[0].source_address, SourceAddress(media(0)));
  EXPECT_EQ(w.address_box, media(0));
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 1/3 首");

  // Complete: the next track starts at once, its line without a pause.
  end_task(1, download::TaskPhase::kComplete, 1000);
  site_.ClearRequests();
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 2/3 首");
  EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{page_target(2)});
  ASSERT_EQ(downloader.tasks.size(), 2u);
  EXPECT_EQ(w.address_box, media(2));

  // A right click during the batch adds its row to the end; nothing starts.
  w.selected_row = 6;
  w.also_selected.clear();
  site_.ClearRequests();
  DownloadSelectedTrack(w, sites_, program_folder_, session);
  EXPECT_TRUE(site_.Requests().empty());
  EXPECT_EQ(downloader.tasks.size(), 2u);
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 2/4 首");

  // A failure: its line, with the position, stays a while; the next track
  // runs meanwhile.
  end_task(2, download::TaskPhase::kFailed, 0, 404);
  EXPECT_EQ(tick(), "下载失败...  服务器返回 404   0KB   第 2/4 首");
  ASSERT_EQ(downloader.tasks.size(), 3u);
  EXPECT_EQ(w.address_box, media(4));
  EXPECT_EQ(w.timer_interval, 100);
  for (int i = 0; i < kEndLineTicks; ++i) tick();
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 3/4 首");

  end_task(3, download::TaskPhase::kComplete, 1000);
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 4/4 首");
  ASSERT_EQ(downloader.tasks.size(), 4u);
  EXPECT_EQ(w.address_box, media(6));

  end_task(4, download::TaskPhase::kComplete, 1000);
  EXPECT_EQ(tick(), "下载完成...  已下载 100%   12KB   共 4 首，失败 1 首");
  EXPECT_EQ(w.timer_interval, 0);
  EXPECT_EQ(w.progress, 0);
  EXPECT_EQ(downloader.tasks.size(), 4u);
  std::vector<Text> targets;
  for (const DownloadTask& t : downloader.tasks) targets.push_back(t.source_address);
  EXPECT_EQ(targets, (std::vector<Text>{SourceAddress(media(0)), SourceAddress(media(2)),
                                        SourceAddress(media(4)), SourceAddress(media(6))}));

  // The batch is over: a single right click is a single download again, and
  // a new selection a new batch.
  w.selected_row = 1;
  DownloadSelectedTrack(w, sites_, program_folder_, session);
  ASSERT_EQ(downloader.tasks.size(), 5u);
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB");
  w.also_selected = {3};
  DownloadSelectedTrack(w, sites_, program_folder_, session);
  ASSERT_EQ(downloader.tasks.size(), 6u);
  EXPECT_EQ(downloader.tasks[5].source_address, SourceAddress(media(1)));
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 1/2 首");
}

// The last track of a batch failing: its failure line first, then the
// batch's end with the count.
TEST_F(DownloadHandlerTest, ABatchWhoseLastTrackFails) {
  MemoryWindow w;
  w.category = 2;
  LoadCategoryListing(w, sites_);
  FakeDownloader downloader;
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};
  auto tick = [&] {
    OnProgressTick(w, program_folder_, session);
    return LocalTextToUtf8(w.status_label);
  };
  w.selected_row = 0;
  w.also_selected = {1};
  DownloadSelectedTrack(w, sites_, program_folder_, session);
  downloader.states[1].phase = download::TaskPhase::kComplete;
  EXPECT_EQ(tick(), "正在下载...  已下载 0%   0KB   第 2/2 首");
  downloader.states[2] = {.phase = download::TaskPhase::kFailed,
                          .cause = download::FailureCause::kNetwork};
  EXPECT_EQ(tick(), "下载失败...  网络不通   0KB   第 2/2 首");
  EXPECT_EQ(w.timer_interval, 100);
  for (int i = 0; i < kEndLineTicks; ++i) tick();
  EXPECT_EQ(tick(), "下载完成...  已下载 100%   0KB   共 2 首，失败 1 首");
  EXPECT_EQ(w.timer_interval, 0);
}

// A batch's additions are shortened, never clipped, when the line would not
// fit the label: the next shorter form, down to the shortest.
TEST(BatchLines, ShortenedToFitTheLabel) {
  // The memory label takes 6 pixels a byte; the running line of a file not
  // yet there is 28 bytes, the finished line with 0KB 30.
  const struct {
    int label_width;
    bool batch_end;
    std::string caption;
  } cases[] = {
      {1000, false, "正在下载...  已下载 0%   0KB   第 1/3 首"},
      {240, false, "正在下载...  已下载 0%   0KB   第 1/3 首"},
      {239, false, "正在下载...  已下载 0%   0KB   1/3"},
      {204, false, "正在下载...  已下载 0%   0KB   1/3"},
      {203, false, "正在下载...  已下载 0%   0KB 1/3"},
      {191, false, "正在下载...  已下载 0%   0KB"},
      {1000, true, "下载完成...  已下载 100%   0KB   共 3 首，失败 1 首"},
      {306, true, "下载完成...  已下载 100%   0KB   共 3 首，失败 1 首"},
      {305, true, "下载完成...  已下载 100%   0KB   共3首 失败1"},
      {264, true, "下载完成...  已下载 100%   0KB   共3首 失败1"},
      {263, true, "下载完成...  已下载 100%   0KB 共3首 失败1"},
      {251, true, "下载完成...  已下载 100%   0KB 3首 失败1"},
      {239, true, "下载完成...  已下载 100%   0KB 失败1"},
      {100, true, "下载完成...  已下载 100%   0KB 失败1"},  // the count of failures stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caption);
    MemoryWindow w;
    w.label_width = c.label_width;
    w.rows = {{"a", "http://c/m/1/"}, {"b", "http://c/m/2/"}, {"c", "http://c/m/3/"}};
    w.selected_row = 0;
    w.also_selected = {1, 2};
    FakeDownloader downloader;
    Text file_name;
    DownloadTask task;
    UserDownloads queue;
    DownloadSession session{file_name, task, downloader, queue};
    const SiteAddresses nowhere{"http://127.0.0.1:9/", "http://127.0.0.1:9/mp4/djmusic/"};
    DownloadSelectedTrack(w, nowhere, "/nowhere", session);
    if (c.batch_end) {
      downloader.states[1].phase = download::TaskPhase::kComplete;
      downloader.states[2].phase = download::TaskPhase::kComplete;
      downloader.states[3].phase = download::TaskPhase::kFailed;
      // Each tick moves the batch on by one track; the failure's line is held.
      for (int i = 0; i < 3 + kEndLineTicks + 1; ++i) OnProgressTick(w, "/nowhere", session);
    } else {
      OnProgressTick(w, "/nowhere", session);
    }
    EXPECT_EQ(LocalTextToUtf8(w.status_label), c.caption);
  }
}

// A batch's last line with tracks the user cancelled: their count comes
// last, and when the line must be shortened it outlasts the tracks that were
// there already; the failures stay to the shortest form.
TEST(BatchLines, TheCancelledTracksAreCountedLast) {
  const struct {
    int failed, already, cancelled;
    std::vector<std::string> forms;
  } cases[] = {
      {1, 0, 2,
       {"   共 12 首，失败 1 首，取消 2 首", "   共12首 失败1 取消2", " 共12首 失败1 取消2",
        " 12首 失败1 取消2", " 失败1 取消2", " 失败1"}},
      {1, 3, 2,
       {"   共 12 首，失败 1 首，已有 3 首，取消 2 首", "   共12首 失败1 已有3 取消2",
        " 共12首 失败1 已有3 取消2", " 12首 失败1 已有3 取消2", " 失败1 已有3 取消2",
        " 失败1 取消2", " 失败1"}},
      {0, 3, 0,
       {"   共 12 首，失败 0 首，已有 3 首", "   共12首 失败0 已有3", " 共12首 失败0 已有3",
        " 12首 失败0 已有3", " 失败0 已有3", " 失败0"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> forms;
    for (const Text& form : BatchEndForms(12, c.failed, c.already, c.cancelled)) {
      forms.push_back(LocalTextToUtf8(form));
    }
    EXPECT_EQ(forms, c.forms) << c.already << " " << c.cancelled;
  }
}

}  // namespace
}  // namespace wuqu::catalogue
