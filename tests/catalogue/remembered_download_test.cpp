// The download handlers and the tick with a real store behind the download
// log (a scratch file), the demo site for the play pages and a downloader
// whose figures the test sets: what is written and when, what a new run
// takes up, and tracks whose files are there already.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <utility>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_testing.h"
#include "catalogue/download.h"
#include "catalogue/download_testing.h"
#include "catalogue/listing.h"
#include "catalogue/memory_window.h"
#include "catalogue/progress.h"
#include "catalogue/status_line.h"
#include "catalogue/stored_download_log.h"
#include "download/resume_record.h"
#include "site/demo_site.h"
#include "store/store.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

using download::TaskPhase;
using store::DownloadPhase;
using testing::FakeDownloader;
using testing::L;
using testing::MakeFileOfSize;
using testing::MemoryWindow;
using testing::ScratchFolder;
using testing::Targets;

// The downloader's side of the verbs: which tasks were paused and cancelled.
struct StopRecorder final : UserDownloads::Downloader {
  void Pause(download::TaskId task) override { paused.push_back(task); }
  void Cancel(download::TaskId task) override { cancelled.push_back(task); }
  std::vector<download::TaskId> paused;
  std::vector<download::TaskId> cancelled;
};

// One run of the program: its window, downloader, queue and log on the
// store file, which outlives it.
struct ProgramRun {
  explicit ProgramRun(const std::string& store_path) {
    store::OpenResult opened = store::Store::Open(store_path);
    EXPECT_TRUE(opened.store) << opened.detail;
    log = std::make_unique<StoredDownloadLog>(std::move(opened.store), messages);
    session.log = log.get();
    queue.Connect(&stops, log.get());
  }
  StopRecorder stops;
  std::ostringstream messages;
  std::unique_ptr<StoredDownloadLog> log;
  MemoryWindow w;
  FakeDownloader downloader{&w};
  Text file_name;
  DownloadTask task;
  UserDownloads queue;
  DownloadSession session{file_name, task, downloader, queue};
};

class RememberedDownloadTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(site_.Start()) << site_.Error();
    sites_ = {site_.CatalogueBaseUrl(), site_.MediaBaseUrl()};
    program_folder_ = L(scratch_.path());
    store_path_ = scratch_.path() + "/data/wuqu.sqlite";
    std::filesystem::create_directories(scratch_.path() + "/data");
  }

  const SiteTrack& Track(int row) const {
    return site_.Categories()[1].tracks[static_cast<std::size_t>(row)];
  }
  std::string FileOf(int row) const {
    const std::string& value = Track(row).file_value;
    return scratch_.path() + "/下载/" + value.substr(value.rfind('/') + 1) + ".mp4";
  }
  void ShowCategory(ProgramRun& run) {
    run.w.category = 1;
    LoadCategoryListing(run.w, sites_);
    ASSERT_EQ(run.w.rows.size(), 4u);
  }
  std::string Tick(ProgramRun& run) {
    OnProgressTick(run.w, program_folder_, run.session);
    return LocalTextToUtf8(run.w.status_label);
  }
  // The download task `id` of `run` ends; a complete one leaves its file.
  void End(ProgramRun& run, download::TaskId id, TaskPhase phase, std::int64_t size = 1000) {
    download::TaskState& s = run.downloader.states[id];
    s.phase = phase;
    s.size = size;
    s.written = size;
    run.downloader.amount = size / 4;  // read for the newest download
    if (phase == TaskPhase::kComplete) {
      ASSERT_TRUE(MakeFileOfSize(LocalTextToUtf8(run.downloader.tasks.at(id - 1).target_path),
                                 static_cast<std::uint64_t>(size)));
    } else {
      s.cause = download::FailureCause::kHttpStatus;
      s.http_status = 404;
    }
  }
  // Each track's phase in list order: of its last download, else "0" when
  // it waits in the queue, "-" for a track never asked for.
  std::vector<std::string> Phases() {
    store::OpenResult opened = store::Store::Open(store_path_);
    std::vector<std::string> out;
    const std::vector<store::DownloadRecord> unfinished = opened.store->Unfinished();
    for (int row = 0; row < 4; ++row) {
      const Text track = sites_.catalogue_base_url + Track(row).href;
      const auto last = opened.store->LastOf(track);
      const bool queued = std::any_of(unfinished.begin(), unfinished.end(),
                                      [&](const store::DownloadRecord& r) {
                                        return r.track == track && r.phase == DownloadPhase::kQueued;
                                      });
      out.push_back(last ? std::to_string(static_cast<int>(last->phase)) : queued ? "0" : "-");
    }
    return out;
  }

  DemoSite site_{DemoSiteOptions{.tracks_per_category = 4}};
  SiteAddresses sites_;
  ScratchFolder scratch_;
  Text program_folder_;
  std::string store_path_;
};

