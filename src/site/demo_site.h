#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "site/site_catalogue.h"
#include "site/site_limits.h"

// The demo catalogue site: a real HTTP server (cpp-httplib) that serves the
// ten listing pages, a play page per track and the media files, on loopback
// unless told otherwise. The program's default addresses point at it; tests
// start one in their own process on a free port.
//
//   DemoSite site;                       // or DemoSite site(options)
//   ASSERT_TRUE(site.Start()) << site.Error();
//   auto url = site.CatalogueBaseUrl() + "zw/";
//   ... site.Requests() ...
//   site.Stop();                         // also done by the destructor
namespace wuqu {

// How the site misbehaves, for tests of the downloader and the HTTP client.
// Everything is off by default. Byte counts, rate limit, drop and stall apply
// to the body of each media response; status and delay to every response.
struct SiteFaults {
  // Bytes per second for each media response (one connection sends one
  // response at a time); 0: as fast as it goes.
  std::uint64_t rate_limit = 0;
  // Close the connection after this many body bytes of a media response; 0: never.
  std::uint64_t drop_after = 0;
  // Answer a ranged request with 200 and the whole body; "Accept-Ranges: none".
  bool refuse_ranges = false;
  // Answer every Nth media request that carries a Range header with 503, counted
  // from Start or the last SetFaults; 0: never.
  int fail_every_nth_range = 0;
  // After stall_after body bytes of a media response, send nothing for
  // stall_for, then go on. Only the first stall_count responses stall (counted
  // from Start or the last SetFaults); stall_count 0: every response.
  std::uint64_t stall_after = 0;
  std::chrono::milliseconds stall_for{0};
  int stall_count = 0;
  // Wait this long before answering any request.
  std::chrono::milliseconds first_byte_delay{0};
  // Answer these decoded paths ("/zw/", "/m/116717/") with this status and a
  // short error page, whatever they would otherwise be.
  std::map<std::string, int> path_status{};
  // The Nth media GET that carries a Range header (counted from Start or the
  // last SetFaults, among those for a file the site has, whatever their
  // answer; 0: none) sends its body at trickle_rate bytes per second, whatever
  // rate_limit says; the others go on as usual. One slow connection among
  // many, for the downloader.
  int trickle_nth_range = 0;
  std::uint64_t trickle_rate = 1;
  // The Nth media GET that carries a Range header (counted the same way; 0:
  // none) sends its status line at once and every later line of its head this
  // long after the one before.
  int slow_head_nth_range = 0;
  std::chrono::milliseconds slow_head_interval{0};
  // A new revision of every media file: other ETag and Last-Modified, and
  // other synthetic bytes (the shipped and folder files keep their bytes).
  int media_revision = 0;
  // A host's limit: with this many media responses being sent (counted as
  // nginx's limit_conn counts connections, those with a request in
  // progress), a further media request is answered 503 with "Retry-After: 1",
  // or with max_connections_close its connection is closed without a reply.
  // 0: no limit.
  int max_connections = 0;
  bool max_connections_close = false;
  // A host that counts open TCP connections instead (a firewall's
  // per-address limit): with this many open, idle kept-alive ones included,
  // a further connection is closed as soon as it is accepted, without a
  // reply; it reaches no handler and the request log. 0: no limit.
  int max_open_connections = 0;
  // Each ranged media GET's first try (the first request for its first byte,
  // counted from Start or the last SetFaults) is answered 429 with
  // "Retry-After: retry_after_429" seconds; 0: never.
  int retry_after_429 = 0;
};

struct DemoSiteOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free port chosen by the system
  std::size_t tracks_per_category = 36;
  // Every catalogue track served as a synthetic file of this size instead of
  // one of the shipped tracks; 0: the shipped tracks.
  std::uint64_t track_media_size = 0;
  // Non-empty: the catalogue is the .mp4 files directly inside this folder,
  // listed in every category, ids from 116717 on; links are not served.
  std::string folder{};
  // Tracks put in front of a category's list.
  std::vector<SiteExtraTrack> extra_tracks{};
  // Server threads: each request being answered holds one; connections that
  // wait for a request, or are still sending its head, hold none.
  int threads = 64;
  RequestHeadLimits request_head{};
  RequestLogLimits request_log{};
  SiteFaults faults{};
};

