#pragma once

#include <array>
#include <string_view>

#include "catalogue/catalogue_window.h"
#include "catalogue/site_addresses.h"
#include "text/text.h"

// The category table, the listing fetch and the listing parser that fills
// the track list.
namespace wuqu::catalogue {

// Listing path of each category, by its position in 组合框1. The box's items
// must stay in this order: the handler goes by position, never by caption.
inline constexpr std::array<std::string_view, 10> kCategoryListingPaths = {
    "myxc/",             // 慢摇串烧
    "xc/",               // 现场舞曲
    "zw/",               // 中文舞曲
    "top/dianyindj/",    // 电音嗨曲
    "top/mangeyinyue/",  // 慢歌音乐
    "club/",             // 酒吧CLUB
    "ywclub/",           // 英文CLUB
    "my/",               // 慢摇舞曲
    "yw/",               // 英文disco
    "jy/",               // 交谊舞曲
};

// The listing pattern, with #引号 standing for each double quote.
// <td><a href=#引号(.*?)#引号 id=#引号(.*?)#引号 target=#引号play#引号>(.*?)</a>
inline constexpr std::string_view TrackListPattern =
    "<td><a href=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5 id=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5"
    " target=#\xD2\xFD\xBA\xC5play#\xD2\xFD\xBA\xC5>(.*?)</a>";

// CatalogueBaseUrl followed by the category's listing path, nothing else;
// the empty text for an index outside the table.
Text ListingUrl(const Text& catalogue_base_url, int index);

// Adds one track row per link of the listing page `page_text` (program
// text): column 0 the link text as it stands, column 1 `catalogue_base_url`
// followed by the href value. Lets the window's events run after each row.
// Shows the pattern-failed or the no-match message and adds nothing when the
// pattern cannot run over the page or finds no link. Gives the number of
// rows added: every match, unless the fill stopped early because the listing
// was replaced or the window closed while events ran (then the rows added
// up to that point).
int FillTrackList(CatalogueWindow& window, Text page_text, const Text& catalogue_base_url);

// 组合框1's handler: with a category chosen, empties the track list, fetches
// that category's listing page (GET, nothing else) and fills the list from
// it. With none chosen it does nothing at all. A fill that is running when
// another category is chosen gives way to the new one.
void LoadCategoryListing(CatalogueWindow& window, const SiteAddresses& sites);

}  // namespace wuqu::catalogue
