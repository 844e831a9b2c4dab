// Unfinished downloads and their resume records: stopped by ReleaseDownloader,
// by a newer start of the same download, or by SIGKILL; records that no
// longer fit the server's file or are damaged; a disk that is full.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "download/resume_record.h"
#include "download/downloader_testing.h"
#include "platform/files.h"

extern char** environ;

namespace wuqu::download {
namespace {

using namespace testing;

// First byte a logged request asks for ("bytes=a-b", "bytes=a-"); 0 without a range.
std::uint64_t RangeStart(const SiteRequest& r) {
  if (!r.range.starts_with("bytes=")) return 0;
  return std::stoull(r.range.substr(6));
}

bool InDone(const ResumeRecord& record, std::uint64_t offset) {
  for (const auto& [first, end] : record.done)
    if (offset >= first && offset < end) return true;
  return false;
}

// A child process running downloader_child, its output read through a pipe.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), WUQU_DOWNLOADER_CHILD);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  bool running() const { return pid_ > 0; }
  void Kill() { ::kill(pid_, SIGKILL); }
  int Wait() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // Everything it printed, once it has ended.
  std::string Output() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

class DownloaderResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_ = std::make_unique<DemoSite>();
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }

  // Starts the download slowly and releases the downloader once `at_least`
  // bytes are written. Returns how long the release took.
  std::chrono::milliseconds StopPartWay(std::uint64_t at_least, int threads = 4) {
    site_->SetFaults({.rate_limit = 400000});
    auto d = CreateDownloader(QuickSettings());
    d->Start(MakeRequest(url(), target_, threads));
    EXPECT_TRUE(
        WaitUntil([&] { return d->GetTransferredBytes() >= static_cast<std::int64_t>(at_least); }));
    const auto before = Clock::now();
    ReleaseDownloader(d);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before);
    site_->SetFaults({});
    return took;
  }

  // The record beside the file, checked against the file: every byte it
  // claims is the site's byte.
  ResumeRecord TrueRecord() {
    const auto record = LoadResumeRecord(ResumeRecordPath(target_));
    EXPECT_TRUE(record.has_value());
    if (!record) return {};
    EXPECT_EQ(record->size, size_);
    EXPECT_EQ(FileSize(target_), static_cast<std::int64_t>(size_));
    const std::string file = ReadAll(target_);
    for (const auto& [first, end] : record->done) {
      EXPECT_TRUE(file.compare(first, end - first, *site_->MediaBytes(path_, first, end - first)) ==
                  0)
          << "claimed bytes " << first << "-" << end << " are not the site's";
    }
    return *record;
  }

  // Runs the download to its end at full speed and checks the file.
  void Finish(const DownloaderSettings& settings = QuickSettings()) {
    auto d = CreateDownloader(settings);
    d->Start(MakeRequest(url(), target_, 4));
    ASSERT_TRUE(WaitIdle(*d));
    EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
    EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(size_));
    EXPECT_EQ(FileSha256(target_), site_->MediaSha256(path_));
    EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});  // no record left
  }

  std::vector<SiteRequest> MediaRequests() {
    std::vector<SiteRequest> out;
    for (auto& r : site_->TakeRequests())
      if (r.path == path_) out.push_back(r);
    return out;
  }

  std::string url() const { return site_->Url(path_); }

  ScratchFolder dir_;
  std::unique_ptr<DemoSite> site_;
  const std::uint64_t size_ = (6ull << 20) + 4321;
  const std::string path_ = DemoSite::SyntheticMediaPath(size_, 42);
  const std::string target_ = dir_ / "track.mp4";
};

TEST_F(DownloaderResumeTest, ReleaseStopsAtOnceAndTheNextStartContinues) {
  const auto took = StopPartWay(1 << 20);
  // The transfer had some 12 s to go; the release must not wait for it.
  EXPECT_LT(took, std::chrono::seconds(5)) << "release took " << took.count() << " ms";
  std::printf("release took %lld ms\n", static_cast<long long>(took.count()));
  const ResumeRecord record = TrueRecord();
  EXPECT_GE(record.DoneBytes(), 1u << 20);
  site_->ClearRequests();
  Finish();
  const auto requests = MediaRequests();
  ASSERT_FALSE(requests.empty());
  for (const auto& r : requests) EXPECT_FALSE(InDone(record, RangeStart(r))) << r.range;
}

