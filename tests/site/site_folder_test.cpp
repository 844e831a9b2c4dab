// A folder of the user's own files served as the catalogue, and the one rule
// that matters most: nothing outside the catalogue or that folder is ever
// served, whatever the request path says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "net/wire_url.h"
#include "site/demo_site.h"
#include "site/site_client.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecret = "TOP-SECRET-beside-the-folder";

void Write(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// root/
//   secret.mp4, secret.txt          beside the served folder
//   served/
//     a.mp4, a.MP4, 中文 歌.mp4,     served
//     x'y.mp4
//     notes.txt, sub/b.mp4           not .mp4 / not directly inside
//     out.mp4 -> ../secret.mp4       a link out
//     in.mp4 -> a.mp4                a link in (links are not served either)
class SiteFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("wuqu-site-folder-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    served_ = root_ / "served";
    fs::create_directories(served_ / "sub");
    Write(root_ / "secret.mp4", std::string(kSecret) + " mp4");
    Write(root_ / "secret.txt", std::string(kSecret) + " txt");
    Write(served_ / "a.mp4", "first file");
    Write(served_ / "a.MP4", "upper-case twin");
    Write(served_ / "中文 歌.mp4", "second file");
    Write(served_ / "x'y.mp4", "third file");
    Write(served_ / "notes.txt", "not media");
    Write(served_ / "sub" / "b.mp4", "in a sub-folder");
    fs::create_symlink("../secret.mp4", served_ / "out.mp4");
    fs::create_symlink("a.mp4", served_ / "in.mp4");

    site_ = std::make_unique<DemoSite>(DemoSiteOptions{.folder = served_.string()});
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }
  void TearDown() override {
    site_.reset();
    fs::remove_all(root_);
  }
  int port() const { return site_->Port(); }

  fs::path root_, served_;
  std::unique_ptr<DemoSite> site_;
};

TEST_F(SiteFolder, ListsTheFolderFilesInEveryCategory) {
  ASSERT_EQ(site_->Categories().size(), 10u);
  for (const auto& category : site_->Categories()) {
    ASSERT_EQ(category.tracks.size(), 4u) << category.path;
    EXPECT_EQ(category.tracks[0].id, "116717");
    EXPECT_EQ(category.tracks[0].title, "a");
    EXPECT_EQ(category.tracks[1].title, "a");
    EXPECT_EQ(category.tracks[2].title, "x&#39;y");
    EXPECT_EQ(category.tracks[3].title, "中文 歌");
  }
  const auto page = test::RawGet(port(), "/top/mangeyinyue/");
  EXPECT_NE(page.body.find("<td><a href=\"m/116717/\" id=\"s116717\" target=\"play\">a</a></td>"),
            std::string::npos);

  // Each file's media is the file; a name that cannot stand in an address,
  // or that a twin already took, is served under its id instead.
  const std::pair<std::string, std::string> media[] = {{"116717", "upper-case twin"},
                                                       {"116718", "first file"},
                                                       {"116719", "third file"},
                                                       {"116720", "second file"}};
  for (const auto& [id, bytes] : media) {
    const SiteTrack* t = site_->FindTrack(id);
    ASSERT_NE(t, nullptr) << id;
    const auto play = test::RawGet(port(), "/" + t->href);
    EXPECT_NE(play.body.find("', file: '" + t->file_value + "', good:"), std::string::npos);
    // The address as the program sends it: through WireUrl from its own text.
    const auto r = test::RawGet(port(), WireUrl(Utf8ToLocalText(t->MediaPath())));
    EXPECT_EQ(r.status, 200) << t->MediaPath();
    EXPECT_EQ(r.body, bytes) << t->MediaPath();
  }
  EXPECT_EQ(site_->FindTrack("116717")->file_value, "local/a");
  EXPECT_EQ(site_->FindTrack("116718")->file_value, "local/id/116718");
  EXPECT_EQ(site_->FindTrack("116719")->file_value, "local/id/116719");
  EXPECT_EQ(site_->FindTrack("116720")->file_value, "local/中文 歌");
  EXPECT_EQ(WireUrl(Utf8ToLocalText(site_->FindTrack("116720")->MediaPath())),
            "/mp4/djmusic/local/%E4%B8%AD%E6%96%87%20%E6%AD%8C.mp4");
  const auto ranged = test::RawGet(port(), "/mp4/djmusic/local/id/116718.mp4", {"Range: bytes=6-"});
  EXPECT_EQ(ranged.status, 206);
  EXPECT_EQ(ranged.body, "file");
}

