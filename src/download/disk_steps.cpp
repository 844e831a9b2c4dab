#include "download/disk_steps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace wuqu::download {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool DiskSteps::FlushData(int fd, const std::string& path) const {
  int r;
  do {
    r = ::fdatasync(fd);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  Tell(DiskStep::kFlushData, path);
  return true;
}

void DiskSteps::StartWriteback(int fd) {
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool DiskSteps::Rename(const std::string& from, const std::string& to) const {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  Tell(DiskStep::kRename, to);
  return true;
}

bool DiskSteps::FlushFolderOf(const std::string& path) const {
  const std::string folder = FolderOf(path);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int r;
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  // Some file systems cannot flush a folder; its names are as safe as they get.
  const bool ok = r == 0 || errno == EINVAL || errno == EROFS;
  ::close(fd);
  if (ok) Tell(DiskStep::kFlushFolder, folder);
  return ok;
}

bool DiskSteps::Remove(const std::string& path) const {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  Tell(DiskStep::kRemove, path);
  return true;
}

}  // namespace wuqu::download