// One request as the site received it.
struct SiteRequest {
  std::string method;
  std::string target;  // the request target as sent, query included: "/m/%20116717%20/"
  std::string path;    // the percent-decoded path: "/m/ 116717 /"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string range;    // the Range header, "" when none
  int status = 0;       // the status the site answered with
  int remote_port = 0;  // tells the client's connections apart
  // The record was cut to keep the log small: a long target, path or header
  // value holds only its beginning, and the last header fields may be missing.
  bool truncated = false;

  // Value of a header, names compared without case; "" when absent.
  std::string Header(std::string_view name) const;
};

class DemoSite {
 public:
  explicit DemoSite(DemoSiteOptions options = {});
  ~DemoSite();
  DemoSite(const DemoSite&) = delete;
  DemoSite& operator=(const DemoSite&) = delete;

  // Builds the catalogue and starts listening. False, with Error() saying
  // why, when the folder cannot be read or the address cannot be bound.
  bool Start();
  // Stops listening, ends every open connection and waits for the server's
  // threads. Safe to call more than once.
  void Stop();
  bool IsRunning() const;
  const std::string& Error() const;

  int Port() const;
  // "http://127.0.0.1:<port>/"; hosts given as "0.0.0.0" or "::" are written
  // as loopback.
  std::string BaseUrl() const;
  std::string CatalogueBaseUrl() const;  // = BaseUrl()
  std::string MediaBaseUrl() const;      // BaseUrl() + "mp4/djmusic/"
  // BaseUrl() followed by `path` without its leading "/".
  std::string Url(std::string_view path) const;

  // The synthetic media file of `size` bytes made from `seed`.
  static std::string SyntheticMediaPath(std::uint64_t size, std::uint64_t seed);
  std::string SyntheticMediaUrl(std::uint64_t size, std::uint64_t seed) const;

  // The catalogue being served (after Start).
  const SiteCatalogue& Catalogue() const;
  const std::vector<SiteCategory>& Categories() const;
  const SiteTrack* FindTrack(std::string_view id) const;

  // Media by decoded path ("/mp4/djmusic/2024/live/116717.mp4", or a synthetic
  // path), as the site would serve it now; nullopt when it serves nothing there.
  std::optional<std::uint64_t> MediaSize(std::string_view path) const;
  // Bytes [offset, offset + length) of it, cut at its end.
  std::optional<std::string> MediaBytes(std::string_view path, std::uint64_t offset = 0,
                                        std::uint64_t length = UINT64_MAX) const;
  // SHA-256 of the whole file, lower-case hex; read in pieces, so any size will do.
  std::optional<std::string> MediaSha256(std::string_view path) const;
  std::optional<std::string> MediaETag(std::string_view path) const;

  // Faults can change while the site runs; a response in progress keeps the
  // ones it started with. SetFaults restarts the 503 and stall counts.
  void SetFaults(const SiteFaults& faults);
  SiteFaults Faults() const;

  // Requests received so far, oldest first: the latest that fit the
  // request_log limits, each cut as TrimRequestRecord says. Requests refused
  // for their head (431, 408) are here too, with the start of their request
  // line as target and no header fields.
  std::vector<SiteRequest> Requests() const;
  void ClearRequests();
  // Requests() and ClearRequests() in one step: no request falls between.
  std::vector<SiteRequest> TakeRequests();
  // Connections closed as soon as accepted for max_open_connections, since Start.
  int ConnectionsTurnedAway() const;
  // TCP connections open now, idle kept-alive ones included (as the site has
  // seen them: a close the client made is counted once the site reads it).
  int OpenConnections() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// SHA-256 of bytes, lower-case hex.
std::string Sha256Hex(std::string_view bytes);

}  // namespace wuqu
