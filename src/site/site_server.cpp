#include "site/site_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "site/http_bits.h"
#include "text/ascii.h"

namespace wuqu {
namespace {

using Clock = SiteServer::Clock;

constexpr std::size_t kReadPiece = 16 * 1024;
// After a refusal the rest of what the client sends is read and dropped for a
// while, so that closing does not reset the connection before the client has
// read the answer.
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr std::size_t kDrainBytes = 4 << 20;
constexpr std::size_t kResponseHeadKept = 16 * 1024;

bool WaitFor(int fd, short events, time_t seconds, time_t microseconds) {
  pollfd p{fd, events, 0};
  const auto ms = static_cast<int>(seconds * 1000 + microseconds / 1000);
  for (;;) {
    const int ready = ::poll(&p, 1, ms);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
  }
}

void AddressOf(bool peer, int fd, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  if (got != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    port = ntohs(in->sin6_port);
  }
  ip = text;
}

// The connection as cpp-httplib reads and writes it: first the bytes the
// gatherer already received, then the socket.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, time_t read_sec, time_t read_usec, time_t write_sec, time_t write_usec,
                   const SiteServer::SleepUntil* sleep_until)
      : fd_(fd),
        read_sec_(read_sec),
        read_usec_(read_usec),
        write_sec_(write_sec),
        write_usec_(write_usec),
        sleep_until_(sleep_until) {}

  // Received and not yet read.
  std::string input;

