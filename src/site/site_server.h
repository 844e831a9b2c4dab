#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "site/site_limits.h"

// The site's HTTP server: cpp-httplib answers the requests, but the head of
// every request is gathered first by one thread of the server's own, which
// waits on all connections at once. A pool thread is taken only once a whole
// head is in, so clients that send their heads slowly, or never finish them,
// hold no thread a quick client needs; and a head is held to limits of size,
// field count and time before cpp-httplib reads any of it.
namespace wuqu {

// A request refused before it reached a handler: its head was too large
// (431) or did not arrive in time (408).
struct RefusedRequest {
  std::string request_line;  // as much of it as arrived, without its line end
  int status = 0;
  int remote_port = 0;
};

class SiteServer : public httplib::Server {
 public:
  using Clock = std::chrono::steady_clock;
  // Waits until the time given; false when the site is stopping.
  using SleepUntil = std::function<bool(Clock::time_point)>;

  // `on_refused` is told of each request refused before a handler saw it and
  // gives the page to answer it with.
  SiteServer(int threads, RequestHeadLimits limits, SleepUntil sleep_until,
             std::function<std::string(const RefusedRequest&)> on_refused);
  ~SiteServer() override;

  // After stop() has returned and the listening thread has ended: closes the
  // connections that wait for a request and waits for the requests being
  // answered. Safe to call more than once.
  void Shutdown();

  // For the response being written on the calling pool thread: its status
  // line goes out at once and every later line of its head `interval` after
  // the one before.
  static void SpreadResponseHead(std::chrono::milliseconds interval);
  // The response being written on the calling pool thread is never sent:
  // its connection closes without a byte of reply.
  static void CloseWithoutReply();

  // A host that counts open TCP connections, idle kept-alive ones included
  // (a firewall's per-address limit): with `limit` open, a further connection
  // is closed as soon as it is accepted, before a byte is read. 0: no limit.
  void SetMaxOpenConnections(int limit) { max_open_.store(limit); }
  int OpenConnections() const { return open_.load(); }
  // Connections closed at once for that limit, since the server was made.
  int ConnectionsTurnedAway() const { return turned_away_.load(); }

  struct Connection;
  struct Gatherer;

 protected:
  bool process_and_close_socket(socket_t sock) override;

 private:
  void Answer(std::unique_ptr<Connection> connection);

  SleepUntil sleep_until_;
  std::function<std::string(const RefusedRequest&)> on_refused_;
  RequestHeadLimits limits_;
  std::unique_ptr<Gatherer> gatherer_;
  std::unique_ptr<httplib::ThreadPool> pool_;
  std::atomic<int> max_open_{0};
  std::atomic<int> open_{0};  // Connection objects alive: one per open connection
  std::atomic<int> turned_away_{0};
};

}  // namespace wuqu
