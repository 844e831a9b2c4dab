// A download paused or cancelled on request: the server hears nothing more of
// it, the files and record it leaves (a table over where it stood), a paused
// one continued by a new start, and the other downloads going on as before.
// Every count is the server's own: requests it received, body bytes it sent.
#include <mutex>
#include <optional>
#include <set>

#include "download/downloader_testing.h"
#include "download/hostile_server.h"
#include "download/resume_record.h"
#include "download/target_file.h"

namespace wuqu::download {
namespace {

using namespace testing;

constexpr std::uint64_t kSize = 4ull << 20;
constexpr std::uint64_t kPiece = 256 * 1024;
constexpr int kConnections = 4;
// Slow enough that a stop lands in the middle: the file takes about 4 s.
constexpr std::uint64_t kRate = kPiece;

HostileReply Slow() {
  HostileReply r;
  r.rate_bytes_per_second = kRate;
  return r;
}
HostileReply Fast() {
  return {};
}
// No reply at all: the download waits for its first answer.
HostileReply Silent() {
  HostileReply r;
  r.form = HostileReply::Form::kStall;
  return r;
}
// 200 without a length to any request: the download grows in its side file.
HostileReply NoLength() {
  HostileReply r = Slow();
  r.honour_range = false;
  r.ranges = false;
  r.framing = HostileReply::Framing::kClose;
  return r;
}

HostilePlan Always(HostileReply reply) {
  return [reply](const HostileRequest&) { return reply; };
}

// What the user asks for, and the phase a download they stopped ends in.
struct Stop {
  const char* name;
  bool (Downloader::*act)(TaskId);
  TaskPhase phase;
};
void PrintTo(const Stop& stop, std::ostream* out) {
  *out << stop.name;
}
const Stop kPause{"pause", &Downloader::Pause, TaskPhase::kPaused};
const Stop kCancel{"cancel", &Downloader::Cancel, TaskPhase::kCancelled};

// Every flush, rename and removal, in order, from any thread.
class DiskLog {
 public:
  DiskObserver Observer() {
    return [this](DiskStep step, const std::string& path) {
      std::lock_guard lock(mutex_);
      steps_.emplace_back(step, path);
    };
  }
  std::vector<std::pair<DiskStep, std::string>> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(steps_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<DiskStep, std::string>> steps_;
};

class StopFixture {
 protected:
  StopFixture() : server_(kSize, Always(Slow())), target_(folder_ / "track.mp4") {}

  std::unique_ptr<Downloader> NewDownloader() {
    DownloaderSettings s = QuickSettings();
    s.on_disk_step = disk_.Observer();
    return CreateDownloader(s);
  }
  DownloadRequest Request() const { return MakeRequest(server_.Url(), target_, kConnections); }
  std::string record() const { return ResumeRecordPath(target_); }
  std::string Name(const std::string& path) const { return path.substr(folder_.path().size() + 1); }
  const std::string& Content() const { return server_.Content(0); }

  // Bytes of the target the download has in place, as its record claims them:
  // every one of them the server's.
  std::uint64_t TrueRecordBytes() {
    const auto r = LoadResumeRecord(record());
    EXPECT_TRUE(r.has_value()) << "no record beside the paused file";
    if (!r) return 0;
    EXPECT_EQ(r->size, kSize);
    const std::string file = ReadAll(target_);
    EXPECT_EQ(file.size(), kSize);
    for (const auto& [first, end] : r->done)
      EXPECT_EQ(file.compare(first, end - first, Content(), first, end - first), 0)
          << "claimed bytes " << first << "-" << end << " are not the server's";
    return r->DoneBytes();
  }

  // A partial file and its record, as a download paused half way leaves them.
  void LeavePausedPartial() {
    auto d = NewDownloader();
    const TaskId id = d->Start(Request());
    ASSERT_TRUE(WaitUntil([&] { return d->State(id).file_bytes >= 512 * 1024; }));
    ASSERT_TRUE(d->Pause(id));
    ASSERT_TRUE(WaitIdle(*d));
    ASSERT_EQ(d->State(id).phase, TaskPhase::kPaused);
    ASSERT_GT(TrueRecordBytes(), 0u);
  }

