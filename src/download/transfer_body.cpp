// curl's callbacks, which reach only the connection and its reply taker, and
// the worker taking a reply: header lines gathered, body bytes written at
// their offset or compared with the file, progress counted.
#include "download/transfer_worker.h"

namespace wuqu::download {

std::size_t OnReplyHeader(char* data, std::size_t size, std::size_t n, void* user) {
  Conn& c = *static_cast<Conn*>(user);
  const std::size_t bytes = size * n;
  // Header lines are no progress: only body bytes move the stall clock.
  if (CaptureHeaderLine(std::string_view(data, bytes), c.headers) == HeadLine::kEnd) {
    // The end of a head: a final 2xx is judged now, so the other
    // connections need not wait for the first body byte (a redirect or an
    // interim reply is followed by another head).
    long code = 0;
    curl_easy_getinfo(c.easy.get(), CURLINFO_RESPONSE_CODE, &code);
    if (code >= 200 && code <= 299 && !c.accepted && c.stop == StopReason::kNone &&
        !c.taker->TakeHead(c))
      return 0;  // aborts the transfer
  }
  return bytes;
}

std::size_t OnReplyBody(char* data, std::size_t size, std::size_t n, void* user) {
  Conn& c = *static_cast<Conn*>(user);
  const std::size_t total = size * n;
  // A head not judged yet: nothing of the body is written if it is refused.
  if (!c.accepted && !c.taker->TakeHead(c)) return 0;  // aborts the transfer
  return c.taker->TakeBody(c, data, total) ? total : 0;
}

bool TransferLoop::Worker::TakeHead(Conn& c) {
  if (!Accept(c)) return false;
  Accepted(c);
  return true;
}

void TransferLoop::Worker::CountProgress(Conn& c, std::uint64_t n) {
  Task& t = *c.task;
  c.body_bytes += n;
  c.progress_bytes += n;
  if (n > 0) t.last_received = Clock::now();
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
bool TransferLoop::Worker::SameAsFile(Task& t, const char* data, std::uint64_t n,
                                      std::uint64_t offset) {
  return t.done_proven || t.body.Same(*t.file, data, n, offset);
}

bool TransferLoop::Worker::TakeBody(Conn& c, const char* p, std::size_t left) {
  const bool more = TakeBytes(c, p, left);
  Publish(*c.task);
  return more;
}

// New bytes in the file: the connection's piece is getting on.
void TransferLoop::Worker::Wrote(Conn& c) {
  c.wrote = true;
  c.attempts = 0;
  c.refusals = 0;
  c.progressed = true;
}

// A final reply was judged good: the host allows at least the connections
// now receiving.
void TransferLoop::Worker::Accepted(Conn& c) {
  c.accepted = true;
  c.accepted_at = Clock::now();
  host_limits.Receiving(c.task->host, Receiving(*c.task));
}

// A body of unknown length, front to back into the side file.
bool TransferLoop::Worker::TakeSideBytes(Conn& c, const char* p, std::size_t left) {
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
  if (left > 0 && !t.body.Write(*t.file, p, left, c.at)) {
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

bool TransferLoop::Worker::TakeBytes(Conn& c, const char* p, std::size_t left) {
  Task& t = *c.task;
  if (t.unknown_length) return TakeSideBytes(c, p, left);
  Piece* piece = c.piece;
  const IntervalSet& done = t.plan.done();
  while (left > 0) {
    if (c.at >= piece->end() && c.at < c.resp_end) {
      if (Piece* next = RunOnInto(c)) piece = next;
    }
    const std::uint64_t limit = std::min(piece->end(), c.resp_end);
    if (c.at >= limit) {
      // The piece is done (or was taken over) and the reply goes on, or
      // the reply sends more than it said it would.
      if (c.at >= piece->end()) {
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
      if (!t.body.Write(*t.file, p, static_cast<std::size_t>(take), c.at)) {
        c.stop = StopReason::kDisk;
        return false;
      }
      t.plan.AddDone(c.at, c.at + take);
      Wrote(c);
      t.file_bytes += static_cast<std::int64_t>(take);
      t.written += static_cast<std::int64_t>(take);
    }
    c.at += take;
    p += take;
    left -= static_cast<std::size_t>(take);
    t.plan.Advance(*piece, c.at);
    CountProgress(c, take);
  }
  // The piece was cut short by a thief or finished by a helper: stop here
  // rather than receive bytes that belong to another connection.
  if (c.at >= piece->end() && c.resp_end > piece->end() && RunOnInto(c) == nullptr) {
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
Piece* TransferLoop::Worker::RunOnInto(Conn& c) {
  Piece* finished = c.piece;
  if (finished->owner() != c.id || finished->helper() != 0 ||
      static_cast<int>(c.task->conns.size()) < Target(*c.task))
    return nullptr;
  Piece* next = c.task->plan.FreeAt(c.at);
  if (next == nullptr) return nullptr;
  c.task->plan.RunOn(*finished, *next, c.id);
  c.piece = next;
  c.task->schedule = true;
  return next;
}

}  // namespace wuqu::download
