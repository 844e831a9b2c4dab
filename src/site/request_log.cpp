#include "site/request_log.h"

#include <algorithm>
#include <iterator>

namespace wuqu {
namespace {

bool Cut(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return false;
  text.resize(limit);
  text.shrink_to_fit();
  return true;
}

}  // namespace

void TrimRequestRecord(SiteRequest& record) {
  bool cut = Cut(record.method, kLoggedFieldBytes);
  cut |= Cut(record.target, kLoggedTextBytes);
  cut |= Cut(record.path, kLoggedTextBytes);
  cut |= Cut(record.range, kLoggedFieldBytes);
  std::size_t used =
      record.method.size() + record.target.size() + record.path.size() + record.range.size();
  std::size_t kept = 0;
  for (auto& [name, value] : record.headers) {
    cut |= Cut(name, kLoggedFieldBytes);
    cut |= Cut(value, kLoggedFieldBytes);
    if (used + name.size() + value.size() > kLoggedRecordBytes) break;
    used += name.size() + value.size();
    ++kept;
  }
  if (kept < record.headers.size()) {
    record.headers.resize(kept);
    record.headers.shrink_to_fit();
    cut = true;
  }
  record.truncated = record.truncated || cut;
}

std::size_t RequestRecordBytes(const SiteRequest& record) {
  std::size_t bytes = sizeof record + record.method.capacity() + record.target.capacity() +
                      record.path.capacity() + record.range.capacity();
  bytes += record.headers.capacity() * sizeof record.headers.front();
  for (const auto& [name, value] : record.headers) bytes += name.capacity() + value.capacity();
  return bytes;
}

void RequestLog::Add(SiteRequest record) {
  TrimRequestRecord(record);
  const std::size_t bytes = RequestRecordBytes(record);
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
  bytes_ += bytes;
  while (!records_.empty() &&
         (records_.size() > limits_.max_records || bytes_ > limits_.max_bytes)) {
    bytes_ -= RequestRecordBytes(records_.front());
    records_.pop_front();
  }
}

std::vector<SiteRequest> RequestLog::Snapshot() const {
  std::lock_guard lock(mutex_);
  return {records_.begin(), records_.end()};
}

std::vector<SiteRequest> RequestLog::Take() {
  std::lock_guard lock(mutex_);
  std::vector<SiteRequest> taken(std::make_move_iterator(records_.begin()),
                                 std::make_move_iterator(records_.end()));
  records_.clear();
  bytes_ = 0;
  return taken;
}

void RequestLog::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
  bytes_ = 0;
}

}  // namespace wuqu
