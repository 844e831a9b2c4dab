#pragma once

// The loop thread's own state, shared by the files its work is split into:
// a download (Task), one connection of it (Conn), and the Worker that owns
// them. Only the transfer_*.cpp files include it.
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/body_writer.h"
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
#include "download/transfer_loop.h"
#include "text/ascii.h"

namespace wuqu::download {

using Clock = std::chrono::steady_clock;

// Times the download starts over because the server's file changed under it
// before it gives up.
inline constexpr int kMaxRestarts = 3;
inline constexpr std::chrono::milliseconds kIdleWake{1000};
inline constexpr std::chrono::milliseconds kBusyWake{100};

inline bool IsHttpAddress(std::string_view url) {
  const auto colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  const std::string_view scheme = url.substr(0, colon);
  return (EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https")) && url.size() > colon + 3;
}

inline double Seconds(Clock::duration d) {
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

struct Conn;

// What curl's callbacks hand on for a connection: the head of a final reply
// and its body bytes. All they reach of the worker; false from either aborts
// the transfer.
class ReplyTaker {
 public:
  // A final reply, judged at the end of its head or at its first body byte.
  virtual bool TakeHead(Conn& c) = 0;
  virtual bool TakeBody(Conn& c, const char* data, std::size_t n) = 0;

 protected:
  ~ReplyTaker() = default;
};

// curl's callbacks, given the connection as their user pointer: header lines
// gathered into its reply's headers, the head and body handed to its taker.
std::size_t OnReplyHeader(char* data, std::size_t size, std::size_t n, void* user);
std::size_t OnReplyBody(char* data, std::size_t size, std::size_t n, void* user);

// One connection's slot in a download: a transfer in flight, or waiting to
// try its piece again.
struct Conn {
  Task* task = nullptr;
  ReplyTaker* taker = nullptr;
  HolderId id = 0;
  EasyHandle easy;  // set while the transfer is in the multi handle
  Piece* piece = nullptr;
  bool probe = false;  // the download's first request, before the size is known
  Clock::time_point retry_at{};
  int attempts = 0;    // failures in a row whose replies wrote no new byte
  bool fresh = false;  // the next request goes out on a new connection
  bool progressed = false;

  // The request in flight.
  Clock::time_point sent_at{};
  Clock::time_point last_progress{};
  std::uint64_t progress_bytes = 0;  // since last_progress
  std::uint64_t body_bytes = 0;      // of this reply
  bool asked_range = false;
  std::uint64_t req_first = 0;
  std::uint64_t req_last = kOpenEnd;
  std::uint64_t at = 0;               // file offset of the next body byte
  std::uint64_t resp_end = kOpenEnd;  // file offset where this reply's body ends
  bool accepted = false;
  Clock::time_point accepted_at{};
  bool wrote = false;            // this reply wrote bytes the file did not hold yet
  bool busy = false;             // a 503 or 429
  long status = 0;               // the reply's final status
  std::int64_t retry_after = 0;  // seconds its Retry-After asks to wait
  StopReason stop = StopReason::kNone;
  FailureCause cause = FailureCause::kNone;
  ReplyHeaders headers;
  HeaderList header_list;  // the request's own lines, while its transfer lasts
  RateWindow window;       // its rate over the last slow window
  Pace pace;
};

struct Task {
  TaskOrder order;
  std::string key;
  std::optional<DownloadFile> file;  // made once the address is taken
  BodyWriter body;                   // the reply bytes into `file`

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
  std::string url;   // where later requests go (after redirects)
  std::string host;  // whose connection limit applies
  std::uint64_t side_bytes = 0;

  PiecePlan plan;
  std::vector<std::unique_ptr<Conn>> conns;
  HolderId next_id = 1;
  int in_flight = 0;
  std::int64_t file_bytes = 0;
  std::int64_t written = 0;
  std::int64_t saved_bytes = -1;
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

// Everything the loop's thread owns. Nothing here is touched by another thread.
struct TransferLoop::Worker final : ReplyTaker {
  TransferLoop& loop;
  const DownloaderSettings& settings;
  CURLM* multi;
  std::vector<std::unique_ptr<Task>> tasks;
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

  // The connections the download may have open now.
  int Target(const Task& t) const { return host_limits.Target(t.host, t.order.connections); }

  void Fail(Task& t, FailureCause cause) { End(t, TaskPhase::kFailed, cause); }

  std::uint64_t MinSegment() const { return std::max<std::uint64_t>(settings.min_segment, 1); }

  enum class Act { kFinished, kStalled, kSlow, kDue };

  void Publish(Task& t) const;
  // Connections of the download whose reply is being received.
  static int Receiving(const Task& t, const Conn* except = nullptr);
  // Ends the download as `phase`, unless the user's pause or cancel, or a
  // newer download to its file, claimed its end first: then as they have it.
  void End(Task& t, TaskPhase phase, FailureCause cause = FailureCause::kNone);
  // Claims the download's end for the loop, before a step that cannot be
  // taken back (completing its file); false when the user or a newer
  // download claimed it first.
  static bool ClaimEnd(Task& t);
  // Ends every download the user paused or cancelled since the last look,
  // before curl asks for another byte of it.
  void TakeClaims();
  // A download paused earlier and cancelled now: its unfinished file and
  // record go, and it reads cancelled.
  void Discard(const TaskOrder& paused);
  // A download the loop never began, at the loop's end.
  void NeverBegun(const TaskOrder& order);
  void Begin(TaskOrder order);
  static void DropRecord(Task& t);
  static bool RecordValidated(const ResumeRecord& r);
  // Where the first request of a resumed download begins: the first missing
  // byte, or, when the record cannot prove the server's file unchanged, a
  // stretch before it that is compared with the file. A record that claims
  // every byte still gets a request, which checks the server's file like
  // any other resume.
  std::uint64_t ResumeFrom(const ResumeRecord& r) const;
  Conn& NewConn(Task& t);
  void StartProbe(Task& t);
  // Clears what the connection knew of its last reply.
  static void ForgetReply(Conn& c);
  // What the connection asks for next: from the resume point (or the start)
  // on the first request, its piece on later ones.
  TransferSetup NextRequest(Conn& c) const;
  void Send(Conn& c);
  void Detach(Conn& c);
  void StopTransfers(Task& t);
  // Lets go of the connection's piece; a helper that fetched the same bytes
  // becomes their owner.
  static void ReleasePiece(Conn& c);
  void RemoveConn(Conn& c);
  static Conn* FindConn(Task& t, HolderId id);
  void CountProgress(Conn& c, std::uint64_t n);
  // Bytes that arrive for a stretch already in place: kept when the version
  // is proved the same, otherwise compared with what the file holds.
  static bool SameAsFile(Task& t, const char* data, std::uint64_t n, std::uint64_t offset);
  // Accepts a final reply (Accept, then Accepted).
  bool TakeHead(Conn& c) override;
  // Body bytes into the file (or the side file), the figures published.
  bool TakeBody(Conn& c, const char* data, std::size_t n) override;
  // New bytes in the file: the connection's piece is getting on.
  static void Wrote(Conn& c);
  // A final reply was judged good: the host allows at least the connections
  // now receiving.
  void Accepted(Conn& c);
  // A body of unknown length, front to back into the side file.
  bool TakeSideBytes(Conn& c, const char* p, std::size_t left);
  bool TakeBytes(Conn& c, const char* p, std::size_t left);
  // A reply that runs on past the end of its piece (the open-ended first
  // one) goes on into the next piece when nobody holds it and the download
  // has all the connections it may have (else a connection of its own would
  // fetch that piece beside this one): no new request, and no connection
  // closed that a host would still count against its limit for a moment.
  Piece* RunOnInto(Conn& c);
  // First body bytes (or the end of an empty body) of a final reply.
  bool Accept(Conn& c);
  // What the download knew and asked when the connection sent its request.
  ReplyContext ContextOf(const Conn& c) const;
  // Acts on the reply check's decision; false stops the transfer.
  bool Judged(Conn& c, const ReplyDecision& d);
  // A reply may start later than asked (its range says where its bytes
  // belong): the stretch it skips goes back to the plan as a piece of its
  // own. One that starts beyond the piece is of no use to it.
  bool StartWhereTheReplyDoes(Conn& c);
  bool TakeFirst(Conn& c, const ReplyDecision& d);
  // Continues into the file the record describes: its missing ranges become
  // the pieces, and the first connection already asked for the first one
  // (and perhaps a stretch before it, to compare).
  void Resume(Task& t, Conn& c);
  // Makes the file anew with its full length, then puts it in place of any
  // older file of that name. Until the rename an older file stays untouched.
  // The record saved first claims no byte at all.
  bool Create(Task& t, Conn& c);
  // A download of unknown length cannot be given its length up front; it
  // grows beside the target and takes its place once complete.
  bool CreateSide(Task& t, Conn& c);
  // What the record says of the download now. Only ranges whose bytes have
  // been written: a record saved at any moment, a kill right after it
  // included, claims nothing that is missing.
  static ResumeRecord RecordOf(const Task& t);
  bool SaveRecord(Task& t);
  void OnDone(Conn& c, CURLcode result);
  // A transfer ended from our side, for the reason its callbacks gave.
  void Stopped(Conn& c);
  // A busy reply or a refused connection while others of the download
  // receive: the host's limit. The target drops, the piece goes back at once
  // (not to be asked for before the Retry-After) and the connection ends.
  // False when nobody else receives: then it is a failure like any other.
  bool LimitSign(Conn& c, bool busy_reply, bool no_reply);
  // Tries the connection's piece again after a pause that doubles with every
  // failure in a row. A connection that keeps failing gives up its piece
  // while others still get on; when none does, the download fails.
  void Retry(Conn& c, FailureCause cause);
  void PieceDone(Conn& c);
  // The server sends the whole file in reply to a range: one connection
  // reads it from the front, keeping (or comparing) the bytes in place.
  void OneConnection(Task& t);
  // The server's file is not the one the download began with: start again
  // from nothing, a limited number of times.
  void StartOver(Task& t);
  void CheckFinished(Task& t);
  void FinishSide(Task& t);
  void StartConn(Piece& p, Conn& c);
  // Gives idle connection slots work: first pieces nobody holds (the first
  // split, the gaps of a resumed file), then part of the piece whose holder
  // needs longest, or near the end a duplicate of it.
  void Schedule(Task& t);
  // Each connection's rate over the last slow window, and what the
  // download's connections typically reach (the rules are pace_meter's).
  void MeasurePace(Task& t, Clock::time_point now);
  static RequestTimes TimesOf(const Conn& c);
  // What each connection of the download calls for now; `next` learns when
  // a waiting one is due.
  std::vector<std::pair<HolderId, Act>> Acts(Task& t, Clock::time_point now,
                                             Clock::time_point& next) const;
  void Do(Task& t, Conn& c, Act act);
  // Stalls, slow connections, due retries, sharing, record saves. Returns
  // when it next needs to run.
  Clock::time_point Tick();
  void Run();
};

}  // namespace wuqu::download
