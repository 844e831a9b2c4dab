#pragma once

// Shared pieces of the downloader tests: a scratch folder, the request for
// a download, waiting for downloads to end, and file digests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "download/downloader.h"
#include "site/demo_site.h"

namespace wuqu::download::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Short waits, so faults show within a test's time; everything else as the
// program has it.
inline DownloaderSettings QuickSettings() {
  DownloaderSettings s;
  s.stall_timeout = 1500ms;
  s.retry_delay = 50ms;
  s.retry_delay_max = 400ms;
  s.min_segment = 64 * 1024;
  s.record_interval = 100ms;
  s.task_stall_timeout = 10s;
  s.slow_window = 1500ms;
  s.judge_after = 500ms;
  return s;
}

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wuqu-dl-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Names of everything directly inside, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline DownloadRequest MakeRequest(const std::string& url, const std::string& target,
                                   int threads) {
  DownloadRequest request;
  request.url = url;
  request.target = target;
  request.connections = threads;
  return request;
}

// Polls `done` every 20 ms until it holds or `limit` passes.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline bool WaitIdle(const Downloader& d, std::chrono::milliseconds limit = 60s) {
  return WaitUntil([&] { return d.ActiveTasks() == 0; }, limit);
}

// In one read: a byte at a time takes minutes for a file of tens of MiB in
// the sanitizer build.
inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

inline void WriteAll(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

inline bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

inline std::string FileSha256(const std::string& path) {
  return Sha256Hex(ReadAll(path));
}

}  // namespace wuqu::download::testing
