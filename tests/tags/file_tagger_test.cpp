// The worker that runs the tag step off the GUI thread: results picked up by
// job, in any order, each once; a folder's strays removed before the jobs
// after it; an end that waits for the running job and drops the rest.
#include "tags/file_tagger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tags/tag_testing.h"

namespace wuqu::tags {
namespace {

using namespace testing;
namespace fs = std::filesystem;

std::optional<TagResult> WaitFor(FileTagger& tagger, TagJobId id) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    if (auto r = tagger.Poll(id)) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::nullopt;
}

TEST(TagWorkerTest, RunsJobsInOrderAndGivesEachResultOnce) {
  char pattern[] = "/tmp/wuqu-tagger-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string a = dir + "/a.mp4", b = dir + "/b.mp4";
  ASSERT_TRUE(MakeTrack(Shape::kFaststart, a));
  WriteBytes(b, "not an mp4 file");
  WriteBytes(dir + "/old.mp4.wuqu-tagging", "left by a crash");
  {
    TagWorker worker;
    worker.RemoveStrays(dir);
    const TagJobId first = worker.Submit(a, {"title", "album", "comment"});
    const TagJobId second = worker.Submit(b, {"title", "", ""});
    EXPECT_NE(first, second);
    const auto rb = WaitFor(worker, second);
    const auto ra = WaitFor(worker, first);
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(*ra, (TagResult{TagOutcome::kTagged, static_cast<std::int64_t>(fs::file_size(a))}));
    EXPECT_EQ(rb->outcome, TagOutcome::kNotMp4);
    EXPECT_FALSE(worker.Poll(first));
    EXPECT_FALSE(Exists(dir + "/old.mp4.wuqu-tagging"));
    EXPECT_EQ(ProbeTags(a)["title"], "title");
  }
  fs::remove_all(dir);
}

TEST(TagWorkerTest, EndsWithJobsStillQueuedAndLeavesTheirFilesWhole) {
  char pattern[] = "/tmp/wuqu-tagger-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::vector<std::string> files;
  for (int i = 0; i < 8; ++i) {
    files.push_back(dir + "/" + std::to_string(i) + ".mp4");
    ASSERT_TRUE(MakeTrack(i % 2 ? Shape::kMoovAtEnd : Shape::kFaststart, files.back()));
  }
  const std::string packets = AudioPackets(files[0]);
  {
    TagWorker worker;
    for (const auto& f : files) worker.Submit(f, {"t", "a", "c"});
  }
  for (const auto& f : files) {
    EXPECT_FALSE(Exists(f + ".wuqu-tagging")) << f;
    EXPECT_FALSE(AudioPackets(f).empty()) << f;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace wuqu::tags
