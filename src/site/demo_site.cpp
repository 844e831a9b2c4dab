#include "site/demo_site.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "site/http_bits.h"
#include "text/ascii.h"
#include "site/request_log.h"
#include "site/shipped_tracks.h"
#include "site/site_server.h"
#include "site/synthetic.h"

namespace wuqu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 128 * 1024;               // bytes per write of a media body
constexpr std::uint64_t kMaxSyntheticSize = 1ull << 40;  // 1 TiB
constexpr std::time_t kCatalogueModified = 1716019200;   // 2024-05-18 08:00 GMT
constexpr const char* kHtml = "text/html; charset=utf-8";

std::uint64_t Fnv1a(std::span<const unsigned char> bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string Hex(std::uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
  return buf;
}

// A file descriptor that closes itself.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// A media file opened for one response (or one query): its size, validators
// and a way to read any piece of it.
struct OpenedMedia {
  std::uint64_t size = 0;
  std::string etag;
  std::string last_modified;
  std::function<bool(std::uint64_t offset, char* out, std::size_t n)> read;
};

}  // namespace

std::string SiteRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return {};
}

struct DemoSite::Impl {
  DemoSiteOptions options;
  std::string error;
  SiteCatalogue catalogue;
  std::vector<std::string> listing_pages;
  std::string index_page;
  // The served folder, opened at Start; files are opened inside it. Kept after
  // Stop so the media queries keep working.
  std::shared_ptr<Fd> folder;

  std::unique_ptr<SiteServer> server;
  socket_t listen_socket = -1;
  std::thread listener;
  int port = 0;
  std::atomic<bool> running{false};

  std::mutex stop_mutex;
  std::condition_variable stop_cv;
  bool stopping = false;

  mutable std::mutex faults_mutex;
  SiteFaults faults;
  std::uint64_t ranged_requests = 0;
  int stalls_started = 0;
  std::uint64_t ranged_gets = 0;  // media GETs with a Range header, for the slow ones
  int media_sending = 0;          // media responses being sent, for a host's limit
  std::set<std::uint64_t> first_bytes_asked;  // ranged GETs' first bytes, for 429

  std::unique_ptr<RequestLog> log = std::make_unique<RequestLog>();

  // Waits until `t`; false when the site is stopping.
  bool SleepUntil(Clock::time_point t) {
    std::unique_lock lock(stop_mutex);
    return !stop_cv.wait_until(lock, t, [&] { return stopping; });
  }

  std::optional<OpenedMedia> OpenMedia(std::string_view path, int revision) const;
  void Handle(const httplib::Request& req, httplib::Response& res);
  void ServeMedia(const httplib::Request& req, httplib::Response& res, const SiteFaults& f);
  // A host's limits: answers (or drops) the request and returns null when it
  // is beyond them; otherwise a slot the response holds while it is sent.
  std::shared_ptr<void> TakeHostSlot(const httplib::Request& req, httplib::Response& res,
                                     const SiteFaults& f, std::uint64_t size);
  std::string Refused(const RefusedRequest& refused);
};

