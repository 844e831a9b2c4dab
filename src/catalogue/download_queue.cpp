#include "catalogue/download_queue.h"

namespace wuqu::catalogue {

void DownloadQueue::Started(Followed download) {
  newest_ = download.task;
  downloads_.push_back(std::move(download));
}

void DownloadQueue::AddToBatch(const std::vector<Text>& play_pages, const SiteAddresses& sites,
                               const std::vector<RecordId>& records) {
  if (play_pages.empty()) return;
  if (batch_total_ == 0) {
    batch_sites_ = sites;
    batch_started_ = 0;
    batch_failed_ = 0;
    batch_already_ = 0;
    batch_amount_ = 0;
    batch_failed_tracks_.clear();
  }
  for (std::size_t i = 0; i < play_pages.size(); ++i) {
    batch_pending_.push_back({play_pages[i], i < records.size() ? records[i] : kNotRemembered});
  }
  batch_total_ += static_cast<int>(play_pages.size());
}

Text DownloadQueue::TakeNextBatchTrack(int& position, RecordId& record) {
  Pending next = std::move(batch_pending_.front());
  batch_pending_.pop_front();
  position = ++batch_started_;
  record = next.record;
  return std::move(next.play_page);
}

bool DownloadQueue::BatchTrackEnded(Outcome outcome, std::int64_t amount) {
  if (outcome == Outcome::kFailed) ++batch_failed_;
  if (outcome == Outcome::kAlreadyThere) ++batch_already_;
  batch_amount_ += amount;
  if (!batch_pending_.empty()) return false;
  batch_total_ = 0;
  return true;
}

void DownloadQueue::PushBatchEnd() {
  EndLine end;
  end.finished = true;
  end.amount = batch_amount_;
  end.batch_end = true;
  end.batch_size = batch_started_;
  end.batch_failures = batch_failed_;
  end.batch_already = batch_already_;
  end_lines_.push_back(end);
}

}  // namespace wuqu::catalogue
