#pragma once

#include <cstdint>

#include "catalogue/catalogue_window.h"
#include "catalogue/download_log.h"
#include "catalogue/site_addresses.h"

// New tracks: what a category lists that it did not list before, remembered
// per category with the time each track was first listed.
namespace wuqu::catalogue {

// How long a track stays new after it was first listed.
inline constexpr std::int64_t kNewTrackPeriodMs = 7LL * 24 * 60 * 60 * 1000;

// The rule, in this one place: a track is new at `now_ms` when it was first
// listed after its category's first visit (the tracks of the first listing
// never are) and no longer than kNewTrackPeriodMs ago. Times in
// milliseconds since the epoch.
bool IsNewTrack(std::int64_t first_listed_ms, std::int64_t first_visit_ms, std::int64_t now_ms);

// The clock the program reads the rule with: milliseconds since the epoch.
std::int64_t WallClockMs();

// After a fill of category `index` (its position in 组合框1) that ran to
// its end: the listing's tracks remembered in `log` at `now_ms`, in one
// write, and each row marked new or not. A track is named by its play page
// less `catalogue_base_url`, so the memory does not depend on the site's
// address. No rows: nothing remembered (a failed fetch is no visit).
void MarkNewTracks(CatalogueWindow& window, DownloadLog& log, int index,
                   const Text& catalogue_base_url, std::int64_t now_ms);

// 组合框1's handler with the memory of listings: LoadCategoryListing, then
// MarkNewTracks at `now_ms` when the list still shows that listing (the fill
// was not given up for another choice or a closed window).
void LoadCategoryListing(CatalogueWindow& window, const SiteAddresses& sites, DownloadLog& log,
                         std::int64_t now_ms);

}  // namespace wuqu::catalogue
