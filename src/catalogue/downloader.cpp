#include "catalogue/downloader.h"

#include <algorithm>
#include <unordered_map>

#include "catalogue/downloader_engine.h"
#include "net/wire_url.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

constexpr int kMaxConnections = 64;

}  // namespace

// Only the GUI thread touches this; the worker sees the figures of each
// download through their own atomics.
struct Downloader::Impl {
  DownloaderSettings settings;
  std::unique_ptr<DownloadEngine> engine;  // made at the first start
  std::shared_ptr<TaskFigures> newest;
  // Every download started, by the id StartTask gave it.
  std::unordered_map<download::TaskId, std::shared_ptr<TaskFigures>> tasks;
  download::TaskId last_id = download::kNoTask;
};

namespace {

download::TaskState StateOf(const TaskFigures& f) {
  download::TaskState s;
  s.phase = static_cast<download::TaskPhase>(f.status.load(std::memory_order_acquire));
  s.cause = static_cast<download::FailureCause>(f.failure.load(std::memory_order_relaxed));
  s.http_status = f.http_status.load(std::memory_order_relaxed);
  s.size = f.size.load(std::memory_order_relaxed);
  s.file_bytes = f.file_bytes.load(std::memory_order_relaxed);
  s.written = f.written.load(std::memory_order_relaxed);
  s.peak_connections = f.peak_connections.load(std::memory_order_relaxed);
  s.requests = f.requests.load(std::memory_order_relaxed);
  return s;
}

}  // namespace

Downloader::Downloader(const DownloaderSettings& settings) : impl_(std::make_unique<Impl>()) {
  impl_->settings = settings;
}

Downloader::~Downloader() {
  if (impl_->engine) impl_->engine->Stop();
}

download::TaskId Downloader::StartTask(const DownloadTask& task) {
  TaskOrder order;
  order.source = task.source_address;
  order.wire_url = WireUrl(task.source_address);
  order.target = LocalTextToUtf8(task.target_path);
  order.connections = std::clamp(task.thread_count, 1, kMaxConnections);
  order.figures = std::make_shared<TaskFigures>();
  // From here on the figures are the new download's, starting at 0, even
  // before the worker has looked at it.
  impl_->newest = order.figures;
  const download::TaskId id = ++impl_->last_id;
  impl_->tasks.emplace(id, order.figures);
  if (!impl_->engine) impl_->engine = std::make_unique<DownloadEngine>(impl_->settings);
  impl_->engine->Submit(std::move(order));
  return id;
}

std::int64_t Downloader::GetTransferredBytes() const {
  return impl_->newest ? impl_->newest->file_bytes.load(std::memory_order_relaxed) : 0;
}

std::int64_t Downloader::GetAmountFigure() const {
  return impl_->newest ? impl_->newest->written.load(std::memory_order_relaxed) / 4 : 0;
}

DownloadReport Downloader::Report() const {
  return impl_->newest ? StateOf(*impl_->newest) : DownloadReport{};
}

download::TaskState Downloader::State(download::TaskId task) const {
  const auto found = impl_->tasks.find(task);
  return found == impl_->tasks.end() ? download::TaskState{} : StateOf(*found->second);
}

int Downloader::ActiveTasks() const {
  return impl_->engine ? impl_->engine->ActiveTasks() : 0;
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

}  // namespace wuqu::catalogue
