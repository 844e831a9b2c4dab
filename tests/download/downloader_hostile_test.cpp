// The downloader against a server that misbehaves on purpose. Each row is a
// fault, what must come of it (the server's file byte for byte, or a clean
// failure with its cause) and a bound on how long it may take. The expected
// file is the fixture's own content, never what the downloader reports.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "download/downloader_testing.h"
#include "download/hostile_server.h"
#include "download/piece_plan.h"
#include "download/resume_record.h"
#include "net/loopback_server.h"
#include "site/demo_site.h"
#include "platform/files.h"

extern char** environ;

namespace wuqu::download {
namespace {

using namespace testing;
using Form = HostileReply::Form;
using Framing = HostileReply::Framing;

constexpr std::uint64_t kSize = (3ull << 19) + 4321;  // six 256 KiB pieces and a tail
constexpr int kConnections = 6;

HostileReply Good() {
  return {};
}

// The fault on the requests `when` picks, good replies otherwise.
HostilePlan On(std::function<bool(const HostileRequest&)> when, HostileReply fault) {
  return [when = std::move(when), fault](const HostileRequest& r) {
    return when(r) ? fault : Good();
  };
}
auto Number(int n) {
  return [n](const HostileRequest& r) { return r.number == n; };
}
auto NumberIn(std::initializer_list<int> numbers) {
  std::vector<int> list(numbers);
  return [list](const HostileRequest& r) {
    return std::find(list.begin(), list.end(), r.number) != list.end();
  };
}
auto Every() {
  return [](const HostileRequest&) { return true; };
}
auto AfterFirst() {
  return [](const HostileRequest& r) { return r.number > 1; };
}
// Every request but those from the file's first byte, which a start (and
// every start over) makes first.
auto NotFromTheStart() {
  return [](const HostileRequest& r) { return r.first > 0; };
}
// The first request after the probe whose range reaches the end of the file.
auto FirstToReachTheEnd() {
  auto seen = std::make_shared<std::atomic<bool>>(false);
  return [seen](const HostileRequest& r) {
    return r.number > 1 && r.ranged && r.last == kSize - 1 && !seen->exchange(true);
  };
}

struct Row {
  const char* fault;
  HostilePlan plan;
  TaskPhase phase;
  FailureCause cause;
  std::chrono::seconds bound;
  HostLimit limit{};
  // Body bytes the server may send, as a multiple of the file (0: unchecked).
  double max_on_the_wire = 0;
};
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.fault;
}

std::vector<Row> Rows() {
  const auto complete = TaskPhase::kComplete;
  const auto failed = TaskPhase::kFailed;
  const auto none = FailureCause::kNone;
  HostileReply gzip{.content_encoding = "gzip"};
  HostileReply gzip_chunked{.content_encoding = "gzip", .framing = Framing::kChunked};
  HostileReply deflate_whole{
      .honour_range = false, .ranges = false, .content_encoding = "deflate"};
  HostileReply whole{.honour_range = false, .ranges = false};
  HostileReply trickle{.trickle_bytes_per_second = 1};
  HostileReply other_version_unnamed{.etag = false, .last_modified = false, .version = 1};
  HostileReply other_version{.version = 1};
  HostileReply no_validators{.etag = false, .last_modified = false};
  HostileReply at_1_mb{.rate_bytes_per_second = 1000000};
  return {
      // Encoded bodies are never written.
      {"gzip on one 206, chunked", On(Number(3), gzip_chunked), complete, none, 30s},
      {"gzip with a length on one 206", On(Number(3), gzip), complete, none, 30s},
      {"gzip on the first reply", On(Number(1), gzip), complete, none, 30s},
      {"gzip with a wrong length", On(Number(3), {.content_encoding = "gzip", .length_error = -999}),
       complete, none, 30s},
      {"gzip on every reply", On(Every(), gzip), failed, FailureCause::kEncodingRefused, 30s},
      {"no ranges, one deflate body, then plain ones",
       [](const HostileRequest& r) {
         HostileReply w{.honour_range = false, .ranges = false};
         if (r.number == 1) w.content_encoding = "deflate";
         return w;
       },
       complete, none, 30s},
      {"no ranges and deflate bodies only", On(Every(), deflate_whole), failed,
       FailureCause::kEncodingRefused, 30s},
      // Slow and silent connections.
      {"one range at 1 byte/s", On(Number(2), trickle), complete, none, 30s},
      // Here no connection is idle when the trickler is judged: it loses its
      // piece to a fresh connection.
      {"one range at 1 byte/s, the others at 100 kB/s",
       [](const HostileRequest& r) {
         HostileReply reply{.rate_bytes_per_second = 100000};
         if (r.number == 2) reply = {.trickle_bytes_per_second = 1};
         return reply;
       },
       complete, none, 30s},
      {"the last piece at 1 byte/s", On(FirstToReachTheEnd(), trickle), complete, none, 30s},
      {"three ranges at 1 byte/s", On(NumberIn({2, 3, 4}), trickle), complete, none, 30s},
      {"header lines every 300 ms and no body, once",
       On(Number(3), {.form = Form::kHeaderDribble}), complete, none, 30s},
      {"every reply at 1 byte/s", On(Every(), trickle), failed, FailureCause::kStalled, 40s},
      {"every reply header lines only", On(Every(), {.form = Form::kHeaderDribble}), failed,
       FailureCause::kStalled, 40s},
      {"the first reply without a body", On(Number(1), {.form = Form::kNoBody}), complete, none,
       30s},
      // One bad reply costs one retry of its piece.
      {"garbage instead of a reply", On(Number(2), {.form = Form::kGarbage}), complete, none,
       30s},
      {"a broken status line", On(Number(3), {.form = Form::kBrokenStatus}), complete, none, 30s},
      {"HTTP/0.9", On(Number(2), {.form = Form::kHttp09}), complete, none, 30s},
      {"a length shorter than the range", On(Number(2), {.length_error = -1000}), complete, none,
       30s},
      {"a length longer than the range", On(Number(3), {.length_error = 1000}), complete, none,
       30s},
      {"5,000 bytes after a reply", On(NumberIn({1, 2, 3}), {.extra_bytes = 5000}), complete,
       none, 30s},
      {"a reply cut off in mid-body, twice",
       On(NumberIn({2, 5}), {.form = Form::kResetMidBody}), complete, none, 30s},
      {"garbage for ever", On(Every(), {.form = Form::kGarbage}), failed, FailureCause::kNetwork,
       30s},
      // Bodies without a length.
      {"chunked bodies", On(Every(), {.framing = Framing::kChunked}), complete, none, 30s},
      {"close-delimited bodies", On(Every(), {.framing = Framing::kClose}), complete, none, 30s},
      // Versions are never mixed.
      {"later replies drop both validators and carry other bytes",
       On(NotFromTheStart(), other_version_unnamed), failed, FailureCause::kChanged, 30s},
      {"later replies are of another version", On(NotFromTheStart(), other_version), failed,
       FailureCause::kChanged, 30s},
      {"later replies drop the ETag only", On(NotFromTheStart(), {.etag = false}), failed,
       FailureCause::kChanged, 30s},
      // A range answered with the whole file.
      {"200 with the same validators to every later range", On(AfterFirst(), whole), complete,
       none, 30s},
      {"no validators anywhere, 200 to later ranges",
       [](const HostileRequest& r) {
         HostileReply w{.etag = false, .last_modified = false};
         if (r.number > 1) w.honour_range = false;
         return w;
       },
       complete, none, 30s},
      {"no validators anywhere", On(Every(), no_validators), complete, none, 30s},
      // Hosts that limit connections: their limit is learned, nothing is lost.
      // Replies at 1 MB/s, so that six requests are served at once.
      {"a host that closes connections beyond its 4th", On(Every(), at_1_mb), complete, none, 30s,
       {.max_requests = 4, .close = true}},
      {"503 with Retry-After beyond 4 connections", On(Every(), at_1_mb), complete, none, 30s,
       {.max_requests = 4}},
      // A host that turns every connection away fails as before: a refusal
      // is the host's limit only while the download gets on.
      {"every connection closed before any reply", On(Every(), {.form = Form::kNoReply}), failed,
       FailureCause::kNetwork, 30s},
      {"half the file on the first reply, then every connection closed before any reply",
       [](const HostileRequest& r) {
         return r.number == 1 ? HostileReply{.form = Form::kResetMidBody}
                              : HostileReply{.form = Form::kNoReply};
       },
       failed, FailureCause::kNetwork, 30s},
      {"429 with Retry-After: 2 on each range's first try", On(Every(), Good()), complete, none, 30s,
       {.retry_after_429 = 2}},
      // Replies cut short: each brings bytes, so none is a failure.
      {"every reply cut after three quarters of its range",
       On(Every(), {.form = Form::kCutAtThreeQuarters, .rate_bytes_per_second = 4000000}),
       complete, none, 30s, {}, 1.1},
      {"no ranges, every body shorter than its length, then close",
       On(Every(), {.form = Form::kResetMidBody, .honour_range = false, .ranges = false}), failed,
       FailureCause::kNetwork, 30s},
      // A 206 from elsewhere is taken where its range puts it.
      {"the first 206 starts at byte 100", On(Number(1), {.start_later = 100}), complete, none,
       30s},
      {"a later 206 starts 1000 bytes in", On(Number(3), {.start_later = 1000}), complete, none,
       30s},
  };
}

class DownloaderFaultTest : public ::testing::TestWithParam<Row> {};

TEST_P(DownloaderFaultTest, EndsInTheServersFileOrACleanFailure) {
  const Row& row = GetParam();
  {
    ScratchFolder dir;
    HostileServer server(kSize, row.plan);
    server.SetLimit(row.limit);
    const std::string target = dir / "track.mp4";
    auto d = CreateDownloader(QuickSettings());
    const auto start = Clock::now();
    d->Start(MakeRequest(server.Url(), target, kConnections));
    ASSERT_TRUE(WaitIdle(*d, row.bound)) << "still running after " << row.bound.count() << " s";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const TaskState state = d->Report();
    EXPECT_EQ(state.phase, row.phase);
    EXPECT_EQ(state.cause, row.cause);
    if (row.phase == TaskPhase::kComplete) {
      EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(0)));
      EXPECT_EQ(state.file_bytes, static_cast<std::int64_t>(kSize));
      EXPECT_EQ(dir.Names(), std::vector<std::string>{"track.mp4"});
    } else {
      // Whatever is on disk is never called complete, and the record (if
      // any) claims only the server's bytes of the first version.
      const auto record = LoadResumeRecord(ResumeRecordPath(target));
      if (record) {
        const std::string file = ReadAll(target);
        for (const auto& [first, end] : record->done)
          EXPECT_TRUE(file.compare(first, end - first, server.Content(0), first, end - first) == 0)
              << "claimed " << first << "-" << end;
      }
    }
    for (const auto& request : server.RawRequests())
      EXPECT_EQ(request.Header("Accept-Encoding"), "identity") << request.head;
    EXPECT_EQ(server.EarlyReturns(), 0) << "ranges asked for again before their Retry-After";
    if (row.max_on_the_wire > 0) {
      EXPECT_LE(static_cast<double>(server.BodyBytesSent()), row.max_on_the_wire * kSize);
    }
    std::printf("%-58s %6lld ms, %lld requests, %d refused\n", row.fault,
                static_cast<long long>(took.count()), static_cast<long long>(state.requests),
                server.Refused());
  }
}

