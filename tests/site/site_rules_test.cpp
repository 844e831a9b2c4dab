// The site's small rules on their own: ranges, request paths, dates, titles,
// and the synthetic bytes every download test compares against.
#include <gtest/gtest.h>

#include <set>

#include "site/http_bits.h"
#include "site/site_catalogue.h"
#include "site/synthetic.h"

namespace wuqu {
namespace {

using Kind = ByteRangeAnswer::Kind;

TEST(EvaluateRange, Table) {
  struct Case {
    const char* header;
    std::uint64_t size;
    Kind kind;
    std::uint64_t first, last;
  };
  const Case cases[] = {
      {"bytes=0-9", 100, Kind::kPartial, 0, 9},
      {"bytes=10-", 100, Kind::kPartial, 10, 99},
      {"bytes=-10", 100, Kind::kPartial, 90, 99},
      {"bytes=99-99", 100, Kind::kPartial, 99, 99},
      {"bytes=0-1000", 100, Kind::kPartial, 0, 99},  // last beyond the end is cut
      {"bytes=-1000", 100, Kind::kPartial, 0, 99},   // suffix longer than the body
      {"bytes=0-99999999999999999999999", 100, Kind::kPartial, 0, 99},  // saturates, no overflow
      {"bytes=0-18446744073709551615", 100, Kind::kPartial, 0, 99},
      {" bytes = 5 - 6 ", 100, Kind::kPartial, 5, 6},
      {"BYTES=1-2", 100, Kind::kPartial, 1, 2},
      {"bytes=100-", 100, Kind::kUnsatisfiable, 0, 0},  // first at the end
      {"bytes=100-200", 100, Kind::kUnsatisfiable, 0, 0},
      {"bytes=99999999999999999999999-", 100, Kind::kUnsatisfiable, 0, 0},
      {"bytes=-0", 100, Kind::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, Kind::kUnsatisfiable, 0, 0},  // nothing to give of an empty body
      {"bytes=-5", 0, Kind::kUnsatisfiable, 0, 0},
      {"bytes=9-5", 100, Kind::kWhole, 0, 0},      // last before first: ignored
      {"bytes=0-1,5-6", 100, Kind::kWhole, 0, 0},  // several ranges: whole body
      {"items=0-1", 100, Kind::kWhole, 0, 0},
      {"bytes=", 100, Kind::kWhole, 0, 0},
      {"bytes=-", 100, Kind::kWhole, 0, 0},
      {"bytes=a-b", 100, Kind::kWhole, 0, 0},
      {"bytes=+1-2", 100, Kind::kWhole, 0, 0},
      {"bytes 0-1", 100, Kind::kWhole, 0, 0},
      {"", 100, Kind::kWhole, 0, 0},
  };
  for (const auto& c : cases) {
    const ByteRangeAnswer a = EvaluateRange(c.header, c.size);
    EXPECT_EQ(a.kind, c.kind) << c.header;
    if (c.kind == Kind::kPartial) {
      EXPECT_EQ(a.first, c.first) << c.header;
      EXPECT_EQ(a.last, c.last) << c.header;
    }
  }
}

// The head's end and limits must come out the same however the bytes are cut
// into pieces as they arrive.
TEST(RequestHeadScanner, SameAnswerWholeOrByteByByte) {
  using State = RequestHeadScanner::State;
  struct Case {
    const char* what;
    std::string bytes;
    State state;
    std::size_t head_size;  // when complete
  };
  const std::string small = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
  auto fields = [](int n) {
    std::string s = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < n; ++i) s += "A: b\r\n";
    return s + "\r\n";
  };
  const Case cases[] = {
      {"complete", small, State::kComplete, small.size()},
      {"with the next request behind it", small + "GET /x HTTP/1.1\r\n", State::kComplete,
       small.size()},
      {"not yet ended", "GET / HTTP/1.1\r\nHost: a\r\n", State::kIncomplete, 0},
      {"bare LF lines do not end it", "GET / HTTP/1.1\nHost: a\n\n", State::kIncomplete, 0},
      {"an empty request line is still the request line", "\r\n\r\n", State::kComplete, 4},
      {"4 fields", fields(4), State::kComplete, fields(4).size()},
      {"5 fields", fields(5), State::kTooLarge, 0},
      {"5 fields, not yet ended", fields(5).substr(0, fields(5).size() - 2), State::kTooLarge, 0},
      {"exactly the byte limit", "GET /" + std::string(95 - 24, 'a') + " HTTP/1.1\r\nH: b\r\n\r\n",
       State::kComplete, 95},
      {"one byte beyond", "GET /" + std::string(96 - 24, 'a') + " HTTP/1.1\r\nH: b\r\n\r\n",
       State::kTooLarge, 0},
      {"a line without end beyond the limit", "GET /" + std::string(200, 'a'), State::kTooLarge, 0},
  };
  for (const auto& c : cases) {
    RequestHeadScanner whole(4, 95);
    EXPECT_EQ(whole.Scan(c.bytes), c.state) << c.what;
    if (c.state == State::kComplete) {
      EXPECT_EQ(whole.head_size(), c.head_size) << c.what;
    }

    RequestHeadScanner pieces(4, 95);
    State state = State::kIncomplete;
    for (std::size_t n = 1; n <= c.bytes.size() && state == State::kIncomplete; ++n)
      state = pieces.Scan(std::string_view(c.bytes).substr(0, n));
    EXPECT_EQ(state, c.state) << c.what << " (byte by byte)";
    if (c.state == State::kComplete) {
      EXPECT_EQ(pieces.head_size(), c.head_size) << c.what;
    }

    // Once reset it reads a next head from the start.
    whole.Reset();
    EXPECT_EQ(whole.Scan(small), State::kComplete) << c.what;
  }
}

TEST(IsSafeRequestPath, Table) {
  const std::pair<std::string, bool> cases[] = {
      {"/", true},
      {"/zw/", true},
      {"/top/dianyindj/", true},
      {"/mp4/djmusic/2024/dj/116717.mp4", true},
      {"/a..b/c.d/...", true},  // dots inside names are names
      {"/m/ 116717 /", true},
      {"/mp4/djmusic/中文.mp4", true},
      {"", false},
      {"zw/", false},
      {"http://host/zw/", false},
      {"/..", false},
      {"/../secret", false},
      {"/a/../../secret", false},
      {"/a/./b", false},
      {"/a/.", false},
      {"/a\\..\\secret", false},
      {"/..\\secret", false},
      {"\\..\\secret", false},
      {std::string("/a\0b", 4), false},
      {"/a\nb", false},
      {"/a\x7f", false},
  };
  for (const auto& [path, safe] : cases) EXPECT_EQ(IsSafeRequestPath(path), safe) << path;
}

TEST(HttpDate, IsFixedFormatGmt) {
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDate(1716019200), "Sat, 18 May 2024 08:00:00 GMT");
}