  ScratchFolder folder_;
  HostileServer server_;
  std::string target_;
  DiskLog disk_;
};

// --- Silence ---------------------------------------------------------------

class StopSilenceTest : public StopFixture, public ::testing::TestWithParam<Stop> {};

TEST_P(StopSilenceTest, NoRequestAndNoByteOneSecondAfterTheStop) {
  const Stop& stop = GetParam();
  auto d = NewDownloader();
  const TaskId id = d->Start(Request());
  ASSERT_TRUE(WaitUntil([&] { return d->State(id).file_bytes >= 512 * 1024; }));
  ASSERT_GE(d->State(id).receiving, 2) << "the stop is to find several connections receiving";

  EXPECT_TRUE((d.get()->*stop.act)(id));
  std::this_thread::sleep_for(1s);
  const int requests = server_.Requests();
  const std::uint64_t sent = server_.BodyBytesSent();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server_.Requests(), requests) << "a request after the " << stop.name;
  EXPECT_EQ(server_.BodyBytesSent(), sent) << "the server still sends after the " << stop.name;
  EXPECT_LT(sent, kSize) << "the download was over before the " << stop.name;

  const TaskState state = d->State(id);
  EXPECT_EQ(state.phase, stop.phase);
  EXPECT_EQ(state.cause, FailureCause::kNone);
  EXPECT_EQ(state.receiving, 0);
  EXPECT_EQ(d->ActiveTasks(), 0);
  // A stopped download is over: neither verb takes it again (but for the
  // cancel of a paused one, tested below).
  EXPECT_FALSE(d->Pause(id));
  if (stop.phase == TaskPhase::kCancelled) {
    EXPECT_FALSE(d->Cancel(id));
  }
}

INSTANTIATE_TEST_SUITE_P(Stops, StopSilenceTest, ::testing::Values(kPause, kCancel),
                         [](const auto& info) { return std::string(info.param.name); });

// --- What is left ----------------------------------------------------------

// Where the download stands when the user stops it.
enum class Stand {
  kRunning,          // receiving into the file it made
  kWaitingOverOld,   // no reply yet; an older complete file has the name
  kWaitingOnPaused,  // no reply yet; a paused run's partial and record are there
  kSideFile,         // no length: growing beside an older complete file
  kComplete,         // ended complete
  kHandedOver,       // a newer start of the same file took it over
};

struct LeftRow {
  const char* name;
  Stand stand;
  bool pause_taken;   // what Pause returns
  bool cancel_taken;  // what Cancel returns
  TaskPhase phase_after_pause;
  TaskPhase phase_after_cancel;
  // What the folder holds once the download (and any newer one) has ended.
  std::set<std::string> after_pause;
  std::set<std::string> after_cancel;
};
void PrintTo(const LeftRow& row, std::ostream* out) {
  *out << row.name;
}

constexpr const char* kOld = "an older file, complete, of another version";

const LeftRow kLeftRows[] = {
    {"Running", Stand::kRunning, true, true, TaskPhase::kPaused, TaskPhase::kCancelled,
     {"track.mp4", "track.mp4.wuqu-resume"}, {}},
    {"WaitingOverAnOlderFile", Stand::kWaitingOverOld, true, true, TaskPhase::kPaused,
     TaskPhase::kCancelled, {"track.mp4"}, {"track.mp4"}},
    {"WaitingOnAPausedPartial", Stand::kWaitingOnPaused, true, true, TaskPhase::kPaused,
     TaskPhase::kCancelled, {"track.mp4", "track.mp4.wuqu-resume"}, {}},
    // A download of unknown length never resumes: its side file goes either way.
    {"SideFileBesideAnOlderFile", Stand::kSideFile, true, true, TaskPhase::kPaused,
     TaskPhase::kCancelled, {"track.mp4"}, {"track.mp4"}},
    {"Complete", Stand::kComplete, false, false, TaskPhase::kComplete, TaskPhase::kComplete,
     {"track.mp4"}, {"track.mp4"}},
    {"HandedOverToANewerStart", Stand::kHandedOver, false, false, TaskPhase::kStopped,
     TaskPhase::kStopped, {"track.mp4"}, {"track.mp4"}},
};

class StopLeavesTest : public StopFixture,
                       public ::testing::TestWithParam<std::tuple<LeftRow, Stop>> {};

std::set<std::string> NamesIn(const ScratchFolder& folder) {
  const auto names = folder.Names();
  return {names.begin(), names.end()};
}

TEST_P(StopLeavesTest, FilesAndRecordLeft) {
  const auto& [row, stop] = GetParam();
  const bool pause = stop.phase == TaskPhase::kPaused;
  std::optional<std::string> partial_before;
  std::optional<ResumeRecord> record_before;
  switch (row.stand) {
    case Stand::kWaitingOverOld:
    case Stand::kSideFile:
      WriteAll(target_, kOld);
      break;
    case Stand::kWaitingOnPaused:
      LeavePausedPartial();
      if (HasFatalFailure()) return;
      partial_before = ReadAll(target_);
      record_before = LoadResumeRecord(record());
      break;
    default:
      break;
  }
  server_.SetPlan(Always(row.stand == Stand::kComplete            ? Fast()
                         : row.stand == Stand::kSideFile          ? NoLength()
                         : row.stand == Stand::kWaitingOverOld ||
                                 row.stand == Stand::kWaitingOnPaused
                             ? Silent()
                             : Slow()));
  const int requests_before = server_.Requests();

  auto d = NewDownloader();
  const TaskId id = d->Start(Request());
  TaskId newer = kNoTask;
  switch (row.stand) {
    case Stand::kRunning:
      ASSERT_TRUE(WaitUntil([&] { return d->State(id).file_bytes >= 512 * 1024; }));
      ASSERT_TRUE(Exists(record()));
      break;
    case Stand::kWaitingOverOld:
    case Stand::kWaitingOnPaused:
      ASSERT_TRUE(WaitUntil([&] { return server_.Requests() > requests_before; }));
      break;
    case Stand::kSideFile:
      ASSERT_TRUE(WaitUntil([&] { return d->State(id).written >= 256 * 1024; }));
      ASSERT_TRUE(Exists(SideFilePath(target_)));
      break;
    case Stand::kComplete:
      ASSERT_TRUE(WaitIdle(*d));
      ASSERT_EQ(d->State(id).phase, TaskPhase::kComplete);
      break;
    case Stand::kHandedOver:
      ASSERT_TRUE(WaitUntil([&] { return d->State(id).file_bytes >= 512 * 1024; }));
      newer = d->Start(Request());
      break;
  }
  disk_.Take();

  EXPECT_EQ((d.get()->*stop.act)(id), pause ? row.pause_taken : row.cancel_taken);
  if (row.stand == Stand::kHandedOver) server_.SetPlan(Always(Fast()));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->State(id).phase, pause ? row.phase_after_pause : row.phase_after_cancel);
  EXPECT_EQ(d->State(id).cause, FailureCause::kNone);
  EXPECT_EQ(NamesIn(folder_), pause ? row.after_pause : row.after_cancel);

