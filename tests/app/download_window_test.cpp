// Downloads on the real window, offscreen, against the demo site running in
// this process: real mouse clicks, the real downloader on loopback, the real
// timer driving the bar and the status line, and real files in a download
// folder beside a scratch "program folder".
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/quick_downloader.h"
#include "app/window_actions.h"
#include "catalogue/download_state.h"
#include "catalogue/progress.h"
#include "catalogue/status_line.h"
#include "download/downloader.h"
#include "download/downloader_testing.h"
#include "download/resume_record.h"
#include "platform/files.h"
#include "site/demo_site.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

namespace fs = std::filesystem;

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

using download::testing::FileSha256;

// Every name inside `folder`, sub-folders and all, relative to it.
std::vector<std::string> Contents(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
    names.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What the window showed after one tick of 时钟1.
struct Tick {
  std::string caption;  // 标签EX3, UTF-8
  int bar = 0;
  int interval = 0;
  std::int64_t size_on_disk = -1;
  // Only for the tick that shows the finished line: the file then held
  // exactly the bytes of the source.
  bool file_was_complete = false;
};

const std::regex kRunningLine("正在下载\\.\\.\\.  已下载 (\\d+)%   (\\d+)KB");
const std::regex kFinishedLine("下载完成\\.\\.\\.  已下载 100%   (\\d+)KB");

class DownloadWindowTest : public testing::Test {
 protected:
  void Open(DemoSiteOptions options) {
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
    ASSERT_TRUE(program_folder_.isValid());
    state_ = catalogue::CreateDownloadState();
    // A stopped site fails a download within seconds, not the defaults' half minute.
    state_->downloader = download::CreateDownloader(QuickDownloaderSettings());
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(
        *window_, *state_,
        catalogue::SiteAddresses{site_->CatalogueBaseUrl(), site_->MediaBaseUrl()},
        L(ScratchProgramFolder()));
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    // After the handler of each tick (bound first), note what it showed.
    QObject::connect(&window_->progress_timer(), &Clock::tick, window_.get(),
                     [this] { NoteTick(); });
  }

  void TearDown() override {
    window_.reset();
    events_.reset();
    if (state_) catalogue::ReleaseDownloadState(*state_);
  }

  // Stands for the folder of the program file.
  std::string ScratchProgramFolder() const { return program_folder_.path().toStdString(); }
  std::string DownloadFolder() const { return ScratchProgramFolder() + "/下载"; }

  void NoteTick() {
    Tick t;
    t.caption = LocalTextToUtf8(window_->status_label().GetText());
    t.bar = window_->progress_bar().Position();
    t.interval = window_->progress_timer().Interval();
    t.size_on_disk = FileSize(LocalTextToUtf8(state_->task->target_path));
    if (std::regex_match(t.caption, kFinishedLine)) {
      t.file_was_complete = FileSha256(LocalTextToUtf8(state_->task->target_path)) == source_sha_;
    }
    ticks_.push_back(t);
  }

  int RowOf(std::size_t category, const std::string& id) const {
    const auto& tracks = site_->Categories().at(category).tracks;
    for (std::size_t r = 0; r < tracks.size(); ++r) {
      if (tracks[r].id == id) return static_cast<int>(r);
    }
    return -1;
  }

  void TypeInto(SkinnedEdit& box, const char* text) {
    box.selectAll();
    QTest::keyClick(&box, Qt::Key_Delete);
    QTest::keyClicks(&box, text);
  }

  // Waits for the tick that stops the timer.
  bool WaitForTheFinish(int timeout_ms = 60000) {
    return WaitFor([&] { return window_->progress_timer().Interval() == 0; }, timeout_ms);
  }

  // Waits until the downloader has no transfer left (its resume records are
  // gone by then).
  bool WaitForTheDownloader() {
    return WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 30000);
  }

  // The ticks of one download, from its start to its finish: running lines
  // whose percentage is the bar's and never goes back, whose file on disk
  // has its full size from the first tick that finds it, then exactly one
  // finished line, shown only once the file was the source's to the byte,
  // with the bar back at 0 and the timer stopped.
  void ExpectTruthfulTicks(const std::vector<Tick>& ticks, std::int64_t size, int min_running,
                           bool another_still_runs = false) {
    ASSERT_FALSE(ticks.empty());
    int running = 0;
    int last_percent = 0;
    for (std::size_t i = 0; i + 1 < ticks.size(); ++i) {
      const Tick& t = ticks[i];
      SCOPED_TRACE("tick " + std::to_string(i) + ": " + t.caption);
      // The moment the downloader has made the file but not yet sized it.
      if (t.caption == "   0KB") continue;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(t.caption, m, kRunningLine));
      const int percent = std::stoi(m[1]);
      EXPECT_EQ(percent, t.bar);
      EXPECT_GE(percent, last_percent);
      last_percent = percent;
      EXPECT_EQ(t.interval, 100);
      EXPECT_TRUE(t.size_on_disk == -1 || t.size_on_disk == 0 || t.size_on_disk == size)
          << t.size_on_disk;
      if (percent > 0 && percent < 100) ++running;
    }
    EXPECT_GE(running, min_running);
    const Tick& last = ticks.back();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(last.caption, m, kFinishedLine)) << last.caption;
    EXPECT_EQ(std::stoll(m[1]), std::llround(static_cast<double>(size) / 1000));
    EXPECT_TRUE(last.file_was_complete);
    EXPECT_EQ(last.bar, 0);
    EXPECT_EQ(last.interval, another_still_runs ? 100 : 0);
  }

  QTemporaryDir program_folder_;
  std::unique_ptr<DemoSite> site_;
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
  std::string source_sha_;
  std::vector<Tick> ticks_;
};

