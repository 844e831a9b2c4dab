#include "download/downloader.h"

#include <algorithm>
#include <unordered_map>

#include "download/target_file.h"
#include "download/transfer_loop.h"

namespace wuqu::download {
namespace {

constexpr int kMaxConnections = 64;

TaskState StateOf(const TaskFigures& f) {
  TaskState s;
  s.phase = static_cast<TaskPhase>(f.status.load(std::memory_order_acquire));
  s.cause = static_cast<FailureCause>(f.failure.load(std::memory_order_relaxed));
  s.http_status = f.http_status.load(std::memory_order_relaxed);
  s.size = f.size.load(std::memory_order_relaxed);
  s.file_bytes = f.file_bytes.load(std::memory_order_relaxed);
  s.written = f.written.load(std::memory_order_relaxed);
  s.peak_connections = f.peak_connections.load(std::memory_order_relaxed);
  s.requests = f.requests.load(std::memory_order_relaxed);
  s.receiving = f.receiving.load(std::memory_order_relaxed);
  s.connection_target = f.target.load(std::memory_order_relaxed);
  s.validators = f.validators.load(std::memory_order_acquire);
  return s;
}

}  // namespace

// Only the calling thread touches this; the loop sees the figures of each
// download through their own atomics.
struct Downloader::Impl {
  DownloaderSettings settings;
  std::unique_ptr<TransferLoop> loop;  // made at the first start
  std::shared_ptr<TaskFigures> newest;
  // Every download started, by the id Start gave it: what it was asked to
  // do (figures included) and the file it writes.
  struct Started {
    TaskOrder order;
    std::string key;
  };
  std::unordered_map<TaskId, Started> tasks;
  // The newest download to each file: an older one has handed its file over.
  std::unordered_map<std::string, TaskId> newest_of_file;
  TaskId last_id = kNoTask;

  // Claims the download's end as the user asks, unless someone claimed it first.
  static bool Claim(TaskFigures& figures, EndClaim from, EndClaim to) {
    int claim = static_cast<int>(from);
    return figures.claim.compare_exchange_strong(claim, static_cast<int>(to),
                                                 std::memory_order_acq_rel);
  }
};

Downloader::Downloader(const DownloaderSettings& settings) : impl_(std::make_unique<Impl>()) {
  impl_->settings = settings;
}

Downloader::~Downloader() {
  if (impl_->loop) impl_->loop->Stop();
}

TaskId Downloader::Start(const DownloadRequest& request) {
  TaskOrder order;
  order.url = request.url;
  order.target = request.target;
  order.identity = request.identity.empty() ? request.url : request.identity;
  order.connections = std::clamp(request.connections, 1, kMaxConnections);
  order.figures = std::make_shared<TaskFigures>();
  // From here on the figures are the new download's, starting at 0, even
  // before the loop has looked at it.
  impl_->newest = order.figures;
  const TaskId id = ++impl_->last_id;
  Impl::Started started{order, order.target.empty() ? std::string() : TargetKey(order.target)};
  if (!started.key.empty()) {
    // An older download to this file hands it over to this one: from now on
    // neither a pause nor a cancel of the older one touches it.
    auto [newest, first] = impl_->newest_of_file.try_emplace(started.key, id);
    if (!first) {
      Impl::Claim(*impl_->tasks.at(newest->second).order.figures, EndClaim::kOpen,
                  EndClaim::kSuperseded);
      newest->second = id;
    }
  }
  impl_->tasks.emplace(id, std::move(started));
  if (!impl_->loop) impl_->loop = std::make_unique<TransferLoop>(impl_->settings);
  impl_->loop->Submit(std::move(order));
  return id;
}

bool Downloader::Pause(TaskId task) {
  const auto found = impl_->tasks.find(task);
  if (found == impl_->tasks.end()) return false;
  if (!Impl::Claim(*found->second.order.figures, EndClaim::kOpen, EndClaim::kPause)) return false;
  impl_->loop->Wake();
  return true;
}

bool Downloader::Cancel(TaskId task) {
  const auto found = impl_->tasks.find(task);
  if (found == impl_->tasks.end()) return false;
  const Impl::Started& started = found->second;
  TaskFigures& figures = *started.order.figures;
  if (Impl::Claim(figures, EndClaim::kOpen, EndClaim::kCancel)) {
    impl_->loop->Wake();
    return true;
  }
  // Paused before, and its file not handed over to a newer download since:
  // the file and record it left go now.
  const auto newest = impl_->newest_of_file.find(started.key);
  if (newest == impl_->newest_of_file.end() || newest->second != task) return false;
  if (!Impl::Claim(figures, EndClaim::kPause, EndClaim::kCancel)) return false;
  impl_->loop->SubmitDiscard(started.order);
  return true;
}

std::int64_t Downloader::GetTransferredBytes() const {
  return impl_->newest ? impl_->newest->file_bytes.load(std::memory_order_relaxed) : 0;
}

std::int64_t Downloader::GetAmountFigure() const {
  return impl_->newest ? impl_->newest->written.load(std::memory_order_relaxed) / 4 : 0;
}

TaskState Downloader::Report() const {
  return impl_->newest ? StateOf(*impl_->newest) : TaskState{};
}

TaskState Downloader::State(TaskId task) const {
  const auto found = impl_->tasks.find(task);
  return found == impl_->tasks.end() ? TaskState{} : StateOf(*found->second.order.figures);
}

int Downloader::ActiveTasks() const {
  return impl_->loop ? impl_->loop->ActiveTasks() : 0;
}

std::unique_ptr<Downloader> CreateDownloader() {
  return std::make_unique<Downloader>();
}

std::unique_ptr<Downloader> CreateDownloader(const DownloaderSettings& settings) {
  return std::make_unique<Downloader>(settings);
}

void ReleaseDownloader(std::unique_ptr<Downloader>& downloader) {
  downloader.reset();
}

}  // namespace wuqu::download
