// The window as a user meets what the program remembers: a batch killed with
// SIGKILL midway and finished by the next start, a track already on disk, the
// marks of the rows and the one-gesture retry; against the demo site, with
// the store in a scratch data folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAccessible>
#include <QImage>
#include <QMediaPlayer>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidgetItem>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "app/quick_downloader.h"
#include "app/window_actions.h"
#include "catalogue/download_state.h"
#include "catalogue/preview.h"
#include "catalogue/stored_download_log.h"
#include "download/downloader.h"
#include "download/downloader_testing.h"
#include "download/resume_record.h"
#include "platform/files.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

using download::testing::FileSha256;

std::string FileNameOf(const SiteTrack& track) {
  return track.file_value.substr(track.file_value.rfind('/') + 1) + ".mp4";
}

// The window program (window_child) running in a child process, its lines
// read as they come.
class WindowChild {
 public:
  explicit WindowChild(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(WUQU_WINDOW_CHILD));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(WUQU_WINDOW_CHILD, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    lines_ = ::fdopen(out[0], "r");
  }
  ~WindowChild() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (lines_ != nullptr) std::fclose(lines_);
  }
  // The next line it prints; nullopt once it has ended.
  std::optional<std::string> Line() {
    char buffer[4096];
    if (lines_ == nullptr || std::fgets(buffer, sizeof buffer, lines_) == nullptr) {
      return std::nullopt;
    }
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    waited_ = true;
  }
  int Wait() {
    ::waitpid(pid_, &status_, 0);
    waited_ = true;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  FILE* lines_ = nullptr;
  bool waited_ = false;
  int status_ = 0;
};

// A batch of five, the program killed with SIGKILL once the second track is
// complete and the third under way; the next start finishes all five, each
// file the server's to the byte, and fetches nothing again: no request for
// the first two, for the third no more than it lacked plus what its
// connections had received since its resume record was last saved.
TEST(RememberedWindow, ABatchKilledMidwayIsFinishedByTheNextStart) {
  constexpr std::uint64_t kSize = 2 * 1000 * 1000;
  DemoSite site({.tracks_per_category = 5,
                 .track_media_size = kSize,
                 .faults = {.rate_limit = 250 * 1000}});
  ASSERT_TRUE(site.Start()) << site.Error();
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const std::string folder = scratch.path().toStdString();
  const std::string store = folder + "/data/wuqu/wuqu.sqlite";
  const std::vector<SiteTrack>& tracks = site.Categories()[0].tracks;
  const std::string sites[] = {LocalTextToUtf8(site.CatalogueBaseUrl()),
                               LocalTextToUtf8(site.MediaBaseUrl())};
  auto file = [&](int i) { return folder + "/下载/" + FileNameOf(tracks[static_cast<std::size_t>(i)]); };

  {
    WindowChild first({sites[0], sites[1], folder, store, "0", "0", "1", "2", "3", "4"});
    bool third_running = false;
    while (const std::optional<std::string> line = first.Line()) {
      std::smatch m;
      static const std::regex kThird("line 正在下载\\.\\.\\.  已下载 (\\d+)%.*第 3/5 首");
      if (std::regex_match(*line, m, kThird) && std::stoi(m[1]) >= 10) {
        third_running = true;
        break;
      }
    }
    ASSERT_TRUE(third_running);
    // Killed once the third's resume record claims some of its bytes.
    ASSERT_TRUE(WaitFor(
        [&] {
          const auto r = download::LoadResumeRecord(download::ResumeRecordPath(file(2)));
          return r && r->DoneBytes() > 0;
        },
        10000));
    first.Kill();
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(FileSize(file(i)), static_cast<std::int64_t>(kSize)) << i;
  const std::optional<download::ResumeRecord> record =
      download::LoadResumeRecord(download::ResumeRecordPath(file(2)));
  const std::uint64_t third_done = record ? record->DoneBytes() : 0;
  site.ClearRequests();

  WindowChild second({sites[0], sites[1], folder, store});
  std::vector<std::string> lines;
  std::string end;
  std::vector<std::uint64_t> written;  // by the order the downloads started
  while (const std::optional<std::string> line = second.Line()) {
    lines.push_back(*line);
    if (line->rfind("end ", 0) == 0) end = line->substr(4);
    if (line->rfind("written ", 0) == 0) {
      written.push_back(std::stoull(line->substr(line->rfind(' ') + 1)));
    }
  }
  const int status = second.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(std::regex_match(end, std::regex("下载完成\\.\\.\\.  已下载 100%   \\d+KB   共3首 失败0")))
      << end;
  bool positions[3] = {};  // 第 1/3 首 to 第 3/3 首
  for (const std::string& l : lines) {
    for (int k = 0; k < 3; ++k) {
      positions[k] |= l.find("第 " + std::to_string(k + 1) + "/3 首") != std::string::npos;
    }
  }
  EXPECT_TRUE(positions[0] && positions[1] && positions[2]);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(FileSha256(file(i)), *site.MediaSha256(tracks[static_cast<std::size_t>(i)].MediaPath()))
        << i;
    EXPECT_EQ(FileSize(download::ResumeRecordPath(file(i))), -1) << i;
  }
  // Nothing of the first two is asked for again, not even their play pages.
  for (const SiteRequest& r : site.Requests()) {
    for (int i = 0; i < 2; ++i) {
      const SiteTrack& t = tracks[static_cast<std::size_t>(i)];
      EXPECT_NE(r.path, t.MediaPath()) << i;
      EXPECT_NE(r.target, "/" + t.href) << i;
    }
  }
  // The third, fourth and fifth, in that order; the third fetches what its
  // resume record lacked, and at most a piece more per connection (what
  // arrived after the record's last save, before the kill).
  ASSERT_EQ(written.size(), 3u);
  EXPECT_GT(third_done, 0u);
  constexpr std::uint64_t kPieceSlack = 4 * 256 * 1024;
  EXPECT_LE(written[0], kSize - third_done + kPieceSlack) << third_done;
  EXPECT_GE(written[0], kSize - third_done);
  for (int i = 1; i < 3; ++i) EXPECT_LE(written[static_cast<std::size_t>(i)], kSize + kPieceSlack);
}