std::optional<OpenedMedia> DemoSite::Impl::OpenMedia(std::string_view path, int revision) const {
  if (!path.starts_with(kMediaFolder) || !path.ends_with(".mp4")) return std::nullopt;
  const std::string_view value =
      path.substr(kMediaFolder.size(), path.size() - kMediaFolder.size() - 4);
  const std::string rev = "-r" + std::to_string(revision);
  const std::time_t moved = static_cast<std::time_t>(revision) * 86400;

  auto synthetic = [&](std::uint64_t size, std::uint64_t seed) {
    // Another revision is another file: other bytes as well as other validators.
    const std::uint64_t effective =
        revision == 0 ? seed
                      : seed ^ (0xD1B54A32D192ED03ull * static_cast<std::uint64_t>(revision));
    auto bytes = std::make_shared<SyntheticBytes>(effective);
    OpenedMedia m;
    m.size = size;
    m.etag = "\"s" + Hex(size) + "-" + Hex(seed) + rev + "\"";
    m.last_modified = HttpDate(kCatalogueModified + moved);
    m.read = [bytes](std::uint64_t offset, char* out, std::size_t n) {
      bytes->Fill(offset, out, n);
      return true;
    };
    return m;
  };

  // "synthetic/<size>/<seed>"
  if (value.starts_with("synthetic/")) {
    const std::string_view rest = value.substr(10);
    const auto slash = rest.find('/');
    if (slash != std::string_view::npos) {
      const auto size = ParseDecimal(rest.substr(0, slash));
      const auto seed = ParseDecimal(rest.substr(slash + 1));
      if (size && seed && *size <= kMaxSyntheticSize) return synthetic(*size, *seed);
    }
  }

  const MediaSource* source = catalogue.FindMedia(value);
  if (source == nullptr) return std::nullopt;
  switch (source->kind) {
    case MediaSource::Kind::kSynthetic:
      return synthetic(source->size, source->seed);
    case MediaSource::Kind::kShipped: {
      const auto bytes = ShippedTrack(source->shipped);
      OpenedMedia m;
      m.size = bytes.size();
      m.etag = "\"t" + Hex(bytes.size()) + "-" + Hex(Fnv1a(bytes)) + rev + "\"";
      m.last_modified = HttpDate(kCatalogueModified + moved);
      m.read = [bytes](std::uint64_t offset, char* out, std::size_t n) {
        if (offset > bytes.size() || n > bytes.size() - offset) return false;
        std::memcpy(out, bytes.data() + offset, n);
        return true;
      };
      return m;
    }
    case MediaSource::Kind::kFolderFile: {
      // Opened by name inside the folder's own descriptor, never following a
      // link: a file swapped for a link after the folder was read is refused.
      if (!folder || source->file_name.find('/') != std::string::npos) return std::nullopt;
      const int fd =
          ::openat(folder->fd, source->file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return std::nullopt;
      auto file = std::make_shared<Fd>(fd);
      struct stat st {};
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
      OpenedMedia m;
      m.size = static_cast<std::uint64_t>(st.st_size);
      m.etag = "\"f" + Hex(m.size) + "-" + Hex(static_cast<std::uint64_t>(st.st_mtim.tv_sec)) +
               "." + Hex(static_cast<std::uint64_t>(st.st_mtim.tv_nsec)) + rev + "\"";
      m.last_modified = HttpDate(st.st_mtim.tv_sec + moved);
      m.read = [file](std::uint64_t offset, char* out, std::size_t n) {
        while (n > 0) {
          const ssize_t got = ::pread(file->fd, out, n, static_cast<off_t>(offset));
          if (got <= 0) return false;  // the file shrank or failed: end the response
          out += got;
          n -= static_cast<std::size_t>(got);
          offset += static_cast<std::uint64_t>(got);
        }
        return true;
      };
      return m;
    }
  }
  return std::nullopt;
}

void DemoSite::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
  SiteFaults f;
  {
    std::lock_guard lock(faults_mutex);
    f = faults;
  }
  SiteRequest record;
  record.method = req.method;
  record.target = req.target;
  record.path = req.path;
  for (const auto& [key, value] : req.headers) record.headers.emplace_back(key, value);
  record.range = req.get_header_value("Range");
  record.remote_port = req.remote_port;

  auto error_page = [&](int status) {
    res.status = status;
    res.set_content(RenderErrorPage(status), kHtml);
  };

  const std::string& path = req.path;
  if (const auto it = f.path_status.find(path); it != f.path_status.end()) {
    error_page(it->second);
  } else if (!IsSafeRequestPath(path)) {
    error_page(400);
  } else if (req.method != "GET" && req.method != "HEAD") {
    error_page(405);
    res.set_header("Allow", "GET, HEAD");
    res.set_header("Connection", "close");  // the request's body, if any, is never read
  } else if (path == "/") {
    res.status = 200;
    res.set_content(index_page, kHtml);
  } else if (path.starts_with("/m/")) {
    // "/m/<id>/"
    const std::string_view rest = std::string_view(path).substr(3);
    const SiteTrack* track = nullptr;
    if (rest.size() > 1 && rest.back() == '/' && rest.find('/') == rest.size() - 1)
      track = catalogue.FindTrack(rest.substr(0, rest.size() - 1));
    if (track != nullptr) {
      res.status = 200;
      res.set_content(RenderPlayPage(catalogue, *track), kHtml);
    } else {
      error_page(404);
    }
  } else if (path.starts_with(kMediaFolder)) {
    ServeMedia(req, res, f);
  } else if (const int c = catalogue.FindCategory(std::string_view(path).substr(1)); c >= 0) {
    res.status = 200;
    res.set_content(listing_pages[static_cast<std::size_t>(c)], kHtml);
  } else {
    error_page(404);
  }

  record.status = res.status;
  log->Add(std::move(record));
  if (f.first_byte_delay.count() > 0) SleepUntil(Clock::now() + f.first_byte_delay);
}

