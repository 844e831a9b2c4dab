#include "catalogue/listing.h"

#include <utility>

#include "net/http_request.h"
#include "text/codepage.h"
#include "text/regex_wrapper.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

constexpr int kTitleGroup = 3;
constexpr int kHrefGroup = 1;

}  // namespace

Text ListingUrl(const Text& catalogue_base_url, int index) {
  if (index < 0 || index >= static_cast<int>(kCategoryListingPaths.size())) return {};
  return catalogue_base_url + Text(kCategoryListingPaths[static_cast<std::size_t>(index)]);
}

int FillTrackList(CatalogueWindow& window, Text page_text, const Text& catalogue_base_url) {
  // The listing this fill belongs to. Events run between rows; if one of
  // them replaces the listing (another category chosen, even the same one) or
  // closes the window, the rows that follow belong to nobody.
  const std::uint64_t listing = window.listing_serial;
  RegexWrapper regex;
  if (!regex.Compile(TrackListPattern, std::move(page_text), /*case_sensitive=*/false,
                     /*multi_line=*/false, /*global=*/true, /*quote_placeholders=*/true)) {
    window.error_box.ShowError(ui_texts::kPatternFailedMessage.Gbk());
    return 0;
  }
  const int count = regex.MatchCount();
  if (count == 0) {
    window.error_box.ShowError(ui_texts::kNoMatchMessage.Gbk());
    return 0;
  }
  int added = 0;
  for (int i = 1; i <= count && window.listing_serial == listing; ++i) {
    // The index is used only before events run again.
    const int row = window.track_list.AppendRow();
    window.track_list.SetCellText(row, 0, regex.SubMatchText(i, kTitleGroup));
    window.track_list.SetCellText(row, 1, catalogue_base_url + regex.SubMatchText(i, kHrefGroup));
    ++added;
    window.pump.ProcessPendingEvents();
  }
  return added;
}

void LoadCategoryListing(CatalogueWindow& window, const SiteAddresses& sites) {
  const int index = window.category_box.SelectedIndex();
  if (index < 0 || index >= static_cast<int>(kCategoryListingPaths.size())) return;
  const Text url = ListingUrl(sites.catalogue_base_url, index);
  ++window.listing_serial;
  window.track_list.DeleteAllRows();
  Text page = Utf8ToLocalText(HttpRequest(url));
  FillTrackList(window, std::move(page), sites.catalogue_base_url);
}

}  // namespace wuqu::catalogue
