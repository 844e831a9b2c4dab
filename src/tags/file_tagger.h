#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tags/tag_file.h"
#include "text/text.h"

// Where the catalogue hands a complete download's file to be tagged, and
// picks the result up on a later tick: the tag step copies and flushes a
// whole file, too long for the GUI thread. The program runs TagWorker behind
// it; tests may put one of their own.
namespace wuqu::tags {

using TagJobId = std::uint64_t;

class FileTagger {
 public:
  virtual ~FileTagger() = default;
  // Queues the tagging of the file at `target_path` (program text); returns
  // at once.
  virtual TagJobId Submit(const Text& target_path, const TrackTags& tags) = 0;
  // The result of job `id` once it is done (then forgotten); nullopt before.
  virtual std::optional<TagResult> Poll(TagJobId id) = 0;
  // Queues the removal of the copies a crash left in `folder` (program text).
  virtual void RemoveStrays(const Text& folder) = 0;
};

// One thread that runs the jobs in the order given. Its end waits for the job
// it is running (each step of a job leaves the file whole, so stopping sooner
// would gain nothing); jobs not yet begun are dropped, their files untagged.
class TagWorker final : public FileTagger {
 public:
  explicit TagWorker(TagObserver observer = {});
  ~TagWorker() override;
  TagWorker(const TagWorker&) = delete;
  TagWorker& operator=(const TagWorker&) = delete;

  TagJobId Submit(const Text& target_path, const TrackTags& tags) override;
  std::optional<TagResult> Poll(TagJobId id) override;
  void RemoveStrays(const Text& folder) override;

 private:
  struct Job {
    TagJobId id = 0;  // 0: a folder to clear of strays
    std::string path;  // UTF-8
    TrackTags tags;
  };
  void Run();

  TagObserver observer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::map<TagJobId, TagResult> done_;
  TagJobId next_id_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace wuqu::tags
