#include "download/host_limits.h"

#include <algorithm>

namespace wuqu::download {

std::string HostKey(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme_end + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const auto at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  std::string key(rest);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

int HostLimits::Target(const std::string& host, int asked) const {
  const auto it = limits_.find(host);
  return it == limits_.end() || !it->second.limited ? asked : std::min(asked, it->second.target);
}

int HostLimits::Allowed(const std::string& host, int asked) const {
  const auto it = limits_.find(host);
  if (it == limits_.end() || !it->second.limited) return asked;
  return std::min(asked, std::max(it->second.most_served, 1));
}

std::chrono::milliseconds HostLimits::QuietTime(const Limit& limit) const {
  return limit.target < limit.most_served ? regrow_after_ / 4 : regrow_after_;
}

void HostLimits::LimitSeen(const std::string& host, int receiving, Clock::time_point now,
                           Clock::time_point quiet_until, int awaiting) {
  Limit& limit = limits_[host];
  limit.limited = true;
  limit.most_served = std::max(limit.most_served, receiving);
  limit.target = std::max(receiving + awaiting, 1);
  limit.grow_at = std::max(now + QuietTime(limit), quiet_until);
}

void HostLimits::DownloadBegins(const std::string& host) {
  const auto it = limits_.find(host);
  if (it == limits_.end() || !it->second.limited) return;
  it->second.target = std::max(it->second.target, it->second.most_served);
}

void HostLimits::Receiving(const std::string& host, int receiving) {
  Limit& limit = limits_[host];
  if (limit.limited) limit.target = std::max(limit.target, receiving);
  limit.most_served = std::max(limit.most_served, receiving);
}

HostLimits::Clock::time_point HostLimits::Grow(const std::string& host, int asked,
                                               Clock::time_point now) {
  const auto it = limits_.find(host);
  if (it == limits_.end() || !it->second.limited || it->second.target >= asked)
    return Clock::time_point::max();
  Limit& limit = it->second;
  if (now >= limit.grow_at) {
    ++limit.target;
    limit.grow_at = now + QuietTime(limit);
  }
  return limit.target >= asked ? Clock::time_point::max() : limit.grow_at;
}

}  // namespace wuqu::download
