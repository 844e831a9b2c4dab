// The wuqu-site program: its options reach the site, it says where it
// listens, and it ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "site/site_client.h"

extern char** environ;

namespace wuqu {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout and stderr
};

Child Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), WUQU_SITE_EXE);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  Child child;
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  child.out = pipe_fds[0];
  return child;
}

// Reads the child's output up to the first line end, or all of it.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string ReadAll(int fd) {
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
    all.append(buf, static_cast<std::size_t>(n));
  return all;
}

int Wait(const Child& child) {
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ::close(child.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SiteProgram, HelpListsEveryOption) {
  const Child child = Spawn({"--help"});
  ASSERT_GT(child.pid, 0);
  const std::string help = ReadAll(child.out);
  EXPECT_EQ(Wait(child), 0);
  for (const char* option :
       {"--host", "--port", "--tracks", "--track-size", "--folder", "--threads", "--rate",
        "--drop-after", "--refuse-ranges", "--fail-every", "--stall-after", "--stall-ms",
        "--stall-count", "--trickle-nth", "--trickle-rate", "--slow-head-nth",
        "--slow-head-ms", "--first-byte-delay", "--status", "--revision", "--log", "--help"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
  EXPECT_NE(help.find("default " + std::to_string(WUQU_SITE_PORT)), std::string::npos);
}

TEST(SiteProgram, BadOptionsAreRefused) {
  const std::vector<std::string> cases[] = {
      {"--nonsense"},   {"--port"},           {"--port", "x"},         {"--port", "70000"},
      {"--rate", "2X"}, {"--status", "/zw/"}, {"--status", "/zw/=99"}, {"--trickle-nth", "-1"},
  };
  for (const auto& args : cases) {
    const Child child = Spawn(args);
    ASSERT_GT(child.pid, 0);
    const std::string out = ReadAll(child.out);
    EXPECT_EQ(Wait(child), 2) << args[0];
    EXPECT_NE(out.find("--help"), std::string::npos) << out;
  }
}

TEST(SiteProgram, ServesWithItsOptionsAndStopsOnSigterm) {
  const Child child =
      Spawn({"--port", "0", "--tracks", "5", "--status", "/xc/=503", "--refuse-ranges",
             "--slow-head-nth", "2", "--slow-head-ms", "60000", "--trickle-nth", "3"});
  ASSERT_GT(child.pid, 0);
  const std::string line = ReadLine(child.out);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      line, m,
      std::regex(
          R"(catalogue http://127\.0\.0\.1:(\d+)/  media http://127\.0\.0\.1:\d+/mp4/djmusic/)")))
      << line;
  const int port = std::stoi(m[1]);

  const auto listing = test::RawGet(port, "/zw/");
  EXPECT_EQ(listing.status, 200);
  std::size_t links = 0;
  for (std::size_t at = 0; (at = listing.body.find("target=\"play\">", at)) != std::string::npos;
       ++at)
    ++links;
  EXPECT_EQ(links, 5u);
  EXPECT_EQ(test::RawGet(port, "/xc/").status, 503);
  EXPECT_EQ(test::RawGet(port, "/mp4/djmusic/synthetic/100/1.mp4", {"Range: bytes=0-9"}).status,
            200);
  // The second ranged media GET sends its status line only, the third trickles.
  const auto held = test::RawRequest(port, "GET", "/mp4/djmusic/synthetic/100/1.mp4",
                                     {"Range: bytes=0-9"}, 1500, 1500);
  EXPECT_EQ(held.status, 200);
  EXPECT_TRUE(held.headers.empty());
  const auto trickled = test::RawRequest(port, "GET", "/mp4/djmusic/synthetic/100/1.mp4",
                                         {"Range: bytes=0-9"}, 1500, 1500);
  EXPECT_TRUE(trickled.timed_out);
  EXPECT_EQ(trickled.Header("Content-Length"), "100");
  EXPECT_LT(trickled.body.size(), 100u);

  ::kill(child.pid, SIGTERM);
  EXPECT_EQ(Wait(child), 0);
}

}  // namespace
}  // namespace wuqu