TEST_F(DownloaderResumeTest, StartingTheSameDownloadAgainContinuesIt) {
  site_->SetFaults({.rate_limit = 400000});
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(url(), target_, 4));
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() >= 1 << 20; }));
  site_->SetFaults({});
  MediaRequests();
  d->Start(MakeRequest(url(), target_, 4));
  // The bytes on disk count at once (well, as soon as the server has answered).
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() >= 1 << 20; }));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(target_), site_->MediaSha256(path_));
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});
  for (const auto& r : MediaRequests()) EXPECT_NE(RangeStart(r), 0u) << r.range;
}

TEST_F(DownloaderResumeTest, KilledProcessResumesFromItsRecord) {
  site_->SetFaults({.rate_limit = 300000});
  {
    Child child({url(), target_, "4"});
    ASSERT_TRUE(child.running());
    ASSERT_TRUE(WaitUntil([&] {
      const auto r = LoadResumeRecord(ResumeRecordPath(target_));
      return r && r->DoneBytes() >= 600000;
    }));
    child.Kill();
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
  site_->SetFaults({});
  const ResumeRecord record = TrueRecord();
  EXPECT_GE(record.DoneBytes(), 600000u);
  site_->ClearRequests();
  Finish();
  for (const auto& r : MediaRequests()) EXPECT_FALSE(InDone(record, RangeStart(r))) << r.range;
}

// The process is killed right after its first record save (the file just
// made, no byte in it), then after its second, third and so on, until a run
// completes before it reaches that save. Every time, the record claims only
// bytes that are the site's, and the next start makes the file whole.
TEST_F(DownloaderResumeTest, KilledAtEveryRecordSaveResumesToTheSameFile) {
  site_->SetFaults({.rate_limit = 2000000});
  bool completed = false;
  int save = 1;
  for (; !completed && save <= 200; ++save) {
    SCOPED_TRACE("killed after save " + std::to_string(save));
    for (const auto& name : dir_.Names()) std::filesystem::remove(dir_ / name);
    Child child({url(), target_, "4", "0", std::to_string(save)});
    ASSERT_TRUE(child.running());
    const int status = child.Wait();
    completed = WIFEXITED(status);
    if (!completed) {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      const auto record = LoadResumeRecord(ResumeRecordPath(target_));
      ASSERT_TRUE(record) << "a save was just made";
      if (save == 1) {
        EXPECT_EQ(record->DoneBytes(), 0u);
      }
      if (Exists(target_) && FileSize(target_) == static_cast<std::int64_t>(size_)) {
        const std::string file = ReadAll(target_);
        for (const auto& [first, end] : record->done)
          ASSERT_TRUE(file.compare(first, end - first,
                                   *site_->MediaBytes(path_, first, end - first)) == 0)
              << "claimed bytes " << first << "-" << end << " are not the site's";
      }
    }
    Finish();
  }
  EXPECT_TRUE(completed) << "the download never ran to its end";
  std::printf("killed at each of %d record saves\n", save - 2);
}

TEST_F(DownloaderResumeTest, RecordThatNoLongerFitsStartsOver) {
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const Case cases[] = {
      {"the server has a new version", [&] { site_->SetFaults({.media_revision = 1}); }},
      {"another file of the same size stands in its place",
       [&] {
         std::filesystem::copy_file(target_, dir_ / "copy");
         std::filesystem::rename(dir_ / "copy", target_);
       }},
      {"the file has been cut short", [&] { std::filesystem::resize_file(target_, size_ - 1); }},
      {"the record is for another address",
       [&] {
         auto r = LoadResumeRecord(ResumeRecordPath(target_));
         r->source += "?other";
         SaveResumeRecord(ResumeRecordPath(target_), *r);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(target_);
    std::filesystem::remove(ResumeRecordPath(target_));
    site_->SetFaults({});
    StopPartWay(600000);
    c.change();
    site_->ClearRequests();
    Finish();
    bool from_start = false;
    for (const auto& r : MediaRequests()) from_start |= RangeStart(r) == 0;
    EXPECT_TRUE(from_start);
  }
}

TEST_F(DownloaderResumeTest, DamagedRecordNeverYieldsADamagedFile) {
  const std::string record_path = ResumeRecordPath(target_);
  struct Case {
    const char* name;
    std::function<void()> damage;
  };
  auto edit = [&](const std::function<void(std::string&)>& f) {
    std::string bytes = ReadAll(record_path);
    f(bytes);
    testing::WriteAll(record_path, bytes);
  };
  const Case cases[] = {
      {"a digit of the done list changed",
       [&] {
         edit([](std::string& b) {
           const auto done = b.find("\ndone ");
           // First range "0-<end>": make the end larger.
           const auto dash = b.find('-', done);
           b[dash + 1] = b[dash + 1] == '9' ? '8' : static_cast<char>(b[dash + 1] + 1);
         });
       }},
      {"cut in half", [&] { edit([](std::string& b) { b.resize(b.size() / 2); }); }},
      {"empty", [&] { edit([](std::string& b) { b.clear(); }); }},
      {"a link in its place, to a record that claims every byte",
       [&] {
         auto r = LoadResumeRecord(record_path);
         r->done = {{0, r->size}};
         SaveResumeRecord(dir_ / "elsewhere", *r);
         std::filesystem::remove(record_path);
         std::filesystem::create_symlink(dir_ / "elsewhere", record_path);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& name : dir_.Names()) std::filesystem::remove(dir_ / name);
    StopPartWay(600000);
    c.damage();
    site_->ClearRequests();
    auto d = CreateDownloader(QuickSettings());
    d->Start(MakeRequest(url(), target_, 4));
    ASSERT_TRUE(WaitIdle(*d));
    EXPECT_EQ(FileSha256(target_), site_->MediaSha256(path_));
    bool from_start = false;
    for (const auto& r : MediaRequests()) from_start |= RangeStart(r) == 0;
    EXPECT_TRUE(from_start);
  }
}

TEST_F(DownloaderResumeTest, FullDiskFailsWithoutClaimingCompletion) {
  for (const bool older_file : {false, true}) {
    SCOPED_TRACE(older_file ? "over an older file" : "no file before");
    std::filesystem::remove(target_);
    if (older_file) testing::WriteAll(target_, "the older file");
    // Files of at most 1 MiB for a 6 MiB download.
    Child child({url(), target_, "4", std::to_string(1 << 20)});
    ASSERT_TRUE(child.running());
    child.Wait();
    const std::string out = child.Output();
    EXPECT_EQ(out.find("claimed complete"), std::string::npos) << out;
    EXPECT_NE(out.find("status " + std::to_string(static_cast<int>(download::TaskPhase::kFailed)) +
                       " failure " + std::to_string(static_cast<int>(download::FailureCause::kDisk))),
              std::string::npos)
        << out;
    if (older_file) {
      EXPECT_EQ(ReadAll(target_), "the older file");
      EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});
    } else {
      EXPECT_TRUE(dir_.Names().empty());
    }
  }
}

// Files past 4 GiB: offsets, Content-Range and the figures all need 64 bits.
// The record is made by hand for a sparse file that claims all but the tail.
TEST_F(DownloaderResumeTest, ResumesPastFourGibibytes) {
  const std::uint64_t size = (5ull << 30) + 4321;
  const std::uint64_t tail = 300000;
  const std::string path = DemoSite::SyntheticMediaPath(size, 9);
  httplib::Client client("127.0.0.1", site_->Port());
  const auto head = client.Head(path);
  ASSERT_TRUE(head);

  const int fd = ::open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  struct stat st {};
  ::fstat(fd, &st);
  ::close(fd);
  ResumeRecord record;
  record.source = site_->Url(path);
  record.size = size;
  record.etag = head->get_header_value("ETag");
  record.last_modified = head->get_header_value("Last-Modified");
  record.device = st.st_dev;
  record.inode = st.st_ino;
  record.done = {{0, size - tail}};
  ASSERT_TRUE(SaveResumeRecord(ResumeRecordPath(target_), record));
  site_->ClearRequests();

  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(site_->Url(path), target_, 4));
  ASSERT_TRUE(WaitIdle(*d));
  EXPECT_EQ(d->Report().phase, download::TaskPhase::kComplete);
  EXPECT_EQ(d->GetTransferredBytes(), static_cast<std::int64_t>(size));
  EXPECT_EQ(d->GetAmountFigure(), static_cast<std::int64_t>(size / 4));
  EXPECT_EQ(FileSize(target_), static_cast<std::int64_t>(size));
  std::string got(tail, '\0');
  const int rfd = ::open(target_.c_str(), O_RDONLY);
  ASSERT_EQ(::pread(rfd, got.data(), tail, static_cast<off_t>(size - tail)),
            static_cast<ssize_t>(tail));
  ::close(rfd);
  EXPECT_TRUE(got == *site_->MediaBytes(path, size - tail, tail));
  for (const auto& r : site_->Requests())
    if (r.path == path) {
      EXPECT_GE(RangeStart(r), size - tail) << r.range;
    }
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"track.mp4"});
}