TEST_F(SiteFolder, HostilePathsNeverReachOutside) {
  const std::string abs_secret = (root_ / "secret.mp4").string();
  const std::string targets[] = {
      "/../secret.txt",
      "/../../../../../../etc/passwd",
      "/mp4/djmusic/../../secret.mp4",
      "/mp4/djmusic/local/../../secret.mp4",
      "/mp4/djmusic/local/../secret.mp4",
      "/mp4/djmusic/local/..%2F..%2Fsecret.mp4",
      "/mp4/djmusic/local/%2e%2e/%2e%2e/secret.mp4",
      "/mp4/djmusic/local/%2E%2E%2F%2E%2E%2Fsecret.mp4",
      "/mp4/djmusic/local/.%2e/secret.mp4",
      "/mp4/djmusic/local/%252e%252e/secret.mp4",
      "/mp4/djmusic/local/..\\..\\secret.mp4",
      "/mp4/djmusic/local/..%5C..%5Csecret.mp4",
      "/mp4/djmusic/local/..%5csecret.mp4",
      "/mp4/djmusic/local/secret.mp4",
      "/mp4/djmusic/local/out.mp4",
      "/mp4/djmusic/local/out",
      "/mp4/djmusic/local/in.mp4",
      "/mp4/djmusic/local/sub/b.mp4",
      "/mp4/djmusic/local/notes.txt",
      "/mp4/djmusic/local/a.mp4%00.txt",
      "/mp4/djmusic/local/a.mp4/../../secret.mp4",
      "/mp4/djmusic/" + abs_secret.substr(0, abs_secret.size() - 4) + ".mp4",
      "/mp4/djmusic/" + abs_secret,
      "/mp4/djmusic/%2F" + abs_secret.substr(1),
      "//" + abs_secret,
      abs_secret,
      "/mp4/djmusic/synthetic/../../secret.mp4",
      "/mp4/djmusic/synthetic/10/1.mp4/../../../secret.mp4",
      "http://127.0.0.1/../secret.txt",
      "../secret.txt",
      "*",
  };
  for (const std::string& target : targets) {
    for (const char* method : {"GET", "HEAD"}) {
      const auto r = test::RawRequest(port(), method, target);
      EXPECT_TRUE(r.status < 200 || r.status >= 300)
          << method << " " << target << " got " << r.status;
      EXPECT_EQ(r.body.find(kSecret), std::string::npos) << method << " " << target;
      EXPECT_NE(r.Header("Content-Length"), std::to_string(kSecret.size() + 4)) << target;
    }
  }
  // The table is not empty-handed by accident: the folder's own file comes.
  EXPECT_EQ(test::RawGet(port(), "/mp4/djmusic/local/a.mp4").body, "upper-case twin");
}

TEST_F(SiteFolder, FileSwappedForALinkAfterStartIsRefused) {
  fs::remove(served_ / "a.MP4");
  fs::create_symlink("../secret.mp4", served_ / "a.MP4");
  const auto r = test::RawGet(port(), "/mp4/djmusic/local/a.mp4");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.find(kSecret), std::string::npos);
  EXPECT_FALSE(site_->MediaBytes("/mp4/djmusic/local/a.mp4").has_value());
}

TEST(SiteFolderStart, UnreadableFolderIsReported) {
  DemoSite site({.folder = "/nonexistent/wuqu-site-folder"});
  EXPECT_FALSE(site.Start());
  EXPECT_NE(site.Error().find("/nonexistent/wuqu-site-folder"), std::string::npos);
  EXPECT_FALSE(site.IsRunning());
}

}  // namespace
}  // namespace wuqu
