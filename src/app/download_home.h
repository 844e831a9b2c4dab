#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

// Where the download folder 下载 lies. Beside the program while the program's
// folder takes files (a build tree, a copy in the user's own folders); once
// the program is installed where the user cannot write, in a folder of
// wuqu's own under the user's download folder instead. Decided once, when
// the window's handlers are made; everything else about a download (file
// names, resume records) is the same in either place.
namespace wuqu {

// The folder made under the user's folders when the program's own cannot
// take downloads.
inline constexpr std::string_view kUserDownloadHomeName = "wuqu";

// The folder (UTF-8) that the download folder 下载 lies in: `program_folder`
// when its 下载 is a folder that takes files, or could be made there, and it
// is not under /usr (the system's programs, /usr/bin or /usr/local/bin); else
// the first of `user_folders` (the user's download folder, then the home
// folder) under which kUserDownloadHomeName can be made and written. A
// folder whose path program text (code page 936) cannot hold is passed
// over: a download there could not name its file. With no candidate left,
// `program_folder`, whose downloads then fail as they would have.
std::string ChooseDownloadHome(const std::string& program_folder,
                               const std::vector<std::string>& user_folders);

// ChooseDownloadHome for the running program, in program text: its own
// folder, then the download folder Qt's standard paths give (XDG) and the
// home folder.
Text ProgramDownloadHome();

}  // namespace wuqu