std::string DemoSite::Impl::Refused(const RefusedRequest& refused) {
  SiteRequest record;
  // "GET /target HTTP/1.1", or as much of it as came.
  const std::string_view line = refused.request_line;
  const auto space = line.find(' ');
  record.method = line.substr(0, space);
  if (space != std::string_view::npos) {
    const std::string_view rest = line.substr(space + 1);
    record.target = rest.substr(0, rest.find(' '));
  }
  record.status = refused.status;
  record.remote_port = refused.remote_port;
  log->Add(std::move(record));
  return RenderErrorPage(refused.status);
}

std::shared_ptr<void> DemoSite::Impl::TakeHostSlot(const httplib::Request& req,
                                                   httplib::Response& res, const SiteFaults& f,
                                                   std::uint64_t size) {
  const bool ranged = req.has_header("Range");
  std::unique_lock lock(faults_mutex);
  if (f.retry_after_429 > 0 && ranged && req.method == "GET") {
    const ByteRangeAnswer asked = EvaluateRange(req.get_header_value("Range"), size);
    if (asked.kind == ByteRangeAnswer::Kind::kPartial &&
        first_bytes_asked.insert(asked.first).second) {
      lock.unlock();
      res.status = 429;
      res.set_header("Retry-After", std::to_string(f.retry_after_429));
      res.set_content(RenderErrorPage(429), kHtml);
      return nullptr;
    }
  }
  if (f.max_connections > 0 && media_sending >= f.max_connections) {
    lock.unlock();
    if (f.max_connections_close) {
      SiteServer::CloseWithoutReply();
      res.status = 503;  // as the request log records it; nothing is sent
    } else {
      res.status = 503;
      res.set_header("Retry-After", "1");
      res.set_content(RenderErrorPage(503), kHtml);
    }
    return nullptr;
  }
  ++media_sending;
  struct Slot {
    Impl* site;
    ~Slot() {
      std::lock_guard lock(site->faults_mutex);
      --site->media_sending;
    }
  };
  return std::shared_ptr<void>(new Slot{this});
}

