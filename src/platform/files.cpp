#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

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

}  // namespace wuqu