// What the user paused or cancelled through the status line's menu stays so
// across a SIGKILL: the next start takes up only the tracks that were
// running or waiting, asks the site nothing for the others, and a paused
// track keeps its partial file and record while a cancelled one leaves none.
TEST(RememberedWindow, PausedAndCancelledTracksStaySoAfterAKill) {
  struct Case {
    const char* name;
    const char* choose;            // WUQU_CHILD_CHOOSE
    std::vector<int> not_fetched;  // tracks the next start must not ask for
    std::vector<int> complete;     // tracks complete once the next start ends
    const char* next_end;          // the next start's last line (a regex)
  };
  const Case cases[] = {
      {"pause", "1:暂停", {0}, {1, 2}, "下载完成\\.\\.\\.  已下载 100%   \\d+KB   共2首 失败0"},
      {"cancel the batch", "2:取消整批", {1, 2}, {0}, ".*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr std::uint64_t kSize = 1000 * 1000;
    DemoSite site({.tracks_per_category = 3,
                   .track_media_size = kSize,
                   .faults = {.rate_limit = 250 * 1000}});
    ASSERT_TRUE(site.Start()) << site.Error();
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const std::string folder = scratch.path().toStdString();
    const std::string store = folder + "/data/wuqu/wuqu.sqlite";
    const std::vector<SiteTrack>& tracks = site.Categories()[0].tracks;
    const std::string sites[] = {LocalTextToUtf8(site.CatalogueBaseUrl()),
                                 LocalTextToUtf8(site.MediaBaseUrl())};
    auto file = [&](int i) {
      return folder + "/下载/" + FileNameOf(tracks[static_cast<std::size_t>(i)]);
    };
    {
      ::setenv("WUQU_CHILD_CHOOSE", c.choose, 1);
      WindowChild first({sites[0], sites[1], folder, store, "0", "0", "1", "2"});
      ::unsetenv("WUQU_CHILD_CHOOSE");
      bool chose = false;
      while (const std::optional<std::string> line = first.Line()) {
        if (line->rfind("chose ", 0) == 0) {
          chose = true;
          break;
        }
      }
      ASSERT_TRUE(chose);
      if (c.not_fetched.front() == 0) {
        // Paused: the batch goes on; killed while its next track runs.
        ASSERT_TRUE(WaitFor(
            [&] {
              const auto r = download::LoadResumeRecord(download::ResumeRecordPath(file(1)));
              return r && r->DoneBytes() > 0;
            },
            20000));
      } else {
        // Cancelled: killed once the downloader has removed what it had.
        ASSERT_TRUE(WaitFor(
            [&] {
              return FileSize(file(1)) == -1 &&
                     FileSize(download::ResumeRecordPath(file(1))) == -1;
            },
            5000));
      }
      first.Kill();
    }
    if (c.not_fetched.front() == 0) {
      // A pause keeps the partial file and its record.
      EXPECT_GT(FileSize(file(0)), 0);
      EXPECT_NE(FileSize(download::ResumeRecordPath(file(0))), -1);
    }
    site.ClearRequests();
    WindowChild second({sites[0], sites[1], folder, store});
    std::string end;
    while (const std::optional<std::string> line = second.Line()) {
      if (line->rfind("end ", 0) == 0) end = line->substr(4);
    }
    const int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(std::regex_match(end, std::regex(c.next_end))) << end;
    for (const SiteRequest& r : site.Requests()) {
      for (const int i : c.not_fetched) {
        const SiteTrack& t = tracks[static_cast<std::size_t>(i)];
        EXPECT_NE(r.path, t.MediaPath()) << i;
        EXPECT_NE(r.target, "/" + t.href) << i;
      }
    }
    for (const int i : c.complete) {
      EXPECT_EQ(FileSha256(file(i)),
                *site.MediaSha256(tracks[static_cast<std::size_t>(i)].MediaPath()))
          << i;
    }
    if (c.not_fetched.front() != 0) {
      for (const int i : c.not_fetched) {
        EXPECT_EQ(FileSize(file(i)), -1) << i;
        EXPECT_EQ(FileSize(download::ResumeRecordPath(file(i))), -1) << i;
      }
    }
  }
}

class RememberedWindowTest : public testing::Test {
 protected:
  void Open(DemoSiteOptions options) {
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
    ASSERT_TRUE(scratch_.isValid());
    state_ = catalogue::CreateDownloadState();
    state_->downloader = download::CreateDownloader(QuickDownloaderSettings());
    state_->log = catalogue::OpenDownloadLog(Folder() + "/data/wuqu.sqlite", messages_);
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(
        *window_, *state_,
        catalogue::SiteAddresses{site_->CatalogueBaseUrl(), site_->MediaBaseUrl()},
        Utf8ToLocalText(std::string_view(Folder())));
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override { Close(); }
  // The program ends: the window goes, the store is closed.
  void Close() {
    window_.reset();
    events_.reset();
    if (state_) catalogue::ReleaseDownloadState(*state_);
    state_.reset();
  }
  std::string Folder() const { return scratch_.path().toStdString(); }
  std::string Status() const { return LocalTextToUtf8(window_->status_label().GetText()); }
  // What screen readers hear of row `row`'s title cell.
  std::string Description(int row) const {
    // Qt's view gives cells of the rows in sight.
    window_->track_list().scrollToItem(window_->track_list().topLevelItem(row));
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(&window_->track_list());
    if (table == nullptr || table->tableInterface() == nullptr) return "(no table)";
    QAccessibleInterface* cell = table->tableInterface()->cellAt(row, 0);
    return cell != nullptr ? cell->text(QAccessible::Description).toStdString() : "(no cell)";
  }
  // The player has the media open: it knows its length.
  bool PlayerLoaded() const {
    QMediaPlayer& p = window_->player().Player();
    const auto s = p.mediaStatus();
    return p.duration() > 0 &&
           (s == QMediaPlayer::LoadedMedia || s == QMediaPlayer::BufferingMedia ||
            s == QMediaPlayer::BufferedMedia || s == QMediaPlayer::EndOfMedia);
  }
  bool WaitForTheFinish(int timeout_ms = 60000) {
    return WaitFor([&] { return window_->progress_timer().Interval() == 0; }, timeout_ms);
  }

  QTemporaryDir scratch_;
  std::ostringstream messages_;
  std::unique_ptr<DemoSite> site_;
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
};

// A right click on a track downloaded completely makes no request at all and
// says so; the row is marked on disk for the eye and for screen readers.
TEST_F(RememberedWindowTest, ARightClickOnATrackOnDiskFetchesNothing) {
  Open({.tracks_per_category = 3, .track_media_size = 300 * 1000});
  ChooseFromTheBox(*window_, 0);
  const SiteTrack& track = site_->Categories()[0].tracks[1];
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish());
  ASSERT_TRUE(WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 30000));
  EXPECT_EQ(window_->track_list().RowMark(1), catalogue::TrackMark::kOnDisk);
  EXPECT_EQ(window_->track_list().RowMark(0), catalogue::TrackMark::kNone);
  // What screen readers hear of the row, and that it shows an icon.
  const QTreeWidgetItem* row = window_->track_list().topLevelItem(1);
  EXPECT_EQ(row->data(0, Qt::AccessibleDescriptionRole).toString().toStdString(), "已下载");
  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(&window_->track_list());
  ASSERT_NE(table, nullptr);
  ASSERT_NE(table->tableInterface(), nullptr);
  QAccessibleInterface* cell = table->tableInterface()->cellAt(1, 0);
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->text(QAccessible::Description).toStdString(), "已下载");
  EXPECT_FALSE(row->icon(0).isNull());
  EXPECT_TRUE(window_->track_list().topLevelItem(0)->icon(0).isNull());

  site_->ClearRequests();
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitFor([&] { return Status() == "已下载过  " + FileNameOf(track); }, 5000))
      << Status();
  EXPECT_TRUE(WaitForTheFinish(5000));
  EXPECT_TRUE(site_->Requests().empty());
  EXPECT_TRUE(messages_.str().empty()) << messages_.str();
}

