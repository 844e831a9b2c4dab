#include "download/open_connections.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace wuqu::download {
namespace {

int LocalPort(int fd) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return -1;
  if (addr.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  return -1;
}

}  // namespace

void OpenConnections::Opened(int fd, const std::string& host, TransferSerial transfer) {
  sockets_[fd] = Socket{host, transfer, false};
}

void OpenConnections::Closed(int fd) {
  sockets_.erase(fd);
}

void OpenConnections::InUse(const std::string& host, int local_port, TransferSerial transfer) {
  for (auto& [fd, socket] : sockets_) {
    if (socket.transfer == transfer) socket.transfer = 0;
  }
  for (auto& [fd, socket] : sockets_) {
    if (socket.host == host && !socket.shut && LocalPort(fd) == local_port) {
      socket.transfer = transfer;
      return;
    }
  }
}

void OpenConnections::Released(TransferSerial transfer) {
  if (transfer == 0) return;
  for (auto& [fd, socket] : sockets_)
    if (socket.transfer == transfer) socket.transfer = 0;
}

int OpenConnections::Open(std::string_view host) const {
  return static_cast<int>(std::count_if(sockets_.begin(), sockets_.end(), [&](const auto& s) {
    return s.second.host == host && !s.second.shut;
  }));
}

int OpenConnections::Idle(std::string_view host) const {
  return static_cast<int>(std::count_if(sockets_.begin(), sockets_.end(), [&](const auto& s) {
    return s.second.host == host && !s.second.shut && s.second.transfer == 0;
  }));
}

int OpenConnections::CloseIdle(std::string_view host, int limit) {
  int open = Open(host);
  int shut = 0;
  for (auto& [fd, socket] : sockets_) {
    if (open <= limit) break;
    if (socket.host != host || socket.shut || socket.transfer != 0) continue;
    ::shutdown(fd, SHUT_RDWR);
    socket.shut = true;
    --open;
    ++shut;
  }
  return shut;
}

}  // namespace wuqu::download