constexpr const char* kQueued = "0";
constexpr const char* kRunning = "1";
constexpr const char* kComplete = "2";
constexpr const char* kFailed = "3";
constexpr const char* kPaused = "4";

// A batch is written whole when it is asked for, each start before the
// downloader has the task, each end before its line shows; a run that ends
// midway leaves the rest to the next, which takes it up in its order
// without asking the store for new records.
TEST_F(RememberedDownloadTest, ABatchIsWrittenAsItGoesAndTakenUpByTheNextRun) {
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    run.w.selected_row = 0;
    run.w.also_selected = {1, 2, 3};
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    run.log.reset();  // the store is closed: what it holds now is on disk
    EXPECT_EQ(Phases(), (std::vector<std::string>{kRunning, kQueued, kQueued, kQueued}));
    run.log = std::make_unique<StoredDownloadLog>(store::Store::Open(store_path_).store,
                                                  run.messages);
    run.session.log = run.log.get();

    End(run, 1, TaskPhase::kComplete);
    EXPECT_EQ(Tick(run), "正在下载...  已下载 0%   0KB   第 2/4 首");
    End(run, 2, TaskPhase::kFailed);
    EXPECT_EQ(Tick(run), "下载失败...  服务器返回 404   1KB   第 2/4 首");
    EXPECT_EQ(run.log->MarkOf(run.w.rows[0][1]), TrackMark::kOnDisk);
    EXPECT_EQ(run.log->MarkOf(run.w.rows[1][1]), TrackMark::kFailed);
    EXPECT_EQ(run.log->MarkOf(run.w.rows[2][1]), TrackMark::kNone);
    EXPECT_TRUE(run.messages.str().empty());
  }
  EXPECT_EQ(Phases(), (std::vector<std::string>{kComplete, kFailed, kRunning, kQueued}));

  ProgramRun next(store_path_);
  site_.ClearRequests();
  ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
  EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET /" + Track(2).href});
  ASSERT_EQ(next.downloader.tasks.size(), 1u);
  EXPECT_EQ(LocalTextToUtf8(next.downloader.tasks[0].target_path), FileOf(2));
  EXPECT_EQ(Tick(next), "正在下载...  已下载 0%   0KB   第 1/2 首");
  End(next, 1, TaskPhase::kComplete);
  EXPECT_EQ(Tick(next), "正在下载...  已下载 0%   0KB   第 2/2 首");
  End(next, 2, TaskPhase::kComplete);
  EXPECT_EQ(Tick(next), "下载完成...  已下载 100%   2KB   共 2 首，失败 0 首");
  next.log.reset();
  EXPECT_EQ(Phases(), (std::vector<std::string>{kComplete, kFailed, kComplete, kComplete}));
  EXPECT_EQ(store::Store::Open(store_path_).store->Count(), 4);

  // Nothing is left for the run after.
  ProgramRun last(store_path_);
  ResumeUnfinishedDownloads(last.w, sites_, program_folder_, last.session);
  EXPECT_TRUE(last.downloader.tasks.empty());
  EXPECT_EQ(last.w.timer_interval, 0);
}