// A track downloaded completely previews from its file: a left click,
// Return in the list and the Play button with its id typed all play it,
// and the site hears of none of them. The box shows the track's media
// address. Once the file is gone, or of another size, the preview goes to
// the site again.
TEST_F(RememberedWindowTest, APreviewOfATrackOnDiskPlaysItsFileAndAsksTheSiteNothing) {
  Open({.tracks_per_category = 3});
  ChooseFromTheBox(*window_, 2);
  const SiteTrack& track = site_->Categories()[2].tracks[1];
  const std::string file = Folder() + "/下载/" + FileNameOf(track);
  const Text media_url = site_->MediaBaseUrl() + track.file_value + ".mp4";
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish());
  ASSERT_TRUE(WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 30000));
  ASSERT_EQ(window_->track_list().RowMark(1), catalogue::TrackMark::kOnDisk);
  const Text file_url = catalogue::FileUrl(Utf8ToLocalText(std::string_view(file)));

  TrackList& list = window_->track_list();
  const struct {
    const char* name;
    std::function<void()> gesture;
  } gestures[] = {
      {"left click", [&] { ClickRow(*window_, 1); }},
      {"Return in the list",
       [&] {
         list.setFocus();
         list.setCurrentItem(list.topLevelItem(1));
         QTest::keyClick(&list, Qt::Key_Return);
       }},
      {"Play button",
       [&] {
         window_->track_id_box().SetText(Utf8ToLocalText(std::string_view(track.id)));
         QTest::mouseClick(&window_->play_button(), Qt::LeftButton);
       }},
  };
  for (const auto& g : gestures) {
    SCOPED_TRACE(g.name);
    window_->player().SetUrl(Text());
    window_->media_address_box().SetText(Text());
    site_->ClearRequests();
    g.gesture();
    EXPECT_EQ(window_->player().Url(), file_url);
    EXPECT_EQ(window_->media_address_box().GetText(), media_url);
    EXPECT_TRUE(WaitFor([&] { return PlayerLoaded(); }, 10000));
    EXPECT_TRUE(site_->Requests().empty());
  }

  const struct {
    const char* name;
    std::function<void()> change;
  } changes[] = {
      {"the file of another size", [&] { std::ofstream(file, std::ios::app) << 'x'; }},
      {"the file deleted", [&] { std::remove(file.c_str()); }},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.name);
    window_->player().SetUrl(Text());
    c.change();
    site_->ClearRequests();
    ClickRow(*window_, 1);
    EXPECT_EQ(window_->player().Url(), media_url);
    EXPECT_EQ(window_->media_address_box().GetText(), media_url);
    EXPECT_TRUE(WaitFor(
        [&] {
          bool page = false, media = false;
          for (const SiteRequest& r : site_->Requests()) {
            page |= r.target == "/" + track.href;
            media |= r.path == track.MediaPath();
          }
          return page && media;
        },
        10000));
  }
}