// A right click on a row saves that track into 下载 beside the program, its
// name the last piece of the address; the bar and 标签EX3 follow it tick by
// tick and say it is finished only once the file is the source's.
TEST_F(DownloadWindowTest, RightClickOnARowDownloadsItIntoTheFolder) {
  constexpr std::uint64_t kSize = 3 * 1000 * 1000 + 17;
  Open({.tracks_per_category = 4,
        .track_media_size = kSize,
        // 4 connections of 300 kB/s: about two and a half seconds.
        .faults = {.rate_limit = 300 * 1000}});
  ChooseFromTheBox(*window_, 5);
  const SiteTrack& track = site_->Categories()[5].tracks[2];
  const std::string media_path = track.MediaPath();
  source_sha_ = *site_->MediaSha256(media_path);
  TypeInto(window_->thread_count_box(), "4");
  site_->ClearRequests();

  ClickRow(*window_, 2, Qt::RightButton);
  const Text media_url = site_->MediaBaseUrl() + L(track.file_value) + ".mp4";
  EXPECT_EQ(window_->media_address_box().GetText(), media_url);
  ASSERT_TRUE(WaitForTheFinish());

  const std::string name = track.file_value.substr(track.file_value.rfind('/') + 1) + ".mp4";
  const std::string file = DownloadFolder() + "/" + name;
  EXPECT_EQ(FileSize(file), static_cast<std::int64_t>(kSize));
  EXPECT_EQ(FileSha256(file), source_sha_);
  ExpectTruthfulTicks(ticks_, kSize, 3);
  // The play page once, then the media file over several connections.
  const std::vector<SiteRequest> requests = site_->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].target, "/" + track.href);
  std::set<int> connections;
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].path, media_path);
    if (!requests[i].range.empty()) connections.insert(requests[i].remote_port);
  }
  EXPECT_GE(connections.size(), 2u);
  ASSERT_TRUE(WaitForTheDownloader());
  EXPECT_EQ(Contents(ScratchProgramFolder()), (std::vector<std::string>{"下载", "下载/" + name}));
  // The finished line stays; no more ticks come.
  const std::size_t ticks = ticks_.size();
  QTest::qWait(300);
  EXPECT_EQ(ticks_.size(), ticks);
  EXPECT_EQ(window_->progress_bar().Position(), 0);
}