void DemoSite::Impl::ServeMedia(const httplib::Request& req, httplib::Response& res,
                                const SiteFaults& f) {
  // The site answers ranges itself (416, refused ranges, If-Range): the
  // server hands the Range field over without letting httplib parse it, so
  // httplib's own range handling stays out.
  const bool ranged = req.has_header("Range");

  std::optional<OpenedMedia> media = OpenMedia(req.path, f.media_revision);
  if (!media) {
    res.status = 404;
    res.set_content(RenderErrorPage(404), kHtml);
    return;
  }

  std::shared_ptr<void> slot = TakeHostSlot(req, res, f, media->size);
  if (!slot) return;

  bool fail = false;
  bool stall = false;
  bool trickle = false;
  bool slow_head = false;
  {
    std::lock_guard lock(faults_mutex);
    if (ranged && req.method == "GET") {
      const std::uint64_t n = ++ranged_gets;
      trickle = f.trickle_nth_range > 0 && n == static_cast<std::uint64_t>(f.trickle_nth_range);
      slow_head = f.slow_head_nth_range > 0 &&
                  n == static_cast<std::uint64_t>(f.slow_head_nth_range) &&
                  f.slow_head_interval.count() > 0;
    }
    if (ranged && f.fail_every_nth_range > 0)
      fail = ++ranged_requests % static_cast<std::uint64_t>(f.fail_every_nth_range) == 0;
    if (!fail && req.method == "GET" && f.stall_for.count() > 0 &&
        (f.stall_count <= 0 || stalls_started < f.stall_count)) {
      stall = true;
      ++stalls_started;
    }
  }
  if (slow_head) SiteServer::SpreadResponseHead(f.slow_head_interval);
  if (fail) {
    res.status = 503;
    res.set_content(RenderErrorPage(503), kHtml);
    return;
  }

  res.set_header("Accept-Ranges", f.refuse_ranges ? "none" : "bytes");
  res.set_header("ETag", media->etag);
  res.set_header("Last-Modified", media->last_modified);

  ByteRangeAnswer answer;
  if (ranged && !f.refuse_ranges) {
    const std::string if_range = req.get_header_value("If-Range");
    if (if_range.empty() || if_range == media->etag || if_range == media->last_modified)
      answer = EvaluateRange(req.get_header_value("Range"), media->size);
  }
  std::uint64_t first = 0;
  std::uint64_t length = media->size;
  switch (answer.kind) {
    case ByteRangeAnswer::Kind::kWhole:
      res.status = 200;
      break;
    case ByteRangeAnswer::Kind::kPartial:
      res.status = 206;
      first = answer.first;
      length = answer.last - answer.first + 1;
      res.set_header("Content-Range", "bytes " + std::to_string(answer.first) + "-" +
                                          std::to_string(answer.last) + "/" +
                                          std::to_string(media->size));
      break;
    case ByteRangeAnswer::Kind::kUnsatisfiable:
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(media->size));
      res.set_content("", "video/mp4");
      return;
  }
  if (length == 0) {
    res.set_content("", "video/mp4");
    return;
  }

  struct Body {
    OpenedMedia media;
    std::uint64_t first;
    std::uint64_t rate;
    std::uint64_t drop_after;
    std::uint64_t stall_after;
    std::chrono::milliseconds stall_for;
    bool stall_pending;
    Clock::time_point start;
    std::vector<char> buffer;
    std::shared_ptr<void> slot;  // the host's limit counts the response until it is sent
  };
  auto body = std::make_shared<Body>(
      Body{std::move(*media),
           first,
           trickle ? std::max<std::uint64_t>(1, f.trickle_rate) : f.rate_limit,
           f.drop_after,
           f.stall_after,
           f.stall_for,
           stall,
           {},
           {},
           std::move(slot)});
  res.set_content_provider(
      static_cast<std::size_t>(length), "video/mp4",
      [this, body](std::size_t offset, std::size_t left, httplib::DataSink& sink) {
        // `offset` counts the body bytes sent so far.
        Body& b = *body;
        if (offset == 0) b.start = Clock::now();
        if (b.drop_after > 0 && offset >= b.drop_after) return false;  // closes the connection
        if (b.stall_pending && offset >= b.stall_after) {
          b.stall_pending = false;
          if (!SleepUntil(Clock::now() + b.stall_for)) return false;
        }
        std::size_t n = std::min(left, kChunk);
        if (b.drop_after > 0) n = std::min<std::uint64_t>(n, b.drop_after - offset);
        if (b.stall_pending) n = std::min<std::uint64_t>(n, b.stall_after - offset);
        if (b.rate > 0) {
          n = std::min<std::uint64_t>(n, std::max<std::uint64_t>(1, b.rate / 50));
          // This piece may leave once the time for all bytes up to its end has come.
          const double due = static_cast<double>(offset + n) / static_cast<double>(b.rate);
          if (!SleepUntil(b.start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(due))))
            return false;
        }
        if (b.buffer.size() < n) b.buffer.resize(std::min(kChunk, std::max<std::size_t>(n, 4096)));
        if (!b.media.read(b.first + offset, b.buffer.data(), n)) return false;
        return sink.write(b.buffer.data(), n);
      });
}

