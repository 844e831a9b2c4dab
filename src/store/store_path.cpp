#include "store/store_path.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace wuqu::store {
namespace {

std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

}  // namespace

std::string StorePath() {
  std::string data = AbsoluteVariable("XDG_DATA_HOME");
  if (data.empty()) {
    const std::string home = AbsoluteVariable("HOME");
    if (home.empty()) return {};
    data = home + "/.local/share";
  }
  return data + "/wuqu/wuqu.sqlite";
}

bool MakeStoreFolder(const std::string& store_path) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(store_path).parent_path();
  if (folder.empty()) return false;
  const mode_t old_mask = ::umask(077);
  std::error_code error;
  fs::create_directories(folder, error);
  ::umask(old_mask);
  return fs::is_directory(folder, error);
}

}  // namespace wuqu::store
