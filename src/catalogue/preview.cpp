#include "catalogue/preview.h"

#include "catalogue/media_url.h"

namespace wuqu::catalogue {
namespace {

constexpr int kPlayPageColumn = 1;

void Preview(CatalogueWindow& window, const Text& play_page_url, const SiteAddresses& sites) {
  const Text media_url = ResolveMediaUrl(play_page_url, sites);
  // The player first, then the box.
  window.player.SetUrl(media_url);
  window.address_box.SetText(media_url);
}

}  // namespace

void PreviewSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites) {
  const int row = window.track_list.SelectedRow();
  Preview(window, window.track_list.GetCellText(row, kPlayPageColumn), sites);
}

void PreviewTrackById(CatalogueWindow& window, const SiteAddresses& sites) {
  Preview(window, PlayPageUrl(sites.catalogue_base_url, window.track_id_box.GetText()), sites);
}

}  // namespace wuqu::catalogue
