// The loop's worker when a transfer ends: retried, given back under a host's
// limit, finished, or the download started over, saved or completed.
#include "download/transfer_worker.h"

namespace wuqu::download {

// What the record says of the download now. Only ranges whose bytes have
// been written: a record saved at any moment, a kill right after it
// included, claims nothing that is missing.
ResumeRecord TransferLoop::Worker::RecordOf(const Task& t) {
  ResumeRecord r;
  r.source = t.order.identity;
  r.size = t.size;
  r.etag = t.etag;
  r.last_modified = t.last_modified;
  r.done = t.plan.done().Ranges();
  return r;
}

bool TransferLoop::Worker::SaveRecord(Task& t) {
  if (!t.file || !t.file->is_open() || t.unknown_length || t.size == 0) return false;
  if (!t.file->SaveRecord(RecordOf(t))) return false;
  t.saved_bytes = t.file_bytes;
  if (settings.after_record_save) settings.after_record_save();
  return true;
}

void TransferLoop::Worker::OnDone(Conn& c, CURLcode result) {
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
  const bool no_reply =
      code == 0 && (result == CURLE_COULDNT_CONNECT || result == CURLE_GOT_NOTHING ||
                    result == CURLE_RECV_ERROR || result == CURLE_SEND_ERROR);
  if (LimitSign(c, false, no_reply)) return;
  // Connection errors, cut-off replies, garbage instead of a status line,
  // HTTP/0.9: this connection's trouble, tried again on another.
  Retry(c, FailureCause::kNetwork);
}

// A transfer ended from our side, for the reason its callbacks gave.
void TransferLoop::Worker::Stopped(Conn& c) {
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
bool TransferLoop::Worker::LimitSign(Conn& c, bool busy_reply, bool no_reply) {
  Task& t = *c.task;
  const int receiving = Receiving(t, &c);
  if (!HostLimitSign(busy_reply, no_reply, receiving, c.probe)) return false;
  const auto now = Clock::now();
  const auto quiet_until = now + std::chrono::seconds(c.retry_after);
  host_limits.LimitSeen(t.host, receiving, now, quiet_until);
  // A 429 asks that very request to wait; a 503 says the host is full,
  // and a connection that works takes the piece at once.
  if (c.piece != nullptr && c.status == 429) t.plan.Defer(*c.piece, quiet_until);
  RemoveConn(c);
  t.schedule = true;
  Publish(t);
  return true;
}

// Tries the connection's piece again after a pause that doubles with every
// failure in a row. A connection that keeps failing gives up its piece
// while others still get on; when none does, the download fails.
void TransferLoop::Worker::Retry(Conn& c, FailureCause cause) {
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

void TransferLoop::Worker::PieceDone(Conn& c) {
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
void TransferLoop::Worker::OneConnection(Task& t) {
  StopTransfers(t);
  t.ranges = false;
  t.whole = true;
  t.plan.Clear();
  t.schedule = true;
}

// The server's file is not the one the download began with: start again
// from nothing, a limited number of times.
void TransferLoop::Worker::StartOver(Task& t) {
  if (++t.restarts > kMaxRestarts) {
    Fail(t, FailureCause::kChanged);
    return;
  }
  StopTransfers(t);
  SaveRecord(t);  // still true of the bytes in the file, and refused by the next check
  t.file->Close();
  if (t.unknown_length) t.file->DiscardSide();
  DropRecord(t);
  // The version it held is no longer the one being fetched.
  t.order.figures->validators.store(nullptr, std::memory_order_release);
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

void TransferLoop::Worker::CheckFinished(Task& t) {
  if (t.ended || !t.known || t.unknown_length) return;
  if (!t.plan.Complete()) return;
  // The user's pause or cancel that came first wins: the file is not called
  // complete, and kept or removed as they asked.
  if (!ClaimEnd(t)) {
    End(t, TaskPhase::kStopped);
    return;
  }
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

void TransferLoop::Worker::FinishSide(Task& t) {
  if (!ClaimEnd(t)) {
    End(t, TaskPhase::kStopped);
    return;
  }
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

}  // namespace wuqu::download