// ---- the record's own form ----

ResumeRecord SampleRecord() {
  ResumeRecord r;
  r.source = "http://host/mp4/\xD6\xD0\xCE\xC4 %41\n.mp4";  // 中文, a percent and a line break
  r.size = 10000000000ull;
  r.etag = "\"abc\r\ndef\"";
  r.last_modified = "Sat, 18 May 2024 08:00:00 GMT";
  r.device = 2049;
  r.inode = 123456789;
  r.done = {{0, 100}, {200, 5000000000ull}, {9999999999ull, 10000000000ull}};
  return r;
}

TEST(ResumeRecordTest, RoundTripKeepsEveryField) {
  const ResumeRecord r = SampleRecord();
  EXPECT_EQ(DecodeResumeRecord(EncodeResumeRecord(r)), r);
  ResumeRecord empty = r;
  empty.done.clear();
  empty.etag.clear();
  EXPECT_EQ(DecodeResumeRecord(EncodeResumeRecord(empty)), empty);
  EXPECT_EQ(r.DoneBytes(), 100u + (5000000000ull - 200) + 1);
}

TEST(ResumeRecordTest, EveryFlippedBitIsNoticed) {
  const std::string bytes = EncodeResumeRecord(SampleRecord());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = bytes;
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      ASSERT_FALSE(DecodeResumeRecord(damaged)) << "byte " << i << " bit " << bit;
    }
  }
  for (std::size_t n = 0; n < bytes.size(); ++n)
    ASSERT_FALSE(DecodeResumeRecord(bytes.substr(0, n)));
}

