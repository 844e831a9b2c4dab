#include "site/site_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace wuqu::test {
namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

std::string RawResponse::Header(std::string_view name) const {
  for (const auto& [k, v] : headers)
    if (SameNoCase(k, name)) return v;
  return {};
}

bool RawResponse::HasHeader(std::string_view name) const {
  for (const auto& [k, v] : headers)
    if (SameNoCase(k, name)) return true;
  return false;
}

RawResponse RawExchange(int port, std::string_view request, int read_timeout_ms,
                        int total_timeout_ms) {
  RawResponse r;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return r;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return r;
  }
  r.connected = true;
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buf[65536];
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_timeout_ms);
  for (;;) {
    int wait_ms = read_timeout_ms;
    if (total_timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      wait_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, read_timeout_ms));
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = wait_ms > 0 ? ::poll(&p, 1, wait_ms) : 0;
    if (ready == 0) {
      r.timed_out = true;
      break;
    }
    if (ready < 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);

  const auto head_end = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, head_end);
  if (head_end != std::string::npos) r.body = raw.substr(head_end + 4);
  std::istringstream lines(head);
  std::string line;
  if (std::getline(lines, line)) {
    // "HTTP/1.1 206 Partial Content"
    const auto sp = line.find(' ');
    if (sp != std::string::npos) r.status = std::atoi(line.c_str() + sp + 1);
  }
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    r.headers.emplace_back(line.substr(0, colon), value);
  }
  return r;
}

RawResponse RawRequest(int port, std::string_view method, std::string_view target,
                       const std::vector<std::string>& headers, int read_timeout_ms,
                       int total_timeout_ms) {
  std::string request;
  request.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
  request += "Host: 127.0.0.1\r\n";
  for (const auto& h : headers) request += h + "\r\n";
  request += "Connection: close\r\n\r\n";
  return RawExchange(port, request, read_timeout_ms, total_timeout_ms);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string SourceDir() {
  const char* dir = std::getenv("WUQU_SOURCE_DIR");
  return dir ? dir : ".";
}

}  // namespace wuqu::test