DemoSite::DemoSite(DemoSiteOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->faults = impl_->options.faults;
  impl_->log = std::make_unique<RequestLog>(impl_->options.request_log);
}

DemoSite::~DemoSite() {
  Stop();
}

bool DemoSite::Start() {
  Impl& d = *impl_;
  if (d.running) {
    d.error = "already running";
    return false;
  }
  d.error.clear();
  if (!d.options.folder.empty()) {
    auto cat = SiteCatalogue::FromFolder(d.options.folder, &d.error);
    if (!cat) return false;
    const int fd = ::open(d.options.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      d.error = "cannot open folder " + d.options.folder + ": " + std::strerror(errno);
      return false;
    }
    d.folder = std::make_shared<Fd>(fd);
    d.catalogue = std::move(*cat);
  } else {
    d.folder.reset();
    d.catalogue = SiteCatalogue::BuiltIn(d.options.tracks_per_category, d.options.track_media_size);
  }
  for (const auto& extra : d.options.extra_tracks) d.catalogue.AddExtraTrack(extra);
  d.listing_pages.clear();
  for (std::size_t c = 0; c < d.catalogue.categories().size(); ++c)
    d.listing_pages.push_back(RenderListingPage(d.catalogue, c));
  d.index_page = RenderIndexPage(d.catalogue);
  {
    std::lock_guard lock(d.faults_mutex);
    d.ranged_requests = 0;
    d.stalls_started = 0;
    d.ranged_gets = 0;
    d.first_bytes_asked.clear();
  }
  {
    std::lock_guard lock(d.stop_mutex);
    d.stopping = false;
  }

  d.server = std::make_unique<SiteServer>(
      std::max(4, d.options.threads), d.options.request_head,
      [&d](Clock::time_point t) { return d.SleepUntil(t); },
      [&d](const RefusedRequest& refused) { return d.Refused(refused); });
  SiteServer& s = *d.server;
  {
    std::lock_guard lock(d.faults_mutex);
    s.SetMaxOpenConnections(d.faults.max_open_connections);
  }
  // An idle kept-alive connection is closed after this long.
  s.set_keep_alive_timeout(1);
  s.set_keep_alive_max_count(10000);
  // httplib's default sets SO_REUSEPORT, with which a second site on a busy
  // port "succeeds" and the kernel splits connections between the two.
  // SO_REUSEADDR alone allows a quick restart and refuses a busy port.
  s.set_socket_options([&d](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    d.listen_socket = sock;
  });
  s.set_pre_routing_handler([&d](const httplib::Request& req, httplib::Response& res) {
    d.Handle(req, res);
    return httplib::Server::HandlerResponse::Handled;
  });

  const std::string& host = d.options.host;
  if (d.options.port == 0) {
    d.port = s.bind_to_any_port(host);
  } else {
    d.port = s.bind_to_port(host, d.options.port) ? d.options.port : -1;
  }
  if (d.port <= 0) {
    d.error = "cannot listen on " + host + ":" + std::to_string(d.options.port);
    d.server.reset();
    return false;
  }
  // httplib listens with a backlog of 5: a client opening 16 or 20
  // connections at once then loses SYNs whenever the accept thread is slow to
  // run, and each lost one costs a second. Listening again raises it.
  if (d.listen_socket >= 0) ::listen(d.listen_socket, 128);
  d.listener = std::thread([&s] { s.listen_after_bind(); });
  // stop() is a no-op until the loop runs, so wait for it.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!s.is_running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  d.running = true;
  return true;
}

void DemoSite::Stop() {
  Impl& d = *impl_;
  if (!d.server) return;
  {
    std::lock_guard lock(d.stop_mutex);
    d.stopping = true;
  }
  d.stop_cv.notify_all();
  d.server->stop();
  if (d.listener.joinable()) d.listener.join();
  d.server->Shutdown();
  d.server.reset();
  d.running = false;
}

