// The loop's worker judging a reply: the reply check asked, the first reply
// taken (the file made, resumed or grown beside its name).
#include "download/transfer_worker.h"

namespace wuqu::download {

// First body bytes (or the end of an empty body) of a final reply.
bool TransferLoop::Worker::Accept(Conn& c) {
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
ReplyContext TransferLoop::Worker::ContextOf(const Conn& c) const {
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
bool TransferLoop::Worker::Judged(Conn& c, const ReplyDecision& d) {
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
bool TransferLoop::Worker::StartWhereTheReplyDoes(Conn& c) {
  Piece* piece = c.piece;
  if (piece == nullptr || c.task->unknown_length || c.at <= piece->pos()) return true;
  if (c.at >= piece->end()) {
    c.stop = StopReason::kRetry;
    c.cause = FailureCause::kNetwork;
    return false;
  }
  c.task->plan.SkipTo(*piece, c.at);
  return true;
}

bool TransferLoop::Worker::TakeFirst(Conn& c, const ReplyDecision& d) {
  Task& t = *c.task;
  char* effective = nullptr;
  curl_easy_getinfo(c.easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
  if (effective != nullptr && IsHttpAddress(effective)) t.url = effective;
  t.etag = c.headers.etag;
  t.last_modified = c.headers.last_modified;
  t.validated = !t.etag.empty() || !t.last_modified.empty();
  t.order.figures->validators.store(
      t.validated ? std::make_shared<const Validators>(Validators{t.etag, t.last_modified})
                  : nullptr,
      std::memory_order_release);
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
void TransferLoop::Worker::Resume(Task& t, Conn& c) {
  const ResumeRecord& r = *t.record;
  t.plan.Reset(t.size, r.done);
  t.done_proven = RecordValidated(r);
  t.file->UseRecordedFile(r);
  t.file_bytes = t.written = static_cast<std::int64_t>(t.plan.done().Bytes());
  t.saved_bytes = t.file_bytes;
  t.record.reset();
  Piece* first = nullptr;
  if (t.whole) {
    t.plan.Clear();
    first = t.plan.Add(0, t.size);
  } else {
    for (auto& p : t.plan.pieces())
      if (!first || p->pos() < first->pos()) first = p.get();
    if (first == nullptr) first = t.plan.Add(c.at, t.size);
    t.plan.ReachBack(*first, c.at);
  }
  t.plan.Hold(*first, c.id);
  c.piece = first;
}

// Makes the file anew with its full length, then puts it in place of any
// older file of that name. Until the rename an older file stays untouched.
// The record saved first claims no byte at all.
bool TransferLoop::Worker::Create(Task& t, Conn& c) {
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
bool TransferLoop::Worker::CreateSide(Task& t, Conn& c) {
  if (!t.file->CreateSide()) {
    c.stop = StopReason::kDisk;
    return false;
  }
  t.done_proven = t.validated;
  t.side_bytes = 0;
  t.file_bytes = t.written = 0;
  return true;
}

}  // namespace wuqu::download