// A run that ends (is killed) after a file is complete but before the tick
// has written its end: the next run tells that file by its size, its age and
// the missing resume record, writes the end and fetches nothing of it; any
// doubt sends the track to the downloader again.
TEST_F(RememberedDownloadTest, AFileCompletedJustBeforeAKillIsNotFetchedAgain) {
  const struct {
    const char* name;
    bool size_seen;  // a tick saw the size before the run ended
    std::function<void(const std::string& file)> after;
    bool fetched_again;
  } cases[] = {
      {"complete, newer than its start", true, [](const std::string&) {}, false},
      {"its size never seen", false, [](const std::string&) {}, true},
      {"older than its start", true,
       [](const std::string& f) {
         std::filesystem::last_write_time(
             f, std::filesystem::last_write_time(f) - std::chrono::hours(1));
       },
       true},
      {"a resume record beside it", true,
       [](const std::string& f) { MakeFileOfSize(download::ResumeRecordPath(f), 10); }, true},
      {"another size", true, [](const std::string& f) { MakeFileOfSize(f, 4999); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(scratch_.path() + "/下载");
    std::filesystem::remove(store_path_);
    {
      ProgramRun run(store_path_);
      ShowCategory(run);
      run.w.selected_row = 0;
      run.w.also_selected = {1};
      DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
      if (c.size_seen) {
        run.downloader.states[1] = {.phase = TaskPhase::kRunning, .size = 5000};
        Tick(run);
      }
      ASSERT_TRUE(MakeFileOfSize(FileOf(0), 5000));
      c.after(FileOf(0));
    }  // the run ends here, its tick never having seen the end
    ProgramRun next(store_path_);
    site_.ClearRequests();
    ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
    EXPECT_EQ(Targets(site_.Requests()),
              std::vector<std::string>{"GET /" + Track(c.fetched_again ? 0 : 1).href});
    EXPECT_EQ(Tick(next), c.fetched_again ? "正在下载...  已下载 0%   0KB   第 1/2 首"
                                          : "正在下载...  已下载 0%   0KB   第 1/1 首");
    next.log.reset();
    EXPECT_EQ(Phases()[0], c.fetched_again ? kRunning : kComplete);
  }
}

// The version of the server's file a download holds is written with its
// record once the downloader names it, again when it names another (the file
// changed and the download started over), also when it names it in the very
// tick the download ends; one whose server names none has none. A download
// taken up by the next run has none until it names its version anew.
TEST_F(RememberedDownloadTest, TheVersionADownloadHoldsIsWrittenWithItsRecord) {
  using download::Validators;
  const auto version = [](std::string etag, std::string modified) {
    return std::make_shared<const Validators>(Validators{std::move(etag), std::move(modified)});
  };
  const std::string monday = "Mon, 01 Jan 2024 00:00:00 GMT";
  const std::string tuesday = "Tue, 02 Jan 2024 00:00:00 GMT";
  // Each track's last record's validators, in list order.
  const auto written = [&] {
    std::vector<std::pair<std::string, std::string>> out;
    store::OpenResult opened = store::Store::Open(store_path_);
    for (int row = 0; row < 4; ++row) {
      const auto last = opened.store->LastOf(sites_.catalogue_base_url + Track(row).href);
      out.emplace_back(last ? last->etag : "-", last ? last->last_modified : "-");
    }
    return out;
  };
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    run.w.selected_row = 0;
    run.w.also_selected = {1, 2, 3};
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    run.downloader.states[1] = {.phase = TaskPhase::kRunning, .size = 1000};
    run.downloader.states[1].validators = version("\"v0\"", monday);
    Tick(run);
    run.downloader.states[1].validators = version("\"v1\"", tuesday);  // started over
    Tick(run);
    End(run, 1, TaskPhase::kComplete);
    Tick(run);
    run.downloader.states[2].validators = version("", monday);  // named and ended at once
    End(run, 2, TaskPhase::kComplete);
    Tick(run);
    End(run, 3, TaskPhase::kComplete);  // its server names no version
    Tick(run);
    run.downloader.states[4] = {.phase = TaskPhase::kRunning, .size = 1000};
    run.downloader.states[4].validators = version("\"v0\"", "");
    Tick(run);
    EXPECT_TRUE(run.messages.str().empty());
  }  // the run ends with the last track unfinished
  const std::vector<std::pair<std::string, std::string>> first_run = {
      {"\"v1\"", tuesday}, {"", monday}, {"", ""}, {"\"v0\"", ""}};
  EXPECT_EQ(written(), first_run);
  EXPECT_EQ(Phases(), (std::vector<std::string>{kComplete, kComplete, kComplete, kRunning}));

  {
    ProgramRun next(store_path_);
    ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
    ASSERT_EQ(next.downloader.tasks.size(), 1u);
  }
  EXPECT_EQ(written().back(), std::make_pair(std::string(), std::string()));
}

// A track whose last download completed is not fetched again while its file
// is as that download left it; any sign that it is not sends it to the
// downloader as before. A right click and the Download button alike.
TEST_F(RememberedDownloadTest, ATrackWhoseFileIsThereIsNotFetchedAgain) {
  const struct {
    const char* name;
    std::function<void(RememberedDownloadTest&, ProgramRun&)> after_first;
    bool fetched_again;
  } cases[] = {
      {"the file as it was", [](RememberedDownloadTest&, ProgramRun&) {}, false},
      {"the file deleted",
       [](RememberedDownloadTest& t, ProgramRun&) { std::filesystem::remove(t.FileOf(0)); }, true},
      {"the file of another size",
       [](RememberedDownloadTest& t, ProgramRun&) { MakeFileOfSize(t.FileOf(0), 999); }, true},
      {"a resume record beside it",
       [](RememberedDownloadTest& t, ProgramRun&) {
         MakeFileOfSize(download::ResumeRecordPath(t.FileOf(0)), 10);
       },
       true},
      {"another track's download to the same file since",
       [](RememberedDownloadTest& t, ProgramRun& run) {
         const auto ids = run.log->Asked({L("http://elsewhere/m/1/")}, false);
         run.log->Started(ids[0], L("http://elsewhere/x.mp4"), L(t.FileOf(0)));
       },
       true},
  };
  for (const bool by_id : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (by_id ? ", Download button" : ", right click"));
      std::filesystem::remove_all(scratch_.path() + "/下载");
      std::filesystem::remove(store_path_);
      ProgramRun run(store_path_);
      ShowCategory(run);
      run.w.selected_row = 0;
      DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
      End(run, 1, TaskPhase::kComplete, 5000);
      Tick(run);
      c.after_first(*this, run);

      site_.ClearRequests();
      run.w.address_box.clear();
      if (by_id) {
        run.w.track_id = L(Track(0).id);
        DownloadTrackById(run.w, sites_, program_folder_, run.session);
      } else {
        DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
      }
      EXPECT_EQ(run.w.address_box, sites_.media_base_url + L(Track(0).file_value) + ".mp4");
      if (c.fetched_again) {
        EXPECT_EQ(run.downloader.tasks.size(), 2u);
        EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET /" + Track(0).href});
        continue;
      }
      EXPECT_EQ(run.downloader.tasks.size(), 1u);
      EXPECT_TRUE(site_.Requests().empty());
      const std::string name = FileOf(0).substr(FileOf(0).rfind('/') + 1);
      EXPECT_EQ(Tick(run), "已下载过  " + name);
      EXPECT_EQ(run.w.timer_interval, 0);
      EXPECT_EQ(std::filesystem::file_size(FileOf(0)), 5000u);
    }
  }
}

