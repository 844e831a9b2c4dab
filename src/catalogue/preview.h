#pragma once

#include "catalogue/catalogue_window.h"
#include "catalogue/site_addresses.h"

// Track preview: the media address of a track goes to the player, which
// plays it, and then into the address box 编辑框EX3.
namespace wuqu::catalogue {

// 超级列表框1's left-click handler: previews the selected row's track (its
// play page is the row's column 1). With no row selected the play page is
// the empty address, which resolves to MediaBaseUrl + ".mp4".
void PreviewSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites);

// 按钮EX1's handler: previews the track whose id stands in 编辑框EX1.
void PreviewTrackById(CatalogueWindow& window, const SiteAddresses& sites);

}  // namespace wuqu::catalogue