// Each row is a test of its own, named after its fault.
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name;
  bool word_start = true;
  for (const char* p = info.param.fault; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c)) {
      word_start = true;
      continue;
    }
    name += static_cast<char>(word_start ? std::toupper(c) : c);
    word_start = false;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Hostile, DownloaderFaultTest, ::testing::ValuesIn(Rows()), RowName);

// ---- hosts that limit connections ----

// 20 connections asked of a host that serves 4 requests at once: the first
// download learns the limit from a handful of refusals instead of fighting
// it, and the next download from the host starts at it.
TEST(DownloaderHostileTest, AHostsConnectionLimitIsLearnedOnceForTheRun) {
  constexpr std::uint64_t kBig = 4 << 20;
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "closed without a reply" : "503 with Retry-After: 1");
    ScratchFolder dir;
    HostileServer server(kBig, [](const HostileRequest&) {
      return HostileReply{.rate_bytes_per_second = 1 << 20};
    });
    server.SetLimit({.max_requests = 4, .close = close});
    DownloaderSettings settings = QuickSettings();
    settings.limit_regrow_after = 60s;  // no retest within this test
    auto d = CreateDownloader(settings);
    int refused_before = 0;
    for (const char* name : {"first.mp4", "second.mp4"}) {
      SCOPED_TRACE(name);
      const std::string target = dir / name;
      d->Start(MakeRequest(server.Url(), target, 20));
      ASSERT_TRUE(WaitIdle(*d, 30s));
      const TaskState state = d->Report();
      EXPECT_EQ(state.phase, TaskPhase::kComplete);
      EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(0)));
      const int refused = server.Refused() - refused_before;
      refused_before = server.Refused();
      const bool first = name == std::string("first.mp4");
      // About one refusal for each connection asked beyond the 4th, not
      // refusals again and again; the next download opens no more than the
      // host allows (a request of the last download the server is still
      // finishing may cost one more).
      EXPECT_LE(refused, first ? 20 : 1);
      if (!first) {
        EXPECT_LE(state.peak_connections, 4);
      }
      EXPECT_GE(state.connection_target, 1);
      EXPECT_LE(state.connection_target, 4);
      std::printf("%s: %lld requests, %d refused\n", name, static_cast<long long>(state.requests),
                  refused);
    }
  }
}