// New tracks: the first visit to a category marks none; a later one, after
// the site has added three, marks exactly those three with the badge 新,
// and screen readers hear 新曲目, joined to what their download came to.
TEST_F(RememberedWindowTest, TheTracksAddedSinceTheLastVisitAreMarkedNew) {
  Open({.tracks_per_category = 30, .track_media_size = 100 * 1000});
  ChooseFromTheBox(*window_, 2);
  TrackList& list = window_->track_list();
  ASSERT_EQ(list.RowCount(), 30);
  for (int row = 0; row < 30; ++row) {
    EXPECT_FALSE(list.RowIsNew(row)) << row;
    EXPECT_TRUE(list.topLevelItem(row)->icon(0).isNull()) << row;
  }
  Close();

  Open({.tracks_per_category = 33, .track_media_size = 100 * 1000});
  ChooseFromTheBox(*window_, 2);
  ASSERT_EQ(window_->track_list().RowCount(), 33);
  std::vector<int> marked;
  for (int row = 0; row < 33; ++row) {
    if (window_->track_list().RowIsNew(row)) marked.push_back(row);
  }
  TrackList& fresh = window_->track_list();
  EXPECT_EQ(marked, (std::vector<int>{30, 31, 32}));
  EXPECT_EQ(Description(31), "新曲目");
  EXPECT_EQ(Description(29), "");
  EXPECT_FALSE(fresh.topLevelItem(31)->icon(0).isNull());
  EXPECT_TRUE(fresh.topLevelItem(29)->icon(0).isNull());

  // A new track downloaded stays new; one whose download failed too.
  const std::vector<SiteTrack>& tracks = site_->Categories()[2].tracks;
  site_->SetFaults({.path_status = {{tracks[31].MediaPath(), 404}}});
  for (const int row : {32, 31, 0}) {
    fresh.scrollToItem(fresh.topLevelItem(row));
    ClickRow(*window_, row, Qt::RightButton);
    ASSERT_TRUE(WaitForTheFinish()) << row;
    ASSERT_TRUE(WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 30000));
  }
  EXPECT_EQ(fresh.RowMark(32), catalogue::TrackMark::kOnDisk);
  EXPECT_EQ(Description(32), "新曲目，已下载");
  EXPECT_EQ(Description(31), "新曲目，下载失败");
  EXPECT_EQ(Description(0), "已下载");
  EXPECT_EQ(Description(30), "新曲目");
  // The tick and the badge: each row's icon tells its marks apart.
  const QImage on_disk_new = fresh.topLevelItem(32)->icon(0).pixmap(64, 64).toImage();
  const QImage on_disk = fresh.topLevelItem(0)->icon(0).pixmap(64, 64).toImage();
  const QImage just_new = fresh.topLevelItem(30)->icon(0).pixmap(64, 64).toImage();
  EXPECT_NE(on_disk_new, on_disk);
  EXPECT_NE(on_disk_new, just_new);
  EXPECT_NE(on_disk, just_new);

  // Chosen again in the same run: still the same three.
  ChooseFromTheBox(*window_, 2);
  marked.clear();
  for (int row = 0; row < 33; ++row) {
    if (window_->track_list().RowIsNew(row)) marked.push_back(row);
  }
  EXPECT_EQ(marked, (std::vector<int>{30, 31, 32}));
  EXPECT_EQ(Description(32), "新曲目，已下载");
  EXPECT_TRUE(messages_.str().empty()) << messages_.str();
}