// The Download button downloads the id typed into 编辑框EX1; the Chinese
// name of the file is stored in UTF-8.
TEST_F(DownloadWindowTest, DownloadButtonDownloadsTheTypedId) {
  Open({.tracks_per_category = 2,
        .extra_tracks = {{.category = 0,
                          .id = "900001",
                          .title = "现场",
                          .file_value = "2024/现场 串烧",
                          .synthetic_size = 2 * 1000 * 1000,
                          .synthetic_seed = 7}},
        .faults = {.rate_limit = 400 * 1000}});
  const SiteTrack* track = site_->FindTrack("900001");
  ASSERT_NE(track, nullptr);
  source_sha_ = *site_->MediaSha256(track->MediaPath());
  SkinnedEdit& id_box = window_->track_id_box();
  QTest::mouseClick(&id_box, Qt::LeftButton);  // empties the box
  QTest::keyClicks(&id_box, "900001");
  TypeInto(window_->thread_count_box(), "2");
  site_->ClearRequests();

  QTest::mouseClick(&window_->download_button(), Qt::LeftButton);
  EXPECT_EQ(window_->media_address_box().GetText(),
            site_->MediaBaseUrl() + L("2024/现场 串烧.mp4"));
  ASSERT_TRUE(WaitForTheFinish());
  const std::string file = DownloadFolder() + "/现场 串烧.mp4";
  EXPECT_EQ(FileSha256(file), source_sha_);
  ExpectTruthfulTicks(ticks_, 2 * 1000 * 1000, 2);
  EXPECT_EQ(site_->Requests().at(0).target, "/m/900001/");
}

// File values from the site that would put the file elsewhere: its last
// piece alone names the file, directly inside the download folder, with
// backslashes replaced; nothing is written anywhere else. The site refuses
// to serve a path that climbs, so that download fails, and the display goes
// on showing nothing received rather than a finish. (Control characters,
// which the site refuses as well, are left to the file name rule's tests.)
TEST_F(DownloadWindowTest, HostileFileValuesStayInsideTheFolder) {
  Open({.tracks_per_category = 2,
        .extra_tracks = {{.category = 0,
                          .id = "900002",
                          .title = "climbs",
                          .file_value = "../../../escape",
                          .synthetic_size = 300 * 1000,
                          .synthetic_seed = 4},
                         {.category = 0,
                          .id = "900001",
                          .title = "backslashes",
                          .file_value = "x/C:\\Windows\\System32\\evil",
                          .synthetic_size = 300 * 1000,
                          .synthetic_seed = 3}}});
  ChooseFromTheBox(*window_, 0);
  const std::string parent = fs::path(ScratchProgramFolder()).parent_path().string();

  ClickRow(*window_, RowOf(0, "900002"), Qt::RightButton);
  EXPECT_EQ(LocalTextToUtf8(state_->task->target_path), DownloadFolder() + "/escape.mp4");
  ASSERT_TRUE(WaitForTheFinish(30000));
  ASSERT_FALSE(ticks_.empty());
  EXPECT_EQ(ticks_.back().caption, "下载失败...  服务器返回 404   0KB");
  EXPECT_EQ(FileSize(DownloadFolder() + "/escape.mp4"), -1);
  EXPECT_EQ(FileSize(parent + "/escape.mp4"), -1);

  ticks_.clear();
  const SiteTrack* track = site_->FindTrack("900001");
  ASSERT_NE(track, nullptr);
  source_sha_ = *site_->MediaSha256(track->MediaPath());
  ClickRow(*window_, RowOf(0, "900001"), Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish());
  const std::string name = "C:_Windows_System32_evil.mp4";
  EXPECT_EQ(LocalTextToUtf8(state_->task->target_path), DownloadFolder() + "/" + name);
  EXPECT_EQ(FileSha256(DownloadFolder() + "/" + name), source_sha_);
  EXPECT_TRUE(ticks_.back().file_was_complete);
  ASSERT_TRUE(WaitForTheDownloader());
  const std::vector<std::string> contents = Contents(ScratchProgramFolder());
  EXPECT_EQ(contents, (std::vector<std::string>{"下载", "下载/" + name}));
}

