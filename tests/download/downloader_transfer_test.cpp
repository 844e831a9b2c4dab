// The downloader against the demo site on loopback: the file it writes must
// be the site's, byte for byte, whatever the site does on the way.
#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "download/resume_record.h"
#include "download/downloader_testing.h"
#include "platform/files.h"

namespace wuqu::download {
namespace {

using namespace testing;

class DownloaderTransferTest : public ::testing::Test {
 protected:
  void StartSite(SiteFaults faults = {}, int threads = 64) {
    site_ = std::make_unique<DemoSite>(DemoSiteOptions{.threads = threads, .faults = faults});
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }

  // Downloads the synthetic file of `size` bytes and checks the result
  // against the site's own digest; returns the downloader's report.
  TaskState Fetch(std::uint64_t size, std::uint64_t seed, int threads,
                       const DownloaderSettings& settings = QuickSettings(),
                       const std::string& name = "track.mp4") {
    const std::string path = DemoSite::SyntheticMediaPath(size, seed);
    const std::string target = dir_ / name;
    for (const auto& old : dir_.Names()) std::filesystem::remove_all(dir_ / old);
    auto d = CreateDownloader(settings);
    d->Start(MakeRequest(site_->Url(path), target, threads));
    EXPECT_TRUE(WaitIdle(*d)) << "download did not end";
    const TaskState report = d->Report();
    EXPECT_EQ(report.phase, download::TaskPhase::kComplete);
    EXPECT_EQ(FileSha256(target), site_->MediaSha256(path));
    EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(size));
    EXPECT_EQ(d->GetAmountFigure(), static_cast<std::int64_t>(size / 4));
    // The version it holds is the one the site names.
    EXPECT_TRUE(report.validators && report.validators->etag == site_->MediaETag(path));
    // Nothing of the download is left beside the file.
    EXPECT_EQ(dir_.Names(), std::vector<std::string>{name});
    return report;
  }

  std::vector<SiteRequest> MediaRequests() const {
    std::vector<SiteRequest> out;
    for (auto& r : site_->Requests())
      if (r.path.starts_with("/mp4/")) out.push_back(r);
    return out;
  }

