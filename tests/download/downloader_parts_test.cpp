// The downloader's parts that need no network: the reply check over a table
// of replies, and the piece plan's bookkeeping and choices.
#include <gtest/gtest.h>

#include <map>

#include "download/piece_plan.h"
#include "download/reply_check.h"
#include "download/reply_headers.h"

namespace wuqu::download {
namespace {

// ---- the reply check ----

constexpr std::uint64_t kSize = 1000;

// What the download knew when it asked: the first request ("bytes=0-"), or a
// later range of a file of kSize bytes whose first reply named version "v1".
ReplyContext First() {
  return {.first = true, .asked_range = true, .range_first = 0, .range_last = kOpenEnd};
}
ReplyContext Later(std::uint64_t first, std::uint64_t last) {
  return {.asked_range = true,
          .range_first = first,
          .range_last = last,
          .size_known = true,
          .size = kSize,
          .validated = true,
          .etag = "\"v1\"",
          .last_modified = "Mon, 01 Jan 2024 00:00:00 GMT"};
}
// Resuming from a record of kSize bytes, the first request from 600 on.
ReplyContext Resumed(bool validated) {
  ReplyContext c = First();
  c.range_first = 600;
  c.size_known = true;
  c.size = kSize;
  c.validated = validated;
  if (validated) c.etag = "\"v1\"";
  return c;
}

ReplyFacts Reply(long status, std::string_view range, std::int64_t length) {
  return {.status = status,
          .content_length = length,
          .content_range = range,
          .etag = "\"v1\"",
          .last_modified = "Mon, 01 Jan 2024 00:00:00 GMT"};
}

TEST(ReplyCheckTest, DecidesEveryReply) {
  struct Case {
    const char* name;
    ReplyFacts reply;
    ReplyContext context;
    Verdict verdict;
    FailureCause cause = FailureCause::kNone;
    std::uint64_t body_first = 0, body_end = 0;
    std::optional<std::uint64_t> size{};
  };
  auto with = [](ReplyFacts f, auto change) {
    change(f);
    return f;
  };
  const Case cases[] = {
      // The first reply.
      {"206 to the first request", Reply(206, "bytes 0-999/1000", 1000), First(), Verdict::kAccept,
       FailureCause::kNone, 0, 1000, kSize},
      {"206 of a shorter stretch", Reply(206, "bytes 0-99/1000", 100), First(), Verdict::kAccept,
       FailureCause::kNone, 0, 100, kSize},
      {"200 with a length", Reply(200, "", 1000), First(), Verdict::kAccept, FailureCause::kNone, 0,
       1000, kSize},
      {"200 without a length", Reply(200, "", -1), First(), Verdict::kAccept, FailureCause::kNone,
       0, kOpenEnd, std::nullopt},
      {"416 of an empty file", Reply(416, "bytes */0", -1), First(), Verdict::kAccept,
       FailureCause::kNone, 0, 0, 0},
      {"416 otherwise", Reply(416, "bytes */5", -1), First(), Verdict::kFail,
       FailureCause::kHttpStatus},
      {"206 without Content-Range", Reply(206, "", 1000), First(), Verdict::kRetry,
       FailureCause::kNetwork},
      // A reply that starts elsewhere puts its bytes where its range says,
      // provided it names its version.
      {"206 from elsewhere", Reply(206, "bytes 5-999/1000", 995), First(), Verdict::kAccept,
       FailureCause::kNone, 5, 1000, kSize},
      {"206 from elsewhere, no validators", with(Reply(206, "bytes 5-999/1000", 995), [](auto& f) {
         f.etag = "";
         f.last_modified = "";
       }),
       First(), Verdict::kRetry, FailureCause::kNetwork},
      {"206 whose length disagrees", Reply(206, "bytes 0-999/1000", 999), First(),
       Verdict::kRetry, FailureCause::kNetwork},
      {"206 of a size no file can have", Reply(206, "bytes 0-9/18446744073709551615", 10),
       First(), Verdict::kFail, FailureCause::kHttpStatus},
      // Statuses.
      {"404", Reply(404, "", 10), First(), Verdict::kFail, FailureCause::kHttpStatus},
      {"final 302", Reply(302, "", 10), Later(0, 99), Verdict::kFail, FailureCause::kHttpStatus},
      {"503", Reply(503, "", 10), Later(0, 99), Verdict::kRetry, FailureCause::kNetwork},
      {"501", Reply(501, "", 10), Later(0, 99), Verdict::kFail, FailureCause::kHttpStatus},
      {"no status at all", Reply(0, "", -1), Later(0, 99), Verdict::kRetry,
       FailureCause::kNetwork},
      {"204", Reply(204, "", 0), First(), Verdict::kFail, FailureCause::kHttpStatus},
      // Encodings are refused, whatever else the reply says.
      {"gzip", with(Reply(206, "bytes 0-99/1000", 100), [](auto& f) { f.content_encoding = "gzip"; }),
       Later(0, 99), Verdict::kRetry, FailureCause::kEncodingRefused},
      {"deflate on a whole body",
       with(Reply(200, "", 1000), [](auto& f) { f.content_encoding = "Deflate"; }), First(),
       Verdict::kRetry, FailureCause::kEncodingRefused},
      {"identity and a blank",
       with(Reply(206, "bytes 0-99/1000", 100), [](auto& f) { f.content_encoding = " identity"; }),
       Later(0, 99), Verdict::kAccept, FailureCause::kNone, 0, 100, kSize},
      {"identity, then gzip",
       with(Reply(206, "bytes 0-99/1000", 100),
            [](auto& f) { f.content_encoding = "identity, gzip"; }),
       Later(0, 99), Verdict::kRetry, FailureCause::kEncodingRefused},
      {"chunked transfer",
       with(Reply(206, "bytes 0-99/1000", -1), [](auto& f) { f.transfer_encoding = "chunked"; }),
       Later(0, 99), Verdict::kAccept, FailureCause::kNone, 0, 100, kSize},
      {"gzip transfer",
       with(Reply(206, "bytes 0-99/1000", -1),
            [](auto& f) { f.transfer_encoding = "gzip, chunked"; }),
       Later(0, 99), Verdict::kRetry, FailureCause::kEncodingRefused},
      // Later ranges.
      {"the range asked for", Reply(206, "bytes 100-199/1000", 100), Later(100, 199),
       Verdict::kAccept, FailureCause::kNone, 100, 200, kSize},
      {"less than asked for", Reply(206, "bytes 100-149/1000", 50), Later(100, 199),
       Verdict::kAccept, FailureCause::kNone, 100, 150, kSize},
      {"more than asked for", Reply(206, "bytes 100-299/1000", 200), Later(100, 199),
       Verdict::kRetry, FailureCause::kNetwork},
      {"another start", Reply(206, "bytes 99-199/1000", 101), Later(100, 199), Verdict::kAccept,
       FailureCause::kNone, 99, 200, kSize},
      {"another start, beyond the end asked", Reply(206, "bytes 150-249/1000", 100),
       Later(100, 199), Verdict::kRetry, FailureCause::kNetwork},
      {"another size", Reply(206, "bytes 100-199/1001", 100), Later(100, 199),
       Verdict::kStartOver, FailureCause::kChanged},
      {"206 to a request without a range", Reply(206, "bytes 0-99/1000", 100),
       [] {
         ReplyContext c = Later(0, 999);
         c.asked_range = false;
         return c;
       }(),
       Verdict::kRetry, FailureCause::kNetwork},
      // Versions.
      {"no ETag any more", with(Reply(206, "bytes 0-99/1000", 100), [](auto& f) { f.etag = ""; }),
       Later(0, 99), Verdict::kStartOver, FailureCause::kChanged},
      {"no validators any more",
       with(Reply(206, "bytes 0-99/1000", 100),
            [](auto& f) {
              f.etag = "";
              f.last_modified = "";
            }),
       Later(0, 99), Verdict::kStartOver, FailureCause::kChanged},
      {"another ETag",
       with(Reply(206, "bytes 0-99/1000", 100), [](auto& f) { f.etag = "\"v2\""; }),
       Later(0, 99), Verdict::kStartOver, FailureCause::kChanged},
      {"another Last-Modified",
       with(Reply(206, "bytes 0-99/1000", 100),
            [](auto& f) { f.last_modified = "Tue, 02 Jan 2024 00:00:00 GMT"; }),
       Later(0, 99), Verdict::kStartOver, FailureCause::kChanged},
      {"validators where the first reply had none", Reply(206, "bytes 0-99/1000", 100),
       [] {
         ReplyContext c = Later(0, 99);
         c.validated = false;
         c.etag = c.last_modified = "";
         return c;
       }(),
       Verdict::kAccept, FailureCause::kNone, 0, 100, kSize},
      // The whole file in reply to a range.
      {"200 to a range, same version", Reply(200, "", 1000), Later(100, 199),
       Verdict::kOneConnection, FailureCause::kNone, 0, 1000, kSize},
      {"200 to a range, other version",
       with(Reply(200, "", 1000), [](auto& f) { f.etag = "\"v2\""; }), Later(100, 199),
       Verdict::kStartOver, FailureCause::kChanged},
      {"200 to a range, other length", Reply(200, "", 999), Later(100, 199), Verdict::kStartOver,
       FailureCause::kChanged},
      {"200 to a range, no length", Reply(200, "", -1), Later(100, 199), Verdict::kStartOver,
       FailureCause::kChanged},
      // Resuming from a record.
      {"resume, the range", Reply(206, "bytes 600-999/1000", 400), Resumed(true), Verdict::kAccept,
       FailureCause::kNone, 600, 1000, kSize},
      {"resume, another size", Reply(206, "bytes 600-1099/1100", 500), Resumed(true),
       Verdict::kStartOver, FailureCause::kChanged},
      {"resume, the file is shorter now", Reply(416, "bytes */500", -1), Resumed(true),
       Verdict::kStartOver, FailureCause::kChanged},
      {"resume, another version",
       with(Reply(206, "bytes 600-999/1000", 400), [](auto& f) { f.etag = "\"v0\""; }),
       Resumed(true), Verdict::kStartOver, FailureCause::kChanged},
      {"resume, the whole file", Reply(200, "", 1000), Resumed(true), Verdict::kOneConnection,
       FailureCause::kNone, 0, 1000, kSize},
      {"resume without validators", with(Reply(206, "bytes 600-999/1000", 400), [](auto& f) {
         f.etag = "";
         f.last_modified = "";
       }),
       Resumed(false), Verdict::kAccept, FailureCause::kNone, 600, 1000, kSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReplyDecision d = CheckReply(c.reply, c.context);
    EXPECT_EQ(d.verdict, c.verdict);
    EXPECT_EQ(d.cause, c.cause);
    if (c.verdict == Verdict::kAccept || c.verdict == Verdict::kOneConnection) {
      EXPECT_EQ(d.body_first, c.body_first);
      EXPECT_EQ(d.body_end, c.body_end);
      EXPECT_EQ(d.size, c.size);
    }
  }
}

TEST(ReplyCheckTest, NotNowStatusesAreRetriedAfterTheirRetryAfter) {
  struct Case {
    long status;
    std::string_view retry_after;
    Verdict verdict;
    FailureCause cause;
    bool busy;
    std::int64_t wait;
  };
  const Case cases[] = {
      {408, "", Verdict::kRetry, FailureCause::kNetwork, false, 0},
      {429, "2", Verdict::kRetry, FailureCause::kNetwork, true, 2},
      {500, "5", Verdict::kRetry, FailureCause::kNetwork, false, 0},
      {502, "", Verdict::kRetry, FailureCause::kNetwork, false, 0},
      {503, "Wed, 21 Oct 2015 07:28:30 GMT", Verdict::kRetry, FailureCause::kNetwork, true, 30},
      {503, "60", Verdict::kRetry, FailureCause::kNetwork, true, 60},
      {504, "", Verdict::kRetry, FailureCause::kNetwork, false, 0},
      {503, "not a number", Verdict::kRetry, FailureCause::kNetwork, true, 0},
      // Longer than the download may wait: its status, at once.
      {503, "61", Verdict::kFail, FailureCause::kHttpStatus, true, 61},
      {429, "Wed, 21 Oct 2015 08:28:00 GMT", Verdict::kFail, FailureCause::kHttpStatus, true, 3600},
      // Not "not now": asking again changes nothing.
      {403, "1", Verdict::kFail, FailureCause::kHttpStatus, false, 0},
      {505, "", Verdict::kFail, FailureCause::kHttpStatus, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.status << " Retry-After: " << c.retry_after);
    ReplyFacts reply = Reply(c.status, "", 10);
    reply.retry_after = c.retry_after;
    ReplyContext context = Later(0, 99);
    context.now = 1445412480;  // Wed, 21 Oct 2015 07:28:00 GMT
    context.longest_wait = 60;
    const ReplyDecision d = CheckReply(reply, context);
    EXPECT_EQ(d.verdict, c.verdict);
    EXPECT_EQ(d.cause, c.cause);
    EXPECT_EQ(d.busy, c.busy);
    if (c.busy) {
      EXPECT_EQ(d.retry_after, c.wait);
    }
  }
}

TEST(ReplyCheckTest, RetryAfterReadsSecondsAndHttpDates) {
  constexpr std::time_t kNow = 1445412480;  // Wed, 21 Oct 2015 07:28:00 GMT
  struct Case {
    std::string_view value;
    std::optional<std::int64_t> seconds;
  };
  const Case cases[] = {
      {"2", 2},
      {" 120 ", 120},
      {"0", 0},
      {"99999999999999999999999", INT64_MAX},
      {"Wed, 21 Oct 2015 07:28:02 GMT", 2},
      {"Wednesday, 21-Oct-15 07:29:00 GMT", 60},
      {"Wed Oct 21 07:28:10 2015", 10},
      {"Tue, 20 Oct 2015 07:28:00 GMT", 0},  // already past
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"soon", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseRetryAfter(c.value, kNow), c.seconds) << c.value;
}

TEST(ReplyCheckTest, AFirstReplyWithAnUnusableRangeAsksAgainWithoutOne) {
  EXPECT_TRUE(CheckReply(Reply(206, "bytes 0-99", 100), First()).ask_without_range);
  EXPECT_TRUE(CheckReply(Reply(206, "bytes 0-99/1000", 100), First()).ranges);
  EXPECT_FALSE(CheckReply(Reply(200, "", 1000), First()).ranges);
  // A later one is this connection's trouble only.
  EXPECT_FALSE(CheckReply(Reply(206, "bytes 0-99", 100), Later(0, 99)).ask_without_range);
}

// Header lines as curl hands them over, a head or two at a time.
TEST(ReplyHeadersTest, KeepsTheFieldsOfTheLastHead) {
  struct Case {
    const char* name;
    std::vector<std::string_view> lines;
    ReplyHeaders expected;
    HeadLine last;
  };
  const Case cases[] = {
      {"the fields that matter, any case, blanks trimmed",
       {"HTTP/1.1 206 Partial Content\r\n", "content-range:  bytes 0-9/10 \r\n",
        "ETAG: \"v1\"\r\n", "Last-Modified:\tMon, 01 Jan 2024 00:00:00 GMT\r\n",
        "Retry-After: 2\r\n", "X-Other: y\r\n", "\r\n"},
       {.content_range = "bytes 0-9/10",
        .etag = "\"v1\"",
        .last_modified = "Mon, 01 Jan 2024 00:00:00 GMT",
        .retry_after = "2"},
       HeadLine::kEnd},
      {"repeated codings join",
       {"HTTP/1.1 200 OK\r\n", "Content-Encoding: identity\r\n", "Content-Encoding: gzip\r\n",
        "Transfer-Encoding: gzip\r\n", "transfer-encoding: chunked\n"},
       {.content_encoding = "identity, gzip", .transfer_encoding = "gzip, chunked"},
       HeadLine::kField},
      {"a later head forgets the earlier one",
       {"HTTP/1.1 302 Found\r\n", "ETag: \"old\"\r\n", "Retry-After: 9\r\n", "\r\n",
        "HTTP/1.1 200 OK\r\n", "Content-Range: bytes 0-0/1\r\n"},
       {.content_range = "bytes 0-0/1"},
       HeadLine::kField},
      {"a line without a colon, and a name with blanks",
       {"HTTP/1.1 200 OK\r\n", "garbage\r\n", " ETag : x\r\n", "ETag-Other: y\r\n"},
       {.etag = "x"},
       HeadLine::kField},
      {"a bare LF ends a head", {"HTTP/1.0 200 OK\n", "\n"}, {}, HeadLine::kEnd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyHeaders h{.etag = "left over"};
    HeadLine last = HeadLine::kField;
    for (std::string_view line : c.lines) last = CaptureHeaderLine(line, h);
    EXPECT_EQ(last, c.last);
    EXPECT_EQ(h.content_range, c.expected.content_range);
    EXPECT_EQ(h.content_encoding, c.expected.content_encoding);
    EXPECT_EQ(h.transfer_encoding, c.expected.transfer_encoding);
    EXPECT_EQ(h.etag, c.expected.etag);
    EXPECT_EQ(h.last_modified, c.expected.last_modified);
    EXPECT_EQ(h.retry_after, c.expected.retry_after);
    const ReplyFacts facts = FactsOf(h, 206, 10);
    EXPECT_EQ(facts.etag, h.etag);
    EXPECT_EQ(facts.retry_after, h.retry_after);
  }
}

TEST(ContentRangeTest, Parses) {
  struct Case {
    const char* value;
    bool ok;
    bool satisfied = false;
    std::uint64_t first = 0, last = 0;
    std::optional<std::uint64_t> total{};
  };
  const Case cases[] = {
      {"bytes 0-99/1000", true, true, 0, 99, 1000},
      {"BYTES  5-5/6", true, true, 5, 5, 6},
      {"bytes 4294967296-5368709119/5368709120", true, true, 4294967296ull, 5368709119ull,
       5368709120ull},
      {"bytes */1000", true, false, 0, 0, 1000},
      {"bytes 0-9/*", true, true, 0, 9, std::nullopt},
      {"bytes */*", false},
      {"bytes 9-5/10", false},   // backwards
      {"bytes 0-10/10", false},  // past the end
      {"bytes 0-99", false},
      {"items 0-9/10", false},
      {"bytes -5-9/10", false},
      {"bytes 0-18446744073709551616/1", false},  // overflow
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const auto r = ParseContentRange(c.value);
    ASSERT_EQ(r.has_value(), c.ok);
    if (!r) continue;
    EXPECT_EQ(r->satisfied, c.satisfied);
    EXPECT_EQ(r->total, c.total);
    if (c.satisfied) {
      EXPECT_EQ(r->first, c.first);
      EXPECT_EQ(r->last, c.last);
    }
  }
}

// ---- the byte ranges in place ----

using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Against a plain array of flags, after every step of a sequence of adds.
TEST(IntervalSetTest, AgreesWithAnArrayOfBytes) {
  constexpr std::uint64_t n = 64;
  const Ranges adds = {{10, 20}, {30, 40}, {20, 30}, {5, 12}, {50, 51}, {0, 1},
                       {45, 55}, {40, 45}, {60, 64}, {1, 5},  {55, 60}, {3, 3}};
  IntervalSet set;
  std::vector<bool> bytes(n, false);
  for (const auto& [first, end] : adds) {
    set.Add(first, end);
    for (auto i = first; i < end; ++i) bytes[i] = true;
    SCOPED_TRACE(std::to_string(first) + "-" + std::to_string(end));
    std::uint64_t count = 0;
    for (std::uint64_t at = 0; at < n; ++at) {
      count += bytes[at];
      std::uint64_t run = 0, gap = 0;
      while (at + run < n && bytes[at + run]) ++run;
      while (at + gap < n && !bytes[at + gap]) ++gap;
      ASSERT_EQ(set.RunFrom(at), run) << at;
      ASSERT_EQ(set.GapFrom(at, n), gap) << at;
    }
    EXPECT_EQ(set.Bytes(), count);
    // Ranges are merged: none touches the next.
    const Ranges ranges = set.Ranges();
    for (std::size_t i = 1; i < ranges.size(); ++i) EXPECT_LT(ranges[i - 1].second, ranges[i].first);
  }
  EXPECT_TRUE(set.Covers(0, n));
  EXPECT_EQ(set.Ranges(), (Ranges{{0, 64}}));
}

TEST(IntervalSetTest, GapsAreWhatIsMissing) {
  IntervalSet set;
  EXPECT_EQ(set.Gaps(100), (Ranges{{0, 100}}));
  set.Add(10, 20);
  set.Add(90, 100);
  EXPECT_EQ(set.Gaps(100), (Ranges{{0, 10}, {20, 90}}));
  EXPECT_FALSE(set.Covers(15, 21));
  EXPECT_TRUE(set.Covers(12, 20));
  EXPECT_EQ(set.GapFrom(20, 50), 30u);  // held to the limit
}

// ---- the piece plan ----

TEST(PiecePlanTest, AResumedFileIsCutIntoItsGaps) {
  PiecePlan plan;
  plan.Reset(1000, {{0, 100}, {300, 400}, {900, 1200}});
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  for (auto& p : plan.pieces()) pieces.emplace_back(p->pos(), p->end());
  EXPECT_EQ(pieces, (Ranges{{100, 300}, {400, 900}}));
  EXPECT_EQ(plan.done().Bytes(), 300u);  // held within the file
  EXPECT_EQ(plan.LargestFree()->pos(), 400u);
  EXPECT_FALSE(plan.Complete());
}

// What connections do with pieces, by holder: the free piece with the most
// left (the last of equal ones, and none still under a Retry-After), a
// duplicate's holder taking over when the owner lets go, the other holder
// named when one finishes, a reply running on into the next piece.
TEST(PiecePlanTest, HoldersCheckOutReleaseAndFinishPieces) {
  using std::chrono::steady_clock;
  const auto now = steady_clock::now();
  PiecePlan plan;
  plan.Reset(4000);
  plan.SplitEven(*plan.pieces().front(), 4);  // [0,1000) [1000,2000) [2000,3000) [3000,4000)
  plan.Defer(*plan.pieces()[3], now + std::chrono::seconds(1));

  Piece* a = plan.CheckOut(1, now);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->pos(), 2000u) << "the last of equal pieces that may be asked for now";
  Piece* b = plan.CheckOut(2, now);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->pos(), 1000u);
  Piece* c = plan.CheckOut(3, now);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->pos(), 0u);
  EXPECT_EQ(plan.CheckOut(4, now), nullptr) << "the last one waits for its Retry-After";
  EXPECT_EQ(plan.CheckOut(4, now + std::chrono::seconds(1))->pos(), 3000u);