// A batch with a failure: the failed row is marked; 重试失败的曲目 in the
// status line's menu while it shows the batch's end retries exactly that
// track, and is offered no more once nothing is left to retry.
TEST_F(RememberedWindowTest, TheFailuresOfABatchAreRetriedFromTheStatusLine) {
  Open({.tracks_per_category = 3, .track_media_size = 200 * 1000});
  const std::vector<SiteTrack>& tracks = site_->Categories()[1].tracks;
  site_->SetFaults({.path_status = {{tracks[1].MediaPath(), 404}}});
  ChooseFromTheBox(*window_, 1);
  ClickRow(*window_, 0);
  ClickRow(*window_, 2, Qt::LeftButton, Qt::ShiftModifier);
  ClickRow(*window_, 1, Qt::RightButton);
  ASSERT_TRUE(WaitForTheFinish());
  EXPECT_EQ(Status(), "下载完成...  已下载 100%   400KB   共3首 失败1");
  TrackList& list = window_->track_list();
  EXPECT_EQ(list.RowMark(0), catalogue::TrackMark::kOnDisk);
  EXPECT_EQ(list.RowMark(1), catalogue::TrackMark::kFailed);
  EXPECT_EQ(list.topLevelItem(1)->data(0, Qt::AccessibleDescriptionRole).toString().toStdString(),
            "下载失败");
  EXPECT_EQ(list.RowMark(2), catalogue::TrackMark::kOnDisk);

  site_->SetFaults({});
  site_->ClearRequests();
  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "重试失败的曲目"));
  ASSERT_TRUE(WaitForTheFinish());
  EXPECT_EQ(Status(), "下载完成...  已下载 100%   200KB   共1首 失败0");
  std::vector<std::string> pages;
  for (const SiteRequest& r : site_->Requests()) {
    if (r.path.rfind("/mp4/", 0) != 0) pages.push_back(r.target);
  }
  EXPECT_EQ(pages, std::vector<std::string>{"/" + tracks[1].href});
  EXPECT_EQ(list.RowMark(1), catalogue::TrackMark::kOnDisk);
  // Asked for again as the user first asked: the retry's row keeps the
  // track's title and category (its file's tags name it by them).
  const catalogue::DownloadRow& retried = events_->Downloads().RowAt(0);
  EXPECT_EQ(retried.title, list.GetCellText(1, 0));
  EXPECT_EQ(LocalTextToUtf8(retried.category), "现场舞曲");
  // Nothing is left to retry: the menu no longer offers it.
  site_->ClearRequests();
  QMenu* menu = OpenStatusLineMenu(*window_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(MenuTexts(*menu), std::vector<std::string>{"下载列表…"});
  menu->close();
  QTest::qWait(300);
  EXPECT_TRUE(site_->Requests().empty());
}