  ScratchFolder dir_;
  std::unique_ptr<DemoSite> site_;
};

// In the two tests that count connections, each answer is slowed a little, so
// that no piece is done before the last connection has started.
TEST_F(DownloaderTransferTest, ManyConnectionsShareTheFile) {
  StartSite({.rate_limit = 4000000});
  // The program's own settings.
  const std::uint64_t size = (12ull << 20) + 12345;
  const TaskState report = Fetch(size, 7, 8, DownloaderSettings{});
  EXPECT_EQ(report.peak_connections, 8);
  std::set<int> ports;
  for (const auto& r : MediaRequests()) {
    EXPECT_EQ(r.status, 206) << r.range;
    ports.insert(r.remote_port);
  }
  EXPECT_GE(ports.size(), 8u);
}

TEST_F(DownloaderTransferTest, ThreadCountIsHeldBetweenOneAndSixtyFour) {
  // Every answer pauses for 2 s after 32 kB (and the downloader is told to
  // wait that out): no piece can be done before the last connection starts.
  StartSite({.stall_after = 32000, .stall_for = std::chrono::seconds(2)}, 80);
  DownloaderSettings patient = QuickSettings();
  patient.stall_timeout = std::chrono::seconds(30);
  struct Case {
    int threads;
    int connections;
  };
  const Case cases[] = {{0, 1}, {-3, 1}, {8, 8}, {200, 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    // Room for 64 pieces of the 64 KiB minimum, and an odd tail.
    const TaskState report = Fetch(64 * 64 * 1024 + 999, 11, c.threads, patient);
    EXPECT_EQ(report.peak_connections, c.connections);
  }
}

TEST_F(DownloaderTransferTest, SmallFilesAreNotCutBelowTheMinimumPiece) {
  StartSite();
  // Less than two minimum pieces: one connection, whatever the count asks.
  EXPECT_EQ(Fetch(100000, 3, 16).peak_connections, 1);
  EXPECT_EQ(Fetch(1, 3, 16, QuickSettings(), "one.mp4").peak_connections, 1);
}

TEST_F(DownloaderTransferTest, EmptyFileIsMadeEmpty) {
  StartSite();
  Fetch(0, 5, 4);
}

TEST_F(DownloaderTransferTest, ServerWithoutRangesGetsOneConnection) {
  StartSite({.refuse_ranges = true});
  const TaskState report = Fetch(3ull << 20, 9, 8);
  EXPECT_EQ(report.peak_connections, 1);
  EXPECT_EQ(report.requests, 1);
  EXPECT_EQ(MediaRequests().size(), 1u);
}

TEST_F(DownloaderTransferTest, ServerWithoutRangesIsReadAgainFromTheStartAfterAStall) {
  // The retry gets the whole body again; what the file holds is skipped.
  StartSite({.refuse_ranges = true,
             .stall_after = 700000,
             .stall_for = std::chrono::minutes(10),
             .stall_count = 1});
  const TaskState report = Fetch(2000000, 4, 4);
  EXPECT_EQ(report.peak_connections, 1);
  EXPECT_EQ(report.requests, 2);
}

// Faults a piece is retried through, each with the evidence that it struck.
// Six connections share 3 MiB: six pieces of 512 KiB.
TEST_F(DownloaderTransferTest, FaultyPiecesAreRetriedOnTheirOwn) {
  struct Case {
    const char* name;
    SiteFaults faults;
    int min_requests;  // every piece once, plus the retries the fault forces
    int min_503;
  };
  const Case cases[] = {
      // Every answer ends after 300 kB: each piece needs two requests at least.
      {"drop every 300 kB", {.drop_after = 300000}, 12, 0},
      // The third and sixth of the first six requests are refused.
      {"503 on every third range", {.fail_every_nth_range = 3}, 8, 2},
      // Without noticing the stall the download would wait ten minutes.
      {"two answers stall for ever",
       {.stall_after = 200000, .stall_for = std::chrono::minutes(10), .stall_count = 2},
       8,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartSite(c.faults);
    const TaskState report = Fetch((3ull << 20) + 77, 21, 6);
    EXPECT_GE(report.requests, c.min_requests);
    int refused = 0;
    for (const auto& r : MediaRequests()) refused += r.status == 503;
    EXPECT_GE(refused, c.min_503);
    site_.reset();
  }
}

// The site publishes a new version while the download runs: the pieces asked
// for from then on (every answer is cut short, so there are many) belong to
// another file. They are never mixed into this one; the download starts over
// and ends with the new version whole.
TEST_F(DownloaderTransferTest, ServerFileChangingMidwayStartsOverRatherThanMixing) {
  StartSite({.rate_limit = 1000000, .drop_after = 300000});
  const std::uint64_t size = 3ull << 20;
  const std::string path = DemoSite::SyntheticMediaPath(size, 33);
  const std::string first_version = *site_->MediaSha256(path);
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(site_->Url(path), dir_ / "track.mp4", 4));
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() >= 600000; }));
  site_->SetFaults({.drop_after = 300000, .media_revision = 1});
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  const std::string second_version = *site_->MediaSha256(path);
  ASSERT_NE(first_version, second_version);
  EXPECT_EQ(FileSha256(dir_ / "track.mp4"), second_version);
  EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(size));
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});
}

// The download folder is made when it is missing; folders above it are not:
// a target under missing folders fails and creates nothing.
TEST_F(DownloaderTransferTest, MakesAMissingDownloadFolderButNoFoldersAboveIt) {
  StartSite();
  const std::string path = DemoSite::SyntheticMediaPath(500000, 8);

  const std::string target = dir_ / "new/track.mp4";
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(site_->Url(path), target, 3));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(target), site_->MediaSha256(path));

  const std::string too_deep = dir_ / "missing/deeper/track.mp4";
  d->Start(MakeRequest(site_->Url(path), too_deep, 3));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kFailed);
  EXPECT_EQ(d->Report().cause, download::FailureCause::kDisk);
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"new"});
}