// A second right click while the first download runs: the bar is back at 0
// at once and the ticks follow the second file to its finish; its finished
// line stays a moment, then the line goes back to the first, still running,
// up to its own finish. Both files end complete.
TEST_F(DownloadWindowTest, SecondDownloadDuringAFirst) {
  constexpr std::uint64_t kFirst = 4 * 1000 * 1000;
  constexpr std::uint64_t kSecond = 1500 * 1000;
  Open({.tracks_per_category = 2,
        .extra_tracks = {{.category = 0,
                          .id = "900002",
                          .title = "second",
                          .file_value = "b/second",
                          .synthetic_size = kSecond,
                          .synthetic_seed = 2},
                         {.category = 0,
                          .id = "900001",
                          .title = "first",
                          .file_value = "a/first",
                          .synthetic_size = kFirst,
                          .synthetic_seed = 1}},
        .faults = {.rate_limit = 250 * 1000}});
  ChooseFromTheBox(*window_, 0);
  TypeInto(window_->thread_count_box(), "2");
  const std::string first_sha = *site_->MediaSha256("/mp4/djmusic/a/first.mp4");
  source_sha_ = *site_->MediaSha256("/mp4/djmusic/b/second.mp4");

  ClickRow(*window_, RowOf(0, "900001"), Qt::RightButton);
  ASSERT_TRUE(WaitFor([&] { return window_->progress_bar().Position() >= 5; }, 30000));
  const std::size_t first_ticks = ticks_.size();
  ClickRow(*window_, RowOf(0, "900002"), Qt::RightButton);
  EXPECT_EQ(window_->progress_bar().Position(), 0);
  EXPECT_EQ(window_->progress_timer().Interval(), 100);
  ASSERT_TRUE(WaitForTheFinish());
  EXPECT_EQ(FileSha256(DownloadFolder() + "/second.mp4"), source_sha_);
  EXPECT_EQ(FileSha256(DownloadFolder() + "/first.mp4"), first_sha);

  std::vector<Tick> second(ticks_.begin() + static_cast<std::ptrdiff_t>(first_ticks), ticks_.end());
  const auto finished = std::find_if(second.begin(), second.end(), [](const Tick& t) {
    return std::regex_match(t.caption, kFinishedLine);
  });
  ASSERT_NE(finished, second.end());
  const std::vector<Tick> back_to_the_first(finished + 1, second.end());
  second.erase(finished + 1, second.end());
  ExpectTruthfulTicks(second, kSecond, 2, true);
  // The held line, then the first's running lines, then its finish.
  ASSERT_FALSE(back_to_the_first.empty());
  std::size_t i = 0;
  while (i < back_to_the_first.size() && back_to_the_first[i].caption == second.back().caption) ++i;
  EXPECT_GE(i, 5u);
  int running = 0;
  for (; i + 1 < back_to_the_first.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(back_to_the_first[i].caption, m, kRunningLine))
        << back_to_the_first[i].caption;
    EXPECT_EQ(std::stoi(m[1]), back_to_the_first[i].bar);
    ++running;
  }
  EXPECT_GE(running, 1);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(back_to_the_first.back().caption, m, kFinishedLine));
  EXPECT_EQ(std::stoll(m[1]), std::llround(static_cast<double>(kFirst) / 1000));
  EXPECT_EQ(window_->progress_bar().Position(), 0);
}

// Downloads the server refuses end in the failure line with the server's
// status, the timer stopped: a listed track whose media file answers 404,
// and a typed id the site does not have (its address is MediaBaseUrl +
// ".mp4").
TEST_F(DownloadWindowTest, ARefusedDownloadShowsTheFailureLine) {
  Open({.tracks_per_category = 2,
        .extra_tracks = {{.category = 0,
                          .id = "900001",
                          .title = "gone",
                          .file_value = "a/gone",
                          .synthetic_size = 300 * 1000,
                          .synthetic_seed = 1}},
        .faults = {.path_status = {{"/mp4/djmusic/a/gone.mp4", 404}}}});
  ChooseFromTheBox(*window_, 0);
  ClickRow(*window_, RowOf(0, "900001"), Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish(30000));
  EXPECT_EQ(ticks_.back().caption, "下载失败...  服务器返回 404   0KB");
  EXPECT_EQ(window_->progress_bar().Position(), 0);
  const std::size_t ticks = ticks_.size();
  QTest::qWait(300);
  EXPECT_EQ(ticks_.size(), ticks);

  TypeInto(window_->track_id_box(), "777777");
  QTest::mouseClick(&window_->download_button(), Qt::LeftButton);
  EXPECT_EQ(window_->media_address_box().GetText(), site_->MediaBaseUrl() + ".mp4");
  ASSERT_TRUE(WaitForTheFinish(30000));
  EXPECT_EQ(ticks_.back().caption, "下载失败...  服务器返回 404   0KB");
}

