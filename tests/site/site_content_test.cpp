// The catalogue as the program reads it: listing pages in the form of the
// listing pattern, play pages with the file value between the two markers,
// titles the program can show, and the request log the other tests rely on.
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>
#include <set>
#include <sstream>

#include "site/demo_site.h"
#include "site/site_client.h"
#include "site/synthetic.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

constexpr std::string_view kLeftMarker = "', file: '";
constexpr std::string_view kRightMarker = "', good:";

// The program's listing pattern with its quote placeholders expanded: lazy
// groups, any letter case, "." stopping at line ends.
const std::regex& ListingPattern() {
  static const std::regex pattern(R"re(<td><a href="(.*?)" id="(.*?)" target="play">(.*?)</a>)re",
                                  std::regex::ECMAScript | std::regex::icase);
  return pattern;
}

struct Link {
  std::string href, id, title;
  bool operator==(const Link&) const = default;
};

// Every match of the listing pattern, checking on the way that no line holds two.
std::vector<Link> Links(const std::string& page, int* lines_with_two = nullptr) {
  std::vector<Link> links;
  std::istringstream in(page);
  std::string line;
  while (std::getline(in, line)) {
    int on_line = 0;
    for (std::sregex_iterator it(line.begin(), line.end(), ListingPattern()), end; it != end;
         ++it, ++on_line)
      links.push_back({(*it)[1], (*it)[2], (*it)[3]});
    if (on_line > 1 && lines_with_two) ++*lines_with_two;
  }
  return links;
}

// The file value as the program cuts it: after the first left marker, up to
// the first right marker after it; "" when either is missing.
std::string FileValue(std::string_view page) {
  const auto left = page.find(kLeftMarker);
  if (left == std::string_view::npos) return {};
  const auto start = left + kLeftMarker.size();
  const auto right = page.find(kRightMarker, start);
  if (right == std::string_view::npos) return {};
  return std::string(page.substr(start, right - start));
}

class SiteContent : public ::testing::Test {
 protected:
  void StartSite(DemoSiteOptions options = {}) {
    site_ = std::make_unique<DemoSite>(std::move(options));
    ASSERT_TRUE(site_->Start()) << site_->Error();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", site_->Port());
  }
  httplib::Result Get(const std::string& path) { return client_->Get(path.c_str()); }

  std::unique_ptr<DemoSite> site_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(SiteContent, EveryListingHoldsItsTracksOneLinkPerLine) {
  StartSite();
  const char* paths[] = {
      "myxc/", "xc/", "zw/", "top/dianyindj/", "top/mangeyinyue/", "club/", "ywclub/",
      "my/",   "yw/", "jy/"};
  ASSERT_EQ(site_->Categories().size(), 10u);
  std::set<std::string> all_ids;
  for (std::size_t c = 0; c < 10; ++c) {
    const SiteCategory& category = site_->Categories()[c];
    EXPECT_EQ(category.path, paths[c]);
    const auto res = Get(std::string("/") + paths[c]);
    ASSERT_TRUE(res) << paths[c];
    EXPECT_EQ(res->status, 200) << paths[c];
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
    // A page, not a bare list: the navigation's links must not look like tracks.
    EXPECT_NE(res->body.find("<ul class=\"nav\">"), std::string::npos);
    EXPECT_NE(res->body.find("</html>"), std::string::npos);

    int lines_with_two = 0;
    const std::vector<Link> links = Links(res->body, &lines_with_two);
    EXPECT_EQ(lines_with_two, 0) << paths[c];
    ASSERT_EQ(links.size(), category.tracks.size()) << paths[c];
    EXPECT_EQ(links.size(), 36u);
    for (std::size_t i = 0; i < links.size(); ++i) {
      const SiteTrack& t = category.tracks[i];
      EXPECT_EQ(links[i], (Link{t.href, links[i].id, t.title})) << paths[c] << " row " << i;
      EXPECT_EQ(t.href, "m/" + t.id + "/");
      EXPECT_FALSE(links[i].id.empty());
      EXPECT_TRUE(all_ids.insert(t.id).second) << "id twice: " << t.id;
    }
  }
  EXPECT_TRUE(all_ids.count(std::string(kDefaultTrackId)));
}

TEST_F(SiteContent, TitlesAreReadableInCodePage936AndSomeCarryQuirks) {
  StartSite({.tracks_per_category = 200});
  int with_entity = 0, with_markup = 0, chinese = 0;
  for (const auto& category : site_->Categories()) {
    for (const auto& t : category.tracks) {
      const Text local = Utf8ToLocalText(t.title);
      EXPECT_EQ(local.find('?'), Text::npos) << t.title;
      EXPECT_EQ(LocalTextToUtf8(local), t.title);
      with_entity += t.title.find("&amp;") != std::string::npos;
      with_markup += t.title.find("<b>") != std::string::npos;
      chinese += local.size() < t.title.size();  // two GBK bytes for three UTF-8 bytes
    }
  }
  EXPECT_GT(with_entity, 0);
  EXPECT_GT(with_markup, 0);
  EXPECT_GT(chinese, 1000);
}

TEST_F(SiteContent, EveryPlayPageHoldsItsFileValueBetweenTheMarkers) {
  StartSite();
  for (const auto& category : site_->Categories()) {
    for (const auto& t : category.tracks) {
      const auto res = Get("/" + t.href);
      ASSERT_TRUE(res) << t.href;
      ASSERT_EQ(res->status, 200) << t.href;
      EXPECT_EQ(FileValue(res->body), t.file_value) << t.href;
      EXPECT_NE(t.file_value.find('/'), std::string::npos);  // sub-folders on the media host
      // The file value leads to the media the site serves.
      EXPECT_TRUE(site_->MediaSize(t.MediaPath()).has_value()) << t.MediaPath();
    }
  }
  const SiteTrack* home = site_->FindTrack(kDefaultTrackId);
  ASSERT_NE(home, nullptr);
  const auto res = Get("/m/116717/");
  ASSERT_TRUE(res);
  EXPECT_EQ(FileValue(res->body), home->file_value);
  EXPECT_NE(res->body.find("', file: '" + home->file_value + "', good: "), std::string::npos);
}

TEST_F(SiteContent, UnknownPagesAre404WithoutMarkers) {
  StartSite();
  const char* targets[] = {
      "/m/999/",        "/m/116717",   "/m/%20116717%20/",  "/m//",
      "/m/116717/x/",   "/m/116717//", "/M/116717/",        "/zw",
      "/zw/index.html", "/nowhere/",   "/mp4/djmusic/.mp4", "/mp4/djmusic/2024/live/116717"};
  for (const char* target : targets) {
    const auto r = test::RawGet(site_->Port(), target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find(kLeftMarker), std::string::npos) << target;
    EXPECT_TRUE(Links(r.body).empty()) << target;
  }
  // The home page leads to the ten listings.
  const auto home = Get("/");
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  for (const auto& category : site_->Categories())
    EXPECT_NE(home->body.find("href=\"/" + category.path + "\""), std::string::npos);
}

TEST_F(SiteContent, CatalogueSizeFollowsTheOption) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
    StartSite({.tracks_per_category = n});
    const auto res = Get("/zw/");
    ASSERT_TRUE(res);
    EXPECT_EQ(Links(res->body).size(), n) << n;
    // The program's default id exists whatever the size.
    const auto play = Get("/m/116717/");
    ASSERT_TRUE(play);
    EXPECT_EQ(play->status, 200) << n;
    EXPECT_FALSE(FileValue(play->body).empty()) << n;
    site_.reset();
  }
}