  // What stays is as it was, or the server's bytes.
  switch (row.stand) {
    case Stand::kRunning:
      if (pause) {
        EXPECT_GT(TrueRecordBytes(), 0u);
      }
      break;
    case Stand::kWaitingOverOld:
    case Stand::kSideFile:
      EXPECT_EQ(ReadAll(target_), kOld);
      break;
    case Stand::kWaitingOnPaused:
      if (pause) {
        EXPECT_TRUE(ReadAll(target_) == *partial_before) << "the paused partial changed";
        EXPECT_EQ(LoadResumeRecord(record()), record_before);
      }
      break;
    case Stand::kComplete:
      EXPECT_TRUE(ReadAll(target_) == Content());
      break;
    case Stand::kHandedOver:
      EXPECT_EQ(d->State(newer).phase, TaskPhase::kComplete);
      EXPECT_TRUE(ReadAll(target_) == Content()) << "the newer download's file is not whole";
      break;
  }

  // An unfinished file never keeps its name without its record, even for a
  // moment a power cut could freeze: it goes, flushed, before its record.
  const auto steps = disk_.Take();
  const auto step_at = [&](DiskStep step, const std::string& path) {
    return std::find(steps.begin(), steps.end(), std::make_pair(step, path)) - steps.begin();
  };
  const auto record_gone = step_at(DiskStep::kRemove, record());
  if (!pause && row.cancel_taken && record_gone < static_cast<long>(steps.size())) {
    const auto file_gone = step_at(DiskStep::kRemove, target_);
    EXPECT_LT(file_gone, record_gone);
    EXPECT_TRUE(std::any_of(steps.begin() + file_gone, steps.begin() + record_gone,
                            [](const auto& s) { return s.first == DiskStep::kFlushFolder; }))
        << "no folder flush between the file's removal and its record's";
  }
}

INSTANTIATE_TEST_SUITE_P(Stands, StopLeavesTest,
                         ::testing::Combine(::testing::ValuesIn(kLeftRows),
                                            ::testing::Values(kPause, kCancel)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// --- Pause, then go on -----------------------------------------------------

class StopTest : public StopFixture, public ::testing::Test {};

TEST_F(StopTest, PausedThenStartedAgainContinuesFromItsRecord) {
  auto d = NewDownloader();
  const TaskId first = d->Start(Request());
  ASSERT_TRUE(WaitUntil([&] { return d->State(first).file_bytes >= 1024 * 1024; }));
  ASSERT_TRUE(d->Pause(first));
  ASSERT_TRUE(WaitIdle(*d));
  const std::uint64_t kept = TrueRecordBytes();
  ASSERT_GE(kept, 1024u * 1024);

  // Still paced, so what the server counts as sent is what reached the
  // downloader, not what a fast server pushes into the sockets' buffers
  // ahead of a connection that is about to stop.
  const TaskId again = d->Start(Request());
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->State(again).phase, TaskPhase::kComplete);
  EXPECT_EQ(d->State(again).file_bytes, static_cast<std::int64_t>(kSize));
  EXPECT_EQ(FileSha256(target_), Sha256Hex(Content()));
  EXPECT_FALSE(Exists(record()));
  // Only the bytes on their way at the pause are fetched twice.
  EXPECT_LE(server_.BodyBytesSent(), kSize + kConnections * kPiece)
      << "the second run fetched what the record kept";
  EXPECT_EQ(d->State(first).phase, TaskPhase::kPaused) << "the first run's own end stays";
}

TEST_F(StopTest, CancelOfAPausedDownloadRemovesWhatThePauseKept) {
  auto d = NewDownloader();
  const TaskId id = d->Start(Request());
  ASSERT_TRUE(WaitUntil([&] { return d->State(id).file_bytes >= 512 * 1024; }));
  ASSERT_TRUE(d->Pause(id));
  ASSERT_TRUE(WaitUntil([&] { return d->State(id).phase == TaskPhase::kPaused; }));
  ASSERT_TRUE(Exists(record()));

  EXPECT_TRUE(d->Cancel(id));
  EXPECT_TRUE(WaitUntil([&] { return d->State(id).phase == TaskPhase::kCancelled; }));
  EXPECT_TRUE(folder_.Names().empty());
  EXPECT_FALSE(d->Cancel(id));

  // A start after the cancel begins from nothing and ends whole.
  server_.SetPlan(Always(Fast()));
  const int requests = server_.Requests();
  const std::uint64_t sent = server_.BodyBytesSent();
  const TaskId again = d->Start(Request());
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->State(again).phase, TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(target_), Sha256Hex(Content()));
  EXPECT_GE(server_.BodyBytesSent() - sent, kSize);
  EXPECT_GT(server_.Requests(), requests);
}

TEST_F(StopTest, CancelOfAPausedDownloadTakenUpAgainLeavesTheNewOneAlone) {
  auto d = NewDownloader();
  const TaskId paused = d->Start(Request());
  ASSERT_TRUE(WaitUntil([&] { return d->State(paused).file_bytes >= 512 * 1024; }));
  ASSERT_TRUE(d->Pause(paused));
  ASSERT_TRUE(WaitIdle(*d));
  server_.SetPlan(Always(Fast()));
  const TaskId resumed = d->Start(Request());
  EXPECT_FALSE(d->Cancel(paused));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->State(resumed).phase, TaskPhase::kComplete);
  EXPECT_EQ(d->State(paused).phase, TaskPhase::kPaused);
  EXPECT_EQ(FileSha256(target_), Sha256Hex(Content()));
}