// ---- hosts that count open connections, idle ones included ----

// The demo site as a host whose firewall counts open TCP connections: with
// `limit` open, idle kept-alive ones included, a further one is closed as
// soon as it is accepted. Each response goes at 64 MiB/s over the limit
// (the host's 64 MiB/s shared out), so that the connections the host allows
// all receive at once and each run takes about half a second. Every download completes
// with the site's bytes and says the host allows `limit`. Each downloader
// makes two downloads in a row: the first learns the limit, the second
// starts with it and with the connections the first left idle in curl's pool.
TEST(DownloaderOpenConnectionLimitTest, EveryRunCompletesAndLearnsWhatTheHostAllows) {
  struct Case {
    int limit, asked;
  };
  const Case cases[] = {{4, 8}, {4, 20}, {2, 8}, {2, 20}, {1, 8}, {1, 20}};
  constexpr std::uint64_t kFile = 32 << 20;
  constexpr int kRuns = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE("the host allows " + std::to_string(c.limit) + ", " + std::to_string(c.asked) +
                 " asked");
    DemoSiteOptions options;
    options.faults.rate_limit = (64u << 20) / static_cast<unsigned>(c.limit);
    options.faults.max_open_connections = c.limit;
    DemoSite site(options);
    ASSERT_TRUE(site.Start()) << site.Error();
    const std::string path = DemoSite::SyntheticMediaPath(kFile, 22);
    const std::string expected = *site.MediaSha256(path);
    ScratchFolder dir;
    std::unique_ptr<Downloader> d;
    int turned_away_before = 0;
    for (int run = 0; run < kRuns; ++run) {
      SCOPED_TRACE("run " + std::to_string(run + 1));
      const bool learning = run % 2 == 0;
      if (learning) d = CreateDownloader(QuickSettings());
      const std::string target = dir / ("run" + std::to_string(run) + ".mp4");
      const auto start = Clock::now();
      d->Start(MakeRequest(site.Url(path), target, c.asked));
      ASSERT_TRUE(WaitIdle(*d, 60s));
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      const TaskState state = d->Report();
      EXPECT_EQ(state.phase, TaskPhase::kComplete);
      EXPECT_EQ(state.cause, FailureCause::kNone);
      EXPECT_EQ(FileSha256(target), expected);
      EXPECT_EQ(state.connection_target, c.limit) << "what the host is said to allow";
      const int turned_away = site.ConnectionsTurnedAway() - turned_away_before;
      turned_away_before = site.ConnectionsTurnedAway();
      // About one refusal for each connection asked beyond the limit while
      // it is learned, not refusals again and again; once learned, hardly
      // any (one the host has not yet seen close may cost one).
      EXPECT_LE(turned_away, learning ? 2 * c.asked : 2);
      std::printf("limit %d, %2d asked, run %2d: %5lld ms, %3lld requests, %2d turned away\n",
                  c.limit, c.asked, run + 1, static_cast<long long>(took.count()),
                  static_cast<long long>(state.requests), turned_away);
      std::remove(target.c_str());
    }
  }
}

