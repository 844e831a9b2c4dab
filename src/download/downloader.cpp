#include "download/downloader.h"

#include <algorithm>
#include <unordered_map>

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
  // Every download started, by the id Start gave it.
  std::unordered_map<TaskId, std::shared_ptr<TaskFigures>> tasks;
  TaskId last_id = kNoTask;
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
  impl_->tasks.emplace(id, order.figures);
  if (!impl_->loop) impl_->loop = std::make_unique<TransferLoop>(impl_->settings);
  impl_->loop->Submit(std::move(order));
  return id;
}

bool Downloader::Pause(TaskId task) {
  (void)task;
  return false;
}

bool Downloader::Cancel(TaskId task) {
  (void)task;
  return false;
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
  return found == impl_->tasks.end() ? TaskState{} : StateOf(*found->second);
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