TEST_F(SiteContent, ExtraTracksComeFirstWithTheirOwnFileValue) {
  DemoSiteOptions options;
  options.extra_tracks = {
      {2, "900001", "子目录 测试", "deep/sub/folder/x", 5000, 9},
      {2, "900002", "DJ Test &amp; <b>Bold</b>", "https://evil/y", 0, 0},
  };
  StartSite(options);
  const auto res = Get("/zw/");
  ASSERT_TRUE(res);
  const auto links = Links(res->body);
  ASSERT_GE(links.size(), 2u);
  EXPECT_EQ(links[0], (Link{"m/900002/", links[0].id, "DJ Test &amp; <b>Bold</b>"}));
  EXPECT_EQ(links[1], (Link{"m/900001/", links[1].id, "子目录 测试"}));
  EXPECT_EQ(links.size(), 38u);

  const auto play = Get("/m/900001/");
  ASSERT_TRUE(play);
  EXPECT_EQ(FileValue(play->body), "deep/sub/folder/x");
  const auto media = Get("/mp4/djmusic/deep/sub/folder/x.mp4");
  ASSERT_TRUE(media);
  EXPECT_EQ(media->status, 200);
  EXPECT_EQ(media->body, SyntheticBytes(9).Range(0, 5000));
  EXPECT_EQ(FileValue(Get("/m/900002/")->body), "https://evil/y");
}

TEST_F(SiteContent, RequestLogKeepsWhatArrived) {
  StartSite();
  test::RawGet(site_->Port(), "/m/%20116717%20/?from=list", {"X-Probe: one"});
  test::RawGet(site_->Port(), "/mp4/djmusic/2024/live/116717.mp4", {"Range: bytes=0-9"});
  test::RawRequest(site_->Port(), "HEAD", "/zw/");
  const auto log = site_->Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, "/m/%20116717%20/?from=list");
  EXPECT_EQ(log[0].path, "/m/ 116717 /");
  EXPECT_EQ(log[0].Header("x-probe"), "one");
  EXPECT_EQ(log[0].status, 404);
  EXPECT_EQ(log[1].range, "bytes=0-9");
  EXPECT_EQ(log[1].status, 206);
  EXPECT_EQ(log[2].method, "HEAD");
  EXPECT_EQ(log[2].status, 200);
  EXPECT_NE(log[0].remote_port, log[1].remote_port);  // one connection each

  EXPECT_EQ(site_->TakeRequests().size(), 3u);
  EXPECT_TRUE(site_->Requests().empty());
  test::RawGet(site_->Port(), "/");
  site_->ClearRequests();
  EXPECT_TRUE(site_->Requests().empty());
}

TEST(DemoSite, ReportsAnAddressItCannotUse) {
  DemoSite first;
  ASSERT_TRUE(first.Start()) << first.Error();
  DemoSite second({.port = first.Port()});
  EXPECT_FALSE(second.Start());
  EXPECT_NE(second.Error().find(std::to_string(first.Port())), std::string::npos);
  EXPECT_FALSE(second.IsRunning());

  // A stopped site starts again, on a port of its own.
  first.Stop();
  EXPECT_FALSE(first.IsRunning());
  ASSERT_TRUE(first.Start()) << first.Error();
  EXPECT_EQ(test::RawGet(first.Port(), "/zw/").status, 200);
  EXPECT_EQ(first.CatalogueBaseUrl(), "http://127.0.0.1:" + std::to_string(first.Port()) + "/");
  EXPECT_EQ(first.MediaBaseUrl(), first.CatalogueBaseUrl() + "mp4/djmusic/");
}

}  // namespace
}  // namespace wuqu