// A host that refuses every connect (a port nobody listens on) still fails
// with its cause within its bound, as the rows above do for one that closes
// every connection before a reply: a refusal is the host's limit only while
// the download gets on.
TEST(DownloaderOpenConnectionLimitTest, AHostRefusingEveryConnectFailsCleanly) {
  int port = 0;
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    ::close(fd);
  }
  ScratchFolder dir;
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest("http://127.0.0.1:" + std::to_string(port) + "/x.mp4", dir / "x.mp4", 8));
  ASSERT_TRUE(WaitIdle(*d, 30s));
  const TaskState state = d->Report();
  EXPECT_EQ(state.phase, TaskPhase::kFailed);
  EXPECT_EQ(state.cause, FailureCause::kNetwork);
  EXPECT_LE(state.requests, 8) << "tried as often as any failing piece, no more";
  EXPECT_EQ(dir.Names(), std::vector<std::string>{});
}

// Every reply ends after three quarters of its range: the file completes
// with hardly more than its size on the wire.
TEST(DownloaderHostileTest, RepliesCutShortCompleteWithLittleMoreThanTheFileOnTheWire) {
  constexpr std::uint64_t kBig = 32 << 20;
  ScratchFolder dir;
  HostileServer server(kBig, [](const HostileRequest&) {
    return HostileReply{.form = Form::kCutAtThreeQuarters, .rate_bytes_per_second = 8 << 20};
  });
  const std::string target = dir / "track.mp4";
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(server.Url(), target, 8));
  ASSERT_TRUE(WaitIdle(*d, 60s));
  const TaskState state = d->Report();
  EXPECT_EQ(state.phase, TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(0)));
  EXPECT_LE(static_cast<double>(server.BodyBytesSent()), 1.1 * kBig);
  std::printf("%lld requests, %.3f of the file on the wire\n",
              static_cast<long long>(state.requests),
              static_cast<double>(server.BodyBytesSent()) / kBig);
}

