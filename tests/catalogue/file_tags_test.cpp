// Tags in the files, from the catalogue's side: the handlers and the tick
// with a real store behind the log, the real tagger and real MP4 files, the
// demo site for the play pages and a downloader whose ends the test sets.
// What the user is told and when, what the store keeps, and what a later run
// makes of a file tagged by an earlier one.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "catalogue/catalogue_testing.h"
#include "catalogue/download.h"
#include "catalogue/download_testing.h"
#include "catalogue/file_tags.h"
#include "catalogue/listing.h"
#include "catalogue/memory_window.h"
#include "catalogue/progress.h"
#include "catalogue/stored_download_log.h"
#include "site/demo_site.h"
#include "store/store.h"
#include "tags/file_tagger.h"
#include "tags/tag_file.h"
#include "tags/tag_testing.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

using download::TaskPhase;
using testing::FakeDownloader;
using testing::L;
using testing::MemoryWindow;
using testing::ScratchFolder;
namespace tt = tags::testing;

struct ProgramRun {
  explicit ProgramRun(const std::string& store_path) {
    store::OpenResult opened = store::Store::Open(store_path);
    EXPECT_TRUE(opened.store) << opened.detail;
    log = std::make_unique<StoredDownloadLog>(std::move(opened.store), messages);
    session.log = log.get();
    session.tagger = &tagger;
  }
  std::ostringstream messages;
  std::unique_ptr<StoredDownloadLog> log;
  tags::TagWorker tagger;
  MemoryWindow w;
  FakeDownloader downloader{&w};
  Text file_name;
  DownloadTask task;
  UserDownloads downloads;
  DownloadSession session{file_name, task, downloader, downloads};
};

constexpr const char* kCell = "<b>新</b> DJ北川 &amp; DJ小满";

class FileTagsTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(site_.Start()) << site_.Error();
    sites_ = {site_.CatalogueBaseUrl(), site_.MediaBaseUrl()};
    program_folder_ = L(scratch_.path());
    store_path_ = scratch_.path() + "/data/wuqu.sqlite";
    std::filesystem::create_directories(scratch_.path() + "/data");
    std::filesystem::create_directories(scratch_.path() + "/下载");
  }

  // Category 2 (中文舞曲) listed; the first row's title cell carries markup
  // and an entity, as a page may give it.
  void ShowCategory(ProgramRun& run) {
    run.w.category = 2;
    LoadCategoryListing(run.w, sites_);
    ASSERT_FALSE(run.w.rows.empty());
    run.w.rows[0][0] = L(kCell);
  }
  std::string PlayPage(ProgramRun& run) { return LocalTextToUtf8(run.w.rows[0][1]); }
  std::string FileOf(ProgramRun& run, download::TaskId id) {
    return LocalTextToUtf8(run.downloader.tasks.at(id - 1).target_path);
  }
  // Download `id` ends complete, its file the bytes `bytes`.
  void Complete(ProgramRun& run, download::TaskId id, const std::string& bytes) {
    tt::WriteBytes(FileOf(run, id), bytes);
    download::TaskState& s = run.downloader.states[id];
    s.phase = TaskPhase::kComplete;
    s.size = static_cast<std::int64_t>(bytes.size());
    s.written = s.size;
    run.downloader.transferred = s.size;
    run.downloader.amount = s.size / 4;
  }
  std::string Tick(ProgramRun& run) {
    OnProgressTick(run.w, program_folder_, run.session);
    return LocalTextToUtf8(run.w.status_label);
  }
  // Ticks until the line says the download is done (or a minute has gone);
  // every line before it.
  std::vector<std::string> TickToTheEnd(ProgramRun& run) {
    std::vector<std::string> lines;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      lines.push_back(Tick(run));
      if (lines.back().rfind("下载完成", 0) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
  }
  std::string Track() {
    const std::string file = scratch_.path() + "/track.src";
    EXPECT_TRUE(tt::MakeTrack(tt::Shape::kFaststart, file));
    return tt::Bytes(file);
  }
  std::optional<store::DownloadRecord> LastOf(ProgramRun& run, const std::string& play_page) {
    run.log.reset();
    auto record = store::Store::Open(store_path_).store->LastOf(L(play_page));
    run.log = std::make_unique<StoredDownloadLog>(store::Store::Open(store_path_).store,
                                                  run.messages);
    run.session.log = run.log.get();
    return record;
  }

  DemoSite site_{DemoSiteOptions{.tracks_per_category = 4}};
  SiteAddresses sites_;
  ScratchFolder scratch_;
  Text program_folder_;
  std::string store_path_;
};