// The server goes away in the middle of a download: within the downloader's
// bound the line says the network failed (or the transfer stalled), with
// what had come, and the timer stops.
TEST_F(DownloadWindowTest, ASiteStoppedMidwayShowsTheFailureLine) {
  constexpr std::uint64_t kSize = 4 * 1000 * 1000;
  Open({.tracks_per_category = 1, .track_media_size = kSize, .faults = {.rate_limit = 200 * 1000}});
  ChooseFromTheBox(*window_, 0);
  TypeInto(window_->thread_count_box(), "2");
  ClickRow(*window_, 0, Qt::RightButton);
  ASSERT_TRUE(WaitFor([&] { return window_->progress_bar().Position() >= 10; }, 30000));
  site_->Stop();
  ASSERT_TRUE(WaitForTheFinish(90000));
  const std::regex failed("下载失败\\.\\.\\.  (网络不通|传输停滞)   (\\d+)KB");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(ticks_.back().caption, m, failed)) << ticks_.back().caption;
  EXPECT_GT(std::stoll(m[2]), 0);
  EXPECT_EQ(window_->progress_bar().Position(), 0);
}

// What a click does to the selection of 超级列表框1: a plain left click
// selects its row alone and previews it; with Ctrl or Shift held it only
// changes the selection; Ctrl+A selects every row; a right click on a row
// outside the selection selects that row alone and downloads it alone.
TEST_F(DownloadWindowTest, SelectionClicks) {
  Open({.tracks_per_category = 6, .track_media_size = 100 * 1000});
  ChooseFromTheBox(*window_, 0);
  TrackList& list = window_->track_list();
  MediaPlayer& player = window_->player();
  const std::vector<SiteTrack>& tracks = site_->Categories()[0].tracks;
  auto media = [&](int row) {
    return site_->MediaBaseUrl() + L(tracks[static_cast<std::size_t>(row)].file_value) + ".mp4";
  };

  ClickRow(*window_, 1);
  EXPECT_EQ(player.Url(), media(1));
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{1});
  site_->ClearRequests();
  ClickRow(*window_, 3, Qt::LeftButton, Qt::ControlModifier);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{1, 3}));
  ClickRow(*window_, 5, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{1, 3, 4, 5}));
  ClickRow(*window_, 4, Qt::LeftButton, Qt::ControlModifier);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(player.Url(), media(1));
  EXPECT_EQ(window_->media_address_box().GetText(), media(1));
  // Only the player's own requests for the previewed file; no play page.
  for (const SiteRequest& r : site_->Requests()) EXPECT_EQ(r.path, tracks[1].MediaPath());

  list.setFocus();
  QTest::keyClick(&list, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  ClickRow(*window_, 2);
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{2});
  EXPECT_EQ(player.Url(), media(2));

  ClickRow(*window_, 0, Qt::LeftButton, Qt::ControlModifier);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 2}));
  ClickRow(*window_, 4, Qt::RightButton);
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{4});
  EXPECT_EQ(window_->media_address_box().GetText(), media(4));
  ASSERT_TRUE(WaitForTheFinish());
  EXPECT_TRUE(std::regex_match(ticks_.back().caption, kFinishedLine)) << ticks_.back().caption;
  ASSERT_TRUE(WaitForTheDownloader());
  const std::string name = tracks[4].file_value.substr(tracks[4].file_value.rfind('/') + 1);
  EXPECT_EQ(Contents(DownloadFolder()), std::vector<std::string>{name + ".mp4"});
}

// The file name a track's file value gives.
std::string FileNameOf(const SiteTrack& track) {
  return track.file_value.substr(track.file_value.rfind('/') + 1) + ".mp4";
}

