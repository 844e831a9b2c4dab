#pragma once

#include <string_view>

#include "catalogue/site_addresses.h"
#include "text/text.h"

// The play page of a track and the media address cut out of it, shared by
// the preview and the download handlers.
namespace wuqu::catalogue {

// The play page's script holds the media file's path between these two.
inline constexpr std::string_view kFileValueStart = "', file: '";
inline constexpr std::string_view kFileValueEnd = "', good:";

// The play page of a typed track id: CatalogueBaseUrl + "m/" + id + "/". The
// id is used exactly as typed, blanks and all.
Text PlayPageUrl(const Text& catalogue_base_url, const Text& id);

// Fetches the play page (GET, nothing else), converts it to program text
// and gives MediaBaseUrl + file value + ".mp4". The file value is whatever
// stands between the first start marker and the next end marker, letter case
// significant, untouched; a failed fetch or a page without both markers gives
// MediaBaseUrl + ".mp4".
Text ResolveMediaUrl(const Text& play_page_url, const SiteAddresses& sites);

}  // namespace wuqu::catalogue
