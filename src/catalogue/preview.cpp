#include "catalogue/preview.h"

#include <optional>
#include <string>

#include "catalogue/download.h"
#include "catalogue/media_url.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

constexpr int kPlayPageColumn = 1;

bool StaysAsItIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

void Preview(CatalogueWindow& window, const Text& play_page_url, const SiteAddresses& sites,
             DownloadLog* log) {
  if (log != nullptr) {
    if (const std::optional<CompletedFile> file = FileAlreadyThere(*log, play_page_url)) {
      window.player.SetUrl(FileUrl(file->target_path));
      window.address_box.SetText(file->media_url);
      return;
    }
  }
  const Text media_url = ResolveMediaUrl(play_page_url, sites);
  // The player first, then the box.
  window.player.SetUrl(media_url);
  window.address_box.SetText(media_url);
}

}  // namespace

Text FileUrl(const Text& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = LocalTextToUtf8(path);
  Text url = "file://";
  url.reserve(url.size() + utf8.size() * 3);
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if (StaysAsItIs(c)) {
      url.push_back(ch);
    } else {
      url.push_back('%');
      url.push_back(kHex[c >> 4]);
      url.push_back(kHex[c & 0xF]);
    }
  }
  return url;
}

void PreviewSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites, DownloadLog* log) {
  const int row = window.track_list.SelectedRow();
  Preview(window, window.track_list.GetCellText(row, kPlayPageColumn), sites, log);
}

void PreviewTrackById(CatalogueWindow& window, const SiteAddresses& sites, DownloadLog* log) {
  Preview(window, PlayPageUrl(sites.catalogue_base_url, window.track_id_box.GetText()), sites,
          log);
}

}  // namespace wuqu::catalogue
