#include "catalogue/new_tracks.h"

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

#include "catalogue/listing.h"

namespace wuqu::catalogue {
namespace {

constexpr int kPlayPageColumn = 1;

}  // namespace

bool IsNewTrack(std::int64_t first_listed_ms, std::int64_t first_visit_ms, std::int64_t now_ms) {
  return first_listed_ms > first_visit_ms && now_ms - first_listed_ms <= kNewTrackPeriodMs;
}

std::int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void MarkNewTracks(CatalogueWindow& window, DownloadLog& log, int index,
                   const Text& catalogue_base_url, std::int64_t now_ms) {
  if (index < 0 || index >= static_cast<int>(kCategoryListingPaths.size())) return;
  TrackListControl& list = window.track_list;
  const int rows = list.RowCount();
  if (rows <= 0) return;
  std::vector<Text> tracks;
  tracks.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    Text page = list.GetCellText(row, kPlayPageColumn);
    if (std::string_view(page).substr(0, catalogue_base_url.size()) == catalogue_base_url) {
      page.erase(0, catalogue_base_url.size());
    }
    tracks.push_back(std::move(page));
  }
  const Text category(kCategoryListingPaths[static_cast<std::size_t>(index)]);
  const std::optional<ListingTimes> times = log.Listed(category, tracks, now_ms);
  for (int row = 0; row < rows; ++row) {
    const auto i = static_cast<std::size_t>(row);
    list.SetRowNew(row, times && i < times->first_listed_ms.size() &&
                            IsNewTrack(times->first_listed_ms[i], times->first_visit_ms, now_ms));
  }
}

void LoadCategoryListing(CatalogueWindow& window, const SiteAddresses& sites, DownloadLog& log,
                         std::int64_t now_ms) {
  const int index = window.category_box.SelectedIndex();
  const std::uint64_t before = window.listing_serial;
  LoadCategoryListing(window, sites);
  // Moved on once by this listing, and only by it.
  if (window.listing_serial != before + 1) return;
  MarkNewTracks(window, log, index, sites.catalogue_base_url, now_ms);
}

}  // namespace wuqu::catalogue
