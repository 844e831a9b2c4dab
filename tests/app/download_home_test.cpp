#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/download_home.h"
#include "platform/files.h"

namespace wuqu {
namespace {

namespace fs = std::filesystem;

// /proc is a folder that takes no files, not even root's (tests run as root
// in CI, where permission bits stop nothing).
const std::string kNoWrite = "/proc";

class DownloadHomeTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::temp_directory_path() / ("wuqu_download_home_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A folder under the scratch root, made.
  std::string Folder(const std::string& utf8_name) const {
    const fs::path p = root_ / fs::u8path(utf8_name);
    fs::create_directories(p);
    return p.string();
  }
  std::string Path(const std::string& utf8_name) const {
    return (root_ / fs::u8path(utf8_name)).string();
  }

  fs::path root_;
};

TEST_F(DownloadHomeTest, AWritableProgramFolderKeepsItsDownloadsBesideIt) {
  const std::string program = Folder("bin");
  EXPECT_EQ(ChooseDownloadHome(program, {Folder("Downloads")}), program);
  // Nothing is made anywhere for that.
  EXPECT_FALSE(fs::exists(Path("Downloads/wuqu")));
  EXPECT_FALSE(fs::exists(Path("bin/下载")));

  // A 下载 that is already there and takes files is used too.
  Folder("opt/下载");
  EXPECT_EQ(ChooseDownloadHome(Path("opt"), {Folder("Downloads")}), Path("opt"));
}

// The program installed where the user cannot write: wuqu's own folder
// under the first user folder that takes it, made with any folders it lacks.
TEST_F(DownloadHomeTest, AnUnwritableProgramFolderFallsBackToTheUsersFolders) {
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> user_folders;
    std::string expected;
  };
  const Case cases[] = {
      {"English desktop",
       kNoWrite,
       {Folder("home/Downloads"), Folder("home")},
       Path("home/Downloads/wuqu")},
      {"Chinese desktop", kNoWrite, {Folder("home/下载"), Folder("home")}, Path("home/下载/wuqu")},
      {"download folder not made yet",
       kNoWrite,
       {Path("fresh/Downloads"), Path("fresh")},
       Path("fresh/Downloads/wuqu")},
      {"trailing separator", kNoWrite, {Folder("slash") + "/"}, Path("slash/wuqu")},
      {"download folder takes no files", kNoWrite, {kNoWrite, Folder("h1")}, Path("h1/wuqu")},
      {"no download folder known", kNoWrite, {"", Folder("h2")}, Path("h2/wuqu")},
      // Korean has no place in code page 936: a file there could not be named.
      {"download folder program text cannot hold",
       kNoWrite,
       {Folder("ko/다운로드"), Folder("ko")},
       Path("ko/wuqu")},
      {"program folder program text cannot hold",
       Folder("프로그램"),
       {Folder("dl")},
       Path("dl/wuqu")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseDownloadHome(c.program, c.user_folders), c.expected);
    EXPECT_TRUE(IsFolder(c.expected));
    EXPECT_TRUE(CanWriteInFolder(c.expected));
  }
  // Passed-over folders get nothing made in them.
  EXPECT_FALSE(fs::exists(Path("ko/다운로드/wuqu")));
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("프로그램")), fs::directory_iterator()), 0);
}

TEST_F(DownloadHomeTest, SomethingInTheWayOfTheDownloadFolderIsPassedOver) {
  // A file named 下载 beside the program: the folder cannot be made there.
  const std::string program = Folder("bin");
  std::ofstream(Path("bin/下载")) << "x";
  EXPECT_EQ(ChooseDownloadHome(program, {Folder("dl")}), Path("dl/wuqu"));

  // A file where wuqu's folder would go: on to the next user folder.
  fs::create_directories(Path("dl2"));
  std::ofstream(Path("dl2/wuqu")) << "x";
  EXPECT_EQ(ChooseDownloadHome(kNoWrite, {Path("dl2"), Folder("h")}), Path("h/wuqu"));
}

TEST_F(DownloadHomeTest, WithNoFolderThatTakesFilesTheProgramFolderStays) {
  EXPECT_EQ(ChooseDownloadHome(kNoWrite, {kNoWrite, "/proc/self"}), kNoWrite);
  EXPECT_EQ(ChooseDownloadHome(kNoWrite, {}), kNoWrite);
}

}  // namespace
}  // namespace wuqu
