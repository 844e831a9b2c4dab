#include "catalogue/media_url.h"

#include "net/header_cookie.h"
#include "net/http_request.h"
#include "text/codepage.h"

namespace wuqu::catalogue {

Text PlayPageUrl(const Text& catalogue_base_url, const Text& id) {
  return catalogue_base_url + "m/" + id + "/";
}

Text ResolveMediaUrl(const Text& play_page_url, const SiteAddresses& sites) {
  const Text page = Utf8ToLocalText(HttpRequest(play_page_url));
  const Text file_value = TextBetween(page, kFileValueStart, kFileValueEnd, 0, false);
  return sites.media_base_url + file_value + ".mp4";
}

}  // namespace wuqu::catalogue
