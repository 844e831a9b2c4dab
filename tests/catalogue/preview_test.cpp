#include "catalogue/preview.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue_testing.h"
#include "catalogue/listing.h"
#include "catalogue/media_url.h"
#include "catalogue/memory_window.h"
#include "net/wire_url.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

using testing::L;
using testing::Targets;

using testing::MemoryWindow;



TEST(PlayPageUrl, TheIdAsTyped) {
  const struct {
    Text id, url;
  } cases[] = {
      {"116717", "http://h/m/116717/"},
      {" 116717 ", "http://h/m/ 116717 /"},
      {"", "http://h/m//"},
      {L("舞曲"), L("http://h/m/舞曲/")},
  };
  for (const auto& c : cases) EXPECT_EQ(PlayPageUrl("http://h/", c.id), c.url) << c.id;
}

// A file's address as the player gets it: UTF-8, every byte that is not
// plainly part of a path percent-encoded, and left as it is by WireUrl (which
// the player sends every address through), so "#", "?" and "%" in a folder's
// name name that folder.
TEST(FileUrl, ThePathInUtf8PercentEncoded) {
  const struct {
    Text path;
    Text url;
  } cases[] = {
      {"/home/u/a.mp4", "file:///home/u/a.mp4"},
      {L("/opt/舞曲/下载/116717.mp4"),
       "file:///opt/%E8%88%9E%E6%9B%B2/%E4%B8%8B%E8%BD%BD/116717.mp4"},
      {"/a b/#1?x=%41&y/~_-.mp4", "file:///a%20b/%231%3Fx%3D%2541%26y/~_-.mp4"},
      {"/tab\tand\\back\x7F", "file:///tab%09and%5Cback%7F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileUrl(c.path), c.url) << c.path;
    EXPECT_EQ(WireUrl(FileUrl(c.path)), c.url) << c.path;
  }
}

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Start()) << site_.Error();
    sites_ = {site_.CatalogueBaseUrl(), site_.MediaBaseUrl()};
  }

  DemoSite site_{DemoSiteOptions{.tracks_per_category = 5,
                                 .extra_tracks = {{.category = 2,
                                                   .id = "900001",
                                                   .title = "<b>现场</b> 串烧",
                                                   .file_value = "2024/现场 串烧/900001"}}}};
  SiteAddresses sites_;
};

TEST_F(PreviewTest, ResolveMediaUrlCutsTheFileValueOrFallsBackToTheBareSuffix) {
  DemoSite stopped;
  ASSERT_TRUE(stopped.Start()) << stopped.Error();
  const Text unreachable_page = stopped.Url("m/116717/");
  stopped.Stop();
  SiteFaults missing;
  missing.path_status = {{"/m/404404/", 404}};
  site_.SetFaults(missing);

  const Text media = sites_.media_base_url;
  const struct {
    const char* name;
    Text play_page;
    Text media_url;
  } cases[] = {
      {"default track", site_.Url("m/116717/"),
       media + site_.FindTrack("116717")->file_value + ".mp4"},
      {"file value with sub-folders, Chinese and a blank", site_.Url("m/900001/"),
       media + L("2024/现场 串烧/900001") + ".mp4"},
      {"error page", site_.Url("m/404404/"), media + ".mp4"},
      {"page without the markers", site_.Url("zw/"), media + ".mp4"},
      {"unreachable site", unreachable_page, media + ".mp4"},
      {"empty address", "", media + ".mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResolveMediaUrl(c.play_page, sites_), c.media_url);
  }
}

// The id box's text goes into the play page's address as it stands; blanks
// travel percent-encoded. The media address goes to the player first, then
// into the address box.
TEST_F(PreviewTest, PreviewTrackByIdFetchesThePlayPageOfTheTypedId) {
  const Text fallback = sites_.media_base_url + ".mp4";
  const Text default_media = sites_.media_base_url + site_.FindTrack("116717")->file_value + ".mp4";
  const struct {
    Text id;
    std::string target;
    Text media_url;
  } cases[] = {
      {"116717", "/m/116717/", default_media},
      {" 116717 ", "/m/%20116717%20/", fallback},
      {"", "/m//", fallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("id \"" + c.id + "\"");
    site_.ClearRequests();
    MemoryWindow w;
    w.track_id = c.id;
    PreviewTrackById(w, sites_);
    EXPECT_EQ(Targets(site_.Requests()), std::vector<std::string>{"GET " + c.target});
    EXPECT_EQ(w.writes, (std::vector<Text>{"player " + c.media_url, "address " + c.media_url}));
    EXPECT_TRUE(w.rows.empty());
    EXPECT_TRUE(w.messages.empty());
  }
}

TEST_F(PreviewTest, PreviewSelectedTrackFetchesTheSelectedRowsPlayPage) {
  MemoryWindow w;
  w.category = 2;
  LoadCategoryListing(w, sites_);
  ASSERT_EQ(w.rows.size(), 6u);
  const auto rows_before = w.rows;
  const SiteTrack* extra = site_.FindTrack("900001");
  const SiteTrack& third = site_.Categories()[2].tracks[2];
  const Text extra_media = sites_.media_base_url + L(extra->file_value) + ".mp4";
  const Text third_media = sites_.media_base_url + L(third.file_value) + ".mp4";
  const Text fallback = sites_.media_base_url + ".mp4";

  const struct {
    int selected;
    std::vector<std::string> targets;
    Text media_url;
  } cases[] = {
      {0, {"GET /" + extra->href}, extra_media},
      {2, {"GET /" + third.href}, third_media},
      {2, {"GET /" + third.href}, third_media},  // the same row again: fetched again
      {-1, {}, fallback},                        // no row selected: nothing to fetch
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selected);
    site_.ClearRequests();
    w.writes.clear();
    w.selected_row = c.selected;
    PreviewSelectedTrack(w, sites_);
    EXPECT_EQ(Targets(site_.Requests()), c.targets);
    EXPECT_EQ(w.writes, (std::vector<Text>{"player " + c.media_url, "address " + c.media_url}));
  }
  EXPECT_EQ(w.rows, rows_before);
  EXPECT_TRUE(w.messages.empty());
}

}  // namespace
}  // namespace wuqu::catalogue