// The user's word that reaches the downloader while it completes the file
// (here: at the very step that removes the record) comes too late: the
// file stays complete and is reported so, and nothing is removed.
TEST_F(StopTest, AStopAsTheFileCompletesComesTooLate) {
  for (const Stop& stop : {kPause, kCancel}) {
    SCOPED_TRACE(stop.name);
    server_.SetPlan(Always(Fast()));
    std::unique_ptr<Downloader> d;
    std::atomic<TaskId> id{kNoTask};
    std::optional<bool> taken;
    DownloaderSettings s = QuickSettings();
    // Told on the downloader's thread, while this one only waits.
    s.on_disk_step = [&](DiskStep step, const std::string& path) {
      if (step == DiskStep::kRemove && path == record() && !taken && id != kNoTask)
        taken = (d.get()->*stop.act)(id);
    };
    d = CreateDownloader(s);
    id = d->Start(Request());
    ASSERT_TRUE(WaitIdle(*d));
    ASSERT_TRUE(taken.has_value()) << "the record was never removed";
    EXPECT_FALSE(*taken);
    EXPECT_EQ(d->State(id).phase, TaskPhase::kComplete);
    EXPECT_EQ(FileSha256(target_), Sha256Hex(Content()));
    EXPECT_FALSE(Exists(record()));
    d.reset();
    std::error_code ec;
    std::filesystem::remove(target_, ec);
  }
}

