#pragma once

#include "text/text.h"

namespace wuqu::catalogue {

// The two addresses the catalogue works against, in program text. The
// program's start-up fills them from its build-time constants; tests hand in
// their own server's.
struct SiteAddresses {
  // CatalogueBaseUrl: "http://" + the catalogue site's host + "/". Listing
  // URLs, track links and play pages all start with it.
  Text catalogue_base_url;
  // MediaBaseUrl: "http://" + the media host + "/mp4/djmusic/".
  Text media_base_url;
};

}  // namespace wuqu::catalogue
