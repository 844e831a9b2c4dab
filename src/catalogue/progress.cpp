#include "catalogue/progress.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "platform/files.h"
#include "text/codepage.h"

namespace wuqu::catalogue {
namespace {

// The whole part of `received` * 100 / `size`, rounded toward zero and held
// within the range of int: a figure far beyond the size (or a size below 0)
// must not overflow on its way to the bar, which holds it within 0 to 100.
int Percentage(std::int64_t received, std::int64_t size) {
  const double percent =
      std::trunc(static_cast<double>(received) * 100.0 / static_cast<double>(size));
  return static_cast<int>(std::clamp(percent, static_cast<double>(std::numeric_limits<int>::min()),
                                     static_cast<double>(std::numeric_limits<int>::max())));
}

}  // namespace

ProgressTexts UpdateDownloadProgress(const Text& download_folder, const Text& file_name,
                                     ProgressBarControl& progress_bar, TimerControl& timer,
                                     const DownloaderPort& downloader) {
  ProgressTexts texts;
  const Text target_path = download_folder + kPathSeparator + file_name;
  const std::int64_t size = FileSize(LocalTextToUtf8(target_path));
  bool complete = false;
  if (size != 0) {
    texts.amount = std::to_string(downloader.GetAmountFigure());
    // Read once: the downloader's threads move it on meanwhile.
    const std::int64_t received = downloader.GetTransferredBytes();
    progress_bar.SetPosition(Percentage(received, size));
    texts.status =
        Text(kRunningLinePrefix) + std::to_string(progress_bar.Position()) + Text(kPercentSign);
    // Finished only with every byte of the file in place; 99 % is not done.
    complete = size > 0 && received == size;
  }
  if (complete) {
    texts.amount = std::to_string(downloader.GetAmountFigure());
    progress_bar.SetPosition(100);
    texts.status =
        Text(kFinishedLinePrefix) + std::to_string(progress_bar.Position()) + Text(kPercentSign);
    timer.SetInterval(0);
    progress_bar.SetPosition(0);
  }
  return texts;
}

Text ProgressCaption(const ProgressTexts& texts) {
  const double kilobytes = static_cast<double>(LeadingNumber(texts.amount)) / kAmountDivisor;
  return texts.status + Text(kAmountSeparator) + std::to_string(std::llround(kilobytes)) +
         Text(kAmountUnit);
}

void OnProgressTick(CatalogueWindow& window, const Text& program_folder, DownloadSession& session) {
  const ProgressTexts texts =
      UpdateDownloadProgress(DownloadFolder(program_folder), session.file_name, window.progress_bar,
                             window.timer, session.downloader);
  window.status_label.SetText(ProgressCaption(texts));
}

}  // namespace wuqu::catalogue