// Rows picked with Ctrl-click and right-clicked inside the selection: the
// three tracks one after another in list order, each file the source's to
// the byte, the position in the running line, the count at the end.
TEST_F(DownloadWindowTest, ABatchOfThreeRows) {
  Open({.tracks_per_category = 5,
        .track_media_size = 600 * 1000,
        .faults = {.rate_limit = 600 * 1000}});
  ChooseFromTheBox(*window_, 3);
  const std::vector<SiteTrack>& tracks = site_->Categories()[3].tracks;
  TypeInto(window_->thread_count_box(), "2");
  ClickRow(*window_, 4);
  ClickRow(*window_, 0, Qt::LeftButton, Qt::ControlModifier);
  ClickRow(*window_, 2, Qt::LeftButton, Qt::ControlModifier);
  site_->ClearRequests();
  ClickRow(*window_, 2, Qt::RightButton);
  EXPECT_EQ(window_->media_address_box().GetText(),
            site_->MediaBaseUrl() + L(tracks[0].file_value) + ".mp4");
  ASSERT_TRUE(WaitForTheFinish(60000));

  for (const int row : {0, 2, 4}) {
    const SiteTrack& track = tracks[static_cast<std::size_t>(row)];
    EXPECT_EQ(FileSha256(DownloadFolder() + "/" + FileNameOf(track)),
              *site_->MediaSha256(track.MediaPath()))
        << row;
  }
  EXPECT_EQ(window_->media_address_box().GetText(),
            site_->MediaBaseUrl() + L(tracks[4].file_value) + ".mp4");
  // The play pages in list order, each once, the next after the one before
  // had every byte.
  std::vector<std::string> pages;
  for (const SiteRequest& r : site_->Requests()) {
    if (r.path.rfind("/mp4/", 0) != 0) pages.push_back(r.target);
  }
  EXPECT_EQ(pages, (std::vector<std::string>{"/" + tracks[0].href, "/" + tracks[2].href,
                                             "/" + tracks[4].href}));
  std::vector<std::string> positions;
  const std::regex running("正在下载\\.\\.\\.  已下载 \\d+%   \\d+KB   (第 \\d/3 首)");
  for (const Tick& t : ticks_) {
    std::smatch m;
    if (std::regex_match(t.caption, m, running) &&
        (positions.empty() || positions.back() != m[1])) {
      positions.push_back(m[1]);
    }
  }
  EXPECT_EQ(positions, (std::vector<std::string>{"第 1/3 首", "第 2/3 首", "第 3/3 首"}));
  EXPECT_EQ(ticks_.back().caption, "下载完成...  已下载 100%   1800KB   共3首 失败0");
  EXPECT_EQ(window_->progress_bar().Position(), 0);
}

// A batch picked with Shift-click whose middle track the server refuses: the
// failure is shown, the batch goes on, and its end counts the failure.
TEST_F(DownloadWindowTest, ABatchWithARefusedRowCountsTheFailure) {
  Open({.tracks_per_category = 3, .track_media_size = 200 * 1000});
  const std::vector<SiteTrack>& tracks = site_->Categories()[1].tracks;
  site_->SetFaults({.path_status = {{tracks[1].MediaPath(), 404}}});
  ChooseFromTheBox(*window_, 1);
  ClickRow(*window_, 0);
  ClickRow(*window_, 2, Qt::LeftButton, Qt::ShiftModifier);
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish(60000));
  bool failure_shown = false;
  for (const Tick& t : ticks_) {
    failure_shown |= t.caption == "下载失败...  服务器返回 404   0KB   第 2/3 首";
  }
  EXPECT_TRUE(failure_shown);
  EXPECT_EQ(ticks_.back().caption, "下载完成...  已下载 100%   400KB   共3首 失败1");
  EXPECT_EQ(FileSha256(DownloadFolder() + "/" + FileNameOf(tracks[0])),
            *site_->MediaSha256(tracks[0].MediaPath()));
  EXPECT_EQ(FileSha256(DownloadFolder() + "/" + FileNameOf(tracks[2])),
            *site_->MediaSha256(tracks[2].MediaPath()));
  EXPECT_EQ(FileSize(DownloadFolder() + "/" + FileNameOf(tracks[1])), -1);
}

// Closing the window while a download and a batch run: every download
// still running keeps its resume record beside its unfinished file, so a
// right click after the next start resumes it.
TEST_F(DownloadWindowTest, ClosingWithDownloadsRunningKeepsTheirResumeRecords) {
  Open({.tracks_per_category = 4,
        .track_media_size = 3 * 1000 * 1000,
        .faults = {.rate_limit = 100 * 1000}});
  ChooseFromTheBox(*window_, 2);
  const std::vector<SiteTrack>& tracks = site_->Categories()[2].tracks;
  TypeInto(window_->thread_count_box(), "2");
  ClickRow(*window_, 3, Qt::RightButton);
  ClickRow(*window_, 0);
  ClickRow(*window_, 1, Qt::LeftButton, Qt::ShiftModifier);
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitFor(
      [&] {
        return FileSize(download::ResumeRecordPath(DownloadFolder() + "/" +
                                                    FileNameOf(tracks[3]))) > 0 &&
               FileSize(
                   download::ResumeRecordPath(DownloadFolder() + "/" + FileNameOf(tracks[0]))) > 0;
      },
      30000));
  window_->close();
  catalogue::ReleaseDownloadState(*state_);
  for (const int row : {3, 0}) {
    const std::string file =
        DownloadFolder() + "/" + FileNameOf(tracks[static_cast<std::size_t>(row)]);
    EXPECT_GT(FileSize(download::ResumeRecordPath(file)), 0) << row;
  }
}