// In a batch, tracks whose files are there count as done without a fetch;
// the end line says how many. A batch of nothing but such tracks ends at
// once.
TEST_F(RememberedDownloadTest, ABatchPassesOverTracksWhoseFilesAreThere) {
  ProgramRun run(store_path_);
  ShowCategory(run);
  for (const int row : {0, 2}) {
    run.w.selected_row = row;
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    End(run, run.downloader.tasks.size(), TaskPhase::kComplete);
    Tick(run);
  }
  for (int i = 0; i < kEndLineTicks + 2; ++i) Tick(run);
  ASSERT_EQ(run.w.timer_interval, 0);

  site_.ClearRequests();
  run.w.selected_row = 0;
  run.w.also_selected = {1, 2};
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET /" + Track(1).href});
  ASSERT_EQ(run.downloader.tasks.size(), 3u);
  EXPECT_EQ(Tick(run), "正在下载...  已下载 0%   0KB   第 2/3 首");
  End(run, 3, TaskPhase::kComplete);
  EXPECT_EQ(Tick(run), "下载完成...  已下载 100%   1KB   共 3 首，失败 0 首，已有 2 首");
  EXPECT_EQ(run.w.timer_interval, 0);

  site_.ClearRequests();
  run.w.also_selected = {1, 2};
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  EXPECT_TRUE(site_.Requests().empty());
  EXPECT_EQ(run.downloader.tasks.size(), 3u);
  EXPECT_EQ(Tick(run), "下载完成...  已下载 100%   0KB   共 3 首，失败 0 首，已有 3 首");
  EXPECT_EQ(run.w.timer_interval, 0);
}

