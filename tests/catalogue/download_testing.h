#pragma once

// What the download handler and progress display tests share: a downloader
// that hands out the figures the test sets and keeps every task it is given,
// and a scratch folder that plays the program's folder.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "catalogue/download.h"
#include "catalogue/memory_window.h"

namespace wuqu::catalogue::testing {

class FakeDownloader final : public DownloaderPort {
 public:
  // With a window, each start is logged into its writes as "start <target path>".
  explicit FakeDownloader(MemoryWindow* window = nullptr) : window_(window) {}

  // The figures are the new download's from its start on, as the
  // downloader's are.
  download::TaskId StartTask(const DownloadTask& task) override {
    tasks.push_back(task);
    transferred = 0;
    amount = 0;
    if (window_ != nullptr) window_->writes.push_back("start " + task.target_path);
    return tasks.size();
  }
  std::int64_t GetTransferredBytes() const override {
    ++figure_reads;
    return transferred;
  }
  std::int64_t GetAmountFigure() const override {
    ++figure_reads;
    return amount;
  }
  // The state a test set for a task id; running with the figures above
  // when it set none.
  download::TaskState State(download::TaskId task) const override {
    if (const auto found = states.find(task); found != states.end()) return found->second;
    download::TaskState running;
    running.phase = task >= 1 && task <= tasks.size() ? download::TaskPhase::kRunning
                                                      : download::TaskPhase::kNone;
    running.file_bytes = transferred;
    running.written = amount * 4;
    return running;
  }

  std::vector<DownloadTask> tasks;  // copies, as handed over
  std::int64_t transferred = 0;
  std::int64_t amount = 0;
  mutable int figure_reads = 0;
  std::map<download::TaskId, download::TaskState> states;

 private:
  MemoryWindow* window_;
};

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes. Path in UTF-8, as on disk.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "wuqu-download-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Makes (or replaces) a file of `size` bytes at `utf8_path`; sparse, so a
// size past 4 GiB costs nothing.
inline bool MakeFileOfSize(const std::string& utf8_path, std::uint64_t size) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(utf8_path).parent_path(), error);
  { std::ofstream(utf8_path, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(utf8_path, size, error);
  return !error;
}

}  // namespace wuqu::catalogue::testing
