#pragma once

#include <string_view>

#include "catalogue/catalogue_window.h"
#include "catalogue/download.h"
#include "catalogue/download_queue.h"
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

// The title cell (as the page gave it) of the row of `play_page` in the
// track list, and the name of the category chosen; each empty when there is
// none.
struct ListedNames {
  Text title_cell;
  Text category;
};
ListedNames NamesInWindow(CatalogueWindow& window, const Text& play_page);

// Whether the file of `download`, complete in the downloader (its end
// written to the log), is final. The first call hands it to the tagger when
// tags are to be written and gives false; later calls give false until the
// tagger's result has come, which goes to the log before true is given.
bool FileFinal(DownloadQueue::Followed& download, const Text& folder, DownloadSession& session);

// What the desktop notice of a download alone names it by: its title cell,
// or its file name when that reads as nothing (app/desktop_notices.h reads
// it as a person does).
Text NoticeName(const DownloadQueue::Followed& download);

}  // namespace wuqu::catalogue
