#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// The TCP connections open to each host, those idle in curl's pool included:
// a firewall's per-address limit, or a shared host's cap, counts these, not
// the requests being served. curl opens and closes every socket of the
// downloader through here, and each transfer names the connection it sends
// its request on, so the connections no transfer uses are known as idle.
namespace wuqu::download {

// Names one request of the downloader; 0 for none.
using TransferSerial = std::uint64_t;

class OpenConnections {
 public:
  OpenConnections() = default;
  OpenConnections(const OpenConnections&) = delete;
  OpenConnections& operator=(const OpenConnections&) = delete;

  // A socket opened for `host` by `transfer`, which uses it from the start.
  void Opened(int fd, const std::string& host, TransferSerial transfer);
  // The socket is closed (by curl, through here).
  void Closed(int fd);
  // `transfer` sends its request on the connection to `host` whose local port
  // is `local_port` (a new one, or one reused from the pool).
  void InUse(const std::string& host, int local_port, TransferSerial transfer);
  // `transfer` is over: the connection it used, if still open, is idle.
  void Released(TransferSerial transfer);

  // Connections open to the host, idle ones included; those shut down here
  // no longer count (the host has been told they are over).
  int Open(std::string_view host) const;
  int Idle(std::string_view host) const;
  // Shuts idle connections to the host down (both ways, so the host sees them
  // end at once) until no more than `limit` are open; the ones in use are
  // never touched. curl finds them dead when it next looks at its pool and
  // closes them. Returns how many it shut down.
  int CloseIdle(std::string_view host, int limit);

 private:
  struct Socket {
    std::string host;
    TransferSerial transfer = 0;  // 0: idle
    bool shut = false;
  };
  std::map<int, Socket> sockets_;
};

}  // namespace wuqu::download
