// wuqu-fetch run as a program of its own against the demo site: its exit
// status is 0 only for a complete file, its file name is taken as the
// platform's (UTF-8), and a failure names its cause.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "download/downloader_testing.h"

extern char** environ;

namespace wuqu::download {
namespace {

using namespace testing;

struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

Outcome RunFetch(const ScratchFolder& dir, std::vector<std::string> args) {
  args.insert(args.begin(), WUQU_FETCH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out = dir / "stdout.txt";
  const std::string err = dir / "stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  Outcome outcome;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.out = ReadAll(out);
  outcome.err = ReadAll(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return outcome;
}

constexpr std::string_view kDownloadFolder = "\xE4\xB8\x8B\xE8\xBD\xBD";  // 下载 in UTF-8

TEST(FetchToolTest, ExitsWithZeroOnlyForACompleteFile) {
  DemoSite site;
  ASSERT_TRUE(site.Start()) << site.Error();
  const std::string media = DemoSite::SyntheticMediaPath(3000000, 5);
  struct Case {
    const char* name;
    std::vector<std::string> args;  // "{dir}" stands for the scratch folder
    int exit_code;
    const char* says;  // on stdout for 0, on stderr otherwise
  };
  const Case cases[] = {
      {"help", {"--help"}, 0, "usage: wuqu-fetch [-n CONNECTIONS] URL FILE"},
      {"nothing to fetch", {}, 2, "usage: wuqu-fetch"},
      {"one argument too many", {"-n", "4", "a", "b", "c"}, 2, "usage: wuqu-fetch"},
      {"no connection count", {"-n", "x", site.Url(media), "{dir}/a.mp4"}, 2, "1 to 64"},
      {"a missing file", {site.Url("/mp4/djmusic/none.mp4"), "{dir}/a.mp4"}, 1, "HTTP 404"},
      {"not an http address", {"file:///etc/hostname", "{dir}/a.mp4"}, 1,
       "not an http or https address"},
      {"a folder above the download folder missing", {site.Url(media), "{dir}/no/such/a.mp4"}, 1,
       "could not be made or written"},
      {"complete", {"-n", "4", site.Url(media), "{dir}/a.mp4"}, 0, "completed: 3000000 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir;
    std::vector<std::string> args;
    for (std::string a : c.args) {
      if (a.starts_with("{dir}")) a = dir.path() + a.substr(5);
      args.push_back(a);
    }
    const Outcome outcome = RunFetch(dir, args);
    EXPECT_EQ(outcome.exit_code, c.exit_code) << outcome.out << outcome.err;
    EXPECT_NE((c.exit_code == 0 ? outcome.out : outcome.err).find(c.says), std::string::npos)
        << outcome.out << outcome.err;
    if (c.exit_code == 0 && c.args.size() > 1) {
      EXPECT_EQ(FileSha256(dir / "a.mp4"), site.MediaSha256(media));
    }
  }
}

// A host that keeps 4 connections open, idle ones included: the summary
// names what it allows, the most connections that received at once.
TEST(FetchToolTest, TheSummaryNamesWhatAHostAllows) {
  DemoSiteOptions options;
  options.faults.rate_limit = 16 << 20;
  options.faults.max_open_connections = 4;
  DemoSite site(options);
  ASSERT_TRUE(site.Start()) << site.Error();
  const std::string media = DemoSite::SyntheticMediaPath(32 << 20, 6);
  for (const char* asked : {"8", "20"}) {
    SCOPED_TRACE(asked);
    ScratchFolder dir;
    const Outcome outcome = RunFetch(dir, {"-n", asked, site.Url(media), dir / "a.mp4"});
    EXPECT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("completed: 33554432 bytes"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find(", the host allows 4\n"), std::string::npos) << outcome.out;
    EXPECT_EQ(FileSha256(dir / "a.mp4"), site.MediaSha256(media));
  }
}

// The file argument is a UTF-8 path: the download folder is made under its
// own name, not under the bytes read as code page 936 ("涓嬭浇").
TEST(FetchToolTest, FileNamesAreTheFileSystemsOwn) {
  DemoSite site;
  ASSERT_TRUE(site.Start()) << site.Error();
  const std::string media = DemoSite::SyntheticMediaPath(500000, 6);
  ScratchFolder dir;
  const std::string target =
      dir.path() + "/" + std::string(kDownloadFolder) + "/\xE8\x88\x9E\xE6\x9B\xB2.mp4";  // 舞曲
  const Outcome outcome = RunFetch(dir, {site.Url(media), target});
  ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
  EXPECT_EQ(dir.Names(), std::vector<std::string>{std::string(kDownloadFolder)});
  EXPECT_EQ(FileSha256(target), site.MediaSha256(media));
}

}  // namespace
}  // namespace wuqu::download