// The line reads running at 100 % while the tags are written, and 下载完成
// only once they are in; the store has the tagged size and state, so the
// next run finds the file there already and fetches nothing.
TEST_F(FileTagsTest, ACompleteDownloadIsTaggedBeforeItIsCalledComplete) {
  const std::string bytes = Track();
  std::string play_page, file;
  {
    ProgramRun run(store_path_);
    ShowCategory(run);
    play_page = PlayPage(run);
    run.w.selected_row = 0;
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    file = FileOf(run, 1);
    Complete(run, 1, bytes);
    const std::vector<std::string> lines = TickToTheEnd(run);
    ASSERT_GE(lines.size(), 2u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i].rfind("正在下载...  已下载 100%", 0), 0u) << lines[i];
    }
    EXPECT_EQ(lines.back().rfind("下载完成...  已下载 100%", 0), 0u) << lines.back();
    const auto tags = tt::ProbeTags(file);
    EXPECT_EQ(tags.at("title"), "新 DJ北川 & DJ小满");
    EXPECT_EQ(tags.at("album"), "中文舞曲");
    EXPECT_EQ(tags.at("comment"), play_page);
    const auto record = LastOf(run, play_page);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->phase, store::DownloadPhase::kComplete);
    EXPECT_EQ(record->tags, store::TagState::kTagged);
    EXPECT_EQ(record->size, static_cast<std::int64_t>(std::filesystem::file_size(file)));
    EXPECT_NE(record->size, static_cast<std::int64_t>(bytes.size()));
  }
  ProgramRun next(store_path_);
  ShowCategory(next);
  next.w.selected_row = 0;
  DownloadSelectedTrack(next.w, sites_, program_folder_, next.session);
  EXPECT_TRUE(next.downloader.tasks.empty());
  EXPECT_EQ(Tick(next).rfind("已下载过", 0), 0u);
}

// Switched off, the file stays as the server sent it and is complete at
// once; a file that is no MP4 is left as it came and the store says so.
TEST_F(FileTagsTest, NoTagsWhenSwitchedOffOrWhenTheFileIsNoMp4) {
  struct Case {
    const char* why;
    bool switched_off;
    std::string bytes;
    store::TagState stored;
  };
  const Case cases[] = {
      {"switched off", true, Track(), store::TagState::kNotTagged},
      {"not MP4", false, "<html>502 Bad Gateway</html>", store::TagState::kNoTags},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ProgramRun run(store_path_);
    EXPECT_TRUE(WritesTags(*run.log));
    if (c.switched_off) SetWritesTags(*run.log, false);
    ShowCategory(run);
    run.w.selected_row = 0;
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    Complete(run, 1, c.bytes);
    const auto lines = TickToTheEnd(run);
    EXPECT_EQ(lines.back().rfind("下载完成", 0), 0u);
    if (c.switched_off) {
      EXPECT_EQ(lines.size(), 1u);
    }
    EXPECT_TRUE(tt::Bytes(FileOf(run, 1)) == c.bytes);
    const auto record = LastOf(run, PlayPage(run));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->tags, c.stored);
    EXPECT_EQ(record->size, static_cast<std::int64_t>(c.bytes.size()));
    if (c.switched_off) {
      SetWritesTags(*run.log, true);
      EXPECT_TRUE(WritesTags(*run.log));
    }
    std::filesystem::remove(FileOf(run, 1));
  }
}

// A run that ended after the tagged copy took the file's name but before
// the store heard of it: the next run takes the file for the track's own
// (its tags name the track's play page) and stores its size; a file of
// another size without them is fetched again. Copies such a run left go
// at the start.
TEST_F(FileTagsTest, AFileTaggedByARunThatEndedTooSoonIsThereAlready) {
  const std::string bytes = Track();
  std::string play_page, file;
  {
    ProgramRun run(store_path_);
    SetWritesTags(*run.log, false);
    ShowCategory(run);
    play_page = PlayPage(run);
    run.w.selected_row = 0;
    DownloadSelectedTrack(run.w, sites_, program_folder_, run.session);
    file = FileOf(run, 1);
    Complete(run, 1, bytes);
    TickToTheEnd(run);
    SetWritesTags(*run.log, true);
  }
  ASSERT_EQ(tags::TagFile(file, {L("新"), L("中文舞曲"), L(play_page)}).outcome,
            tags::TagOutcome::kTagged);
  tt::WriteBytes(file + tags::kTaggingSuffix, "half a copy");
  {
    ProgramRun next(store_path_);
    ResumeUnfinishedDownloads(next.w, sites_, program_folder_, next.session);
    ShowCategory(next);
    next.w.selected_row = 0;
    DownloadSelectedTrack(next.w, sites_, program_folder_, next.session);
    EXPECT_TRUE(next.downloader.tasks.empty());
    const auto record = LastOf(next, play_page);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->size, static_cast<std::int64_t>(std::filesystem::file_size(file)));
    EXPECT_EQ(record->tags, store::TagState::kTagged);
    // The tagger clears the folder first thing, on its own thread.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tt::Exists(file + tags::kTaggingSuffix) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(tt::Exists(file + tags::kTaggingSuffix));
  }
  // Tagged as another track's (and so of another size), it is not this
  // one's file.
  ASSERT_EQ(tags::TagFile(file, {L("新"), L("中文舞曲"),
                                 L("http://elsewhere/m/1/" + std::string(3000, 'x'))})
                .outcome,
            tags::TagOutcome::kTagged);
  ProgramRun last(store_path_);
  ShowCategory(last);
  last.w.selected_row = 0;
  DownloadSelectedTrack(last.w, sites_, program_folder_, last.session);
  EXPECT_EQ(last.downloader.tasks.size(), 1u);
}

}  // namespace
}  // namespace wuqu::catalogue