// The status line's menu, driven with the mouse, on a download against the
// site: 暂停 stops it (no request and no byte more after a second, its
// partial file and record kept), the menu then offers 继续, which completes
// it with the server's bytes, fetching again at most a piece per connection;
// 下载列表… asks for the downloads window.
TEST_F(RememberedWindowTest, TheStatusLineMenuPausesAndResumesTheDownloadItFollows) {
  constexpr std::uint64_t kSize = 1000 * 1000;
  Open({.tracks_per_category = 2,
        .track_media_size = kSize,
        .faults = {.rate_limit = 200 * 1000}});
  ChooseFromTheBox(*window_, 0);
  const SiteTrack& track = site_->Categories()[0].tracks[0];
  const std::string file = Folder() + "/下载/" + FileNameOf(track);
  ClickRow(*window_, 0, Qt::RightButton);
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto r = download::LoadResumeRecord(download::ResumeRecordPath(file));
        return r && r->DoneBytes() > 0;
      },
      20000));
  QMenu* menu = OpenStatusLineMenu(*window_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(MenuTexts(*menu), (std::vector<std::string>{"暂停", "取消", "下载列表…"}));
  menu->close();

  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "暂停"));
  ASSERT_TRUE(WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 1500));
  EXPECT_EQ(state_->downloader->State(1).phase, download::TaskPhase::kPaused);
  const std::int64_t kept = FileSize(file);
  const auto record = download::LoadResumeRecord(download::ResumeRecordPath(file));
  ASSERT_TRUE(record);
  const std::uint64_t done = record->DoneBytes();
  site_->ClearRequests();
  QTest::qWait(1000);
  EXPECT_TRUE(site_->Requests().empty());
  EXPECT_EQ(FileSize(file), kept);
  const catalogue::UserDownloads& downloads = events_->Downloads();
  ASSERT_EQ(downloads.RowCount(), 1u);
  EXPECT_EQ(downloads.RowAt(0).phase, catalogue::RowPhase::kPaused);
  // The line says so and the tick rests.
  EXPECT_EQ(Status(), "已暂停  " + FileNameOf(track));
  EXPECT_EQ(window_->progress_timer().Interval(), 0);

  menu = OpenStatusLineMenu(*window_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(MenuTexts(*menu), (std::vector<std::string>{"继续", "取消", "下载列表…"}));
  menu->close();
  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "继续"));
  ASSERT_TRUE(WaitFor([&] { return downloads.RowAt(0).phase == catalogue::RowPhase::kComplete; },
                      30000));
  EXPECT_EQ(FileSha256(file), *site_->MediaSha256(track.MediaPath()));
  std::uint64_t fetched = 0;
  for (const download::TaskId id : {download::TaskId{2}}) {
    fetched += static_cast<std::uint64_t>(state_->downloader->State(id).written);
  }
  constexpr std::uint64_t kPieceSlack = 4 * 256 * 1024;
  EXPECT_LE(fetched, kSize - done + kPieceSlack) << done;
  EXPECT_EQ(window_->track_list().RowMark(0), catalogue::TrackMark::kOnDisk);

  QSignalSpy asked(window_.get(), &MainWindow::openDownloadsWindow);
  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "下载列表…"));
  EXPECT_EQ(asked.count(), 1);
}