// A download that completes while the line follows another names its file
// in its finished line; the followed one's own line is as it always was.
TEST_F(RememberedDownloadTest, TheFinishedLineOfADownloadNotFollowedNamesIt) {
  ProgramRun run(store_path_);
  ShowCategory(run);
  run.w.selected_row = 0;
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  run.w.selected_row = 1;
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  End(run, 1, TaskPhase::kComplete, 8000);
  const std::string first = FileOf(0).substr(FileOf(0).rfind('/') + 1);
  EXPECT_EQ(Tick(run), "下载完成...  已下载 " + first + "   8KB");
  for (int i = 0; i < kEndLineTicks; ++i) Tick(run);
  End(run, 2, TaskPhase::kComplete, 4000);
  EXPECT_EQ(Tick(run), "下载完成...  已下载 100%   4KB");
}

// The one gesture after a batch with failures asks again for exactly the
// failed tracks, as a batch of their own; the marks of the rows follow what
// each track's last download came to.
TEST_F(RememberedDownloadTest, TheFailuresOfABatchAreRetriedInOneGesture) {
  ProgramRun run(store_path_);
  ShowCategory(run);
  EXPECT_FALSE(RetryBatchFailures(run.w, program_folder_, run.session));  // no batch yet
  run.w.selected_row = 0;
  run.w.also_selected = {1, 2, 3};
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  EXPECT_FALSE(RetryBatchFailures(run.w, program_folder_, run.session));  // still running
  End(run, 1, TaskPhase::kFailed);
  Tick(run);
  End(run, 2, TaskPhase::kComplete);
  Tick(run);
  End(run, 3, TaskPhase::kFailed);
  Tick(run);
  End(run, 4, TaskPhase::kComplete);
  while (run.w.timer_interval != 0) Tick(run);
  EXPECT_EQ(LocalTextToUtf8(run.w.status_label),
            "下载完成...  已下载 100%   4KB   共 4 首，失败 2 首");
  MarkTrackRows(run.w, *run.log);
  EXPECT_EQ(run.w.marks, (std::map<int, TrackMark>{{0, TrackMark::kFailed},
                                                   {1, TrackMark::kOnDisk},
                                                   {2, TrackMark::kFailed},
                                                   {3, TrackMark::kOnDisk}}));

  site_.ClearRequests();
  EXPECT_TRUE(RetryBatchFailures(run.w, program_folder_, run.session));
  EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET /" + Track(0).href});
  EXPECT_EQ(Tick(run), "正在下载...  已下载 0%   0KB   第 1/2 首");
  EXPECT_FALSE(RetryBatchFailures(run.w, program_folder_, run.session));
  End(run, 5, TaskPhase::kComplete);
  EXPECT_EQ(Tick(run), "正在下载...  已下载 0%   0KB   第 2/2 首");
  EXPECT_EQ(LocalTextToUtf8(run.downloader.tasks.back().target_path), FileOf(2));
  End(run, 6, TaskPhase::kComplete);
  EXPECT_EQ(Tick(run), "下载完成...  已下载 100%   2KB   共 2 首，失败 0 首");
  EXPECT_FALSE(RetryBatchFailures(run.w, program_folder_, run.session));
  MarkTrackRows(run.w, *run.log);
  for (int row = 0; row < 4; ++row) EXPECT_EQ(run.w.marks[row], TrackMark::kOnDisk) << row;

  // A new run reads the marks from the store.
  run.log.reset();
  ProgramRun next(store_path_);
  ShowCategory(next);
  MarkTrackRows(next.w, *next.log);
  EXPECT_EQ(next.w.marks[1], TrackMark::kOnDisk);
}

// One notice per download asked for alone and per batch, with the counts;
// none for a batch's tracks one by one.
TEST_F(RememberedDownloadTest, OneNoticePerDownloadAloneAndPerBatch) {
  struct Recorder final : DownloadNotices {
    void DownloadsEnded(const DownloadTally& tally, const Text& file_name) override {
      notices.push_back({tally, LocalTextToUtf8(file_name)});
    }
    std::vector<std::pair<DownloadTally, std::string>> notices;
  } recorder;
  ProgramRun run(store_path_);
  run.session.notices = &recorder;
  ShowCategory(run);
  const std::string name0 = FileOf(0).substr(FileOf(0).rfind('/') + 1);
  const std::string name1 = FileOf(1).substr(FileOf(1).rfind('/') + 1);

  run.w.selected_row = 0;
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  End(run, 1, TaskPhase::kComplete);
  Tick(run);
  run.w.selected_row = 1;
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
  End(run, 2, TaskPhase::kFailed);
  Tick(run);
  using Notice = std::pair<DownloadTally, std::string>;
  EXPECT_EQ(recorder.notices,
            (std::vector<Notice>{{{1, 0, 0}, name0}, {{0, 1, 0}, name1}}));

  recorder.notices.clear();
  run.w.selected_row = 0;
  run.w.also_selected = {1, 2, 3};
  DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);  // row 0 is there
  End(run, 3, TaskPhase::kFailed);
  Tick(run);
  End(run, 4, TaskPhase::kComplete);
  Tick(run);
  EXPECT_TRUE(recorder.notices.empty());
  End(run, 5, TaskPhase::kComplete);
  Tick(run);
  EXPECT_EQ(recorder.notices, (std::vector<Notice>{{{2, 1, 1}, ""}}));
}

