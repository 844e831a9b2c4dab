#include "download/target_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>
#include <vector>

namespace wuqu::download {

std::string NewFilePath(const std::string& target) {
  return target + ".wuqu-new";
}

std::string SideFilePath(const std::string& target) {
  return target + ".wuqu-part";
}

bool MakeTargetFolder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string folder = path.substr(0, slash);
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return ::mkdir(folder.c_str(), 0777) == 0 ||
         (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

std::string TargetKey(const std::string& path) {
  std::string absolute = path;
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + path;
  }
  std::vector<std::string_view> parts;
  std::string_view rest = absolute;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return "/";
  std::string parent;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + std::string(parts[i]);
  if (parent.empty()) parent = "/";
  char resolved[PATH_MAX];
  if (::realpath(parent.c_str(), resolved) != nullptr) parent = resolved;
  if (parent != "/") parent += "/";
  return parent + std::string(parts.back());
}

int CreateSizedFile(const std::string& path, std::uint64_t size, FileIdentity* identity) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  bool ok = true;
  if (size > 0) {
    // Where the file system cannot reserve space, the length is set all the
    // same (glibc's posix_fallocate would write every block).
    int r;
    do {
      r = ::fallocate(fd, 0, 0, static_cast<off_t>(size));
    } while (r != 0 && errno == EINTR);
    if (r != 0 && (errno == EOPNOTSUPP || errno == ENOSYS))
      r = ::ftruncate(fd, static_cast<off_t>(size));
    ok = r == 0;
  }
  struct stat st {};
  ok = ok && ::fstat(fd, &st) == 0;
  if (!ok) {
    ::close(fd);
    ::unlink(path.c_str());
    return -1;
  }
  identity->device = static_cast<std::uint64_t>(st.st_dev);
  identity->inode = static_cast<std::uint64_t>(st.st_ino);
  return fd;
}

int OpenRecordedFile(const std::string& path, std::uint64_t size, const FileIdentity& identity) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != size ||
      static_cast<std::uint64_t>(st.st_dev) != identity.device ||
      static_cast<std::uint64_t>(st.st_ino) != identity.inode) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int CreateSideFile(const std::string& path) {
  ::unlink(path.c_str());
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool WriteAt(int fd, const char* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return true;
}

bool ReadAt(int fd, char* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t r = ::pread(fd, data, n, static_cast<off_t>(offset));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) {
      errno = EIO;
      return false;
    }
    data += r;
    n -= static_cast<std::size_t>(r);
    offset += static_cast<std::uint64_t>(r);
  }
  return true;
}

}  // namespace wuqu::download