bool DemoSite::IsRunning() const {
  return impl_->running;
}
const std::string& DemoSite::Error() const {
  return impl_->error;
}
int DemoSite::Port() const {
  return impl_->port;
}

std::string DemoSite::BaseUrl() const {
  std::string host = impl_->options.host;
  if (host.empty() || host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}
std::string DemoSite::CatalogueBaseUrl() const {
  return BaseUrl();
}
std::string DemoSite::MediaBaseUrl() const {
  return BaseUrl() + std::string(kMediaFolder.substr(1));
}

std::string DemoSite::Url(std::string_view path) const {
  if (path.starts_with('/')) path.remove_prefix(1);
  return BaseUrl() + std::string(path);
}

std::string DemoSite::SyntheticMediaPath(std::uint64_t size, std::uint64_t seed) {
  return std::string(kMediaFolder) + "synthetic/" + std::to_string(size) + "/" +
         std::to_string(seed) + ".mp4";
}
std::string DemoSite::SyntheticMediaUrl(std::uint64_t size, std::uint64_t seed) const {
  return Url(SyntheticMediaPath(size, seed));
}

const SiteCatalogue& DemoSite::Catalogue() const {
  return impl_->catalogue;
}
const std::vector<SiteCategory>& DemoSite::Categories() const {
  return impl_->catalogue.categories();
}
const SiteTrack* DemoSite::FindTrack(std::string_view id) const {
  return impl_->catalogue.FindTrack(id);
}

std::optional<std::uint64_t> DemoSite::MediaSize(std::string_view path) const {
  const auto m = impl_->OpenMedia(path, Faults().media_revision);
  if (!m) return std::nullopt;
  return m->size;
}

std::optional<std::string> DemoSite::MediaBytes(std::string_view path, std::uint64_t offset,
                                                std::uint64_t length) const {
  const auto m = impl_->OpenMedia(path, Faults().media_revision);
  if (!m) return std::nullopt;
  if (offset >= m->size) return std::string();
  length = std::min(length, m->size - offset);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  if (!m->read(offset, bytes.data(), bytes.size())) return std::nullopt;
  return bytes;
}

std::optional<std::string> DemoSite::MediaSha256(std::string_view path) const {
  const auto m = impl_->OpenMedia(path, Faults().media_revision);
  if (!m) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::vector<char> buffer(1 << 20);
  for (std::uint64_t offset = 0; offset < m->size;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m->size - offset));
    if (!m->read(offset, buffer.data(), n)) return std::nullopt;
    EVP_DigestUpdate(ctx.get(), buffer.data(), n);
    offset += n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &digest_length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < digest_length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::optional<std::string> DemoSite::MediaETag(std::string_view path) const {
  const auto m = impl_->OpenMedia(path, Faults().media_revision);
  if (!m) return std::nullopt;
  return m->etag;
}

void DemoSite::SetFaults(const SiteFaults& faults) {
  std::lock_guard lock(impl_->faults_mutex);
  impl_->faults = faults;
  impl_->ranged_requests = 0;
  impl_->stalls_started = 0;
  impl_->ranged_gets = 0;
  impl_->first_bytes_asked.clear();
  if (impl_->server) impl_->server->SetMaxOpenConnections(faults.max_open_connections);
}

SiteFaults DemoSite::Faults() const {
  std::lock_guard lock(impl_->faults_mutex);
  return impl_->faults;
}

std::vector<SiteRequest> DemoSite::Requests() const {
  return impl_->log->Snapshot();
}

std::vector<SiteRequest> DemoSite::TakeRequests() {
  return impl_->log->Take();
}

int DemoSite::OpenConnections() const {
  return impl_->server ? impl_->server->OpenConnections() : 0;
}

int DemoSite::ConnectionsTurnedAway() const {
  return impl_->server ? impl_->server->ConnectionsTurnedAway() : 0;
}

void DemoSite::ClearRequests() {
  impl_->log->Clear();
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace wuqu