// The longest line each branch of the status line can give fits 标签EX3 in
// its font, with the batch additions in the first form that fits: a 100 %
// figure, the figure of a 4 GiB file (of 300 GB for a batch's sum), the
// longest cause, a batch of 999 tracks. What must show does: the position in
// a running line, the failures at a batch's end; and the usual batch (a
// dozen tracks, under a gigabyte) keeps its count of tracks.
TEST(StatusLineFit, TheLongestLinesFitTheLabel) {
  MainWindow window;
  const SkinnedLabel& label = window.status_label();
  auto amount = [](const char* figure) {
    return Text(catalogue::kAmountSeparator) + figure + Text(catalogue::kAmountUnit);
  };
  auto first_fitting = [&](const Text& line, const std::vector<Text>& endings) {
    for (const Text& ending : endings) {
      if (label.Fits(line + ending)) return ending;
    }
    return Text("(none fits)");
  };
  const Text running = ui_texts::kRunningLinePrefix.Gbk() + "100%" + amount("4194304");
  const Text finished = ui_texts::kFinishedLinePrefix.Gbk() + "100%" + amount("4194304");
  const Text batch_end = ui_texts::kFinishedLinePrefix.Gbk() + "100%" + amount("314572800");
  Text longest_failure;
  int widest = 0;
  using download::FailureCause;
  for (const FailureCause cause :
       {FailureCause::kNone, FailureCause::kNetwork, FailureCause::kHttpStatus,
        FailureCause::kChanged, FailureCause::kEncodingRefused, FailureCause::kStalled,
        FailureCause::kDisk, FailureCause::kAddressRefused}) {
    const Text line = ui_texts::kFailedLinePrefix.Gbk() + catalogue::FailureCauseText(cause, 504) +
                      amount("4194304");
    const int width = label.fontMetrics().horizontalAdvance(ToQString(line));
    if (width > widest) {
      widest = width;
      longest_failure = line;
    }
  }
  for (const Text& line : {running, finished, longest_failure}) {
    EXPECT_TRUE(label.Fits(line)) << LocalTextToUtf8(line);
  }
  EXPECT_NE(first_fitting(running, catalogue::BatchPositionForms(999, 999)), "");
  EXPECT_NE(first_fitting(longest_failure, catalogue::BatchPositionForms(999, 999)), "(none fits)");
  EXPECT_NE(first_fitting(batch_end, catalogue::BatchEndForms(999, 999)), "(none fits)");
  const Text usual_end = ui_texts::kFinishedLinePrefix.Gbk() + "100%" + amount("921600");
  EXPECT_NE(
      LocalTextToUtf8(first_fitting(usual_end, catalogue::BatchEndForms(12, 12))).find("12首"),
      std::string::npos);
  // A dozen tracks, some cancelled: the cancelled count shows.
  EXPECT_NE(LocalTextToUtf8(first_fitting(usual_end, catalogue::BatchEndForms(12, 1, 3, 2)))
                .find("取消2"),
            std::string::npos);
  EXPECT_NE(first_fitting(batch_end, catalogue::BatchEndForms(999, 999, 999, 999)),
            "(none fits)");
  const Text usual_running = ui_texts::kRunningLinePrefix.Gbk() + "100%" + amount("307200");
  EXPECT_EQ(first_fitting(usual_running, catalogue::BatchPositionForms(12, 12)),
            catalogue::BatchPositionForms(12, 12)[0]);
  EXPECT_FALSE(label.Fits(running + running));
}

// The program's own handlers put downloads beside the program file.
TEST(ProgramFolderText, TheProgramsHandlersDownloadBesideTheProgram) {
  EXPECT_EQ(LocalTextToUtf8(ProgramFolderText()), ProgramFolder());
  EXPECT_EQ(ProgramFolder(), QDir(QApplication::applicationDirPath()).absolutePath().toStdString());
  auto state = catalogue::CreateDownloadState();
  MainWindow window;
  const std::unique_ptr<WindowEvents> events = MakeWindowEvents(window, *state);
  const auto* catalogue_events = dynamic_cast<const CatalogueEvents*>(events.get());
  ASSERT_NE(catalogue_events, nullptr);
  EXPECT_EQ(catalogue_events->Folder(), ProgramFolderText());
  catalogue::ReleaseDownloadState(*state);
}

}  // namespace
}  // namespace wuqu