  // Before a request of `head_size` bytes at the front of `input` is handed
  // to cpp-httplib: takes its Range fields out (cpp-httplib answers a range it
  // cannot parse with 416 before any handler runs; the site parses ranges
  // itself), and forgets the previous response.
  std::vector<std::string> BeginRequest(std::size_t head_size) {
    std::vector<std::string> ranges;
    std::string head;
    head.reserve(head_size);
    for (std::size_t at = 0; at < head_size;) {
      std::size_t end = input.find('\n', at);
      end = end == std::string::npos || end >= head_size ? head_size : end + 1;
      const std::string_view line(input.data() + at, end - at);
      const auto colon = line.find(':');
      if (at > 0 && colon != std::string_view::npos && EqualsNoCase(line.substr(0, colon), "Range")) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
          value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
          value.remove_suffix(1);
        if (!value.empty()) ranges.emplace_back(value);
      } else {
        head.append(line);
      }
      at = end;
    }
    input.replace(0, head_size, head);
    read_at_ = 0;
    head_interval_ = std::chrono::milliseconds{0};
    drop_response_ = false;
    response_head_.clear();
    head_sent_ = false;
    return ranges;
  }

  // After the request: the bytes of a next request that came with it.
  void KeepUnread() {
    input.erase(0, read_at_);
    read_at_ = 0;
  }

  bool ResponseClosesConnection() const {
    std::string head = response_head_;
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return head.find("\r\nconnection: close\r\n") != std::string::npos;
  }

  void SpreadHead(std::chrono::milliseconds interval) { head_interval_ = interval; }
  void DropResponse() { drop_response_ = true; }

  bool is_readable() const override {
    return read_at_ < input.size() || WaitFor(fd_, POLLIN, read_sec_, read_usec_);
  }
  bool is_writable() const override { return WaitFor(fd_, POLLOUT, write_sec_, write_usec_); }

  ssize_t read(char* ptr, size_t size) override {
    if (read_at_ < input.size()) {
      const std::size_t n = std::min(size, input.size() - read_at_);
      std::memcpy(ptr, input.data() + read_at_, n);
      read_at_ += n;
      return static_cast<ssize_t>(n);
    }
    if (!WaitFor(fd_, POLLIN, read_sec_, read_usec_)) return -1;
    return ::recv(fd_, ptr, size, 0);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (drop_response_) return -1;
    std::size_t n = size;
    if (!head_sent_ && head_interval_.count() > 0) {
      // A spread head goes out a line per write, each but the first when due.
      const void* lf = std::memchr(ptr, '\n', size);
      if (lf != nullptr) n = static_cast<std::size_t>(static_cast<const char*>(lf) - ptr) + 1;
      if (!response_head_.empty() && response_head_.back() == '\n' &&
          !(*sleep_until_)(Clock::now() + head_interval_))
        return -1;
    }
    if (!is_writable()) return -1;
    const ssize_t sent = ::send(fd_, ptr, n, MSG_NOSIGNAL);
    if (sent > 0 && !head_sent_) {
      response_head_.append(ptr, std::min(static_cast<std::size_t>(sent), kResponseHeadKept));
      const auto end = response_head_.find("\r\n\r\n");
      if (end != std::string::npos && response_head_.starts_with("HTTP/1.1 1")) {
        response_head_.clear();  // "100 Continue": the answer's own head is still to come
      } else {
        if (end != std::string::npos) response_head_.resize(end + 4);
        head_sent_ = end != std::string::npos || response_head_.size() > kResponseHeadKept;
      }
    }
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(true, fd_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(false, fd_, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  time_t read_sec_, read_usec_, write_sec_, write_usec_;
  const SiteServer::SleepUntil* sleep_until_;
  std::size_t read_at_ = 0;
  std::chrono::milliseconds head_interval_{0};
  bool drop_response_ = false;
  std::string response_head_;
  bool head_sent_ = false;
};

thread_local ConnectionStream* t_current_stream = nullptr;

// cpp-httplib hands each accepted connection to its task queue; this one
// passes it straight on (to process_and_close_socket, which only queues it
// for the gatherer), on the accepting thread.
class HandOver final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

struct SiteServer::Connection {
  Connection(int fd, SiteServer& server, const RequestHeadLimits& limits)
      : open(server.open_),
        sock(fd),
        stream(fd, server.read_timeout_sec_, server.read_timeout_usec_, server.write_timeout_sec_,
               server.write_timeout_usec_, &server.sleep_until_),
        scanner(limits.max_fields, limits.max_bytes) {
    std::string ip;
    AddressOf(true, fd, ip, remote_port);
    open.fetch_add(1);
  }
  ~Connection() {
    ::close(sock);
    open.fetch_sub(1);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::atomic<int>& open;
  int sock;
  ConnectionStream stream;
  RequestHeadScanner scanner;
  int remote_port = 0;
  std::size_t answered = 0;  // requests answered on this connection
  bool started = false;      // a byte of the next request has come
  bool draining = false;     // refused: the rest is read and dropped
  std::size_t drained = 0;
  Clock::time_point deadline;  // of the wait it is in: for a request, a head or the drain
};

struct SiteServer::Gatherer {
  Gatherer(SiteServer& s, RequestHeadLimits l) : server(s), limits(l) {
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_fd;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev);
    thread = std::thread([this] { Run(); });
  }
  ~Gatherer() {
    Stop();
    ::close(epoll_fd);
    ::close(wake_fd);
  }

  // From any thread; a connection given after Stop is closed.
  void Add(std::unique_ptr<Connection> connection) {
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
      incoming.push_back(std::move(connection));
    }
    Wake();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
      stopped = true;
    }
    Wake();
    if (thread.joinable()) thread.join();
    std::lock_guard lock(mutex);
    incoming.clear();
  }

 private:
  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_fd, &one, sizeof one);
  }

  void Run() {
    std::vector<epoll_event> events(256);
    for (;;) {
      int timeout_ms = -1;
      if (!waiting.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_due - Clock::now());
        timeout_ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
      }
      const int n =
          ::epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout_ms);
      std::vector<std::unique_ptr<Connection>> admitted;
      {
        std::lock_guard lock(mutex);
        if (stopped) break;
        admitted.swap(incoming);
      }
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<std::size_t>(i)].data.fd;
        if (fd == wake_fd) {
          std::uint64_t count;
          [[maybe_unused]] const auto r = ::read(wake_fd, &count, sizeof count);
        } else if (const auto it = waiting.find(fd); it != waiting.end()) {
          Receive(it->second);
        }
      }
      for (auto& c : admitted) Admit(std::move(c));
      if (Clock::now() >= next_due) Sweep();
    }
    waiting.clear();
  }

  void Admit(std::unique_ptr<Connection> c) {
    const int fd = c->sock;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) return;  // closes it
    next_due = std::min(next_due, c->deadline);
    Connection& connection = *c;
    waiting[fd] = std::move(c);
    // A pipelined request may have come whole with the one before.
    if (!connection.stream.input.empty()) {
      Start(connection);
      Examine(connection);
    }
  }

  void Start(Connection& c) {
    c.started = true;
    c.deadline = Clock::now() + limits.deadline;
    next_due = std::min(next_due, c.deadline);
  }

  void Receive(std::unique_ptr<Connection>& slot) {
    Connection& c = *slot;
    char buffer[kReadPiece];
    const ssize_t n = ::recv(c.sock, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) return Drop(c.sock);
    if (c.draining) {
      c.drained += static_cast<std::size_t>(n);
      if (c.drained > kDrainBytes) Drop(c.sock);
      return;
    }
    if (!c.started) Start(c);
    c.stream.input.append(buffer, static_cast<std::size_t>(n));
    Examine(c);
  }

  void Examine(Connection& c) {
    switch (c.scanner.Scan(c.stream.input)) {
      case RequestHeadScanner::State::kIncomplete:
        return;
      case RequestHeadScanner::State::kTooLarge:
        return Refuse(c, 431);
      case RequestHeadScanner::State::kComplete: {
        const int fd = c.sock;
        ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        const auto it = waiting.find(fd);
        std::unique_ptr<Connection> taken = std::move(it->second);
        waiting.erase(it);
        server.Answer(std::move(taken));
        return;
      }
    }
  }

  void Refuse(Connection& c, int status) {
    RefusedRequest refused;
    const std::string& input = c.stream.input;
    refused.request_line = input.substr(0, std::min(input.find('\n'), input.size()));
    if (refused.request_line.ends_with('\r')) refused.request_line.pop_back();
    refused.status = status;
    refused.remote_port = c.remote_port;
    const std::string page = server.on_refused_(refused);
    std::string answer = "HTTP/1.1 " + std::to_string(status) +
                         (status == 431 ? " Request Header Fields Too Large" : " Request Timeout") +
                         "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                         std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
    [[maybe_unused]] const auto sent =
        ::send(c.sock, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(c.sock, SHUT_WR);
    c.stream.input = std::string();
    c.draining = true;
    c.deadline = Clock::now() + kDrainTime;
    next_due = std::min(next_due, c.deadline);
  }

  void Drop(int fd) {
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    waiting.erase(fd);
  }

  // Ends the waits that are over and finds when the next one is.
  void Sweep() {
    const auto now = Clock::now();
    next_due = Clock::time_point::max();
    for (auto it = waiting.begin(); it != waiting.end();) {
      Connection& c = *it->second;
      if (now >= c.deadline) {
        if (c.started && !c.draining) {
          Refuse(c, 408);
        } else {
          ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c.sock, nullptr);
          it = waiting.erase(it);
          continue;
        }
      }
      next_due = std::min(next_due, c.deadline);
      ++it;
    }
  }

 public:
  SiteServer& server;
  RequestHeadLimits limits;
  int epoll_fd = -1;
  int wake_fd = -1;
  std::mutex mutex;
  bool stopped = false;
  std::vector<std::unique_ptr<Connection>> incoming;
  std::thread thread;

 private:
  // Only the gatherer's thread touches these.
  std::unordered_map<int, std::unique_ptr<Connection>> waiting;
  Clock::time_point next_due = Clock::time_point::max();
};

