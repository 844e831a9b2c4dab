#include "app/download_home.h"

#include <QDir>
#include <QStandardPaths>

#include "catalogue/download.h"
#include "platform/files.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

// Program text holds the path unchanged: no character turns into "?".
bool FitsProgramText(const std::string& utf8_path) {
  return LocalTextToUtf8(Utf8ToLocalText(std::string_view(utf8_path))) == utf8_path;
}

// A download into `home`'s 下载 would find its folder there or make it.
bool TakesDownloads(const std::string& home) {
  if (!FitsProgramText(home)) return false;
  const std::string folder =
      home + kPathSeparator + std::string(ui_texts::kDownloadFolderName.Utf8());
  if (IsFolder(folder)) return CanWriteInFolder(folder);
  // A file of that name would stand in the way of the folder.
  if (FileSize(folder) >= 0) return false;
  return CanWriteInFolder(home);
}

// /usr holds the system's read-only data: a program installed there keeps
// no downloads beside it, even for root, who could write there.
bool IsSystemFolder(const std::string& path) {
  constexpr std::string_view kUsr = "/usr";
  return path.starts_with(kUsr) && (path.size() == kUsr.size() || path[kUsr.size()] == '/');
}

}  // namespace

std::string ChooseDownloadHome(const std::string& program_folder,
                               const std::vector<std::string>& user_folders) {
  if (!IsSystemFolder(program_folder) && TakesDownloads(program_folder)) return program_folder;
  for (const std::string& user_folder : user_folders) {
    if (user_folder.empty() || !FitsProgramText(user_folder)) continue;
    const std::string home =
        (user_folder.back() == kPathSeparator ? user_folder : user_folder + kPathSeparator) +
        std::string(kUserDownloadHomeName);
    if (MakeFolders(home) && TakesDownloads(home)) return home;
  }
  return program_folder;
}

Text ProgramDownloadHome() {
  const std::vector<std::string> user_folders = {
      QStandardPaths::writableLocation(QStandardPaths::DownloadLocation).toStdString(),
      QDir::homePath().toStdString()};
  return Utf8ToLocalText(std::string_view(ChooseDownloadHome(ProgramFolder(), user_folders)));
}

}  // namespace wuqu
