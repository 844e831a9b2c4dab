#include "download/transfer_loop.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "download/curl_handles.h"
#include "download/disk_steps.h"
#include "download/download_file.h"
#include "download/host_limits.h"
#include "download/pace_meter.h"
#include "download/piece_plan.h"
#include "download/reply_check.h"
#include "download/reply_headers.h"
#include "download/resume_record.h"
#include "download/target_file.h"
#include "text/ascii.h"

namespace wuqu::download {
namespace {

using Clock = std::chrono::steady_clock;

// Times the download starts over because the server's file changed under it
// before it gives up.
constexpr int kMaxRestarts = 3;
constexpr std::chrono::milliseconds kIdleWake{1000};
constexpr std::chrono::milliseconds kBusyWake{100};
constexpr std::size_t kCompareChunk = 64 * 1024;
constexpr std::uint64_t kWritebackBytes = 16 << 20;

bool IsHttpAddress(std::string_view url) {
  const auto colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  const std::string_view scheme = url.substr(0, colon);
  return (EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https")) && url.size() > colon + 3;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Task;

// Why a transfer was ended from our side (or what its reply called for).
enum class StopReason {
  kNone,
  kPieceDone,      // reached the end of its piece; more would follow
  kRetry,          // this reply is no good; `cause` if retries run out
  kStartOver,      // the server's file is not the one being downloaded
  kOneConnection,  // a range was answered with the whole file
  kFail,           // the download ends with `cause`
  kDisk,           // the file could not be made or written
};

// One connection's slot in a download: a transfer in flight, or waiting to
// try its piece again.
struct Conn {
  Task* task = nullptr;
  HolderId id = 0;
  EasyHandle easy;  // set while the transfer is in the multi handle
  Piece* piece = nullptr;
  bool probe = false;  // the download's first request, before the size is known
  Clock::time_point retry_at{};
  int attempts = 0;     // failures in a row whose replies wrote no new byte
  bool fresh = false;   // the next request goes out on a new connection
  bool progressed = false;

  // The request in flight.
  Clock::time_point sent_at{};
  Clock::time_point last_progress{};
  std::uint64_t progress_bytes = 0;  // since last_progress
  std::uint64_t body_bytes = 0;      // of this reply
  bool asked_range = false;
  std::uint64_t req_first = 0;
  std::uint64_t req_last = kOpenEnd;
  std::uint64_t at = 0;             // file offset of the next body byte
  std::uint64_t resp_end = kOpenEnd;  // file offset where this reply's body ends
  bool accepted = false;
  Clock::time_point accepted_at{};
  bool wrote = false;      // this reply wrote bytes the file did not hold yet
  bool busy = false;       // a 503 or 429
  long status = 0;         // the reply's final status
  std::int64_t retry_after = 0;  // seconds its Retry-After asks to wait
  StopReason stop = StopReason::kNone;
  FailureCause cause = FailureCause::kNone;
  ReplyHeaders headers;
  HeaderList header_list;  // the request's own lines, while its transfer lasts
  // (time, body_bytes) once a tick, over the last slow window.
  RateWindow window;
  Pace pace;
};

struct Task {
  TransferLoop::Worker* worker = nullptr;
  TaskOrder order;
  std::string key;
  std::optional<DownloadFile> file;  // made once the address is taken

  std::optional<ResumeRecord> record;  // found at the start and fitting the file

  bool known = false;           // the first reply has been taken
  bool try_ranges = true;       // ask the first request for a range
  bool ranges = false;          // later requests ask for ranges
  bool whole = false;           // one connection reads the whole body
  bool unknown_length = false;  // no length: one connection into the side file
  std::uint64_t size = 0;
  std::string etag;
  std::string last_modified;
  bool validated = false;  // the first reply named its version
  // The bytes already in place are proved to be of the version being
  // fetched; otherwise bytes that arrive for them again are compared.
  bool done_proven = false;
  std::string url;  // where later requests go (after redirects)
  std::string host;  // whose connection limit applies
  std::uint64_t side_bytes = 0;

  PiecePlan plan;
  std::vector<std::unique_ptr<Conn>> conns;
  HolderId next_id = 1;
  int in_flight = 0;
  std::int64_t file_bytes = 0;
  std::int64_t written = 0;
  std::int64_t saved_bytes = -1;
  std::uint64_t unwritten_back = 0;  // bytes written since writeback was last started
  Clock::time_point next_save{};
  Clock::time_point last_progress{};
  std::uint64_t progress_bytes = 0;
  double typical_rate = 0;
  // Rates of the last requests that ended, so a pace stays known after the
  // fast connections are done.
  std::deque<double> ended_rates;
  int restarts = 0;
  bool schedule = false;
  bool ended = false;
};

}  // namespace

// Everything the loop's thread owns. Nothing here is touched by another thread.
struct TransferLoop::Worker {
  TransferLoop& loop;
  const DownloaderSettings& settings;
  CURLM* multi;
  std::vector<std::unique_ptr<Task>> tasks;
  std::vector<char> compare_buffer = std::vector<char>(kCompareChunk);
  HostLimits host_limits;
  DiskSteps disk;
  PaceRules pace_rules;

  explicit Worker(TransferLoop& l)
      : loop(l),
        settings(l.settings_),
        multi(static_cast<CURLM*>(l.multi_)),
        host_limits(l.settings_.limit_regrow_after),
        disk(l.settings_.on_disk_step),
        pace_rules{.stall_timeout = l.settings_.stall_timeout,
                   .slow_window = l.settings_.slow_window,
                   .judge_after = l.settings_.judge_after,
                   .retry_delay = l.settings_.retry_delay,
                   .retry_delay_max = l.settings_.retry_delay_max} {}

  // ---- figures ----

  void Publish(Task& t) const {
    t.order.figures->file_bytes.store(t.file_bytes, std::memory_order_relaxed);
    t.order.figures->written.store(t.written, std::memory_order_relaxed);
    t.order.figures->receiving.store(Receiving(t), std::memory_order_relaxed);
    t.order.figures->target.store(Target(t), std::memory_order_relaxed);
  }

  // Connections of the download whose reply is being received.
  static int Receiving(const Task& t, const Conn* except = nullptr) {
    return static_cast<int>(std::count_if(t.conns.begin(), t.conns.end(), [&](const auto& c) {
      return c.get() != except && c->easy != nullptr && c->accepted &&
             c->stop == StopReason::kNone;
    }));
  }

  // The connections the download may have open now.
  int Target(const Task& t) const { return host_limits.Target(t.host, t.order.connections); }

  void End(Task& t, TaskPhase phase, FailureCause cause = FailureCause::kNone) {
    StopTransfers(t);
    Publish(t);
    if (t.file) {
      if (phase != TaskPhase::kComplete) SaveRecord(t);
      t.file->Close();
      t.file->DropRecordedFile();
      // A download of unknown length never resumes: its side file goes.
      if (t.unknown_length) t.file->DiscardSide();
    }
    t.order.figures->failure.store(static_cast<int>(cause), std::memory_order_relaxed);
    t.order.figures->status.store(static_cast<int>(phase), std::memory_order_release);
    t.ended = true;
    loop.active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
  }

  void Fail(Task& t, FailureCause cause) { End(t, TaskPhase::kFailed, cause); }

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
      if (!other->ended && other->key == t.key) End(*other, TaskPhase::kStopped);
    tasks.push_back(std::move(owned));

    if (!IsHttpAddress(t.order.url) || t.order.target.empty()) {
      Fail(t, FailureCause::kAddressRefused);
      return;
    }
    t.file.emplace(t.order.target, disk);
    t.url = t.order.url;
    t.host = HostKey(t.url);
    t.last_progress = Clock::now();

    // A record counts only for the same source and the very file it describes.
    t.record = t.file->FindRecord(t.order.identity);
    StartProbe(t);
  }

  static void DropRecord(Task& t) {
    t.record.reset();
    if (t.file) t.file->DropRecordedFile();
  }

  static bool RecordValidated(const ResumeRecord& r) {
    return !r.etag.empty() || !r.last_modified.empty();
  }

  // Where the first request of a resumed download begins: the first missing
  // byte, or, when the record cannot prove the server's file unchanged, a
  // stretch before it that is compared with the file. A record that claims
  // every byte still gets a request, which checks the server's file like
  // any other resume.
  std::uint64_t ResumeFrom(const ResumeRecord& r) const {
    IntervalSet done;
    for (const auto& [first, end] : r.done) done.Add(first, end);
    const auto gaps = done.Gaps(r.size);
    const std::uint64_t gap = gaps.empty() ? r.size : gaps.front().first;
    const std::uint64_t back = RecordValidated(r) ? (gaps.empty() ? 1 : 0)
                                                  : std::min(settings.verify_bytes, gap);
    return gap - std::min(back, gap);
  }

  Conn& NewConn(Task& t) {
    auto conn = std::make_unique<Conn>();
    conn->task = &t;
    conn->id = t.next_id++;
    t.conns.push_back(std::move(conn));
    return *t.conns.back();
  }

  void StartProbe(Task& t) {
    Conn& c = NewConn(t);
    c.probe = true;
    Send(c);
  }

  // ---- requests ----

  // Clears what the connection knew of its last reply.
  static void ForgetReply(Conn& c) {
    c.accepted = false;
    c.wrote = c.busy = false;
    c.status = 0;
    c.retry_after = 0;
    c.stop = StopReason::kNone;
    c.cause = FailureCause::kNone;
    c.headers = {};
    c.resp_end = kOpenEnd;
    c.body_bytes = 0;
    c.window.Clear();
    c.pace = {};
  }

  // What the connection asks for next: from the resume point (or the start)
  // on the first request, its piece on later ones.
  TransferSetup NextRequest(Conn& c) const {
    const Task& t = *c.task;
    TransferSetup setup;
    setup.url = c.probe ? t.order.url : t.url;
    setup.fresh_connection = c.fresh;
    setup.receive_buffer = settings.receive_buffer;
    setup.connect_timeout = settings.connect_timeout;
    setup.on_body = &Worker::OnBody;
    setup.on_header = &Worker::OnHeader;
    setup.user = &c;
    c.asked_range = false;
    c.req_first = 0;
    c.req_last = kOpenEnd;
    if (c.probe) {
      if (t.try_ranges) {
        c.asked_range = true;
        c.req_first = t.record ? ResumeFrom(*t.record) : 0;
        setup.range = std::to_string(c.req_first) + "-";
      }
    } else if (t.ranges) {
      c.asked_range = true;
      c.req_first = c.piece->pos;
      c.req_last = c.piece->end - 1;
      setup.range = std::to_string(c.req_first) + "-" + std::to_string(c.req_last);
      // Ranges of another version of the file must not be mixed in.
      if (!t.etag.empty() && !t.etag.starts_with("W/"))
        setup.if_range = t.etag;
      else
        setup.if_range = t.last_modified;
    }
    return setup;
  }

  void Send(Conn& c) {
    Task& t = *c.task;
    ForgetReply(c);
    EasyHandle handle = MakeTransferHandle(NextRequest(c), c.header_list);
    c.at = c.req_first;
    c.fresh = false;
    if (!handle || curl_multi_add_handle(multi, handle.get()) != CURLM_OK) {
      Retry(c, FailureCause::kNetwork);
      return;
    }
    c.easy = std::move(handle);
    c.sent_at = c.last_progress = Clock::now();
    c.progress_bytes = 0;
    ++t.in_flight;
    auto& figures = *t.order.figures;
    figures.requests.fetch_add(1, std::memory_order_relaxed);
    if (t.in_flight > figures.peak_connections.load(std::memory_order_relaxed))
      figures.peak_connections.store(t.in_flight, std::memory_order_relaxed);
  }

  void Detach(Conn& c) {
    if (c.easy == nullptr) return;
    curl_multi_remove_handle(multi, c.easy.get());
    c.easy.reset();
    --c.task->in_flight;
  }

  void StopTransfers(Task& t) {
    for (auto& c : t.conns) {
      Detach(*c);
      c->header_list.reset();
    }
    t.conns.clear();
    t.plan.ReleaseAll();
  }

  // Lets go of the connection's piece; a helper that fetched the same bytes
  // becomes their owner.
  static void ReleasePiece(Conn& c) {
    Piece* p = c.piece;
    c.piece = nullptr;
    if (p != nullptr) c.task->plan.Release(*p, c.id);
  }

  void RemoveConn(Conn& c) {
    Task& t = *c.task;
    Detach(c);
    c.header_list.reset();
    ReleasePiece(c);
    std::erase_if(t.conns, [&](const auto& p) { return p.get() == &c; });
  }

  static Conn* FindConn(Task& t, HolderId id) {
    for (auto& c : t.conns)
      if (c->id == id) return c.get();
    return nullptr;
  }

  // ---- callbacks (inside curl_multi_perform) ----

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* user) {
    Conn& c = *static_cast<Conn*>(user);
    const std::size_t bytes = size * n;
    // Header lines are no progress: only body bytes move the stall clock.
    if (CaptureHeaderLine(std::string_view(data, bytes), c.headers) == HeadLine::kEnd) {
      // The end of a head: a final 2xx is judged now, so the other
      // connections need not wait for the first body byte (a redirect or an
      // interim reply is followed by another head).
      Worker& w = *c.task->worker;
      long code = 0;
      curl_easy_getinfo(c.easy.get(), CURLINFO_RESPONSE_CODE, &code);
      if (code >= 200 && code <= 299 && !c.accepted && c.stop == StopReason::kNone) {
        if (!w.Accept(c)) return 0;  // aborts the transfer
        w.Accepted(c);
      }
      return bytes;
    }
    return bytes;
  }