  // A duplicate of `a` by 5: the owner lets go, the helper owns it.
  plan.Apply(Steal{Steal::Kind::kDuplicate, a, a->pos()}, 5);
  plan.Release(*a, 1);
  EXPECT_EQ(a->owner(), 5);
  EXPECT_EQ(a->helper(), 0);
  // 2 finishes its piece while 6 fetches the same bytes: 6 is named, the piece goes.
  plan.Apply(Steal{Steal::Kind::kDuplicate, b, b->pos()}, 6);
  plan.Advance(*b, b->end());
  EXPECT_EQ(plan.Finish(*b, 2), 6);
  EXPECT_EQ(plan.pieces().size(), 3u);
  // 3 reads on past its piece into a free one.
  plan.Release(*a, 5);
  plan.Advance(*c, c->end());
  Piece* next = plan.FreeAt(1000);
  EXPECT_EQ(next, nullptr) << "[1000,2000) went with its finish";
  next = plan.FreeAt(2000);
  ASSERT_NE(next, nullptr);
  plan.RunOn(*c, *next, 3);
  EXPECT_EQ(next->owner(), 3);
  EXPECT_EQ(c->owner(), 0);
  plan.Tidy();
  EXPECT_EQ(plan.pieces().size(), 2u) << "the finished piece nobody holds is tidied away";
  plan.ReleaseAll();
  for (const auto& p : plan.pieces()) EXPECT_TRUE(p->owner() == 0 && p->helper() == 0);
}

// Where a held piece begins as its holder reads: fetched bytes move it on
// (never past its end, never back), a reply that starts later gives the
// stretch it skips back as a free piece, one that starts earlier (to compare
// bytes in place) moves it back.
TEST(PiecePlanTest, AHeldPieceBeginsWhereItsHolderReads) {
  enum class Verb { kAdvance, kSkipTo, kReachBack };
  struct Case {
    const char* name;
    Verb verb;
    std::uint64_t at;
    std::uint64_t pos;                 // of the held piece [100, 500) afterwards
    Ranges free;                       // the pieces nobody holds afterwards
  };
  const Case cases[] = {
      {"fetched up to 300", Verb::kAdvance, 300, 300, {}},
      {"fetched past its end (a thief cut it)", Verb::kAdvance, 700, 500, {}},
      {"an older position moves nothing", Verb::kAdvance, 50, 100, {}},
      {"a reply from 250 gives back what it skips", Verb::kSkipTo, 250, 250, {{100, 250}}},
      {"a reply from its start skips nothing", Verb::kSkipTo, 100, 100, {}},
      {"read from 40 to compare", Verb::kReachBack, 40, 40, {}},
      {"a later start is no reach back", Verb::kReachBack, 200, 100, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PiecePlan plan;
    plan.Reset(500, {{0, 100}});
    Piece& held = *plan.pieces().front();
    plan.Hold(held, 1);
    switch (c.verb) {
      case Verb::kAdvance: plan.Advance(held, c.at); break;
      case Verb::kSkipTo: plan.SkipTo(held, c.at); break;
      case Verb::kReachBack: plan.ReachBack(held, c.at); break;
    }
    EXPECT_EQ(held.pos(), c.pos);
    EXPECT_EQ(held.end(), 500u);
    EXPECT_EQ(held.owner(), 1);
    Ranges free;
    for (const auto& p : plan.pieces())
      if (p->owner() == 0) free.emplace_back(p->pos(), p->end());
    EXPECT_EQ(free, c.free);
  }
}

TEST(PiecePlanTest, EvenSplitCoversThePieceExactly) {
  for (const std::uint64_t parts : {2u, 3u, 7u, 64u}) {
    PiecePlan plan;
    plan.Reset(1000003);
    plan.SplitEven(*plan.pieces().front(), parts);
    ASSERT_EQ(plan.pieces().size(), parts);
    std::uint64_t pos = 0;
    for (auto& p : plan.pieces()) {
      EXPECT_EQ(p->pos(), pos);
      EXPECT_GE(p->Left(), 1000003 / parts);
      pos = p->end();
    }
    EXPECT_EQ(pos, 1000003u);
  }
}

TEST(PiecePlanTest, TidyingNeverLosesAMissingByte) {
  PiecePlan plan;
  plan.Reset(100);
  plan.AddDone(0, 40);
  plan.AddDone(60, 100);
  plan.Clear();  // say every holder dropped its piece
  plan.Tidy();
  ASSERT_EQ(plan.pieces().size(), 1u);
  EXPECT_EQ(plan.pieces().front()->pos(), 40u);
  EXPECT_EQ(plan.pieces().front()->end(), 60u);
}

// Holders 1..n, each with a piece and a pace; which steal an idle one makes.
struct Holding {
  std::uint64_t left;
  Pace pace;
};

std::optional<Steal> StealFrom(PiecePlan& plan, const std::vector<Holding>& holdings,
                               double typical) {
  std::uint64_t total = 0;
  for (const auto& h : holdings) total += h.left;
  plan.Reset(total);
  plan.Clear();
  std::map<HolderId, Pace> paces;
  std::uint64_t pos = 0;
  HolderId id = 1;
  for (const auto& h : holdings) {
    plan.Hold(*plan.Add(pos, pos + h.left), id);
    paces[id++] = h.pace;
    pos += h.left;
  }
  StealRules rules;
  rules.min_segment = 100;
  return plan.ChooseSteal([&](HolderId h) { return paces[h]; }, typical, rules);
}

TEST(PiecePlanTest, AnIdleConnectionTakesFromWhoNeedsLongest) {
  const Pace fast{1000, true};
  const Pace slow{100, true};        // a tenth: not yet far below
  const Pace crawling{50, true};     // far below the typical 1000
  const Pace unknown{0, false};      // too young to judge
  struct Case {
    const char* name;
    std::vector<Holding> holdings;
    double typical;
    std::optional<Steal::Kind> kind;
    std::uint64_t victim_pos = 0;
    std::uint64_t cut = 0;
  };
  const Case cases[] = {
      // Halves, by bytes, while nobody's pace is known.
      {"no pace known: the largest is halved", {{1000, unknown}, {3000, unknown}}, 0,
       Steal::Kind::kSplit, 1000, 2500},
      // The one that needs longest, not the one with most bytes.
      {"the slower of two", {{3000, fast}, {1000, slow}}, 1000, Steal::Kind::kSplit, 3000,
       3000 + 100},
      {"shares by pace", {{3000, fast}}, 1000, Steal::Kind::kSplit, 0, 1500},
      {"far below loses everything", {{3000, fast}, {1000, crawling}}, 1000,
       Steal::Kind::kTakeAll, 3000, 3000},
      {"far below loses even a small rest", {{50, crawling}}, 1000, Steal::Kind::kTakeAll, 0, 0},
      {"a young connection counts as typical", {{150, unknown}, {600, fast}}, 1000,
       Steal::Kind::kSplit, 150, 450},
      // Too small to split.
      {"too small, the holder keeps up", {{150, fast}}, 1000, std::nullopt},
      {"too small, the holder lags: a duplicate", {{150, Pace{60, true}}}, 600,
       Steal::Kind::kDuplicate, 0, 0},
      {"too small, nobody judged", {{150, unknown}}, 1000, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PiecePlan plan;
    const auto steal = StealFrom(plan, c.holdings, c.typical);
    ASSERT_EQ(steal.has_value(), c.kind.has_value());
    if (!steal) continue;
    EXPECT_EQ(steal->kind, *c.kind);
    EXPECT_EQ(steal->victim->pos(), c.victim_pos);
    if (steal->kind != Steal::Kind::kDuplicate) {
      EXPECT_EQ(steal->cut, c.cut);
    }
  }
}

TEST(PiecePlanTest, ApplyingAStealLeavesEveryByteHeldOnce) {
  PiecePlan plan;
  auto steal = StealFrom(plan, {{1000, Pace{1000, true}}, {500, Pace{10, true}}}, 1000);
  ASSERT_TRUE(steal);
  Piece* taken = plan.Apply(*steal, 9);
  EXPECT_EQ(taken->owner(), 9);
  EXPECT_EQ(steal->victim->Left(), 0u);  // its holder stops at once
  std::uint64_t held = 0;
  for (auto& p : plan.pieces()) held += p->Left();
  EXPECT_EQ(held, 1500u);

  steal = StealFrom(plan, {{150, Pace{10, true}}}, 1000);
  ASSERT_TRUE(steal);
  steal->kind = Steal::Kind::kDuplicate;
  Piece* same = plan.Apply(*steal, 7);
  EXPECT_EQ(same, steal->victim);
  EXPECT_EQ(same->owner(), 1);
  EXPECT_EQ(same->helper(), 7);
  EXPECT_FALSE(plan.ChooseSteal([](HolderId) { return Pace{10, true}; }, 1000, {}))
      << "a piece with a helper is not taken from twice";
}

TEST(PiecePlanTest, MedianRate) {
  EXPECT_EQ(MedianRate({}), 0);
  EXPECT_EQ(MedianRate({5}), 5);
  EXPECT_EQ(MedianRate({1, 1000, 1000, 1000, 2}), 1000);
}

}  // namespace
}  // namespace wuqu::download