// A name that does not fit the label is cut in its middle, whole characters
// at a time, around "…"; its ends stay.
TEST(FitName, CutsTheNameInItsMiddle) {
  const struct {
    int label_width;  // the memory label: 6 pixels a byte
    std::string name;
    std::string line;
  } cases[] = {
      {1000, "116717.mp4", "已下载过  116717.mp4"},
      {6 * 20, "116717.mp4", "已下载过  116717.mp4"},
      {6 * 19, "116717.mp4", "已下载过  1167…mp4"},
      {6 * 16, "116717.mp4", "已下载过  11…p4"},
      {6 * 20, "现场串烧版本.mp4", "已下载过  现场串…p4"},
      {6 * 19, "现场串烧版本.mp4", "已下载过  现场…p4"},  // never half a character
      {6 * 5, "abcdef", "已下载过  a…f"},  // however narrow
      {6 * 5, "ab", "已下载过  ab"},
      {6 * 5, "", "已下载过  "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    MemoryWindow w;
    w.label_width = c.label_width;
    const CatalogueWindow& window = w.Window();
    EXPECT_EQ(LocalTextToUtf8(FitName(ui_texts::kAlreadyThereLinePrefix, L(c.name), Text(),
                                      window.status_label)),
              c.line);
  }
}

// What the program says when there is no store to use, once, and that the
// handlers then work as they do without one.
TEST(OpenDownloadLog, WithoutAStoreTheLogRemembersNothing) {
  ScratchFolder scratch;
  std::ostringstream messages;
  const std::string not_a_database = scratch.path() + "/wuqu.sqlite";
  { std::ofstream(not_a_database) << std::string(5000, 'n'); }
  std::unique_ptr<DownloadLog> log = OpenDownloadLog(not_a_database, messages);
  EXPECT_EQ(messages.str(), "wuqu: downloads are not remembered: " + not_a_database +
                                " is not a wuqu store; it is left as it is\n");
  EXPECT_EQ(log->Asked({"a", "b"}, true), (std::vector<RecordId>{kNotRemembered, kNotRemembered}));
  EXPECT_TRUE(log->Unfinished().empty());

  std::ostringstream fresh_messages;
  const std::string fresh = scratch.path() + "/made/on/the/way/wuqu.sqlite";
  log = OpenDownloadLog(fresh, fresh_messages);
  EXPECT_EQ(fresh_messages.str(), "");
  EXPECT_EQ(log->Asked({"a"}, false).size(), 1u);
  EXPECT_NE(log->Asked({"a"}, false)[0], kNotRemembered);
}

// The rows of a run, newest first: "<phase> <title>".
std::vector<std::string> RowsOf(const UserDownloads& downloads) {
  std::vector<std::string> rows;
  for (std::size_t i = 0; i < downloads.RowCount(); ++i) {
    const DownloadRow& row = downloads.RowAt(i);
    rows.push_back(LocalTextToUtf8(RowStatusText(row)) + " " + LocalTextToUtf8(row.title));
  }
  return rows;
}

// The user pauses the batch's running track and cancels a waiting one: the
// downloader is told, the batch goes on without them and its last line
// counts the cancelled track; the rows and the store say what each came to,
// and the next run lists them as they were and fetches neither.
TEST_F(RememberedDownloadTest, PausedAndCancelledTracksLeaveTheBatchAndStaySo) {
  std::vector<std::string> titles;
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    for (const auto& row : run.w.rows) titles.push_back(LocalTextToUtf8(row[0]));
    run.w.selected_row = 0;
    run.w.also_selected = {1, 2, 3};
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    UserDownloads& downloads = run.queue;
    ASSERT_EQ(downloads.RowCount(), 4u);
    const DownloadRowId first = downloads.RowAt(3).id;
    const DownloadRowId third = downloads.RowAt(1).id;
    EXPECT_EQ(downloads.FollowedRow(), first);
    EXPECT_EQ(downloads.RowAt(3).category, ui_texts::kCategoryCaptions[1].Gbk());
    EXPECT_EQ(LocalTextToUtf8(downloads.RowAt(3).file), FileOf(0));

    const std::uint64_t before = downloads.Version();
    EXPECT_TRUE(downloads.Pause(first));
    EXPECT_FALSE(downloads.Pause(first));  // once is enough
    EXPECT_TRUE(downloads.Cancel(third));
    EXPECT_EQ(run.stops.paused, std::vector<download::TaskId>{1});
    EXPECT_TRUE(run.stops.cancelled.empty());  // it had not started
    std::vector<DownloadRowId> changed;
    ASSERT_TRUE(downloads.ChangedSince(before, changed));
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<DownloadRowId>{first, third}));

    // The paused track leaves without a line; the second one starts.
    EXPECT_EQ(Tick(run), "正在下载...  已下载 0%   0KB   第 2/3 首");
    ASSERT_EQ(run.downloader.tasks.size(), 2u);
    End(run, 2, TaskPhase::kComplete);
    Tick(run);
    ASSERT_EQ(run.downloader.tasks.size(), 3u);
    End(run, 3, TaskPhase::kFailed);
    EXPECT_EQ(Tick(run), "下载失败...  服务器返回 404   1KB   第 3/3 首");
    for (int i = 0; i <= kEndLineTicks; ++i) Tick(run);
    EXPECT_EQ(LocalTextToUtf8(run.w.status_label),
              "下载完成...  已下载 100%   2KB   共 3 首，失败 1 首，取消 1 首");
    EXPECT_EQ(RowsOf(downloads),
              (std::vector<std::string>{"下载失败 服务器返回 404 " + titles[3],
                                        "已取消 " + titles[2], "已完成 " + titles[1],
                                        "已暂停 " + titles[0]}));
    EXPECT_EQ(downloads.RunningBatch(), kNoBatch);
  }
  EXPECT_EQ(Phases(), (std::vector<std::string>{kPaused, kComplete, "-", kFailed}));

  ProgramRun next(store_path_);
  site_.ClearRequests();
  ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
  EXPECT_TRUE(next.downloader.tasks.empty());
  EXPECT_TRUE(site_.Requests().empty());
  EXPECT_EQ(RowsOf(next.queue),
            (std::vector<std::string>{"下载失败 服务器返回 404 " + titles[3],
                                      "已取消 " + titles[2], "已完成 " + titles[1],
                                      "已暂停 " + titles[0]}));
  // Resumed, the paused one starts again from its own record, alone.
  const DownloadRowId paused = next.queue.RowAt(3).id;
  EXPECT_TRUE(next.queue.Resume(paused));
  EXPECT_TRUE(next.queue.HasRowsToStart());
  EXPECT_EQ(Tick(next), "正在下载...  已下载 0%   0KB");
  ASSERT_EQ(next.downloader.tasks.size(), 1u);
  EXPECT_EQ(LocalTextToUtf8(next.downloader.tasks[0].target_path), FileOf(0));
  EXPECT_EQ(next.queue.RowAt(3).phase, RowPhase::kRunning);
  EXPECT_EQ(next.log->MarkOf(sites_.catalogue_base_url + Track(0).href), TrackMark::kNone);
  next.log.reset();
  EXPECT_EQ(Phases(), (std::vector<std::string>{kRunning, kComplete, "-", kFailed}));
}

