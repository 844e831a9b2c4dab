#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "site/demo_site.h"
#include "site/site_limits.h"

// The site's record of the requests it received, bounded in memory: each
// record is cut down before it is kept, and the oldest records go first once
// there are too many of them or they take too many bytes together.
namespace wuqu {

// What a kept record holds at most: the target and the path are cut to
// kLoggedTextBytes, each header name and value to kLoggedFieldBytes, and
// header fields are dropped once the record has kLoggedRecordBytes of text.
inline constexpr std::size_t kLoggedTextBytes = 2048;
inline constexpr std::size_t kLoggedFieldBytes = 1024;
inline constexpr std::size_t kLoggedRecordBytes = 8192;

// Cuts a record to the sizes above; marks it truncated when anything was cut.
void TrimRequestRecord(SiteRequest& record);
// Memory a record takes, as the log counts it.
std::size_t RequestRecordBytes(const SiteRequest& record);

class RequestLog {
 public:
  explicit RequestLog(RequestLogLimits limits = {}) : limits_(limits) {}

  void Add(SiteRequest record);
  std::vector<SiteRequest> Snapshot() const;
  std::vector<SiteRequest> Take();
  void Clear();

 private:
  RequestLogLimits limits_;
  mutable std::mutex mutex_;
  std::deque<SiteRequest> records_;
  std::size_t bytes_ = 0;
};

}  // namespace wuqu
