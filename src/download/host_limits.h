#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>

// How many connections each host is given: none is limited until it shows a
// sign of a limit (a busy reply, a refused or dropped connection while others
// of the download receive). Then its target drops to the connections that
// were receiving at that moment, and after a quiet while grows by one to test
// again, as TCP's additive increase does. Up to the most connections the host
// was ever seen serving at once it grows four times as fast (a refusal may
// have come from a moment's crowding, as TCP's fast recovery assumes).
// Learned targets last for the run. What a limited host allows is the most
// connections that worked at once, not the target of the moment (which a
// late refusal, or a test for one more, may have moved).
namespace wuqu::download {

// The host and port of an http or https address, in lower case ("" for none).
std::string HostKey(std::string_view url);

class HostLimits {
 public:
  using Clock = std::chrono::steady_clock;

  // `regrow_after`: the quiet time after a sign (or a growth) before the
  // target grows by one.
  explicit HostLimits(std::chrono::milliseconds regrow_after) : regrow_after_(regrow_after) {}

  // The connections a download from `host` that asks for `asked` may open now.
  int Target(const std::string& host, int asked) const;

  // What the host allows a download that asks for `asked`: for a limited
  // host the most connections seen receiving at once (at least 1), else
  // `asked`.
  int Allowed(const std::string& host, int asked) const;

  // A sign of the host's limit with `receiving` connections of the download
  // receiving and `awaiting` more sent and not yet answered (the host may
  // have let them in; it refuses those it does not): the target drops to
  // both together (at least 1), and does not grow before `quiet_until` (a
  // Retry-After) nor before regrow_after has passed.
  void LimitSeen(const std::string& host, int receiving, Clock::time_point now,
                 Clock::time_point quiet_until = {}, int awaiting = 0);

  // A new download from the host starts at what it allows, whatever a late
  // refusal of the last one left the target at.
  void DownloadBegins(const std::string& host);

  // `receiving` connections receive at once: the host allows at least that many.
  void Receiving(const std::string& host, int receiving);

  // Grows the target of a limited host by one once it has been quiet for long
  // enough, up to `asked`. Returns when it next may grow (time_point::max()
  // for a host without a limit or already at `asked`).
  Clock::time_point Grow(const std::string& host, int asked, Clock::time_point now);

 private:
  struct Limit {
    bool limited = false;  // a sign was seen; until then only most_served counts
    int target = 1;
    int most_served = 0;  // the most connections seen receiving at once
    Clock::time_point grow_at{};
  };
  std::chrono::milliseconds QuietTime(const Limit& limit) const;
  std::chrono::milliseconds regrow_after_;
  std::map<std::string, Limit, std::less<>> limits_;
};

}  // namespace wuqu::download