// 取消整批 while the first track runs: every track left is cancelled, the
// batch ends at once in its last line, and nothing of it is taken up again.
TEST_F(RememberedDownloadTest, ABatchCancelledWhileItRunsIsOver) {
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    run.w.selected_row = 0;
    run.w.also_selected = {1, 2, 3};
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    End(run, 1, TaskPhase::kComplete);
    Tick(run);  // the second runs
    const DownloadBatchId batch = run.queue.RunningBatch();
    ASSERT_NE(batch, kNoBatch);
    EXPECT_EQ(run.queue.CancelBatch(batch), 3);
    EXPECT_EQ(run.stops.cancelled, std::vector<download::TaskId>{2});
    Tick(run);
    EXPECT_EQ(LocalTextToUtf8(run.w.status_label),
              "下载完成...  已下载 100%   1KB   共 4 首，失败 0 首，取消 3 首");
    EXPECT_EQ(run.downloader.tasks.size(), 2u);
    EXPECT_EQ(run.queue.RunningBatch(), kNoBatch);
    EXPECT_FALSE(run.queue.ShowsBatchFailures());
  }
  EXPECT_EQ(Phases(), (std::vector<std::string>{kComplete, "-", "-", "-"}));
  ProgramRun next(store_path_);
  ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
  EXPECT_TRUE(next.downloader.tasks.empty());
  EXPECT_EQ(next.queue.RowCount(), 4u);
}