  void CountProgress(Conn& c, std::uint64_t n) {
    Task& t = *c.task;
    c.body_bytes += n;
    c.progress_bytes += n;
    t.progress_bytes += n;
    const std::uint64_t enough = std::max<std::uint64_t>(settings.low_speed_bytes, 1);
    if (c.progress_bytes >= enough) {
      c.last_progress = Clock::now();
      c.progress_bytes = 0;
    }
    if (t.progress_bytes >= enough) {
      t.last_progress = Clock::now();
      t.progress_bytes = 0;
    }
  }

  // Bytes that arrive for a stretch already in place: kept when the version
  // is proved the same, otherwise compared with what the file holds.
  bool SameAsFile(Task& t, const char* data, std::uint64_t n, std::uint64_t offset) {
    if (t.done_proven) return true;
    while (n > 0) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, kCompareChunk));
      if (!t.file->Read(compare_buffer.data(), chunk, offset) ||
          std::memcmp(compare_buffer.data(), data, chunk) != 0)
        return false;
      data += chunk;
      n -= chunk;
      offset += chunk;
    }
    return true;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* user) {
    Conn& c = *static_cast<Conn*>(user);
    Task& t = *c.task;
    Worker& w = *t.worker;
    const std::size_t total = size * n;
    if (!c.accepted) {
      if (!w.Accept(c)) return 0;  // aborts the transfer: nothing of it is written
      w.Accepted(c);
    }
    return w.Take(c, data, total) ? total : 0;
  }

  bool Take(Conn& c, const char* p, std::size_t left) {
    Task& t = *c.task;
    const std::int64_t before = t.written;
    const bool more = TakeBytes(c, p, left);
    // The disk writes as the bytes come, not all at the flush that makes
    // them durable.
    t.unwritten_back += static_cast<std::uint64_t>(t.written - before);
    if (t.unwritten_back >= kWritebackBytes) {
      t.file->StartWriteback();
      t.unwritten_back = 0;
    }
    Publish(t);
    return more;
  }

  // New bytes in the file: the connection's piece is getting on.
  static void Wrote(Conn& c) {
    c.wrote = true;
    c.attempts = 0;
    c.progressed = true;
  }

  // A final reply was judged good: the host allows at least the connections
  // now receiving.
  void Accepted(Conn& c) {
    c.accepted = true;
    c.accepted_at = Clock::now();
    host_limits.Receiving(c.task->host, Receiving(*c.task));
  }

  // A body of unknown length, front to back into the side file.
  bool TakeSideBytes(Conn& c, const char* p, std::size_t left) {
    Task& t = *c.task;
    // Bytes the side file already holds (a retry reads the body again).
    if (c.at < t.side_bytes) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, t.side_bytes - c.at));
      if (!SameAsFile(t, p, n, c.at)) {
        c.stop = StopReason::kStartOver;
        return false;
      }
      c.at += n;
      p += n;
      left -= n;
    }
    if (left > 0 && !t.file->Write(p, left, c.at)) {
      c.stop = StopReason::kDisk;
      return false;
    }
    if (left > 0) Wrote(c);
    c.at += left;
    t.side_bytes = std::max(t.side_bytes, c.at);
    t.written += static_cast<std::int64_t>(left);
    CountProgress(c, left);
    return true;
  }

  bool TakeBytes(Conn& c, const char* p, std::size_t left) {
    Task& t = *c.task;
    if (t.unknown_length) return TakeSideBytes(c, p, left);
    Piece* piece = c.piece;
    IntervalSet& done = t.plan.done();
    while (left > 0) {
      if (c.at >= piece->end && c.at < c.resp_end) {
        if (Piece* next = RunOnInto(c)) piece = next;
      }
      const std::uint64_t limit = std::min(piece->end, c.resp_end);
      if (c.at >= limit) {
        // The piece is done (or was taken over) and the reply goes on, or
        // the reply sends more than it said it would.
        if (c.at >= piece->end) {
          c.stop = StopReason::kPieceDone;
        } else {
          c.stop = StopReason::kRetry;
          c.cause = FailureCause::kNetwork;
        }
        return false;
      }
      std::uint64_t take = std::min<std::uint64_t>(left, limit - c.at);
      const std::uint64_t run = done.RunFrom(c.at);
      if (run > 0) {
        take = std::min(take, run);
        if (!SameAsFile(t, p, take, c.at)) {
          c.stop = StopReason::kStartOver;
          return false;
        }
      } else {
        take = std::min(take, done.GapFrom(c.at, limit));
        if (!t.file->Write(p, static_cast<std::size_t>(take), c.at)) {
          c.stop = StopReason::kDisk;
          return false;
        }
        done.Add(c.at, c.at + take);
        Wrote(c);
        t.file_bytes += static_cast<std::int64_t>(take);
        t.written += static_cast<std::int64_t>(take);
      }
      c.at += take;
      p += take;
      left -= static_cast<std::size_t>(take);
      if (c.at > piece->pos) piece->pos = std::min(c.at, piece->end);
      CountProgress(c, take);
    }
    // The piece was cut short by a thief or finished by a helper: stop here
    // rather than receive bytes that belong to another connection.
    if (c.at >= piece->end && c.resp_end > piece->end && RunOnInto(c) == nullptr) {
      c.stop = StopReason::kPieceDone;
      return false;
    }
    return true;
  }

  // A reply that runs on past the end of its piece (the open-ended first
  // one) goes on into the next piece when nobody holds it and the download
  // has all the connections it may have (else a connection of its own would
  // fetch that piece beside this one): no new request, and no connection
  // closed that a host would still count against its limit for a moment.
  Piece* RunOnInto(Conn& c) {
    Piece* finished = c.piece;
    if (finished->owner != c.id || finished->helper != 0 ||
        static_cast<int>(c.task->conns.size()) < Target(*c.task))
      return nullptr;
    Piece* next = c.task->plan.FreeAt(c.at);
    if (next == nullptr) return nullptr;
    c.task->plan.RunOn(*finished, *next, c.id);
    c.piece = next;
    c.task->schedule = true;
    return next;
  }

  // First body bytes (or the end of an empty body) of a final reply.
  bool Accept(Conn& c) {
    Task& t = *c.task;
    long code = 0;
    curl_easy_getinfo(c.easy.get(), CURLINFO_RESPONSE_CODE, &code);
    t.order.figures->http_status.store(static_cast<int>(code), std::memory_order_relaxed);
    curl_off_t length = -1;
    curl_easy_getinfo(c.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);

    const ReplyDecision d =
        CheckReply(FactsOf(c.headers, code, static_cast<std::int64_t>(length)), ContextOf(c));
    c.status = code;
    c.busy = d.busy;
    c.retry_after = d.retry_after;
    return Judged(c, d);
  }

  // What the download knew and asked when the connection sent its request.
  ReplyContext ContextOf(const Conn& c) const {
    const Task& t = *c.task;
    ReplyContext context;
    context.now = std::time(nullptr);
    context.longest_wait =
        std::chrono::duration_cast<std::chrono::seconds>(settings.task_stall_timeout).count();
    context.first = c.probe;
    context.asked_range = c.asked_range;
    context.range_first = c.req_first;
    context.range_last = c.req_last;
    if (c.probe) {
      if (t.record) {
        context.size_known = true;
        context.size = t.record->size;
        context.validated = RecordValidated(*t.record);
        context.etag = t.record->etag;
        context.last_modified = t.record->last_modified;
      }
    } else {
      context.size_known = !t.unknown_length;
      context.size = t.size;
      context.validated = t.validated;
      context.etag = t.etag;
      context.last_modified = t.last_modified;
    }
    return context;
  }

  // Acts on the reply check's decision; false stops the transfer.
  bool Judged(Conn& c, const ReplyDecision& d) {
    Task& t = *c.task;
    switch (d.verdict) {
      case Verdict::kFail:
        c.stop = StopReason::kFail;
        c.cause = d.cause;
        return false;
      case Verdict::kRetry:
        c.stop = StopReason::kRetry;
        c.cause = d.cause;
        if (d.ask_without_range) t.try_ranges = false;
        return false;
      case Verdict::kStartOver:
        c.stop = StopReason::kStartOver;
        return false;
      case Verdict::kOneConnection:
        if (!c.probe) {
          // The other connections are stopped outside the callback.
          c.stop = StopReason::kOneConnection;
          return false;
        }
        break;
      case Verdict::kAccept:
        break;
    }
    if (c.probe) return TakeFirst(c, d) && StartWhereTheReplyDoes(c);
    c.at = d.body_first;
    c.resp_end = d.body_end;
    return StartWhereTheReplyDoes(c);
  }

  // A reply may start later than asked (its range says where its bytes
  // belong): the stretch it skips goes back to the plan as a piece of its
  // own. One that starts beyond the piece is of no use to it.
  bool StartWhereTheReplyDoes(Conn& c) {
    Piece* piece = c.piece;
    if (piece == nullptr || c.task->unknown_length || c.at <= piece->pos) return true;
    if (c.at >= piece->end) {
      c.stop = StopReason::kRetry;
      c.cause = FailureCause::kNetwork;
      return false;
    }
    c.task->plan.Add(piece->pos, c.at);
    piece->pos = c.at;
    return true;
  }

  bool TakeFirst(Conn& c, const ReplyDecision& d) {
    Task& t = *c.task;
    char* effective = nullptr;
    curl_easy_getinfo(c.easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
    if (effective != nullptr && IsHttpAddress(effective)) t.url = effective;
    t.etag = c.headers.etag;
    t.last_modified = c.headers.last_modified;
    t.validated = !t.etag.empty() || !t.last_modified.empty();
    t.ranges = d.ranges;
    t.whole = d.size.has_value() && !d.ranges;
    c.at = d.body_first;
    c.resp_end = d.body_end;

    if (!d.size) {
      DropRecord(t);
      t.unknown_length = true;
      if (!CreateSide(t, c)) return false;
    } else {
      t.size = *d.size;
      if (t.record) {
        Resume(t, c);
      } else if (!Create(t, c)) {
        return false;
      }
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
  // the pieces, and the first connection already asked for the first one
  // (and perhaps a stretch before it, to compare).
  void Resume(Task& t, Conn& c) {
    const ResumeRecord& r = *t.record;
    t.plan.Reset(t.size, r.done);
    t.done_proven = RecordValidated(r);
    t.file->UseRecordedFile(r);
    t.file_bytes = t.written = static_cast<std::int64_t>(t.plan.done().Bytes());
    t.saved_bytes = t.file_bytes;
    t.record.reset();
    Piece* first = nullptr;
    if (t.whole) {
      t.plan.pieces().clear();
      first = t.plan.Add(0, t.size);
    } else {
      for (auto& p : t.plan.pieces())
        if (!first || p->pos < first->pos) first = p.get();
      if (first == nullptr) first = t.plan.Add(c.at, t.size);
      first->pos = std::min(first->pos, c.at);
    }
    t.plan.Hold(*first, c.id);
    c.piece = first;
  }

  // Makes the file anew with its full length, then puts it in place of any
  // older file of that name. Until the rename an older file stays untouched.
  // The record saved first claims no byte at all.
  bool Create(Task& t, Conn& c) {
    DropRecord(t);
    t.plan.Reset(t.size);
    t.done_proven = t.validated;
    t.saved_bytes = -1;
    if (!t.file->Create(t.size, RecordOf(t))) {
      c.stop = StopReason::kDisk;
      return false;
    }
    if (t.size > 0) {
      t.saved_bytes = 0;  // the record saved first claims no byte at all
      if (settings.after_record_save) settings.after_record_save();
    }
    t.file_bytes = t.written = 0;
    if (t.size == 0) return true;
    Piece& piece = *t.plan.pieces().front();
    t.plan.Hold(piece, c.id);
    c.piece = &piece;
    if (t.ranges) {
      // Cut the file into its pieces now: curl may deliver many buffers of
      // this reply before the loop gets to start the other connections.
      const std::uint64_t parts = std::min<std::uint64_t>(
          static_cast<std::uint64_t>(t.order.connections), t.size / MinSegment());
      t.plan.SplitEven(piece, parts);
    }
    return true;
  }

  // A download of unknown length cannot be given its length up front; it
  // grows beside the target and takes its place once complete.
  bool CreateSide(Task& t, Conn& c) {
    if (!t.file->CreateSide()) {
      c.stop = StopReason::kDisk;
      return false;
    }
    t.done_proven = t.validated;
    t.side_bytes = 0;
    t.file_bytes = t.written = 0;
    return true;
  }

  // ---- the resume record ----

  // What the record says of the download now. Only ranges whose bytes have
  // been written: a record saved at any moment, a kill right after it
  // included, claims nothing that is missing.
  static ResumeRecord RecordOf(const Task& t) {
    ResumeRecord r;
    r.source = t.order.identity;
    r.size = t.size;
    r.etag = t.etag;
    r.last_modified = t.last_modified;
    r.done = t.plan.done().Ranges();
    return r;
  }

  bool SaveRecord(Task& t) {
    if (!t.file || !t.file->is_open() || t.unknown_length || t.size == 0) return false;
    if (!t.file->SaveRecord(RecordOf(t))) return false;
    t.saved_bytes = t.file_bytes;
    if (settings.after_record_save) settings.after_record_save();
    return true;
  }

  // ---- finished transfers ----

  void OnDone(Conn& c, CURLcode result) {
    Task& t = *c.task;
    long code = 0;
    curl_easy_getinfo(c.easy.get(), CURLINFO_RESPONSE_CODE, &code);
    // A final reply without a body never reached the write callback.
    if (!c.accepted && c.stop == StopReason::kNone && result == CURLE_OK) {
      if (Accept(c)) c.accepted = true;
    }
    Detach(c);
    if (c.stop != StopReason::kNone) {
      Stopped(c);
      return;
    }
    if (c.accepted && result == CURLE_OK) {
      if (t.unknown_length) {
        FinishSide(t);
      } else if (c.piece == nullptr || c.piece->Left() == 0) {
        PieceDone(c);
      } else if (c.wrote) {
        Send(c);  // a shorter reply than asked for: ask for the rest
      } else {
        Retry(c, FailureCause::kNetwork);
      }
      return;
    }
    // A redirect to a place that is not http or https.
    if (result == CURLE_UNSUPPORTED_PROTOCOL && code >= 300 && code <= 399) {
      Fail(t, FailureCause::kAddressRefused);
      return;
    }
    if (result == CURLE_TOO_MANY_REDIRECTS) {
      Fail(t, FailureCause::kHttpStatus);
      return;
    }
    // A connection refused, or closed before any reply.
    const bool no_reply = code == 0 && (result == CURLE_COULDNT_CONNECT || result == CURLE_GOT_NOTHING ||
                                        result == CURLE_RECV_ERROR || result == CURLE_SEND_ERROR);
    if (LimitSign(c, false, no_reply)) return;
    // Connection errors, cut-off replies, garbage instead of a status line,
    // HTTP/0.9: this connection's trouble, tried again on another.
    Retry(c, FailureCause::kNetwork);
  }

  // A transfer ended from our side, for the reason its callbacks gave.
  void Stopped(Conn& c) {
    Task& t = *c.task;
    switch (c.stop) {
      case StopReason::kDisk:
        Fail(t, FailureCause::kDisk);
        return;
      case StopReason::kFail:
        Fail(t, c.cause);
        return;
      case StopReason::kStartOver:
        StartOver(t);
        return;
      case StopReason::kOneConnection:
        OneConnection(t);
        return;
      case StopReason::kPieceDone:
        PieceDone(c);
        return;
      case StopReason::kRetry:
        if (!LimitSign(c, c.busy, false)) Retry(c, c.cause);
        return;
      case StopReason::kNone:
        return;
    }
  }

  // A busy reply or a refused connection while others of the download
  // receive: the host's limit. The target drops, the piece goes back at once
  // (not to be asked for before the Retry-After) and the connection ends.
  // False when nobody else receives: then it is a failure like any other.
  bool LimitSign(Conn& c, bool busy_reply, bool no_reply) {
    Task& t = *c.task;
    const int receiving = Receiving(t, &c);
    if (!HostLimitSign(busy_reply, no_reply, receiving, c.probe)) return false;
    const auto now = Clock::now();
    const auto quiet_until = now + std::chrono::seconds(c.retry_after);
    host_limits.LimitSeen(t.host, receiving, now, quiet_until);
    // A 429 asks that very request to wait; a 503 says the host is full,
    // and a connection that works takes the piece at once.
    if (c.piece != nullptr && c.status == 429) c.piece->not_before = quiet_until;
    RemoveConn(c);
    t.schedule = true;
    Publish(t);
    return true;
  }

  // Tries the connection's piece again after a pause that doubles with every
  // failure in a row. A connection that keeps failing gives up its piece
  // while others still get on; when none does, the download fails.
  void Retry(Conn& c, FailureCause cause) {
    Task& t = *c.task;
    Detach(c);
    c.fresh = true;
    c.pace = {};
    if (c.wrote) {
      // Cut short after new bytes: no failure, and the rest is asked for now.
      c.attempts = 0;
      c.retry_at = Clock::now();
      return;
    }
    if (++c.attempts >= settings.max_attempts) {
      const bool others = std::any_of(t.conns.begin(), t.conns.end(), [&](const auto& d) {
        return d.get() != &c && d->easy != nullptr && d->progressed && d->attempts == 0;
      });
      if (!others || c.probe) {
        Fail(t, cause);
        return;
      }
      RemoveConn(c);
      t.schedule = true;
      return;
    }
    c.retry_at = Clock::now() + RetryDelay(c.attempts, c.retry_after, pace_rules);
  }

  void PieceDone(Conn& c) {
    Task& t = *c.task;
    Piece* piece = c.piece;
    const double seconds = Seconds(Clock::now() - c.sent_at);
    if (c.body_bytes > 0 && seconds > 0) {
      t.ended_rates.push_back(static_cast<double>(c.body_bytes) / seconds);
      if (t.ended_rates.size() > 16) t.ended_rates.pop_front();
    }
    if (piece != nullptr && piece->Left() == 0) {
      // The first to finish wins; the other holder stops.
      c.piece = nullptr;
      const HolderId other = t.plan.Finish(*piece, c.id);
      RemoveConn(c);
      if (Conn* o = FindConn(t, other)) {
        o->piece = nullptr;
        RemoveConn(*o);
      }
    } else {
      RemoveConn(c);
    }
    t.plan.Tidy();
    t.schedule = true;
    CheckFinished(t);
  }

  // The server sends the whole file in reply to a range: one connection
  // reads it from the front, keeping (or comparing) the bytes in place.
  void OneConnection(Task& t) {
    StopTransfers(t);
    t.ranges = false;
    t.whole = true;
    t.plan.pieces().clear();
    t.schedule = true;
  }

  // The server's file is not the one the download began with: start again
  // from nothing, a limited number of times.
  void StartOver(Task& t) {
    if (++t.restarts > kMaxRestarts) {
      Fail(t, FailureCause::kChanged);
      return;
    }
    StopTransfers(t);
    SaveRecord(t);  // still true of the bytes in the file, and refused by the next check
    t.file->Close();
    if (t.unknown_length) t.file->DiscardSide();
    DropRecord(t);
    t.plan.Reset(0);
    t.known = t.ranges = t.whole = t.unknown_length = false;
    t.validated = t.done_proven = false;
    t.size = 0;
    t.file_bytes = t.written = 0;
    t.typical_rate = 0;
    t.ended_rates.clear();
    t.order.figures->size.store(-1, std::memory_order_relaxed);
    Publish(t);
    StartProbe(t);
  }

  void CheckFinished(Task& t) {
    if (t.ended || !t.known || t.unknown_length) return;
    if (!t.plan.Complete()) return;
    // Every byte is in place; a connection still fetching a duplicate stops.
    StopTransfers(t);
    // Complete means on stable storage: the bytes, then the name the file
    // took when it was made; only then does the record go.
    if (!t.file->FinishInPlace()) {
      Fail(t, FailureCause::kDisk);
      return;
    }
    End(t, TaskPhase::kComplete);
  }

  void FinishSide(Task& t) {
    if (!t.file->FinishSide()) {
      Fail(t, FailureCause::kDisk);
      return;
    }
    t.unknown_length = false;  // nothing left to delete
    t.file_bytes = t.written;
    t.size = static_cast<std::uint64_t>(t.written);
    t.order.figures->size.store(t.written, std::memory_order_relaxed);
    Publish(t);
    End(t, TaskPhase::kComplete);
  }

  // ---- sharing the work ----

  std::uint64_t MinSegment() const { return std::max<std::uint64_t>(settings.min_segment, 1); }

  void StartConn(Piece& p, Conn& c) {
    c.piece = &p;
    Send(c);
  }

  // Gives idle connection slots work: first pieces nobody holds (the first
  // split, the gaps of a resumed file), then part of the piece whose holder
  // needs longest, or near the end a duplicate of it.
  void Schedule(Task& t) {
    t.schedule = false;
    if (t.ended || !t.known || t.unknown_length || t.plan.Complete()) return;
    if (t.whole) {
      if (!t.conns.empty()) return;
      t.plan.pieces().clear();
      Piece* p = t.plan.Add(0, t.size);
      Conn& c = NewConn(t);
      t.plan.Hold(*p, c.id);
      StartConn(*p, c);
      return;
    }
    if (!t.ranges) return;
    StealRules rules;
    rules.min_segment = MinSegment();
    auto pace_of = [&](HolderId id) {
      const Conn* c = FindConn(t, id);
      return c ? c->pace : Pace{};
    };
    const auto now = Clock::now();
    while (!t.ended && static_cast<int>(t.conns.size()) < Target(t)) {
      if (t.plan.LargestFree(now) != nullptr) {
        Conn& c = NewConn(t);
        StartConn(*t.plan.CheckOut(c.id, now), c);
        continue;
      }
      const auto steal = t.plan.ChooseSteal(pace_of, t.typical_rate, rules);
      if (!steal) return;
      Conn& c = NewConn(t);
      StartConn(*t.plan.Apply(*steal, c.id), c);
    }
  }

  // Each connection's rate over the last slow window, and what the
  // download's connections typically reach (the rules are pace_meter's).
  void MeasurePace(Task& t, Clock::time_point now) {
    std::vector<double> rates;
    for (auto& c : t.conns) {
      if (c->easy == nullptr || c->piece == nullptr) continue;
      bool early = false;
      c->pace = c->window.Sample(TimesOf(*c), t.typical_rate, now, pace_rules, &early);
      if (c->pace.judged && !early) rates.push_back(c->pace.rate);
    }
    t.typical_rate = TypicalRate(std::move(rates), t.ended_rates, t.typical_rate);
  }

  static RequestTimes TimesOf(const Conn& c) {
    return {.sent_at = c.sent_at,
            .accepted_at = c.accepted_at,
            .last_progress = c.last_progress,
            .accepted = c.accepted,
            .body_bytes = c.body_bytes};
  }

  // ---- the loop ----

  enum class Act { kFinished, kStalled, kSlow, kDue };

  // What each connection of the download calls for now; `next` learns when
  // a waiting one is due.
  std::vector<std::pair<HolderId, Act>> Acts(Task& t, Clock::time_point now,
                                             Clock::time_point& next) const {
    std::vector<std::pair<HolderId, Act>> acts;
    for (auto& c : t.conns) {
      if (c->easy != nullptr) {
        if (c->piece != nullptr && c->piece->Left() == 0 && !t.unknown_length)
          acts.emplace_back(c->id, Act::kFinished);
        else if (const Liveness l = Judge(TimesOf(*c), c->pace, t.typical_rate, now, pace_rules);
                 l == Liveness::kStalled)
          acts.emplace_back(c->id, Act::kStalled);
        else if (c->piece != nullptr && l == Liveness::kSlow)
          acts.emplace_back(c->id, Act::kSlow);
      } else if (now >= c->retry_at) {
        acts.emplace_back(c->id, Act::kDue);
      } else {
        next = std::min(next, c->retry_at);
      }
    }
    return acts;
  }

  void Do(Task& t, Conn& c, Act act) {
    switch (act) {
      case Act::kFinished:
        Detach(c);
        PieceDone(c);
        break;
      case Act::kStalled:
        Retry(c, FailureCause::kStalled);
        break;
      case Act::kSlow:
        // Far below the others: the rest of its piece goes to a fresh
        // connection (or an idle one, in the sharing below).
        RemoveConn(c);
        t.schedule = true;
        break;
      case Act::kDue:
        // Its piece may have been taken over while it waited.
        if (c.piece != nullptr && c.piece->Left() == 0)
          PieceDone(c);
        else if (c.easy == nullptr)
          Send(c);
        break;
    }
  }

  // Stalls, slow connections, due retries, sharing, record saves. Returns
  // when it next needs to run.
  Clock::time_point Tick() {
    const auto now = Clock::now();
    Clock::time_point next = now + (tasks.empty() ? kIdleWake : kBusyWake);
    for (auto& owned : tasks) {
      Task& t = *owned;
      if (t.ended) continue;
      if (now - t.last_progress > settings.task_stall_timeout) {
        Fail(t, FailureCause::kStalled);
        continue;
      }
      MeasurePace(t, now);
      next = std::min(next, host_limits.Grow(t.host, t.order.connections, now));
      for (const auto& [id, act] : Acts(t, now, next)) {
        if (t.ended) break;
        if (Conn* c = FindConn(t, id)) Do(t, *c, act);
      }
      if (t.ended) continue;
      Schedule(t);
      CheckFinished(t);
      if (!t.ended && t.file && t.file->is_open() && now >= t.next_save) {
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
        std::lock_guard lock(loop.mutex_);
        orders.swap(loop.queue_);
        stopping = loop.stopping_;
      }
      if (stopping) {
        for (auto& order : orders) {
          order.figures->status.store(static_cast<int>(TaskPhase::kStopped),
                                      std::memory_order_release);
          loop.active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
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
      if (!t->ended) End(*t, TaskPhase::kStopped);
    tasks.clear();
  }
};

TransferLoop::TransferLoop(const DownloaderSettings& settings) : settings_(settings) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curl_ready) return;
  CURLM* multi = curl_multi_init();
  if (multi != nullptr) {
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 128L);
    multi_ = multi;
  }
}

TransferLoop::~TransferLoop() {
  Stop();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void TransferLoop::Submit(TaskOrder order) {
  active_tasks_.fetch_add(1, std::memory_order_acq_rel);
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || multi_ == nullptr) {
      order.figures->failure.store(static_cast<int>(FailureCause::kNetwork));
      order.figures->status.store(
          static_cast<int>(stopping_ ? TaskPhase::kStopped : TaskPhase::kFailed));
      active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
      return;
    }
    queue_.push_back(std::move(order));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void TransferLoop::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (thread_.joinable()) thread_.join();
}

void TransferLoop::Run() {
  Worker worker(*this);
  worker.Run();
}

}  // namespace wuqu::download
