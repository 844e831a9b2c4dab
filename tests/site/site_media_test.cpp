// Media files as the player and the downloader meet them: the shipped tracks
// byte for byte, synthetic files of any size, ranges, HEAD and validators.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <set>
#include <thread>

#include "site/demo_site.h"
#include "site/site_client.h"
#include "site/synthetic.h"

namespace wuqu {
namespace {

class SiteMedia : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(site_.Start()) << site_.Error(); }
  int port() const { return site_.Port(); }
  DemoSite site_;
};

TEST_F(SiteMedia, CatalogueTracksAreTheShippedFilesByteForByte) {
  std::set<std::string> shipped_seen;
  for (const auto& category : site_.Categories()) {
    for (std::size_t i = 0; i < 4; ++i) {
      const SiteTrack& t = category.tracks[i];
      const auto r = test::RawGet(port(), t.MediaPath());
      ASSERT_EQ(r.status, 200) << t.MediaPath();
      EXPECT_EQ(r.Header("Content-Type"), "video/mp4");
      EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
      // Which shipped file it is: it must be one of the four, exactly.
      bool found = false;
      for (int n = 1; n <= 4 && !found; ++n) {
        const std::string file = "track-" + std::to_string(n) + ".mp4";
        if (r.body == test::ReadFile(test::SourceDir() + "/assets/media/" + file)) {
          found = true;
          shipped_seen.insert(file);
        }
      }
      EXPECT_TRUE(found) << t.MediaPath() << " is none of the shipped tracks";
      EXPECT_EQ(site_.MediaBytes(t.MediaPath()), r.body);
      EXPECT_EQ(site_.MediaSha256(t.MediaPath()), Sha256Hex(r.body));
    }
  }
  EXPECT_EQ(shipped_seen.size(), 4u);
}

// Large files behind the listings, for end-to-end downloads of real size.
TEST(SiteTrackMedia, CatalogueTracksCanBeSyntheticFilesOfAGivenSize) {
  DemoSite site({.track_media_size = 3000000});
  ASSERT_TRUE(site.Start()) << site.Error();
  for (const char* id : {"116717", "16717", "916717"}) {
    const SiteTrack* t = site.FindTrack(id);
    ASSERT_NE(t, nullptr) << id;
    const auto r = test::RawGet(site.Port(), t->MediaPath(), {"Range: bytes=1000000-"});
    EXPECT_EQ(r.status, 206) << id;
    EXPECT_EQ(r.Header("Content-Range"), "bytes 1000000-2999999/3000000") << id;
    EXPECT_EQ(r.body, SyntheticBytes(std::stoull(id)).Range(1000000, 2000000)) << id;
  }
}

// Ranges on a shipped track and on a synthetic file, against the bytes the
// site says the file holds.
TEST_F(SiteMedia, RangesHeadAndUnsatisfiableRanges) {
  const std::string paths[] = {site_.FindTrack(kDefaultTrackId)->MediaPath(),
                               DemoSite::SyntheticMediaPath(300000, 5)};
  for (const std::string& path : paths) {
    const std::string whole = *site_.MediaBytes(path);
    const std::uint64_t size = whole.size();
    const std::string total = "/" + std::to_string(size);
    struct Case {
      std::string range;
      int status;
      std::uint64_t first, last;  // expected body, inclusive, for 206
    };
    const Case cases[] = {
        {"bytes=0-9", 206, 0, 9},
        {"bytes=100-", 206, 100, size - 1},
        {"bytes=-10", 206, size - 10, size - 1},
        {"bytes=7-7", 206, 7, 7},
        {"bytes=10-99999999999", 206, 10, size - 1},
        {"bytes=0-18446744073709551615", 206, 0, size - 1},  // the largest last position
        {"bytes=0-18446744073709551616", 206, 0, size - 1},  // beyond it
        {"bytes=18446744073709551615-", 416, 0, 0},
        {"bytes=" + std::to_string(size) + "-", 416, 0, 0},
        {"bytes=-0", 416, 0, 0},
        {"bytes=0-1,5-6", 200, 0, 0},  // several ranges: the whole file
    };
    for (const auto& c : cases) {
      const auto r = test::RawGet(port(), path, {"Range: " + c.range});
      ASSERT_EQ(r.status, c.status) << path << " " << c.range;
      EXPECT_EQ(r.Header("Accept-Ranges"), "bytes");
      if (c.status == 206) {
        EXPECT_EQ(r.Header("Content-Range"),
                  "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + total);
        EXPECT_EQ(r.body, whole.substr(c.first, c.last - c.first + 1)) << c.range;
      } else if (c.status == 416) {
        EXPECT_EQ(r.Header("Content-Range"), "bytes *" + total);
        EXPECT_TRUE(r.body.empty());
      } else {
        EXPECT_FALSE(r.HasHeader("Content-Range"));
        EXPECT_EQ(r.body, whole) << c.range;
      }
      EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size())) << c.range;

      // HEAD answers with the same status and headers, and no body.
      const auto head = test::RawRequest(port(), "HEAD", path, {"Range: " + c.range});
      EXPECT_EQ(head.status, c.status) << "HEAD " << c.range;
      EXPECT_EQ(head.Header("Content-Length"), r.Header("Content-Length")) << "HEAD " << c.range;
      EXPECT_EQ(head.Header("Content-Range"), r.Header("Content-Range")) << "HEAD " << c.range;
      EXPECT_TRUE(head.body.empty()) << "HEAD " << c.range;
    }
  }
}