// ---- resuming from a server that names no version ----

// Gets about half the file, the second half stalling, and stops. The
// server's replies are `form`'s (by default naming no version).
void FetchFirstHalf(HostileServer& server, const std::string& target,
                    HostileReply form = {.etag = false, .last_modified = false}) {
  server.SetPlan([form](const HostileRequest& r) {
    HostileReply reply = form;
    if (r.number > 1 && r.first >= kSize / 2) reply.form = Form::kStall;
    return reply;
  });
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(server.Url(), target, 4));
  ASSERT_TRUE(WaitUntil([&] { return d->GetTransferredBytes() >= static_cast<std::int64_t>(kSize / 2); }));
  ReleaseDownloader(d);
}

TEST(DownloaderHostileTest, ResumeWithoutValidatorsComparesBytesOnDiskBeforeTrustingThem) {
  for (const int version : {0, 1}) {
    SCOPED_TRACE(version ? "the server's file changed at the same size" : "unchanged");
    ScratchFolder dir;
    const std::string target = dir / "track.mp4";
    HostileServer server(kSize, [](const HostileRequest&) { return Good(); });
    FetchFirstHalf(server, target);
    const auto record = LoadResumeRecord(ResumeRecordPath(target));
    ASSERT_TRUE(record);
    ASSERT_GT(record->DoneBytes(), 0u);
    const int before = server.Requests();
    server.SetPlan([version](const HostileRequest&) {
      return HostileReply{.etag = false, .last_modified = false, .version = version};
    });
    auto d = CreateDownloader(QuickSettings());
    d->Start(MakeRequest(server.Url(), target, 4));
    ASSERT_TRUE(WaitIdle(*d, 30s));
    EXPECT_EQ(d->Report().phase, TaskPhase::kComplete);
    EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(version)));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"track.mp4"});
    // The first request of the resume reached back into the bytes on disk.
    const auto requests = server.RawRequests();
    ASSERT_GT(requests.size(), static_cast<std::size_t>(before));
    const std::string range = requests[before].Header("Range");
    ASSERT_TRUE(range.starts_with("bytes=")) << range;
    const std::uint64_t first = std::stoull(range.substr(6));
    IntervalSet done;
    for (const auto& [a, b] : record->done) done.Add(a, b);
    EXPECT_GT(done.RunFrom(first), 0u) << range;
    if (version == 0) {
      EXPECT_GT(first, 0u) << "an unchanged file is continued, not fetched again";
    }
  }
}

