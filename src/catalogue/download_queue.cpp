#include "catalogue/download_queue.h"

namespace wuqu::catalogue {

void DownloadQueue::Started(download::TaskId task, const Text& file_name, int batch_position) {
  downloads_.push_back({task, file_name, batch_position});
  newest_ = task;
}

void DownloadQueue::AddToBatch(const std::vector<Text>& play_pages, const SiteAddresses& sites) {
  if (play_pages.empty()) return;
  if (batch_total_ == 0) {
    batch_sites_ = sites;
    batch_started_ = 0;
    batch_failed_ = 0;
    batch_amount_ = 0;
  }
  batch_pending_.insert(batch_pending_.end(), play_pages.begin(), play_pages.end());
  batch_total_ += static_cast<int>(play_pages.size());
}

Text DownloadQueue::TakeNextBatchTrack(int& position) {
  Text play_page = std::move(batch_pending_.front());
  batch_pending_.pop_front();
  position = ++batch_started_;
  return play_page;
}

bool DownloadQueue::BatchTrackEnded(bool failed, std::int64_t amount) {
  if (failed) ++batch_failed_;
  batch_amount_ += amount;
  if (!batch_pending_.empty()) return false;
  batch_total_ = 0;
  return true;
}

}  // namespace wuqu::catalogue
