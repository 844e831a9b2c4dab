#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

#include "download/open_connections.h"

// curl's handles owned, so each is released once whichever way a transfer
// ends, and the one place a transfer's handle is set up.
namespace wuqu::download {

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct HeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// Whose connections a transfer's sockets count as: it must outlive the
// transfer's handle; `connections` must outlive the multi handle, which may
// close a pooled socket long after the transfer that opened it.
struct SocketTag {
  OpenConnections* connections = nullptr;
  std::string host;
  TransferSerial transfer = 0;
};

// One GET of a download.
struct TransferSetup {
  std::string url;
  std::string range;     // "first-last" or "first-"; empty: no Range
  std::string if_range;  // the validator of the bytes already taken; empty: none
  bool fresh_connection = false;
  long receive_buffer = 512 * 1024;
  std::chrono::milliseconds connect_timeout{15000};
  curl_write_callback on_body = nullptr;
  curl_write_callback on_header = nullptr;
  void* user = nullptr;  // handed to both callbacks, and kept as the handle's private pointer
  // Set: every socket the transfer opens, and the connection it sends its
  // request on, are counted there.
  SocketTag* sockets = nullptr;
};

// A handle for `setup`: HTTP/1.1 (one range per connection), http and https
// only (redirects included, at most 10), the identity encoding asked for.
// The header lines it sends live in `headers`, which must outlive the
// transfer. Null when curl cannot make one.
EasyHandle MakeTransferHandle(const TransferSetup& setup, HeaderList& headers);

}  // namespace wuqu::download
