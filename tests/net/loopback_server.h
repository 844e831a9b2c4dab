#pragma once

// Servers on loopback for the HTTP client tests, each on an ephemeral port
// and living as long as its object: a cpp-httplib server for ordinary
// answers, and a raw one that shows the request bytes exactly as they came
// and can answer any way a test needs (stall, dribble, act as a proxy).

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace wuqu::testing {

// A cpp-httplib server (plain or TLS) listening on 127.0.0.1.
class HttplibServer {
 public:
  explicit HttplibServer(
      std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : server_(std::move(server)) {}
  ~HttplibServer() { Stop(); }

  httplib::Server& operator*() { return *server_; }
  httplib::Server* operator->() { return server_.get(); }

  // Call after the handlers are registered.
  void Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
  }
  int port() const { return port_; }
  std::string Url(std::string_view path, std::string_view scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
};

// One request as it arrived.
struct RawRequest {
  std::string head;  // request line and header lines, each ending in CR LF
  std::string request_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in wire order
  std::string body;

  // The first header of that name (exact case-insensitive match), or "".
  std::string Header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (n.size() == name.size() &&
          std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        return v;
      }
    }
    return "";
  }
  std::vector<std::string> HeaderNames() const {
    std::vector<std::string> names;
    for (const auto& header : headers) names.push_back(header.first);
    return names;
  }
};

class RawServer;

// The server's side of one connection, handed to the handler.
class RawConnection {
 public:
  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Sleeps up to `duration`, returning early (false) when the server stops.
  bool Sleep(std::chrono::milliseconds duration);
  // Holds the connection open, silent, until the server stops.
  void Stall() { Sleep(std::chrono::hours(1)); }
  // The connection ends after the handler returns.
  void Close() { closing_ = true; }

 private:
  friend class RawServer;
  RawConnection(RawServer& server, int fd) : server_(server), fd_(fd) {}
  RawServer& server_;
  int fd_;
  bool closing_ = false;
};

class RawServer {
 public:
  using Handler = std::function<void(const RawRequest&, RawConnection&)>;

  explicit RawServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listen_fd_, 16);
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }

  ~RawServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      for (const int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    ::close(listen_fd_);
    for (auto& thread : connection_threads_) thread.join();
  }

  int port() const { return port_; }
  std::string Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }
  std::vector<RawRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  friend class RawConnection;

  void AcceptLoop() {
    for (;;) {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      open_fds_.insert(fd);
      connection_threads_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    RawConnection connection(*this, fd);
    std::string buffer;
    RawRequest request;
    while (!connection.closing_ && ReadRequest(fd, buffer, request)) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      handler_(request, connection);
    }
    {
      std::lock_guard lock(mutex_);
      open_fds_.erase(fd);
    }
    ::close(fd);
  }

  static bool ReadMore(int fd, std::string& buffer) {
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  static bool ReadRequest(int fd, std::string& buffer, RawRequest& request) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore(fd, buffer)) return false;
    }
    request = RawRequest{};
    request.head = buffer.substr(0, end + 2);
    std::size_t line_start = 0;
    bool first = true;
    while (line_start < request.head.size()) {
      const std::size_t line_end = request.head.find("\r\n", line_start);
      const std::string line = request.head.substr(line_start, line_end - line_start);
      line_start = line_end + 2;
      if (first) {
        request.request_line = line;
        first = false;
        continue;
      }
      const std::size_t colon = line.find(':');
      std::size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      request.headers.emplace_back(line.substr(0, colon),
                                   colon == std::string::npos ? "" : line.substr(value));
    }
    buffer.erase(0, end + 4);
    const std::string length_text = request.Header("Content-Length");
    const std::size_t length = length_text.empty() ? 0 : std::stoul(length_text);
    while (buffer.size() < length) {
      if (!ReadMore(fd, buffer)) return false;
    }
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);
    return true;
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = -1;
  std::thread accept_thread_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::set<int> open_fds_;
  std::vector<std::thread> connection_threads_;
  std::vector<RawRequest> requests_;
};

inline bool RawConnection::Sleep(std::chrono::milliseconds duration) {
  std::unique_lock lock(server_.mutex_);
  return !server_.stopped_.wait_for(lock, duration, [this] { return server_.stopping_; });
}

// A complete response with a body and its length.
inline std::string RawResponse(std::string_view status_line, std::string_view body,
                               std::string_view extra_headers = "") {
  return std::string(status_line) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         std::string(extra_headers) + "\r\n" + std::string(body);
}

}  // namespace wuqu::testing
