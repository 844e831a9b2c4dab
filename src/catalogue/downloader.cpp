#include "catalogue/downloader.h"

#include <algorithm>

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
};

Downloader::Downloader(const DownloaderSettings& settings) : impl_(std::make_unique<Impl>()) {
  impl_->settings = settings;
}

Downloader::~Downloader() {
  if (impl_->engine) impl_->engine->Stop();
}

int Downloader::StartTask(const DownloadTask& task) {
  TaskOrder order;
  order.source = task.source_address;
  order.wire_url = WireUrl(task.source_address);
  order.target = LocalTextToUtf8(task.target_path);
  order.connections = std::clamp(task.thread_count, 1, kMaxConnections);
  order.figures = std::make_shared<TaskFigures>();
  // From here on the figures are the new download's, starting at 0, even
  // before the worker has looked at it.
  impl_->newest = order.figures;
  if (!impl_->engine) impl_->engine = std::make_unique<DownloadEngine>(impl_->settings);
  impl_->engine->Submit(std::move(order));
  return 0;
}

std::int64_t Downloader::GetTransferredBytes() const {
  return impl_->newest ? impl_->newest->file_bytes.load(std::memory_order_relaxed) : 0;
}

std::int64_t Downloader::GetAmountFigure() const {
  return impl_->newest ? impl_->newest->written.load(std::memory_order_relaxed) / 4 : 0;
}

DownloadReport Downloader::Report() const {
  DownloadReport r;
  if (!impl_->newest) return r;
  const TaskFigures& f = *impl_->newest;
  r.status = static_cast<DownloadStatus>(f.status.load(std::memory_order_acquire));
  r.failure = static_cast<DownloadFailure>(f.failure.load(std::memory_order_relaxed));
  r.http_status = f.http_status.load(std::memory_order_relaxed);
  r.size = f.size.load(std::memory_order_relaxed);
  r.peak_connections = f.peak_connections.load(std::memory_order_relaxed);
  r.requests = f.requests.load(std::memory_order_relaxed);
  return r;
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