TEST_F(SiteMedia, ValidatorsNameOneVersionOfOneFile) {
  const std::string a = site_.FindTrack(kDefaultTrackId)->MediaPath();
  const std::string b = DemoSite::SyntheticMediaPath(1000, 1);
  const std::string c = DemoSite::SyntheticMediaPath(1000, 2);
  const auto ra = test::RawRequest(port(), "HEAD", a);
  const auto rb = test::RawRequest(port(), "HEAD", b);
  const auto rc = test::RawRequest(port(), "HEAD", c);
  for (const auto* r : {&ra, &rb, &rc}) {
    EXPECT_FALSE(r->Header("ETag").empty());
    EXPECT_TRUE(r->Header("Last-Modified").ends_with(" GMT"));
  }
  EXPECT_NE(ra.Header("ETag"), rb.Header("ETag"));
  EXPECT_NE(rb.Header("ETag"), rc.Header("ETag"));
  EXPECT_EQ(test::RawRequest(port(), "HEAD", b).Header("ETag"), rb.Header("ETag"));
  EXPECT_EQ(site_.MediaETag(b), rb.Header("ETag"));

  // If-Range: the range only while the validator still names this file.
  const struct {
    std::string if_range;
    int status;
  } cases[] = {
      {rb.Header("ETag"), 206},    {rb.Header("Last-Modified"), 206},      {rc.Header("ETag"), 200},
      {"\"something-else\"", 200}, {"Thu, 01 Jan 1970 00:00:00 GMT", 200},
  };
  for (const auto& cs : cases) {
    const auto r = test::RawGet(port(), b, {"Range: bytes=10-19", "If-Range: " + cs.if_range});
    EXPECT_EQ(r.status, cs.status) << cs.if_range;
    EXPECT_EQ(r.body.size(), cs.status == 206 ? 10u : 1000u) << cs.if_range;
  }
}

TEST_F(SiteMedia, SyntheticFilesAreTheSeedsBytesAtAnySize) {
  for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7},
                             std::uint64_t{65537}, std::uint64_t{1000003}}) {
    const std::string path = DemoSite::SyntheticMediaPath(size, 77);
    const auto r = test::RawGet(port(), path);
    ASSERT_EQ(r.status, 200) << size;
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(size));
    EXPECT_EQ(r.body, SyntheticBytes(77).Range(0, size)) << size;
    EXPECT_EQ(test::RawGet(port(), path).body, r.body) << "not the same twice: " << size;
    EXPECT_EQ(site_.MediaSize(path), size);
  }
  // Names that are not a size and a seed in decimal, or too large a size.
  const char* bad[] = {"/mp4/djmusic/synthetic/100/x.mp4",
                       "/mp4/djmusic/synthetic/-1/1.mp4",
                       "/mp4/djmusic/synthetic/100.mp4",
                       "/mp4/djmusic/synthetic//1.mp4",
                       "/mp4/djmusic/synthetic/1e3/1.mp4",
                       "/mp4/djmusic/synthetic/100/1",
                       "/mp4/djmusic/synthetic/2000000000000/1.mp4",
                       "/mp4/djmusic/synthetic/99999999999999999999999/1.mp4"};
  for (const char* path : bad) EXPECT_EQ(test::RawGet(port(), path).status, 404) << path;
}

// A large body goes out in many pieces over one connection; every piece must
// land where it belongs.
TEST_F(SiteMedia, LargeSyntheticBodyStreamsIntact) {
  const std::uint64_t size = 48ull << 20;
  const std::string path = DemoSite::SyntheticMediaPath(size, 2024);
  httplib::Client client("127.0.0.1", port());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::uint64_t received = 0;
  const auto res = client.Get(path.c_str(), [&](const char* data, size_t n) {
    EVP_DigestUpdate(ctx.get(), data, n);
    received += n;
    return true;
  });
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(received, size);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char b[3];
    std::snprintf(b, sizeof b, "%02x", digest[i]);
    hex += b;
  }
  EXPECT_EQ(site_.MediaSha256(path), hex);
}

// Twenty connections at once, as the downloader opens them, each with its
// piece of one file: together they give the file.
TEST_F(SiteMedia, ParallelRangesMakeUpTheFile) {
  const std::uint64_t size = 8ull << 20;
  const std::string path = DemoSite::SyntheticMediaPath(size, 99);
  constexpr int kConnections = 20;
  std::string assembled(size, '\0');
  std::vector<int> statuses(kConnections);
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    threads.emplace_back([&, i] {
      const std::uint64_t first = size * i / kConnections;
      const std::uint64_t last = size * (i + 1) / kConnections - 1;
      httplib::Client client("127.0.0.1", port());
      const auto res = client.Get(
          path.c_str(), {{"Range", "bytes=" + std::to_string(first) + "-" + std::to_string(last)}});
      if (!res) return;
      statuses[i] = res->status;
      if (res->body.size() == last - first + 1)
        assembled.replace(first, res->body.size(), res->body);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kConnections; ++i) EXPECT_EQ(statuses[i], 206) << i;
  EXPECT_EQ(Sha256Hex(assembled), site_.MediaSha256(path));
  std::set<int> connections;
  for (const auto& r : site_.Requests()) connections.insert(r.remote_port);
  EXPECT_EQ(connections.size(), static_cast<std::size_t>(kConnections));
}

}  // namespace
}  // namespace wuqu
