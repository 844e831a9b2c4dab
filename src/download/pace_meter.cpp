#include "download/pace_meter.h"

#include <algorithm>

namespace wuqu::download {
namespace {

double Seconds(PaceClock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

Pace RateWindow::Sample(const RequestTimes& request, double typical, PaceClock::time_point now,
                        const PaceRules& rules, bool* early_out) {
  samples_.emplace_back(now, request.body_bytes);
  while (samples_.size() > 2 && now - samples_[1].first >= rules.slow_window) samples_.pop_front();
  const auto& [then, bytes] = samples_.front();
  const double span = Seconds(now - then);
  Pace pace;
  pace.rate = span > 0 ? static_cast<double>(request.body_bytes - bytes) / span : 0;
  const bool ran_long = now - request.sent_at >= rules.judge_after;
  const double replying = Seconds(now - request.accepted_at);
  const bool early =
      request.accepted && typical > 0 && now - request.accepted_at >= rules.judge_after / 4 &&
      static_cast<double>(request.body_bytes) * rules.slow_fraction < typical * replying;
  pace.judged = (ran_long && span > 0.05) || early;
  if (early && !ran_long) pace.rate = static_cast<double>(request.body_bytes) / replying;
  if (early_out != nullptr) *early_out = early;
  return pace;
}

double TypicalRate(std::vector<double> running, const std::deque<double>& ended, double previous) {
  if (running.size() < 2) running.insert(running.end(), ended.begin(), ended.end());
  return running.size() >= 2 ? MedianRate(std::move(running)) : previous;
}

Liveness Judge(const RequestTimes& request, const Pace& pace, double typical,
               PaceClock::time_point now, const PaceRules& rules) {
  if (now - request.last_progress > rules.stall_timeout) return Liveness::kStalled;
  if (pace.judged && typical > 0 && now - request.sent_at >= rules.slow_window &&
      pace.rate * rules.slow_fraction < typical)
    return Liveness::kSlow;
  return Liveness::kGoing;
}

PaceClock::duration RetryDelay(int failures, std::int64_t retry_after_seconds,
                               const PaceRules& rules) {
  auto delay = rules.retry_delay;
  for (int i = 1; i < failures && delay < rules.retry_delay_max; ++i) delay *= 2;
  return std::max<PaceClock::duration>(
      std::min(delay, rules.retry_delay_max),
      std::chrono::seconds(std::max<std::int64_t>(retry_after_seconds, 0)));
}

bool HostLimitSign(bool busy_reply, bool no_reply, int others_receiving, bool received_lately,
                   bool first_request) {
  if (first_request) return false;
  if (others_receiving > 0) return busy_reply || no_reply;
  return no_reply && received_lately;
}

}  // namespace wuqu::download
