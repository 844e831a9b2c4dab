#include "catalogue/downloader_engine.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "catalogue/downloader_record.h"

namespace wuqu::catalogue {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kUnbounded = UINT64_MAX;
// Times the download starts over because the server's file changed under it
// (or answered ranges inconsistently) before it gives up.
constexpr int kMaxRestarts = 3;
constexpr long kMaxRedirects = 10;
// File offsets are signed 64-bit numbers.
constexpr std::uint64_t kMaxFileSize = static_cast<std::uint64_t>(INT64_MAX);
constexpr std::chrono::milliseconds kIdleWake{1000};
constexpr std::chrono::milliseconds kBusyWake{100};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> ParseDigits(std::string_view s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

bool IsHttpAddress(std::string_view url) {
  const auto colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  const std::string_view scheme = url.substr(0, colon);
  return (EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https")) && url.size() > colon + 3;
}

bool WriteAll(int fd, const char* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return true;
}

// Creates the folder that holds `path` when it is missing, but only that one:
// its own parent must exist. A target whose folders are not there (an address
// mangled on its way into program text, say) fails instead of planting a tree
// of folders somewhere else.
bool MakeTargetFolder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string folder = path.substr(0, slash);
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return ::mkdir(folder.c_str(), 0777) == 0 ||
         (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// A name that is the same for two spellings of one path ("a/./b", "/x/../a/b"
// and a folder reached through a link), so two downloads to one file are
// recognised as such.
std::string TargetKey(const std::string& path) {
  std::string absolute = path;
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + path;
  }
  std::vector<std::string_view> parts;
  std::string_view rest = absolute;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return "/";
  std::string parent;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + std::string(parts[i]);
  if (parent.empty()) parent = "/";
  char resolved[PATH_MAX];
  if (::realpath(parent.c_str(), resolved) != nullptr) parent = resolved;
  if (parent != "/") parent += "/";
  return parent + std::string(parts.back());
}

struct Conn;

// A stretch of the file still to fetch: [pos, end). One connection at a time
// owns it and writes it front to back; a thief takes its back part by moving
// `end` down.
struct Piece {
  std::uint64_t pos = 0;
  std::uint64_t end = 0;
  Conn* owner = nullptr;
  std::uint64_t Left() const { return end - pos; }
};

struct Task;

// Why a transfer was ended from our side (or by what it answered).
enum class StopReason {
  kNone,
  kPieceDone,     // reached the end of its piece; more would follow
  kHttpStatus,    // a non-2xx answer; its body is never written
  kDisk,          // the file could not be made or written
  kChanged,       // the server's file is not the one being downloaded
  kBadAnswer,     // a range answer that does not match the question
  kRecordStale,   // the resume record does not fit the server's file
  kRangesBroken,  // the first answer's ranges cannot be used
  kUnusable,      // a size no file can have
};

struct ResponseHeaders {
  std::string content_range;
  std::string etag;
  std::string last_modified;
};

// One connection's slot in a download: a transfer in flight, or waiting to
// try its piece again.
struct Conn {
  Task* task = nullptr;
  CURL* easy = nullptr;  // non-null while the transfer is in the multi handle
  Piece* piece = nullptr;
  bool probe = false;  // the download's first request, before the size is known
  Clock::time_point retry_at{};
  Clock::time_point last_activity{};
  int attempts = 0;  // failures in a row without a byte

  // The request in flight.
  std::uint64_t req_first = 0;
  std::uint64_t req_last = kUnbounded;
  std::uint64_t skip = 0;               // body bytes already in the file (no ranges)
  std::uint64_t resp_end = kUnbounded;  // file offset where this answer's body ends
  bool accepted = false;
  bool got_bytes = false;
  StopReason stop = StopReason::kNone;
  ResponseHeaders headers;
  curl_slist* header_list = nullptr;
  std::string range;
};

struct Task {
  DownloadEngine::Worker* worker = nullptr;
  TaskOrder order;
  std::string key;
  std::string record_path;
  std::string temp_path;  // a new file is made here and renamed into place
  std::string side_path;  // a download of unknown length grows here

  std::optional<ResumeRecord> record;  // found at the start and fitting the file
  int resume_fd = -1;                  // the file that record describes

  bool known = false;           // the first answer has been taken
  bool try_ranges = true;       // ask the first request for a range
  bool ranges = false;          // the server answers ranges
  bool unknown_length = false;  // no length: one connection into the side file
  std::uint64_t size = 0;
  std::string etag;
  std::string last_modified;
  std::string url;  // where later requests go (after redirects)
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  int fd = -1;

  std::vector<std::unique_ptr<Piece>> pieces;
  std::vector<std::unique_ptr<Conn>> conns;
  int in_flight = 0;
  std::int64_t file_bytes = 0;
  std::int64_t written = 0;
  std::int64_t saved_bytes = -1;
  Clock::time_point next_save{};
  int restarts = 0;
  bool schedule = false;
  bool ended = false;
};

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = Trim(value);
  if (value.size() < 6 || !EqualsNoCase(value.substr(0, 5), "bytes") || value[5] != ' ')
    return std::nullopt;
  value = Trim(value.substr(6));
  const auto slash = value.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view span = value.substr(0, slash);
  const std::string_view total = value.substr(slash + 1);
  ContentRange r;
  if (total != "*") {
    r.total = ParseDigits(total);
    if (!r.total) return std::nullopt;
  }
  if (span == "*") {
    if (!r.total) return std::nullopt;
    return r;
  }
  const auto dash = span.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = ParseDigits(span.substr(0, dash));
  const auto last = ParseDigits(span.substr(dash + 1));
  if (!first || !last || *last < *first) return std::nullopt;
  if (r.total && *last >= *r.total) return std::nullopt;
  r.satisfied = true;
  r.first = *first;
  r.last = *last;
  return r;
}

// Everything the worker thread owns. Nothing here is touched by another thread.
struct DownloadEngine::Worker {
  DownloadEngine& engine;
  const DownloaderSettings& settings;
  CURLM* multi;
  std::vector<std::unique_ptr<Task>> tasks;

  Worker(DownloadEngine& e)
      : engine(e), settings(e.settings_), multi(static_cast<CURLM*>(e.multi_)) {}

  // ---- figures ----

  static void Publish(Task& t) {
    t.order.figures->file_bytes.store(t.file_bytes, std::memory_order_relaxed);
    t.order.figures->written.store(t.written, std::memory_order_relaxed);
  }

  void End(Task& t, download::TaskPhase status, download::FailureCause failure = download::FailureCause::kNone) {
    StopTransfers(t);
    if (t.fd >= 0) {
      SaveRecord(t);
      ::close(t.fd);
      t.fd = -1;
    }
    if (t.resume_fd >= 0) {
      ::close(t.resume_fd);
      t.resume_fd = -1;
    }
    // A download of unknown length never resumes: its side file goes.
    if (t.unknown_length) ::unlink(t.side_path.c_str());
    t.order.figures->failure.store(static_cast<int>(failure), std::memory_order_relaxed);
    t.order.figures->status.store(static_cast<int>(status), std::memory_order_release);
    t.ended = true;
    engine.active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
  }

  void Fail(Task& t, download::FailureCause failure) { End(t, download::TaskPhase::kFailed, failure); }

  // ---- starting a download ----

  void Begin(TaskOrder order) {
    auto owned = std::make_unique<Task>();
    Task& t = *owned;
    t.worker = this;
    t.order = std::move(order);
    t.key = TargetKey(t.order.target);
    // A download that writes the same file stops first; its writes are over
    // before this one makes or opens the file, and its record is saved.
    for (auto& other : tasks)
      if (!other->ended && other->key == t.key) End(*other, download::TaskPhase::kStopped);
    tasks.push_back(std::move(owned));

    if (!IsHttpAddress(t.order.wire_url) || t.order.target.empty()) {
      Fail(t, download::FailureCause::kAddressRefused);
      return;
    }
    t.record_path = ResumeRecordPath(t.order.target);
    t.temp_path = t.order.target + ".wuqu-new";
    t.side_path = t.order.target + ".wuqu-part";
    t.url = t.order.wire_url;

    // A record counts only for the same source and the very file it describes.
    t.record = LoadResumeRecord(t.record_path);
    if (t.record && t.record->source == t.order.source && t.record->size > 0) {
      t.resume_fd = ::open(t.order.target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st {};
      if (t.resume_fd < 0 || ::fstat(t.resume_fd, &st) != 0 || !S_ISREG(st.st_mode) ||
          static_cast<std::uint64_t>(st.st_size) != t.record->size ||
          static_cast<std::uint64_t>(st.st_dev) != t.record->device ||
          static_cast<std::uint64_t>(st.st_ino) != t.record->inode) {
        DropRecord(t);
      }
    } else {
      t.record.reset();
    }
    StartProbe(t);
  }

  static void DropRecord(Task& t) {
    t.record.reset();
    if (t.resume_fd >= 0) ::close(t.resume_fd);
    t.resume_fd = -1;
  }

  // The first missing byte the record leaves, or the last byte when it
  // claims them all: asking for one byte again costs nothing and checks the
  // server's file like any other resume.
  static std::uint64_t FirstMissing(const ResumeRecord& r) {
    std::uint64_t pos = 0;
    for (const auto& [first, end] : r.done) {
      if (first > pos) return pos;
      pos = end;
    }
    return pos < r.size ? pos : r.size - 1;
  }

  void StartProbe(Task& t) {
    auto conn = std::make_unique<Conn>();
    conn->task = &t;
    conn->probe = true;
    Conn& c = *conn;
    t.conns.push_back(std::move(conn));
    Send(c);
  }

  // ---- requests ----

  void Send(Conn& c) {
    Task& t = *c.task;
    CURL* e = curl_easy_init();
    if (e == nullptr) {
      Retry(c);
      return;
    }
    c.accepted = false;
    c.got_bytes = false;
    c.stop = StopReason::kNone;
    c.headers = {};
    c.skip = 0;
    c.resp_end = kUnbounded;
    c.range.clear();
    if (c.header_list != nullptr) curl_slist_free_all(c.header_list);
    c.header_list = nullptr;

    if (c.probe) {
      c.req_first = t.record ? FirstMissing(*t.record) : 0;
      c.req_last = kUnbounded;
      if (t.try_ranges) c.range = std::to_string(c.req_first) + "-";
    } else if (t.ranges) {
      c.req_first = c.piece->pos;
      c.req_last = c.piece->end - 1;
      c.range = std::to_string(c.req_first) + "-" + std::to_string(c.req_last);
      // Ranges of another version of the file must not be mixed in.
      if (!t.etag.empty() && !t.etag.starts_with("W/")) {
        c.header_list = curl_slist_append(nullptr, ("If-Range: " + t.etag).c_str());
      } else if (!t.last_modified.empty()) {
        c.header_list = curl_slist_append(nullptr, ("If-Range: " + t.last_modified).c_str());
      }
    } else {
      // No ranges: the whole body again, skipping what the file already holds.
      c.req_first = 0;
      c.req_last = kUnbounded;
      c.skip = c.piece->pos;
    }

    curl_easy_setopt(e, CURLOPT_URL, c.probe ? t.order.wire_url.c_str() : t.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &c);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Worker::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &c);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Worker::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);  // never wait for a name lookup
    // One range per connection: HTTP/2 would put every range on one.
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, std::clamp(settings.receive_buffer, 16384L, 524288L));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(settings.connect_timeout.count()));
    curl_easy_setopt(e, CURLOPT_USERAGENT, "wuqu");
    if (!c.range.empty()) curl_easy_setopt(e, CURLOPT_RANGE, c.range.c_str());
    if (c.header_list != nullptr) curl_easy_setopt(e, CURLOPT_HTTPHEADER, c.header_list);

    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
      curl_easy_cleanup(e);
      Retry(c);
      return;
    }
    c.easy = e;
    c.last_activity = Clock::now();
    ++t.in_flight;
    auto& figures = *t.order.figures;
    figures.requests.fetch_add(1, std::memory_order_relaxed);
    if (t.in_flight > figures.peak_connections.load(std::memory_order_relaxed))
      figures.peak_connections.store(t.in_flight, std::memory_order_relaxed);
  }

  void Detach(Conn& c) {
    if (c.easy == nullptr) return;
    curl_multi_remove_handle(multi, c.easy);
    curl_easy_cleanup(c.easy);
    c.easy = nullptr;
    --c.task->in_flight;
  }

  void StopTransfers(Task& t) {
    for (auto& c : t.conns) {
      Detach(*c);
      if (c->header_list != nullptr) curl_slist_free_all(c->header_list);
      c->header_list = nullptr;
    }
    t.conns.clear();
    for (auto& p : t.pieces) p->owner = nullptr;
  }

  void RemoveConn(Conn& c) {
    Task& t = *c.task;
    Detach(c);
    if (c.header_list != nullptr) curl_slist_free_all(c.header_list);
    if (c.piece != nullptr) c.piece->owner = nullptr;
    std::erase_if(t.conns, [&](const auto& p) { return p.get() == &c; });
  }

  // ---- callbacks (inside curl_multi_perform) ----

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* user) {
    Conn& c = *static_cast<Conn*>(user);
    const std::size_t bytes = size * n;
    const std::string_view line(data, bytes);
    c.last_activity = Clock::now();
    if (line.starts_with("HTTP/")) {
      c.headers = {};  // a new answer (after a redirect or an interim one)
      return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return bytes;
    const std::string_view name = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Range"))
      c.headers.content_range = value;
    else if (EqualsNoCase(name, "ETag"))
      c.headers.etag = value;
    else if (EqualsNoCase(name, "Last-Modified"))
      c.headers.last_modified = value;
    return bytes;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* user) {
    Conn& c = *static_cast<Conn*>(user);
    Task& t = *c.task;
    Worker& w = *t.worker;
    std::size_t left = size * n;
    c.last_activity = Clock::now();
    if (!c.accepted) {
      if (!w.Accept(c)) return 0;  // aborts the transfer: nothing of it is written
      c.accepted = true;
    }
    const char* p = data;
    if (c.skip > 0) {
      const std::size_t s = static_cast<std::size_t>(std::min<std::uint64_t>(c.skip, left));
      c.skip -= s;
      p += s;
      left -= s;
    }
    Piece& piece = *c.piece;
    while (left > 0) {
      const std::uint64_t room = std::min(piece.end, c.resp_end) - piece.pos;
      if (room == 0) {
        // The piece is done and the answer goes on, or the answer sends more
        // than it said it would.
        c.stop = piece.pos == piece.end ? StopReason::kPieceDone : StopReason::kBadAnswer;
        return 0;
      }
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
      if (!WriteAll(t.fd, p, take, piece.pos)) {
        c.stop = StopReason::kDisk;
        return 0;
      }
      piece.pos += take;
      p += take;
      left -= take;
      t.written += static_cast<std::int64_t>(take);
      if (!t.unknown_length) t.file_bytes += static_cast<std::int64_t>(take);
      Publish(t);
      c.got_bytes = true;
      c.attempts = 0;
    }
    // The piece was cut short by a thief: stop here rather than receive bytes
    // that belong to another connection.
    if (piece.pos == piece.end && c.resp_end > piece.end) {
      c.stop = StopReason::kPieceDone;
      return 0;
    }
    return size * n;
  }

  // First body bytes (or the end of an empty body) of a final answer.
  bool Accept(Conn& c) {
    Task& t = *c.task;
    long code = 0;
    curl_easy_getinfo(c.easy, CURLINFO_RESPONSE_CODE, &code);
    t.order.figures->http_status.store(static_cast<int>(code), std::memory_order_relaxed);
    if (code < 200 || code > 299) {
      c.stop = StopReason::kHttpStatus;
      return false;
    }
    return c.probe ? AcceptFirst(c, code) : AcceptRange(c, code);
  }

  bool SameFile(const Task& t, const ResponseHeaders& h) const {
    return (h.etag.empty() || t.etag.empty() || h.etag == t.etag) &&
           (h.last_modified.empty() || t.last_modified.empty() ||
            h.last_modified == t.last_modified);
  }

  bool AcceptRange(Conn& c, long code) {
    Task& t = *c.task;
    curl_off_t length = -1;
    curl_easy_getinfo(c.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (!SameFile(t, c.headers)) {
      c.stop = StopReason::kChanged;
      return false;
    }
    if (!t.ranges) {
      // The whole body again: it must still be the same length.
      if (code != 200 ||
          (t.unknown_length ? length >= 0 : length != static_cast<curl_off_t>(t.size))) {
        c.stop = StopReason::kChanged;
        return false;
      }
      c.resp_end = t.unknown_length ? kUnbounded : t.size;
      return true;
    }
    if (code == 200) {  // If-Range found another version of the file
      c.stop = StopReason::kChanged;
      return false;
    }
    const auto range = ParseContentRange(c.headers.content_range);
    if (code != 206 || !range || !range->satisfied || range->total != t.size ||
        range->first != c.req_first || range->last > c.req_last ||
        (length >= 0 && static_cast<std::uint64_t>(length) != range->last - range->first + 1)) {
      c.stop = StopReason::kBadAnswer;
      return false;
    }
    c.resp_end = range->last + 1;
    return true;
  }

  bool AcceptFirst(Conn& c, long code) {
    Task& t = *c.task;
    curl_off_t length = -1;
    curl_easy_getinfo(c.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    char* effective = nullptr;
    curl_easy_getinfo(c.easy, CURLINFO_EFFECTIVE_URL, &effective);
    if (effective != nullptr && IsHttpAddress(effective)) t.url = effective;
    t.etag = c.headers.etag;
    t.last_modified = c.headers.last_modified;

    if (code == 206 && t.try_ranges) {
      const auto range = ParseContentRange(c.headers.content_range);
      if (!range || !range->satisfied || !range->total || range->first != c.req_first ||
          (length >= 0 && static_cast<std::uint64_t>(length) != range->last - range->first + 1)) {
        c.stop = StopReason::kRangesBroken;
        return false;
      }
      if (*range->total > kMaxFileSize) {
        c.stop = StopReason::kUnusable;
        return false;
      }
      t.size = *range->total;
      t.ranges = true;
      c.resp_end = range->last + 1;
      if (t.record) {
        const ResumeRecord& r = *t.record;
        if (r.size != t.size || r.etag != t.etag || r.last_modified != t.last_modified) {
          if (c.req_first != 0) {
            c.stop = StopReason::kRecordStale;
            return false;
          }
          DropRecord(t);  // this answer starts at 0: it serves a fresh start as well
        }
      }
      if (t.record) {
        Resume(t, c);
      } else {
        if (!Create(t, c)) return false;
        // Cut the file into its pieces now: curl may deliver many buffers of
        // this answer before the worker gets to start the other connections.
        const std::uint64_t parts = std::min<std::uint64_t>(
            static_cast<std::uint64_t>(t.order.connections), t.size / MinSegment());
        if (parts >= 2) Split(t, *c.piece, parts);
      }
    } else if (code == 200) {
      // No ranges: one connection, front to back.
      DropRecord(t);
      t.ranges = false;
      if (length >= 0) {
        t.size = static_cast<std::uint64_t>(length);
        c.resp_end = t.size;
        if (!Create(t, c)) return false;
      } else {
        t.unknown_length = true;
        if (!CreateSide(t, c)) return false;
      }
    } else {
      c.stop = StopReason::kBadAnswer;
      return false;
    }
    t.known = true;
    t.schedule = true;
    c.probe = false;  // from now on it is one connection among the others
    t.order.figures->size.store(t.unknown_length ? -1 : static_cast<std::int64_t>(t.size),
                                std::memory_order_relaxed);
    Publish(t);
    return true;
  }

  // Continues into the file the record describes: its missing ranges become
  // the pieces, and the first connection already asked for the first one.
  void Resume(Task& t, Conn& c) {
    const ResumeRecord& r = *t.record;
    std::uint64_t pos = 0;
    auto add = [&](std::uint64_t first, std::uint64_t end) {
      auto piece = std::make_unique<Piece>();
      piece->pos = first;
      piece->end = end;
      t.pieces.push_back(std::move(piece));
    };
    for (const auto& [first, end] : r.done) {
      if (first > pos) add(pos, first);
      pos = end;
    }
    if (pos < r.size) add(pos, r.size);
    if (t.pieces.empty()) add(r.size - 1, r.size);
    std::uint64_t missing = 0;
    for (const auto& p : t.pieces) missing += p->Left();
    t.fd = t.resume_fd;
    t.resume_fd = -1;
    t.device = r.device;
    t.inode = r.inode;
    t.file_bytes = t.written = static_cast<std::int64_t>(t.size - missing);
    t.saved_bytes = t.file_bytes;
    t.record.reset();
    Piece& first = *t.pieces.front();  // starts at c.req_first
    first.owner = &c;
    c.piece = &first;
  }

  // Makes the file anew with its full length, then puts it in place of any
  // older file of that name. Until the rename an older file stays untouched;
  // a resume record that claims nothing goes first, so a full-length file
  // without a record is always a finished one.
  bool Create(Task& t, Conn& c) {
    DropRecord(t);
    if (!MakeTargetFolder(t.order.target)) {
      c.stop = StopReason::kDisk;
      return false;
    }
    ::unlink(t.temp_path.c_str());
    const int fd =
        ::open(t.temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    if (ok && t.size > 0) {
      // The space is reserved now, so a full disk fails here and not half
      // way. Where the file system cannot reserve space, the length is set
      // all the same (glibc's posix_fallocate would write every block).
      int r;
      do {
        r = ::fallocate(fd, 0, 0, static_cast<off_t>(t.size));
      } while (r != 0 && errno == EINTR);
      if (r != 0 && (errno == EOPNOTSUPP || errno == ENOSYS))
        r = ::ftruncate(fd, static_cast<off_t>(t.size));
      ok = r == 0;
    }
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0;
    if (ok) {
      t.device = static_cast<std::uint64_t>(st.st_dev);
      t.inode = static_cast<std::uint64_t>(st.st_ino);
      t.fd = fd;
      t.saved_bytes = -1;
      if (t.size > 0) {
        ok = SaveRecord(t);
      } else {
        ::unlink(t.record_path.c_str());
      }
    }
    ok = ok && ::rename(t.temp_path.c_str(), t.order.target.c_str()) == 0;
    if (!ok) {
      if (fd >= 0) ::close(fd);
      t.fd = -1;
      ::unlink(t.temp_path.c_str());
      c.stop = StopReason::kDisk;
      return false;
    }
    auto piece = std::make_unique<Piece>();
    piece->pos = 0;
    piece->end = t.size;
    piece->owner = &c;
    c.piece = piece.get();
    t.pieces.push_back(std::move(piece));
    t.file_bytes = t.written = 0;
    return true;
  }

  // A download of unknown length cannot be given its length up front; it
  // grows beside the target and takes its place once complete.
  bool CreateSide(Task& t, Conn& c) {
    if (!MakeTargetFolder(t.order.target)) {
      c.stop = StopReason::kDisk;
      return false;
    }
    ::unlink(t.side_path.c_str());
    t.fd = ::open(t.side_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (t.fd < 0) {
      c.stop = StopReason::kDisk;
      return false;
    }
    auto piece = std::make_unique<Piece>();
    piece->pos = 0;
    piece->end = kUnbounded;
    piece->owner = &c;
    c.piece = piece.get();
    t.pieces.push_back(std::move(piece));
    t.file_bytes = t.written = 0;
    return true;
  }

  // ---- the resume record ----

  bool SaveRecord(Task& t) {
    if (t.fd < 0 || t.unknown_length || t.size == 0) return false;
    ResumeRecord r;
    r.source = t.order.source;
    r.size = t.size;
    r.etag = t.etag;
    r.last_modified = t.last_modified;
    r.device = t.device;
    r.inode = t.inode;
    // Done is what no piece still waits for: bytes below each piece's
    // position were written before this moment.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> missing;
    for (const auto& p : t.pieces)
      if (p->pos < p->end) missing.emplace_back(p->pos, p->end);
    std::sort(missing.begin(), missing.end());
    std::uint64_t pos = 0;
    for (const auto& [first, end] : missing) {
      if (first > pos) r.done.emplace_back(pos, first);
      pos = std::max(pos, end);
    }
    if (pos < t.size) r.done.emplace_back(pos, t.size);
    t.saved_bytes = t.file_bytes;
    return SaveResumeRecord(t.record_path, r);
  }

  // ---- finished transfers ----

  void OnDone(Conn& c, CURLcode result) {
    Task& t = *c.task;
    long code = 0;
    curl_easy_getinfo(c.easy, CURLINFO_RESPONSE_CODE, &code);
    // A final answer without a body never reached the write callback.
    if (!c.accepted && c.stop == StopReason::kNone && result == CURLE_OK) {
      if (Accept(c)) c.accepted = true;
    }
    Detach(c);

    switch (c.stop) {
      case StopReason::kDisk:
        Fail(t, download::FailureCause::kDisk);
        return;
      case StopReason::kChanged:
      case StopReason::kRecordStale:
        StartOver(t, true);
        return;
      case StopReason::kRangesBroken:
        t.try_ranges = false;
        StartOver(t, true);
        return;
      case StopReason::kPieceDone:
        PieceDone(c);
        return;
      case StopReason::kBadAnswer:
        Retry(c);
        return;
      case StopReason::kUnusable:
        Fail(t, download::FailureCause::kHttpStatus);
        return;
      case StopReason::kHttpStatus:
      case StopReason::kNone:
        break;
    }

    if (c.accepted && result == CURLE_OK) {
      if (t.unknown_length) {
        FinishSide(t);
      } else if (c.piece->pos == c.piece->end) {
        PieceDone(c);
      } else if (c.got_bytes) {
        Send(c);  // a shorter answer than asked for: ask for the rest
      } else {
        Retry(c);
      }
      return;
    }
    if (code == 416 && c.probe && t.record) {
      StartOver(t, true);  // the server's file is shorter than the record says
      return;
    }
    if (code == 416 && c.probe && !t.record) {
      // "bytes */0": an empty file has no range to give.
      const auto range = ParseContentRange(c.headers.content_range);
      if (range && !range->satisfied && range->total == 0u) {
        t.size = 0;
        t.ranges = false;
        if (Create(t, c)) {
          t.known = true;
          t.order.figures->size.store(0, std::memory_order_relaxed);
          c.piece->owner = nullptr;
          c.piece = nullptr;
          RemoveConn(c);
          CheckFinished(t);
        } else {
          Fail(t, download::FailureCause::kDisk);
        }
        return;
      }
    }
    if (code >= 400 && code <= 499) {
      Fail(t, download::FailureCause::kHttpStatus);
      return;
    }
    if (result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_URL_MALFORMAT) {
      Fail(t, download::FailureCause::kAddressRefused);
      return;
    }
    // A final 3xx: a redirect without a place to go, or one too many.
    if (result == CURLE_TOO_MANY_REDIRECTS ||
        ((result == CURLE_OK || c.stop == StopReason::kHttpStatus) && code >= 300 && code <= 399)) {
      Fail(t, download::FailureCause::kHttpStatus);
      return;
    }
    Retry(c);  // 5xx, connection errors, cut-off answers
  }

  // Tries the connection's piece again after a pause that doubles with every
  // failure in a row.
  void Retry(Conn& c) {
    Task& t = *c.task;
    if (++c.attempts >= settings.max_attempts) {
      Fail(t, download::FailureCause::kNetwork);
      return;
    }
    auto delay = settings.retry_delay;
    for (int i = 1; i < c.attempts && delay < settings.retry_delay_max; ++i) delay *= 2;
    c.retry_at = Clock::now() + std::min(delay, settings.retry_delay_max);
  }

  void PieceDone(Conn& c) {
    Task& t = *c.task;
    Piece* piece = c.piece;
    RemoveConn(c);
    if (piece != nullptr && piece->pos == piece->end)
      std::erase_if(t.pieces, [&](const auto& p) { return p.get() == piece; });
    t.schedule = true;
    CheckFinished(t);
  }

  // The server's file is not the one the download began with: start again
  // from nothing, a limited number of times.
  void StartOver(Task& t, bool count) {
    if (count && ++t.restarts > kMaxRestarts) {
      Fail(t, download::FailureCause::kChanged);
      return;
    }
    StopTransfers(t);
    if (t.fd >= 0) {
      SaveRecord(t);  // still true of the bytes in the file, and refused by the next check
      ::close(t.fd);
      t.fd = -1;
    }
    if (t.unknown_length) ::unlink(t.side_path.c_str());
    DropRecord(t);
    t.pieces.clear();
    t.known = t.ranges = t.unknown_length = false;
    t.size = 0;
    t.file_bytes = t.written = 0;
    Publish(t);
    StartProbe(t);
  }

  void CheckFinished(Task& t) {
    if (t.ended || !t.known || t.unknown_length || !t.conns.empty()) return;
    for (const auto& p : t.pieces)
      if (p->pos < p->end) return;
    const int fd = t.fd;
    t.fd = -1;
    if (fd >= 0 && ::close(fd) != 0) {
      Fail(t, download::FailureCause::kDisk);
      return;
    }
    ::unlink(t.record_path.c_str());
    End(t, download::TaskPhase::kComplete);
  }

  void FinishSide(Task& t) {
    const int fd = t.fd;
    t.fd = -1;
    const bool ok = ::close(fd) == 0 && ::rename(t.side_path.c_str(), t.order.target.c_str()) == 0;
    if (!ok) {
      Fail(t, download::FailureCause::kDisk);
      return;
    }
    // The file in place is complete: a record of an older, unfinished one is void.
    ::unlink(t.record_path.c_str());
    t.unknown_length = false;  // nothing left to delete
    t.file_bytes = t.written;
    t.size = static_cast<std::uint64_t>(t.written);
    t.order.figures->size.store(t.written, std::memory_order_relaxed);
    Publish(t);
    StopTransfers(t);
    End(t, download::TaskPhase::kComplete);
  }

  // ---- sharing the work ----

  // Gives idle connection slots work: first pieces nobody holds (the first
  // split, the gaps of a resumed file), then the back half of the largest
  // piece, never leaving a part below the minimum. When several slots are
  // free at once the largest piece is shared evenly among them.
  void Schedule(Task& t) {
    t.schedule = false;
    if (t.ended || !t.known || !t.ranges) return;
    for (;;) {
      const int free_slots = t.order.connections - static_cast<int>(t.conns.size());
      if (free_slots <= 0 || t.ended) return;
      Piece* unowned = nullptr;
      Piece* largest = nullptr;
      for (auto& p : t.pieces) {
        if (p->pos == p->end) continue;
        if (p->owner == nullptr) {
          if (unowned == nullptr || p->Left() > unowned->Left()) unowned = p.get();
        } else if (largest == nullptr || p->Left() > largest->Left()) {
          largest = p.get();
        }
      }
      if (unowned != nullptr) {
        StartPiece(t, *unowned);
        continue;
      }
      if (largest == nullptr) return;
      const std::uint64_t parts = std::min<std::uint64_t>(
          static_cast<std::uint64_t>(free_slots) + 1, largest->Left() / MinSegment());
      if (parts < 2) return;
      Split(t, *largest, parts);  // the new pieces are unowned: the next turns start them
    }
  }

  std::uint64_t MinSegment() const { return std::max<std::uint64_t>(settings.min_segment, 1); }

  // Cuts what is left of `piece` into `parts` equal pieces; the owner keeps
  // the first and stops at its new end, the others wait for a connection.
  static void Split(Task& t, Piece& piece, std::uint64_t parts) {
    const std::uint64_t base = piece.pos;
    const std::uint64_t end = piece.end;
    const std::uint64_t left = end - base;
    piece.end = base + left / parts;
    for (std::uint64_t i = 1; i < parts; ++i) {
      auto p = std::make_unique<Piece>();
      p->pos = base + left * i / parts;
      p->end = i + 1 == parts ? end : base + left * (i + 1) / parts;
      t.pieces.push_back(std::move(p));
    }
  }

  void StartPiece(Task& t, Piece& p) {
    auto conn = std::make_unique<Conn>();
    conn->task = &t;
    conn->piece = &p;
    p.owner = conn.get();
    Conn& c = *conn;
    t.conns.push_back(std::move(conn));
    Send(c);
  }

  // ---- the loop ----

  // Stalls, due retries, sharing, record saves. Returns when it next needs to run.
  Clock::time_point Tick() {
    const auto now = Clock::now();
    Clock::time_point next = now + (tasks.empty() ? kIdleWake : kBusyWake);
    for (auto& owned : tasks) {
      Task& t = *owned;
      if (t.ended) continue;
      std::vector<Conn*> stalled;
      std::vector<Conn*> due;
      for (auto& c : t.conns) {
        if (c->easy != nullptr) {
          if (now - c->last_activity > settings.stall_timeout) stalled.push_back(c.get());
        } else if (now >= c->retry_at) {
          due.push_back(c.get());
        } else {
          next = std::min(next, c->retry_at);
        }
      }
      for (Conn* c : stalled) {
        if (t.ended) break;
        Detach(*c);
        Retry(*c);
      }
      for (Conn* c : due) {
        if (t.ended) break;
        if (c->easy == nullptr) Send(*c);
      }
      if (t.ended) continue;
      if (t.schedule) Schedule(t);
      CheckFinished(t);
      if (!t.ended && t.fd >= 0 && now >= t.next_save) {
        if (t.file_bytes != t.saved_bytes) SaveRecord(t);
        t.next_save = now + settings.record_interval;
      }
    }
    std::erase_if(tasks, [](const auto& t) { return t->ended; });
    return next;
  }

  void Run() {
    for (;;) {
      std::deque<TaskOrder> orders;
      bool stopping;
      {
        std::lock_guard lock(engine.mutex_);
        orders.swap(engine.queue_);
        stopping = engine.stopping_;
      }
      if (stopping) {
        for (auto& order : orders) {
          order.figures->status.store(static_cast<int>(download::TaskPhase::kStopped),
                                      std::memory_order_release);
          engine.active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
        }
        break;
      }
      for (auto& order : orders) Begin(std::move(order));

      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Conn* c = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &c);
        const CURLcode result = msg->data.result;
        if (c != nullptr) OnDone(*c, result);
      }
      const auto next = Tick();
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)),
                      nullptr);
    }
    for (auto& t : tasks)
      if (!t->ended) End(*t, download::TaskPhase::kStopped);
    tasks.clear();
  }
};

DownloadEngine::DownloadEngine(const DownloaderSettings& settings) : settings_(settings) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curl_ready) return;
  CURLM* multi = curl_multi_init();
  if (multi != nullptr) {
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 128L);
    multi_ = multi;
  }
}

DownloadEngine::~DownloadEngine() {
  Stop();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void DownloadEngine::Submit(TaskOrder order) {
  active_tasks_.fetch_add(1, std::memory_order_acq_rel);
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || multi_ == nullptr) {
      order.figures->failure.store(static_cast<int>(download::FailureCause::kNetwork));
      order.figures->status.store(
          static_cast<int>(stopping_ ? download::TaskPhase::kStopped : download::TaskPhase::kFailed));
      active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
      return;
    }
    queue_.push_back(std::move(order));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void DownloadEngine::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (thread_.joinable()) thread_.join();
}

void DownloadEngine::Run() {
  Worker worker(*this);
  worker.Run();
}

}  // namespace wuqu::catalogue
