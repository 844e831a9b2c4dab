#include "app/window_events.h"

#include "app/catalogue_events.h"
#include "app/download_home.h"
#include "app/program_addresses.h"
#include "text/codepage.h"

namespace wuqu {

catalogue::SiteAddresses ProgramSiteAddresses() {
  return {Utf8ToLocalText(std::string_view(program_addresses::kCatalogueBaseUrl)),
          Utf8ToLocalText(std::string_view(program_addresses::kMediaBaseUrl))};
}

std::unique_ptr<WindowEvents> MakeWindowEvents(MainWindow& window,
                                               catalogue::DownloadState& state) {
  return std::make_unique<CatalogueEvents>(window, state, ProgramSiteAddresses(),
                                           ProgramDownloadHome());
}

}  // namespace wuqu