TEST_F(DownloaderTransferTest, FailedStartLeavesNoFileAndKeepsAnOlderOne) {
  StartSite();
  const std::string missing = "/mp4/djmusic/no/such/track.mp4";
  const std::string gone = "/mp4/djmusic/gone.mp4";
  const std::string busy = "/mp4/djmusic/busy.mp4";
  site_->SetFaults({.path_status = {{gone, 410}, {busy, 503}}});
  struct Case {
    std::string path;
    bool older_file;
    download::FailureCause failure;
    int status;
  };
  const Case cases[] = {
      {missing, false, download::FailureCause::kHttpStatus, 404},
      {missing, true, download::FailureCause::kHttpStatus, 404},
      {gone, true, download::FailureCause::kHttpStatus, 410},
      {busy, false, download::FailureCause::kNetwork, 503},  // retried, then given up
      {busy, true, download::FailureCause::kNetwork, 503},
  };
  DownloaderSettings settings = QuickSettings();
  settings.max_attempts = 3;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + (c.older_file ? " over an older file" : ""));
    const std::string target = dir_ / "track.mp4";
    std::filesystem::remove(target);
    if (c.older_file) testing::WriteAll(target, "the older file");
    auto d = CreateDownloader(settings);
    d->Start(MakeRequest(site_->Url(c.path), target, 4));
    ASSERT_TRUE(WaitIdle(*d));
    const TaskState report = d->Report();
    EXPECT_EQ(report.phase, download::TaskPhase::kFailed);
    EXPECT_EQ(report.cause, c.failure);
    EXPECT_EQ(report.http_status, c.status);
    EXPECT_EQ(d->GetTransferredBytes(), 0);
    EXPECT_EQ(d->GetAmountFigure(), 0);
    if (c.older_file) {
      EXPECT_EQ(ReadAll(target), "the older file");
      EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});
    } else {
      EXPECT_TRUE(dir_.Names().empty());
    }
  }
}

TEST_F(DownloaderTransferTest, TwoDownloadsAtOnceBothFinishAndFiguresFollowTheNewest) {
  StartSite({.rate_limit = 1000000});
  const std::string first = DemoSite::SyntheticMediaPath(6000000, 1);
  const std::string second = DemoSite::SyntheticMediaPath(1000000, 2);
  auto d = CreateDownloader(QuickSettings());
  const download::TaskId first_id =
      d->Start(MakeRequest(site_->Url(first), dir_ / "first.mp4", 2));
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() > 200000; }));
  const download::TaskId second_id =
      d->Start(MakeRequest(site_->Url(second), dir_ / "second.mp4", 2));
  EXPECT_NE(first_id, second_id);
  // Each download keeps its own state beside the newest one's figures.
  EXPECT_EQ(d->State(first_id).phase, download::TaskPhase::kRunning);
  EXPECT_GT(d->State(first_id).file_bytes, 200000);
  EXPECT_EQ(d->State(download::kNoTask).phase, download::TaskPhase::kNone);
  EXPECT_EQ(d->State(second_id + 1).phase, download::TaskPhase::kNone);
  // At once the figures are the second download's, which has written nothing yet.
  EXPECT_EQ(d->GetTransferredBytes(), 0);
  EXPECT_EQ(d->ActiveTasks(), 2);
  std::int64_t seen_max = 0;
  ASSERT_TRUE(WaitUntil([&] {
    seen_max = std::max(seen_max, d->GetTransferredBytes());
    return d->ActiveTasks() == 0;
  }));
  EXPECT_LE(seen_max, 1000000);
  EXPECT_EQ(d->GetTransferredBytes(), 1000000);
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(dir_ / "first.mp4"), site_->MediaSha256(first));
  EXPECT_EQ(FileSha256(dir_ / "second.mp4"), site_->MediaSha256(second));
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"first.mp4", "second.mp4"}));
  for (const auto& [id, size] : {std::pair{first_id, 6000000}, std::pair{second_id, 1000000}}) {
    const download::TaskState state = d->State(id);
    EXPECT_EQ(state.phase, download::TaskPhase::kComplete) << id;
    EXPECT_EQ(state.file_bytes, size) << id;
    EXPECT_EQ(state.size, size) << id;
  }
}

TEST_F(DownloaderTransferTest, NewDownloadToTheSameFileTakesItsPlace) {
  // The older download's answers stall for ever (and it is told to wait for
  // them), so it can only end by being stopped.
  StartSite({.stall_after = 100000, .stall_for = std::chrono::minutes(10)});
  DownloaderSettings patient = QuickSettings();
  patient.stall_timeout = std::chrono::minutes(10);
  const std::string older = DemoSite::SyntheticMediaPath(4000000, 1);
  const std::string newer = DemoSite::SyntheticMediaPath(1500000, 2);
  auto d = CreateDownloader(patient);
  const download::TaskId older_id = d->Start(MakeRequest(site_->Url(older), dir_ / "same.mp4", 4));
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() >= 400000; }));
  site_->SetFaults({});
  // The same file spelt another way is still the same file.
  d->Start(MakeRequest(site_->Url(newer), dir_ / "./same.mp4", 4));
  ASSERT_TRUE(WaitIdle(*d)) << "the older download is still running";
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  EXPECT_EQ(d->State(older_id).phase, download::TaskPhase::kStopped);
  EXPECT_EQ(FileSha256(dir_ / "same.mp4"), site_->MediaSha256(newer));
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"same.mp4"});
  // The older download sent nothing once the newer one had begun.
  bool newer_seen = false;
  for (const auto& r : MediaRequests()) {
    if (r.path == newer) newer_seen = true;
    if (newer_seen) {
      EXPECT_NE(r.path, older) << r.range;
    }
  }
  EXPECT_TRUE(newer_seen);
}

