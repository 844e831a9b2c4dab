#pragma once

#include <string_view>

#include "catalogue/catalogue_window.h"
#include "catalogue/download.h"
#include "catalogue/user_downloads.h"
#include "text/text.h"

// Tags in the files: a download the user started from the window is called
// complete only once its file is final, its title (the row's, as a person
// reads it), album (the category) and comment (the play page) written into
// it by the tagger (tags/file_tagger.h) off the GUI thread; meanwhile its
// line reads as running at 100 %. Without a tagger, with writing tags
// switched off, or for an address typed without a track, the file is final
// as the downloader left it.
namespace wuqu::catalogue {

// The user's switch 写入曲目信息, remembered by the download log: "1" on
// (also when never set), "0" off.
inline constexpr const char* kWriteTagsSetting = "write_tags";
bool WritesTags(DownloadLog& log);
void SetWritesTags(DownloadLog& log, bool on);

// Whether the file of `download`, complete in the downloader (its end
// written to the log), is final. The first call hands it to the tagger when
// tags are to be written, with its row's title and category, and gives
// false; later calls give false until the tagger's result has come, which
// goes to the log before true is given.
bool FileFinal(const UserDownloads::Followed& download, const Text& folder,
               DownloadSession& session);

// What the desktop notice of a download alone names it by: its row's title
// cell, or its file name when that reads as nothing (app/desktop_notices.h
// reads it as a person does).
Text NoticeName(const UserDownloads::Followed& download, const UserDownloads& downloads);

}  // namespace wuqu::catalogue
