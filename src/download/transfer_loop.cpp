// The loop itself: each tick shares the work out, judges every connection's
// pace, saves records on their rhythm, and drives curl; the thread is started,
// fed and stopped here.
#include "download/transfer_loop.h"

#include "download/transfer_worker.h"

namespace wuqu::download {

void TransferLoop::Worker::StartConn(Piece& p, Conn& c) {
  c.piece = &p;
  Send(c);
}

// Gives idle connection slots work: first pieces nobody holds (the first
// split, the gaps of a resumed file), then part of the piece whose holder
// needs longest, or near the end a duplicate of it.
void TransferLoop::Worker::Schedule(Task& t) {
  t.schedule = false;
  if (t.ended || !t.known || t.unknown_length || t.plan.Complete()) return;
  if (t.whole) {
    if (!t.conns.empty()) return;
    t.plan.Clear();
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
void TransferLoop::Worker::MeasurePace(Task& t, Clock::time_point now) {
  std::vector<double> rates;
  for (auto& c : t.conns) {
    if (c->easy == nullptr || c->piece == nullptr) continue;
    bool early = false;
    c->pace = c->window.Sample(TimesOf(*c), t.typical_rate, now, pace_rules, &early);
    if (c->pace.judged && !early) rates.push_back(c->pace.rate);
  }
  t.typical_rate = TypicalRate(std::move(rates), t.ended_rates, t.typical_rate);
}

RequestTimes TransferLoop::Worker::TimesOf(const Conn& c) {
  return {.sent_at = c.sent_at,
          .accepted_at = c.accepted_at,
          .last_progress = c.last_progress,
          .accepted = c.accepted,
          .body_bytes = c.body_bytes};
}

// What each connection of the download calls for now; `next` learns when
// a waiting one is due.
std::vector<std::pair<HolderId, TransferLoop::Worker::Act>> TransferLoop::Worker::Acts(
    Task& t, Clock::time_point now, Clock::time_point& next) const {
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

void TransferLoop::Worker::Do(Task& t, Conn& c, Act act) {
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
Clock::time_point TransferLoop::Worker::Tick() {
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

void TransferLoop::Worker::Run() {
  for (;;) {
    std::deque<TaskOrder> orders;
    std::deque<TaskOrder> discards;
    bool stopping;
    {
      std::lock_guard lock(loop.mutex_);
      orders.swap(loop.queue_);
      discards.swap(loop.discards_);
      stopping = loop.stopping_;
    }
    // A cancel of a paused download came before any start submitted with it
    // (a later start of the same file would have taken that file over).
    for (const auto& paused : discards) Discard(paused);
    if (stopping) {
      for (const auto& order : orders) NeverBegun(order);
      break;
    }
    for (auto& order : orders) Begin(std::move(order));
    TakeClaims();

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
      order.figures->claim.store(static_cast<int>(EndClaim::kLoop));
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

void TransferLoop::Wake() {
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void TransferLoop::SubmitDiscard(TaskOrder paused) {
  {
    std::lock_guard lock(mutex_);
    discards_.push_back(std::move(paused));
  }
  Wake();
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