TEST_F(StopTest, UnknownDownloadsAreNotTaken) {
  auto d = NewDownloader();
  EXPECT_FALSE(d->Pause(kNoTask));
  EXPECT_FALSE(d->Cancel(kNoTask));
  const TaskId id = d->Start(Request());
  EXPECT_FALSE(d->Pause(id + 1));
  EXPECT_FALSE(d->Cancel(id + 1));
  EXPECT_EQ(d->State(id).phase, TaskPhase::kRunning);
}

// The other downloads, and the figures of the newest, go on as before.
TEST_F(StopTest, OthersGoOnAndTheNewestKeepsItsFigures) {
  for (const Stop& stop : {kPause, kCancel}) {
    SCOPED_TRACE(stop.name);
    const std::string other = folder_ / (std::string(stop.name) + "-other.mp4");
    server_.SetPlan(Always(Slow()));
    auto d = NewDownloader();
    const TaskId older = d->Start(Request());
    ASSERT_TRUE(WaitUntil([&] { return d->State(older).file_bytes >= 256 * 1024; }));
    const TaskId newest = d->Start(MakeRequest(server_.Url(), other, kConnections));
    ASSERT_TRUE(WaitUntil([&] { return d->State(newest).file_bytes >= 256 * 1024; }));

    EXPECT_TRUE((d.get()->*stop.act)(older));
    ASSERT_TRUE(WaitUntil([&] { return d->State(older).phase == stop.phase; }));
    EXPECT_EQ(d->ActiveTasks(), 1);
    EXPECT_EQ(d->Report().phase, TaskPhase::kRunning);
    const std::int64_t followed = d->GetTransferredBytes();
    EXPECT_GE(followed, 256 * 1024);
    EXPECT_LE(followed, d->State(newest).file_bytes);
    EXPECT_GT(d->State(newest).receiving, 0);

    server_.SetPlan(Always(Fast()));
    ASSERT_TRUE(WaitIdle(*d));
    EXPECT_EQ(d->Report().phase, TaskPhase::kComplete);
    EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(kSize));
    EXPECT_EQ(FileSha256(other), Sha256Hex(Content()));
    EXPECT_EQ(d->State(older).phase, stop.phase);
    std::error_code ec;
    std::filesystem::remove(other, ec);
    std::filesystem::remove(target_, ec);
    std::filesystem::remove(record(), ec);
  }
}

// A stop right after the start, most often before the loop has taken the
// download up: it ends as asked all the same, and a cancel still removes
// the partial a paused run left.
TEST_F(StopTest, StoppedRightAfterItsStart) {
  LeavePausedPartial();
  ASSERT_FALSE(HasFatalFailure());
  const auto partial = ReadAll(target_);
  for (const Stop& stop : {kPause, kCancel}) {
    SCOPED_TRACE(stop.name);
    auto d = NewDownloader();
    const TaskId id = d->Start(Request());
    EXPECT_TRUE((d.get()->*stop.act)(id));
    ASSERT_TRUE(WaitIdle(*d));
    EXPECT_EQ(d->State(id).phase, stop.phase);
    const bool kept = stop.phase == TaskPhase::kPaused;
    EXPECT_EQ(Exists(record()), kept);
    EXPECT_EQ(Exists(target_), kept);
    if (kept) {
      EXPECT_TRUE(ReadAll(target_) == partial);
    }
  }
}

}  // namespace
}  // namespace wuqu::download
