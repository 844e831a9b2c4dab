#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace wuqu {

std::int64_t FileSize(const std::string& utf8_path) {
  struct stat st {};
  if (::stat(utf8_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::string ProgramFolder() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool CanWriteInFolder(const std::string& utf8_path) {
  if (!IsFolder(utf8_path)) return false;
  // access() alone would take root's word for it; a made file cannot lie.
  std::string name = utf8_path + "/.wuqu-probe-XXXXXX";
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  const int fd = ::mkstemp(buf.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(buf.data());
  return true;
}

bool IsFolder(const std::string& utf8_path) {
  struct stat st {};
  return ::stat(utf8_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::string& utf8_path) {
  if (utf8_path.empty()) return false;
  if (IsFolder(utf8_path)) return true;
  const std::size_t last = utf8_path.find_last_not_of('/');
  if (last == std::string::npos) return false;  // "/", which IsFolder took
  const std::size_t slash = utf8_path.rfind('/', last);
  if (slash != std::string::npos && slash > 0 && !MakeFolders(utf8_path.substr(0, slash))) {
    return false;
  }
  return ::mkdir(utf8_path.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(utf8_path));
}

}  // namespace wuqu
