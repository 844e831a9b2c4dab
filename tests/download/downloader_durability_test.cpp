// What a power cut leaves, checked through the order of the steps that decide
// it (a power cut cannot be made here): the bytes a resume record claims are
// flushed before the record is saved; a record is written to a temporary
// file, flushed, renamed and its folder flushed; a file is called complete
// only after its bytes (and for a file grown beside its name, its rename and
// folder) are flushed, and before its record is removed.
#include <mutex>
#include <vector>

#include "download/disk_steps.h"
#include "download/downloader_testing.h"
#include "download/hostile_server.h"
#include "download/resume_record.h"
#include "download/target_file.h"

namespace wuqu::download {
namespace {

using namespace testing;
using Framing = HostileReply::Framing;

constexpr std::uint64_t kSize = 3 << 20;

struct Step {
  DiskStep step;
  std::string path;
  std::uint64_t claimed = 0;  // a record renamed into place: the bytes it claims
};

// Records every step; a record renamed into place is read at that moment.
class StepLog {
 public:
  DiskObserver Observer(const std::string& record_path) {
    return [this, record_path](DiskStep step, const std::string& path) {
      Step s{step, path};
      if (step == DiskStep::kRename && path == record_path) {
        const auto record = LoadResumeRecord(record_path);
        s.claimed = record ? record->DoneBytes() : 0;
      }
      std::lock_guard lock(mutex_);
      steps_.push_back(std::move(s));
    };
  }
  std::vector<Step> Steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Step> steps_;
};

bool Is(const std::vector<Step>& steps, std::size_t i, DiskStep step, const std::string& path) {
  return i < steps.size() && steps[i].step == step && steps[i].path == path;
}

std::string Describe(const std::vector<Step>& steps) {
  static const char* const kNames[] = {"flush data", "rename", "flush folder", "remove"};
  std::string out;
  for (const Step& s : steps)
    out += std::string(kNames[static_cast<int>(s.step)]) + " " + s.path +
           (s.claimed ? " (claims " + std::to_string(s.claimed) + ")" : "") + "\n";
  return out;
}

// Every record save is temporary file flushed, renamed, folder flushed; one
// that claims bytes is preceded by the flush of the data file. Returns the
// number of saves that claimed bytes.
int CheckRecordSaves(const std::vector<Step>& steps, const std::string& data,
                     const std::string& record) {
  const std::string folder = FolderOf(record);
  int claiming = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!Is(steps, i, DiskStep::kRename, record)) continue;
    EXPECT_TRUE(i >= 1 && Is(steps, i - 1, DiskStep::kFlushData, record + ".tmp"))
        << "record save " << i;
    EXPECT_TRUE(Is(steps, i + 1, DiskStep::kFlushFolder, folder)) << "record save " << i;
    if (steps[i].claimed > 0) {
      ++claiming;
      EXPECT_TRUE(i >= 2 && Is(steps, i - 2, DiskStep::kFlushData, data))
          << "a record claiming " << steps[i].claimed << " bytes saved before they were flushed";
    }
  }
  return claiming;
}

struct Download {
  ScratchFolder dir;
  std::string target = dir / "track.mp4";
  std::string record = ResumeRecordPath(target);
  StepLog log;
  std::unique_ptr<Downloader> downloader;

  explicit Download(HostileServer& server) {
    DownloaderSettings settings = QuickSettings();
    settings.on_disk_step = log.Observer(record);
    downloader = CreateDownloader(settings);
    downloader->Start(MakeRequest(server.Url(), target, 4));
  }
};

TEST(DownloaderDurabilityTest, ACompleteFileIsFlushedBeforeItsRecordGoes) {
  HostileServer server(kSize, [](const HostileRequest&) {
    return HostileReply{.rate_bytes_per_second = 2 << 20};
  });
  Download d(server);
  ASSERT_TRUE(WaitIdle(*d.downloader, 30s));
  ASSERT_EQ(d.downloader->Report().phase, TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(d.target), Sha256Hex(server.Content(0)));
  const auto steps = d.log.Steps();
  SCOPED_TRACE(Describe(steps));
  EXPECT_GE(CheckRecordSaves(steps, d.target, d.record), 1);
  // The end: the data flushed, the folder flushed (the rename the file was
  // put in place by lasts), and then the record removed, as the last step.
  const std::size_t n = steps.size();
  ASSERT_GE(n, 3u);
  EXPECT_TRUE(Is(steps, n - 3, DiskStep::kFlushData, d.target));
  EXPECT_TRUE(Is(steps, n - 2, DiskStep::kFlushFolder, d.dir.path()));
  EXPECT_TRUE(Is(steps, n - 1, DiskStep::kRemove, d.record));
}

TEST(DownloaderDurabilityTest, AStoppedDownloadKeepsARecordOfFlushedBytesOnly) {
  HostileServer server(kSize, [](const HostileRequest&) {
    return HostileReply{.rate_bytes_per_second = 256 << 10};
  });
  Download d(server);
  ASSERT_TRUE(WaitUntil([&] { return d.downloader->GetTransferredBytes() >= (512 << 10); }, 30s));
  ReleaseDownloader(d.downloader);
  const auto steps = d.log.Steps();
  SCOPED_TRACE(Describe(steps));
  EXPECT_GE(CheckRecordSaves(steps, d.target, d.record), 1);
  for (const Step& s : steps) EXPECT_FALSE(s.step == DiskStep::kRemove && s.path == d.record);
  // The last save (at the stop) claims what the record on disk claims.
  ASSERT_FALSE(steps.empty());
  const auto record = LoadResumeRecord(d.record);
  ASSERT_TRUE(record);
  EXPECT_TRUE(Is(steps, steps.size() - 1, DiskStep::kFlushFolder, d.dir.path()));
  EXPECT_EQ(steps[steps.size() - 2].claimed, record->DoneBytes());
}

TEST(DownloaderDurabilityTest, AFileGrownBesideItsNameIsFlushedRenamedAndItsFolderFlushed) {
  HostileServer server(kSize, [](const HostileRequest&) {
    return HostileReply{.honour_range = false, .ranges = false, .framing = Framing::kChunked};
  });
  Download d(server);
  ASSERT_TRUE(WaitIdle(*d.downloader, 30s));
  ASSERT_EQ(d.downloader->Report().phase, TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(d.target), Sha256Hex(server.Content(0)));
  const auto steps = d.log.Steps();
  SCOPED_TRACE(Describe(steps));
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_TRUE(Is(steps, 0, DiskStep::kFlushData, SideFilePath(d.target)));
  EXPECT_TRUE(Is(steps, 1, DiskStep::kRename, d.target));
  EXPECT_TRUE(Is(steps, 2, DiskStep::kFlushFolder, d.dir.path()));
  EXPECT_TRUE(Is(steps, 3, DiskStep::kRemove, d.record));
}

}  // namespace
}  // namespace wuqu::download
