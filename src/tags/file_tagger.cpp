#include "tags/file_tagger.h"

#include <utility>

#include "text/codepage.h"

namespace wuqu::tags {

TagWorker::TagWorker(TagObserver observer)
    : observer_(std::move(observer)), thread_([this] { Run(); }) {}

TagWorker::~TagWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  thread_.join();
}

TagJobId TagWorker::Submit(const Text& target_path, const TrackTags& tags) {
  TagJobId id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = next_id_++;
    jobs_.push_back({id, LocalTextToUtf8(target_path), tags});
  }
  wake_.notify_one();
  return id;
}

std::optional<TagResult> TagWorker::Poll(TagJobId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = done_.find(id);
  if (found == done_.end()) return std::nullopt;
  const TagResult result = found->second;
  done_.erase(found);
  return result;
}

void TagWorker::RemoveStrays(const Text& folder) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back({0, LocalTextToUtf8(folder), {}});
  }
  wake_.notify_one();
}

void TagWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    TagResult result;
    if (job.id == 0) {
      RemoveStrayCopies(job.path, observer_);
    } else {
      result = TagFile(job.path, job.tags, observer_);
    }
    lock.lock();
    if (job.id != 0) done_[job.id] = result;
  }
}

}  // namespace wuqu::tags
