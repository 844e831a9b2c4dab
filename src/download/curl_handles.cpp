#include "download/curl_handles.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace wuqu::download {
namespace {

constexpr long kMaxRedirects = 10;

curl_socket_t OpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  if (purpose == CURLSOCKTYPE_IPCXN) {
    const auto& tag = *static_cast<SocketTag*>(user);
    tag.connections->Opened(fd, tag.host, tag.transfer);
  }
  return fd;
}

int CloseSocket(void* user, curl_socket_t fd) {
  static_cast<OpenConnections*>(user)->Closed(fd);
  return ::close(fd);
}

// The connection is ready and the request about to go: which one it is.
int BeforeRequest(void* user, char*, char*, int, int local_port) {
  const auto& tag = *static_cast<SocketTag*>(user);
  tag.connections->InUse(tag.host, local_port, tag.transfer);
  return CURL_PREREQFUNC_OK;
}

}  // namespace

EasyHandle MakeTransferHandle(const TransferSetup& setup, HeaderList& headers) {
  EasyHandle handle(curl_easy_init());
  if (!handle) return handle;
  headers.reset(curl_slist_append(nullptr, "Accept-Encoding: identity"));
  if (!setup.if_range.empty() && headers) {
    curl_slist* more = curl_slist_append(headers.get(), ("If-Range: " + setup.if_range).c_str());
    if (more == nullptr) headers.reset();
  }
  if (!headers) return nullptr;
  CURL* e = handle.get();
  curl_easy_setopt(e, CURLOPT_URL, setup.url.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, setup.user);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, setup.on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, setup.user);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, setup.on_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, setup.user);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);  // never wait for a name lookup
  // One range per connection: HTTP/2 would put every range on one.
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, std::clamp(setup.receive_buffer, 16384L, 524288L));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(setup.connect_timeout.count()));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "wuqu");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  if (!setup.range.empty()) curl_easy_setopt(e, CURLOPT_RANGE, setup.range.c_str());
  // After a failure the piece is tried on a connection of its own: the one
  // that failed may be left in a state no reply can be read from.
  if (setup.fresh_connection) curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
  if (setup.sockets != nullptr) {
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, setup.sockets);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocket);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, setup.sockets->connections);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &BeforeRequest);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, setup.sockets);
  }
  return handle;
}

}  // namespace wuqu::download
