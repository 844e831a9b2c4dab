#pragma once

#include "catalogue/catalogue_window.h"
#include "catalogue/download_log.h"
#include "catalogue/site_addresses.h"
#include "text/text.h"

// Track preview: the media address of a track goes to the player, which
// plays it, and then into the address box 编辑框EX3.
namespace wuqu::catalogue {

// 超级列表框1's left-click handler: previews the selected row's track (its
// play page is the row's column 1). With no row selected the play page is
// the empty address, which resolves to MediaBaseUrl + ".mp4".
//
// With a log, a track whose file is there already (FileAlreadyThere, as the
// download handlers tell it) plays from that file: no request at all, the
// player gets the file's address (FileUrl), the box the media address its
// download remembers. A file gone or changed is previewed from the site.
void PreviewSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites,
                          DownloadLog* log = nullptr);

// 按钮EX1's handler: previews the track whose id stands in 编辑框EX1; from
// its file, as above, when it is there.
void PreviewTrackById(CatalogueWindow& window, const SiteAddresses& sites,
                      DownloadLog* log = nullptr);

// The file: address of the file at the absolute `path` (program text):
// "file://" and the path in UTF-8, every byte but ASCII letters, digits, "-", ".", "_", "~"
// and "/" percent-encoded, so no "#", "?", "%" or blank of a folder's name
// is read as part of the address's syntax.
Text FileUrl(const Text& path);

}  // namespace wuqu::catalogue
