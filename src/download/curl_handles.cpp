#include "download/curl_handles.h"

#include <algorithm>

namespace wuqu::download {
namespace {

constexpr long kMaxRedirects = 10;

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
  return handle;
}

}  // namespace wuqu::download
