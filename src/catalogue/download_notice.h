#pragma once

#include "text/text.h"

// One notice when downloads the user asked for have ended: a batch, or a
// download asked for alone. The window decides whether to pass it on (only
// while it is not the active window).
namespace wuqu::catalogue {

struct DownloadTally {
  int complete = 0;
  int failed = 0;
  int already_there = 0;  // not fetched: their files were there
  bool operator==(const DownloadTally&) const = default;
};

class DownloadNotices {
 public:
  virtual ~DownloadNotices() = default;
  // `name` names the download of a tally of one, "" for a batch's: its
  // title cell as the page gave it (markup and all), or its file name when
  // it was not listed.
  virtual void DownloadsEnded(const DownloadTally& tally, const Text& name) = 0;
};

}  // namespace wuqu::catalogue
