#pragma once

#include <cstdint>
#include <memory>

#include "catalogue/download_task.h"

namespace wuqu::catalogue {

// The multi-connection file downloader. One object serves every download of a
// run. All operations are called on the GUI thread and return at once; the
// transfer itself runs on the downloader's own threads, which never call back.
class Downloader {
 public:
  Downloader() = default;
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;
  ~Downloader() = default;

  // Takes from `task` whatever it needs during the call (the caller refills
  // the record for the next start and releases its texts at shutdown) and
  // returns at once. The result means nothing to the program.
  int StartTask(const DownloadTask& task);

  // Bytes of the current target file received so far.
  std::int32_t GetTransferredBytes() const;

  // A whole number the progress line shows (divided by 250, as "KB").
  std::int32_t GetAmountFigure() const;
};

// Creates an empty downloader.
std::unique_ptr<Downloader> CreateDownloader();

// Releases the downloader; `downloader` is empty afterwards. Safe on an empty one.
void ReleaseDownloader(std::unique_ptr<Downloader>& downloader);

}  // namespace wuqu::catalogue