// ---- the version a download reports ----

// A download reports the ETag and Last-Modified of the reply it took, as the
// server sent them, whether it began the file or continued it from its
// record; a server that names no version leaves them unset; a file that
// changed midway reports the version the download ended with.
TEST(DownloaderHostileTest, ReportsTheValidatorsOfTheVersionItHolds) {
  const std::string monday = "Mon, 01 Jan 2024 00:00:00 GMT";
  const std::string tuesday = "Tue, 02 Jan 2024 00:00:00 GMT";
  struct Case {
    const char* server;
    HostileReply reply;
    bool changes_after_first;  // every request after the first gets version 1
    bool resumed;              // a first download got half the file and was let go
    std::optional<Validators> expected;
  };
  const Case cases[] = {
      {"ETag and Last-Modified", {}, false, false, Validators{"\"v0\"", monday}},
      {"ETag only", {.last_modified = false}, false, false, Validators{"\"v0\"", ""}},
      {"Last-Modified only", {.etag = false}, false, false, Validators{"", monday}},
      {"neither", {.etag = false, .last_modified = false}, false, false, std::nullopt},
      {"a new version after the first reply", {}, true, false, Validators{"\"v1\"", tuesday}},
      {"resumed from its record", {}, false, true, Validators{"\"v0\"", monday}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    ScratchFolder dir;
    const std::string target = dir / "track.mp4";
    HostileServer server(kSize, [&c](const HostileRequest& r) {
      HostileReply reply = c.reply;
      if (c.changes_after_first && r.number > 1) reply.version = 1;
      return reply;
    });
    if (c.resumed) {
      FetchFirstHalf(server, target, c.reply);
      ASSERT_TRUE(LoadResumeRecord(ResumeRecordPath(target)));
      server.SetPlan([&c](const HostileRequest&) { return c.reply; });
    }
    const int before = server.Requests();
    auto d = CreateDownloader(QuickSettings());
    d->Start(MakeRequest(server.Url(), target, kConnections));
    ASSERT_TRUE(WaitIdle(*d, 30s));
    const TaskState state = d->Report();
    EXPECT_EQ(state.phase, TaskPhase::kComplete);
    EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(c.changes_after_first ? 1 : 0)));
    if (c.resumed) {
      const auto requests = server.RawRequests();
      ASSERT_GT(requests.size(), static_cast<std::size_t>(before));
      const std::string range = requests[before].Header("Range");
      ASSERT_TRUE(range.starts_with("bytes=")) << range;
      EXPECT_GT(std::stoull(range.substr(6)), 0u) << "the second download did not continue";
    }
    ASSERT_EQ(state.validators != nullptr, c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(*state.validators, *c.expected);
    }
  }
}

// ---- the record never claims a byte that is not on disk ----

// A child process running downloader_child.
pid_t SpawnChild(std::vector<std::string> args) {
  args.insert(args.begin(), WUQU_DOWNLOADER_CHILD);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The first reply is a correct 206 head without a single body byte, and
// every later request stalls. Killed a second later, the process leaves no
// record or one that claims nothing, and the next start makes the file whole.
TEST(DownloaderHostileTest, FirstReplyWithoutBodyThenKillLeavesARecordClaimingNothing) {
  ScratchFolder dir;
  const std::string target = dir / "track.mp4";
  HostileServer server(kSize, [](const HostileRequest& r) {
    return HostileReply{.form = r.number == 1 ? Form::kNoBody : Form::kStall};
  });
  const pid_t pid = SpawnChild({server.Url(), target, "4"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitUntil([&] { return server.Requests() >= 2; }, 10s));
  std::this_thread::sleep_for(1s);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  const auto record = LoadResumeRecord(ResumeRecordPath(target));
  if (record) {
    EXPECT_EQ(record->DoneBytes(), 0u);
  }

  server.SetPlan([](const HostileRequest&) { return Good(); });
  auto d = CreateDownloader(QuickSettings());
  d->Start(MakeRequest(server.Url(), target, 4));
  ASSERT_TRUE(WaitIdle(*d, 30s));
  EXPECT_EQ(d->Report().phase, TaskPhase::kComplete);
  EXPECT_EQ(FileSha256(target), Sha256Hex(server.Content(0)));
}

}  // namespace
}  // namespace wuqu::download