// Records whose checksum is right but whose content cannot be true.
TEST(ResumeRecordTest, ImpossibleContentIsRefused) {
  auto sealed = [](std::string body) {
    char crc[24];
    std::snprintf(crc, sizeof crc, "crc32 %08x\n", static_cast<unsigned>(Crc32(body)));
    return body + crc;
  };
  const std::string head =
      "wuqu-resume 1\nsource http://h/a.mp4\nsize 1000\netag \"e\"\n"
      "modified \nfile 1:2\n";
  ASSERT_TRUE(DecodeResumeRecord(sealed(head + "done 0-10 20-1000\n")));
  ASSERT_TRUE(DecodeResumeRecord(sealed(head + "done\n")));
  const char* bad_done[] = {
      "done 0-10 10-20\n",  // touching ranges
      "done 0-10 5-20\n",   // overlapping
      "done 20-30 0-10\n",  // out of order
      "done 10-10\n",       // empty
      "done 10-5\n",        // backwards
      "done 0-1001\n",      // past the end
      "done 0-10 \n",       // trailing blank
      "done 00-10\n",       // leading zero
      "done 0-10,20-30\n",  // wrong separator
      "done -5-10\n",
  };
  for (const char* done : bad_done) EXPECT_FALSE(DecodeResumeRecord(sealed(head + done))) << done;
  EXPECT_FALSE(
      DecodeResumeRecord(sealed("wuqu-resume 2\nsource x\nsize 1\netag \nmodified \n"
                                "file 1:2\ndone\n")));
  EXPECT_FALSE(DecodeResumeRecord(sealed(head + "done\nextra\n")));
  EXPECT_FALSE(
      DecodeResumeRecord(sealed("wuqu-resume 1\nsource %4\nsize 1000\netag \n"
                                "modified \nfile 1:2\ndone\n")));
}

TEST(ResumeRecordTest, SavedRecordReplacesTheOldOneWhole) {
  ScratchFolder dir;
  const std::string path = dir / "a.mp4.wuqu-resume";
  ResumeRecord r = SampleRecord();
  ASSERT_TRUE(SaveResumeRecord(path, r));
  r.done = {{0, 1}};
  ASSERT_TRUE(SaveResumeRecord(path, r));
  EXPECT_EQ(LoadResumeRecord(path), r);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"a.mp4.wuqu-resume"});  // no temporary left
  // A link in the record's place is not followed.
  std::filesystem::remove(path);
  std::filesystem::create_symlink(dir / "elsewhere", path);
  testing::WriteAll(dir / "elsewhere", EncodeResumeRecord(r));
  EXPECT_FALSE(LoadResumeRecord(path));
}

}  // namespace
}  // namespace wuqu::download