// Taking ended rows off the list keeps their files, and their tracks stay
// known: the skip rule passes over them and the rows stay marked, in this
// run and the next. What still runs stays listed.
TEST_F(RememberedDownloadTest, RemovedRowsStayKnownAsDownloaded) {
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    run.w.selected_row = 0;
    run.w.also_selected = {1, 2};
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    End(run, 1, TaskPhase::kComplete);
    Tick(run);
    UserDownloads& downloads = run.queue;
    const DownloadRowId done = downloads.RowAt(2).id;
    const DownloadRowId running = downloads.RowAt(1).id;
    const std::uint64_t listed = downloads.ListVersion();
    EXPECT_FALSE(downloads.Remove(running));
    EXPECT_TRUE(downloads.Remove(done));
    EXPECT_NE(downloads.ListVersion(), listed);
    EXPECT_EQ(downloads.Find(done), nullptr);
    EXPECT_EQ(downloads.IndexOf(running), std::optional<std::size_t>(1));
    EXPECT_EQ(downloads.ClearEnded(), 0);
    EXPECT_TRUE(std::filesystem::exists(FileOf(0)));
    EXPECT_EQ(run.log->MarkOf(run.w.rows[0][1]), TrackMark::kOnDisk);
  }
  ProgramRun next(store_path_);
  ShowCategory(next);
  ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
  EXPECT_EQ(next.queue.RowCount(), 2u);  // the removed one is not listed
  EXPECT_EQ(next.log->MarkOf(next.w.rows[0][1]), TrackMark::kOnDisk);
  // Asked for again, its file there: not fetched.
  const std::size_t tasks = next.downloader.tasks.size();
  next.w.selected_row = 0;
  next.w.also_selected = {};
  DownloadSelectedTrack(next.w, sites_, program_folder_, next.session);
  EXPECT_EQ(next.downloader.tasks.size(), tasks);
}

// Speed over the last few seconds and the time left at it, from the tick's
// looks; a row that stops running shows neither.
TEST(UserDownloadsFigures, SpeedAndTimeLeftFollowTheLastSeconds) {
  UserDownloads downloads;
  const std::vector<DownloadRowId> ids =
      downloads.Asked({{"p", "t", "c"}}, {kNotRemembered}, false, {});
  ASSERT_EQ(ids.size(), 1u);
  downloads.NoteRunning(ids[0], "f");
  struct Look {
    std::int64_t ms, bytes;
    double speed;
    std::int64_t left;
  };
  const Look looks[] = {
      {0, 0, 0, -1},                // one look: no speed yet
      {1000, 100000, 100000, 10},   // 100 kB/s, 1 MB to go
      {2000, 300000, 150000, 6},    // over both seconds: 5.3 s, rounded up
      {8000, 300000, 0, -1},        // stalled for the last five seconds
      {9000, 400000, 100000, 7},    // the stall's start is the oldest look kept
  };
  for (const Look& l : looks) {
    downloads.NoteProgress(ids[0], l.bytes, 1000000 + (l.ms == 0 ? 0 : 100000), l.ms);
    const DownloadRow& row = *downloads.Find(ids[0]);
    EXPECT_NEAR(row.speed, l.speed, 1) << l.ms;
    EXPECT_EQ(row.seconds_left, l.left) << l.ms;
  }
  EXPECT_TRUE(downloads.Pause(ids[0]));
  EXPECT_EQ(downloads.Find(ids[0])->speed, 0);
  EXPECT_EQ(downloads.Find(ids[0])->seconds_left, -1);
}

}  // namespace
}  // namespace wuqu::catalogue