// A server of our own for what the demo site does not do: bodies of unknown
// length, and redirects.
class OddServer {
 public:
  explicit OddServer(std::string body) : body_(std::move(body)) {
    server_.Get("/unknown", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider(
          "video/mp4", [this](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= body_.size()) {
              sink.done();
              return true;
            }
            if (offset >= body_.size() / 2) {
              std::unique_lock lock(mutex_);
              if (!cv_.wait_for(lock, std::chrono::seconds(30), [this] { return open_; }))
                return false;
            }
            const std::size_t n = std::min<std::size_t>(64 * 1024, body_.size() - offset);
            return sink.write(body_.data() + offset, n);
          });
    });
    server_.Get("/to", [](const httplib::Request& req, httplib::Response& res) {
      res.set_redirect(req.get_param_value("where"));
    });
    server_.Get("/nowhere", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;  // and no Location
      res.set_content("moved, but not saying where", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~OddServer() {
    Open();
    server_.stop();
    thread_.join();
  }
  // Lets the second half of the unknown-length body go.
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::string body_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST_F(DownloaderTransferTest, UnknownLengthGrowsBesideTheFileAndReplacesItWhenComplete) {
  std::string body(3 * 1000 * 1000 + 17, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + (i >> 9));
  OddServer server(body);
  const std::string target = dir_ / "stream.mp4";
  testing::WriteAll(target, "an older file of the same name");
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(server.Url("/unknown"), target, 8));
  // Half way: the older file is still whole, and no byte counts as in it.
  ASSERT_TRUE(WaitUntil([&] { return d->GetAmountFigure() * 4 >= 1400000; }));
  EXPECT_EQ(ReadAll(target), "an older file of the same name");
  EXPECT_EQ(d->GetTransferredBytes(), 0);
  EXPECT_EQ(d->Report().size, -1);
  server.Open();
  ASSERT_TRUE(WaitIdle(*d));
  const TaskState report = d->Report();
  EXPECT_EQ(report.phase, download::TaskPhase::kComplete);
  EXPECT_EQ(report.peak_connections, 1);
  EXPECT_TRUE(ReadAll(target) == body);
  EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(FileSize(target), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"stream.mp4"});
}

TEST_F(DownloaderTransferTest, OnlyHttpAndHttpsAlsoOnRedirects) {
  StartSite();
  OddServer server("");
  const std::string media = DemoSite::SyntheticMediaPath(300000, 6);
  struct Case {
    std::string url;
    download::TaskPhase status;
    download::FailureCause failure;
  };
  const Case cases[] = {
      {server.Url("/to?where=" + site_->Url(media)), download::TaskPhase::kComplete,
       download::FailureCause::kNone},
      {server.Url("/to?where=file:///etc/hostname"), download::TaskPhase::kFailed,
       download::FailureCause::kAddressRefused},
      {server.Url("/to?where=ftp://127.0.0.1/x.mp4"), download::TaskPhase::kFailed,
       download::FailureCause::kAddressRefused},
      {server.Url("/nowhere"), download::TaskPhase::kFailed, download::FailureCause::kHttpStatus},
      {"file:///etc/hostname", download::TaskPhase::kFailed,
       download::FailureCause::kAddressRefused},
      {"ftp://127.0.0.1:1/x.mp4", download::TaskPhase::kFailed,
       download::FailureCause::kAddressRefused},
      {"", download::TaskPhase::kFailed, download::FailureCause::kAddressRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const std::string target = dir_ / "r.mp4";
    std::filesystem::remove(target);
    auto d = CreateDownloader(QuickSettings());
    d->Start(MakeRequest(c.url, target, 4));
    ASSERT_TRUE(WaitIdle(*d));
    EXPECT_EQ(d->Report().phase, c.status);
    EXPECT_EQ(d->Report().cause, c.failure);
    if (c.status == download::TaskPhase::kComplete) {
      EXPECT_EQ(FileSha256(target), site_->MediaSha256(media));
    } else {
      EXPECT_TRUE(dir_.Names().empty());
    }
  }
}

}  // namespace
}  // namespace wuqu::download
