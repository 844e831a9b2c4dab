#pragma once

#include <functional>
#include <string>

// The steps that decide what a power cut leaves of a download: data flushed
// to stable storage, names renamed into place, folders flushed so the renames
// last, records removed. Each is taken here and told to an optional observer,
// so the order can be checked where a power cut cannot be made.
namespace wuqu::download {

enum class DiskStep {
  kFlushData,    // a file's bytes are on stable storage (path: the file)
  kRename,       // a file took its final name (path: that name)
  kFlushFolder,  // a folder's names are on stable storage (path: the folder)
  kRemove,       // a file was removed (path: the file)
};

// Told of each step after it succeeded, on the thread that took it.
using DiskObserver = std::function<void(DiskStep step, const std::string& path)>;

class DiskSteps {
 public:
  explicit DiskSteps(DiskObserver observer = {}) : observer_(std::move(observer)) {}

  // fdatasync of `fd`, the file at `path`.
  bool FlushData(int fd, const std::string& path) const;
  // Starts writing `fd`'s changed pages out without waiting for them, so a
  // later FlushData has little left to wait for. No step of its own.
  static void StartWriteback(int fd);
  bool Rename(const std::string& from, const std::string& to) const;
  // fsync of the folder that holds `path`.
  bool FlushFolderOf(const std::string& path) const;
  // Removes `path`; true when it is gone (also when it was never there).
  bool Remove(const std::string& path) const;

 private:
  void Tell(DiskStep step, const std::string& path) const {
    if (observer_) observer_(step, path);
  }
  DiskObserver observer_;
};

// The folder that holds `path` ("." for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace wuqu::download