// 取消 from the menu removes the partial file and its record; 取消整批 ends a
// running batch at once in its last line, which counts the tracks cancelled.
TEST_F(RememberedWindowTest, TheStatusLineMenuCancelsADownloadAndABatch) {
  constexpr std::uint64_t kSize = 1000 * 1000;
  Open({.tracks_per_category = 4,
        .track_media_size = kSize,
        .faults = {.rate_limit = 200 * 1000}});
  ChooseFromTheBox(*window_, 0);
  const std::vector<SiteTrack>& tracks = site_->Categories()[0].tracks;
  auto file = [&](int i) {
    return Folder() + "/下载/" + FileNameOf(tracks[static_cast<std::size_t>(i)]);
  };
  ClickRow(*window_, 3, Qt::RightButton);
  ASSERT_TRUE(WaitFor([&] { return FileSize(file(3)) > 0; }, 20000));
  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "取消"));
  ASSERT_TRUE(WaitFor(
      [&] {
        return FileSize(file(3)) == -1 && FileSize(download::ResumeRecordPath(file(3))) == -1;
      },
      2000));
  ASSERT_TRUE(WaitForTheFinish(2000));
  EXPECT_EQ(Status(), "已取消  " + FileNameOf(tracks[3]));

  ClickRow(*window_, 0);
  ClickRow(*window_, 2, Qt::LeftButton, Qt::ShiftModifier);
  ClickRow(*window_, 2, Qt::RightButton);
  ASSERT_TRUE(WaitFor([&] { return Status().find("第 1/3 首") != std::string::npos; }, 20000))
      << Status();
  QMenu* menu = OpenStatusLineMenu(*window_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(MenuTexts(*menu),
            (std::vector<std::string>{"暂停", "取消", "取消整批", "下载列表…"}));
  menu->close();
  ASSERT_TRUE(ChooseFromStatusLineMenu(*window_, "取消整批"));
  ASSERT_TRUE(WaitForTheFinish(5000));
  EXPECT_TRUE(std::regex_match(Status(), std::regex(".* 共3首 失败0 取消3"))) << Status();
  ASSERT_TRUE(WaitFor([&] { return state_->downloader->ActiveTasks() == 0; }, 1500));
  site_->ClearRequests();
  QTest::qWait(1000);
  // (The preview of the rows clicked asks with HEAD; the downloader never does.)
  for (const SiteRequest& r : site_->Requests()) {
    EXPECT_EQ(r.method, "HEAD") << r.target << " " << r.range;
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FileSize(file(i)), -1) << i;
  const catalogue::UserDownloads& downloads = events_->Downloads();
  ASSERT_EQ(downloads.RowCount(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(downloads.RowAt(i).phase, catalogue::RowPhase::kCancelled) << i;
  }
}

}  // namespace
}  // namespace wuqu
