#include "catalogue/downloader.h"

namespace wuqu::catalogue {

// No transfer engine yet: a start is accepted and nothing is fetched.
int Downloader::StartTask(const DownloadTask&) {
  return 0;
}

std::int32_t Downloader::GetTransferredBytes() const {
  return 0;
}

std::int32_t Downloader::GetAmountFigure() const {
  return 0;
}

std::unique_ptr<Downloader> CreateDownloader() {
  return std::make_unique<Downloader>();
}

void ReleaseDownloader(std::unique_ptr<Downloader>& downloader) {
  downloader.reset();
}

}  // namespace wuqu::catalogue