TEST(PlainTitle, DropsMarkupAndDecodesEntities) {
  EXPECT_EQ(PlainTitle("<b>新</b> DJ青禾 &amp; DJ北川"), "新 DJ青禾 & DJ北川");
  EXPECT_EQ(PlainTitle("a &lt;b&gt; &quot;c&quot; &#39;d&#39; &nbsp;"), "a <b> \"c\" 'd' &nbsp;");
  EXPECT_EQ(PlainTitle("unclosed <b"), "unclosed ");
}

TEST(SyntheticBytes, AnyPieceEqualsTheSameBytesOfTheWhole) {
  const SyntheticBytes gen(42);
  const std::size_t total = 3 * 65536 + 123;
  const std::string whole = gen.Range(0, total);
  // Pieces that start and end inside words, on word and block boundaries, and
  // across blocks: every one must be cut out of the same bytes.
  const std::pair<std::uint64_t, std::size_t> pieces[] = {
      {0, 1},         {1, 7},         {3, 13},        {7, 1},        {8, 8},
      {65535, 2},     {65530, 20},    {65536, 65536}, {100, 150000}, {131071, 65537},
      {total - 1, 1}, {total - 9, 9}, {5, total - 5}, {0, total},    {1000, 0},
  };
  for (const auto& [offset, length] : pieces) {
    EXPECT_EQ(gen.Range(offset, length), whole.substr(offset, length))
        << "offset " << offset << " length " << length;
  }
  // A second generator with the same seed gives the same bytes.
  EXPECT_EQ(SyntheticBytes(42).Range(0, total), whole);
}

TEST(SyntheticBytes, SeedsDifferAndBytesDoNotRepeat) {
  const std::string a = SyntheticBytes(1).Range(0, 4 * 65536);
  const std::string b = SyntheticBytes(2).Range(0, 4 * 65536);
  EXPECT_NE(a, b);
  // A piece written one block (or one word) off its place must not look right.
  EXPECT_NE(a.substr(0, 65536), a.substr(65536, 65536));
  EXPECT_NE(a.substr(0, 4096), a.substr(8, 4096));
  // Far into a large file, blocks still differ from the first ones.
  const SyntheticBytes gen(1);
  EXPECT_NE(gen.Range(512ull << 20, 65536), a.substr(0, 65536));
  // Spread: all 256 byte values occur in the first 64 KiB.
  EXPECT_EQ(std::set<char>(a.begin(), a.begin() + 65536).size(), 256u);
}

}  // namespace
}  // namespace wuqu
