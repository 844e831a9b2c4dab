// The loop's worker: a download begun, its figures published, its requests
// sent and its connections let go.
#include "download/transfer_worker.h"

namespace wuqu::download {

void TransferLoop::Worker::Publish(Task& t) const {
  t.order.figures->file_bytes.store(t.file_bytes, std::memory_order_relaxed);
  t.order.figures->written.store(t.written, std::memory_order_relaxed);
  t.order.figures->receiving.store(Receiving(t), std::memory_order_relaxed);
  t.order.figures->target.store(Target(t), std::memory_order_relaxed);
}

// Connections of the download whose reply is being received.
int TransferLoop::Worker::Receiving(const Task& t, const Conn* except) {
  return static_cast<int>(std::count_if(t.conns.begin(), t.conns.end(), [&](const auto& c) {
    return c.get() != except && c->easy != nullptr && c->accepted && c->stop == StopReason::kNone;
  }));
}

namespace {

// How a download ends whose end was claimed as `claim` (kLoop: as the loop has it).
TaskPhase ClaimedPhase(EndClaim claim, TaskPhase phase) {
  switch (claim) {
    case EndClaim::kPause:
      return TaskPhase::kPaused;
    case EndClaim::kCancel:
      return TaskPhase::kCancelled;
    case EndClaim::kSuperseded:
      return TaskPhase::kStopped;
    case EndClaim::kOpen:
    case EndClaim::kLoop:
      break;
  }
  return phase;
}

// Claims the end for the loop unless someone did first; what was claimed.
EndClaim Claim(TaskFigures& figures) {
  int claim = static_cast<int>(EndClaim::kOpen);
  if (figures.claim.compare_exchange_strong(claim, static_cast<int>(EndClaim::kLoop),
                                            std::memory_order_acq_rel))
    return EndClaim::kLoop;
  return static_cast<EndClaim>(claim);
}

}  // namespace

bool TransferLoop::Worker::ClaimEnd(Task& t) {
  return Claim(*t.order.figures) == EndClaim::kLoop;
}

void TransferLoop::Worker::End(Task& t, TaskPhase phase, FailureCause cause) {
  const TaskPhase asked = ClaimedPhase(Claim(*t.order.figures), phase);
  if (asked != phase) cause = FailureCause::kNone;
  phase = asked;
  StopTransfers(t);
  Publish(t);
  if (t.file && phase == TaskPhase::kCancelled) {
    t.file->Discard();
  } else if (t.file) {
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

void TransferLoop::Worker::Begin(TaskOrder order) {
  auto owned = std::make_unique<Task>();
  Task& t = *owned;
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

void TransferLoop::Worker::TakeClaims() {
  for (auto& t : tasks) {
    if (t->ended) continue;
    const auto claim = static_cast<EndClaim>(t->order.figures->claim.load(std::memory_order_acquire));
    if (claim == EndClaim::kPause || claim == EndClaim::kCancel) End(*t, TaskPhase::kStopped);
  }
}

void TransferLoop::Worker::Discard(const TaskOrder& paused) {
  // Still running: its end, as cancelled, removes what it leaves.
  for (const auto& t : tasks)
    if (!t->ended && t->order.figures == paused.figures) return;
  DownloadFile file(paused.target, disk);
  if (file.FindRecord(paused.identity)) file.Discard();
  paused.figures->status.store(static_cast<int>(TaskPhase::kCancelled), std::memory_order_release);
}

void TransferLoop::Worker::NeverBegun(const TaskOrder& order) {
  const TaskPhase phase = ClaimedPhase(Claim(*order.figures), TaskPhase::kStopped);
  if (phase == TaskPhase::kCancelled) {
    // Cancelled before it began: the unfinished file an earlier run left goes.
    DownloadFile file(order.target, disk);
    if (file.FindRecord(order.identity)) file.Discard();
  }
  order.figures->status.store(static_cast<int>(phase), std::memory_order_release);
  loop.active_tasks_.fetch_sub(1, std::memory_order_acq_rel);
}

void TransferLoop::Worker::DropRecord(Task& t) {
  t.record.reset();
  if (t.file) t.file->DropRecordedFile();
}

bool TransferLoop::Worker::RecordValidated(const ResumeRecord& r) {
  return !r.etag.empty() || !r.last_modified.empty();
}

// Where the first request of a resumed download begins: the first missing
// byte, or, when the record cannot prove the server's file unchanged, a
// stretch before it that is compared with the file. A record that claims
// every byte still gets a request, which checks the server's file like
// any other resume.
std::uint64_t TransferLoop::Worker::ResumeFrom(const ResumeRecord& r) const {
  IntervalSet done;
  for (const auto& [first, end] : r.done) done.Add(first, end);
  const auto gaps = done.Gaps(r.size);
  const std::uint64_t gap = gaps.empty() ? r.size : gaps.front().first;
  const std::uint64_t back =
      RecordValidated(r) ? (gaps.empty() ? 1 : 0) : std::min(settings.verify_bytes, gap);
  return gap - std::min(back, gap);
}

Conn& TransferLoop::Worker::NewConn(Task& t) {
  auto conn = std::make_unique<Conn>();
  conn->task = &t;
  conn->taker = this;
  conn->id = t.next_id++;
  t.conns.push_back(std::move(conn));
  return *t.conns.back();
}

void TransferLoop::Worker::StartProbe(Task& t) {
  Conn& c = NewConn(t);
  c.probe = true;
  Send(c);
}

// Clears what the connection knew of its last reply.
void TransferLoop::Worker::ForgetReply(Conn& c) {
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
TransferSetup TransferLoop::Worker::NextRequest(Conn& c) const {
  const Task& t = *c.task;
  TransferSetup setup;
  setup.url = c.probe ? t.order.url : t.url;
  setup.fresh_connection = c.fresh;
  setup.receive_buffer = settings.receive_buffer;
  setup.connect_timeout = settings.connect_timeout;
  setup.on_body = &OnReplyBody;
  setup.on_header = &OnReplyHeader;
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
    c.req_first = c.piece->pos();
    c.req_last = c.piece->end() - 1;
    setup.range = std::to_string(c.req_first) + "-" + std::to_string(c.req_last);
    // Ranges of another version of the file must not be mixed in.
    if (!t.etag.empty() && !t.etag.starts_with("W/"))
      setup.if_range = t.etag;
    else
      setup.if_range = t.last_modified;
  }
  return setup;
}

void TransferLoop::Worker::Send(Conn& c) {
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

void TransferLoop::Worker::Detach(Conn& c) {
  if (c.easy == nullptr) return;
  curl_multi_remove_handle(multi, c.easy.get());
  c.easy.reset();
  --c.task->in_flight;
}

void TransferLoop::Worker::StopTransfers(Task& t) {
  for (auto& c : t.conns) {
    Detach(*c);
    c->header_list.reset();
  }
  t.conns.clear();
  t.plan.ReleaseAll();
}

// Lets go of the connection's piece; a helper that fetched the same bytes
// becomes their owner.
void TransferLoop::Worker::ReleasePiece(Conn& c) {
  Piece* p = c.piece;
  c.piece = nullptr;
  if (p != nullptr) c.task->plan.Release(*p, c.id);
}

void TransferLoop::Worker::RemoveConn(Conn& c) {
  Task& t = *c.task;
  Detach(c);
  c.header_list.reset();
  ReleasePiece(c);
  std::erase_if(t.conns, [&](const auto& p) { return p.get() == &c; });
}

Conn* TransferLoop::Worker::FindConn(Task& t, HolderId id) {
  for (auto& c : t.conns)
    if (c->id == id) return c.get();
  return nullptr;
}

}  // namespace wuqu::download