SiteServer::SiteServer(int threads, RequestHeadLimits limits, SleepUntil sleep_until,
                       std::function<std::string(const RefusedRequest&)> on_refused)
    : sleep_until_(std::move(sleep_until)), on_refused_(std::move(on_refused)), limits_(limits) {
  new_task_queue = [] { return new HandOver; };
  pool_ = std::make_unique<httplib::ThreadPool>(static_cast<std::size_t>(std::max(1, threads)));
  gatherer_ = std::make_unique<Gatherer>(*this, limits);
}

SiteServer::~SiteServer() {
  Shutdown();
}

void SiteServer::Shutdown() {
  if (gatherer_) gatherer_->Stop();
  if (pool_) pool_->shutdown();
  pool_.reset();
  gatherer_.reset();
}

void SiteServer::SpreadResponseHead(std::chrono::milliseconds interval) {
  if (t_current_stream != nullptr) t_current_stream->SpreadHead(interval);
}

void SiteServer::CloseWithoutReply() {
  if (t_current_stream != nullptr) t_current_stream->DropResponse();
}

bool SiteServer::process_and_close_socket(socket_t sock) {
  // Only this (the accepting) thread opens connections, so the count cannot
  // grow between the check and the Connection made below.
  const int limit = max_open_.load();
  if (limit > 0 && open_.load() >= limit) {
    turned_away_.fetch_add(1);  // before the client can see the close
    ::close(sock);
    return true;
  }
  auto c = std::make_unique<Connection>(sock, *this, limits_);
  c->deadline = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
  gatherer_->Add(std::move(c));
  return true;
}

void SiteServer::Answer(std::unique_ptr<Connection> connection) {
  // std::function wants a copyable job.
  Connection* raw = connection.release();
  pool_->enqueue([this, raw] {
    std::unique_ptr<Connection> c(raw);
    ConnectionStream& stream = c->stream;
    const std::vector<std::string> ranges = stream.BeginRequest(c->scanner.head_size());
    const bool last = ++c->answered >= keep_alive_max_count_;
    bool closed = false;
    t_current_stream = &stream;
    const bool ok = process_request(stream, last, closed, [&ranges](httplib::Request& req) {
      for (const auto& value : ranges) req.headers.emplace("Range", value);
    });
    t_current_stream = nullptr;
    if (!ok || closed || last || stream.ResponseClosesConnection() || !is_running()) return;
    stream.KeepUnread();
    c->scanner.Reset();
    c->started = false;
    c->deadline = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    gatherer_->Add(std::move(c));
  });
}

}  // namespace wuqu
