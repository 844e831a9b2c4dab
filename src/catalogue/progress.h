#pragma once

#include <cstdint>
#include <string_view>

#include "catalogue/catalogue_window.h"
#include "catalogue/download.h"
#include "text/text.h"

// The download progress display: while a download runs, every tick of 时钟1
// compares the bytes received with the target file's size on disk, moves
// 进度条1 and writes the status line into 标签EX3.
namespace wuqu::catalogue {

inline constexpr std::string_view kPercentSign = "%";
inline constexpr std::string_view kAmountSeparator = "   ";  // three blanks
inline constexpr std::string_view kAmountUnit = "KB";
// The amount figure divided by this reads as kilobytes.
inline constexpr double kAmountDivisor = 250;

// What one tick gives back: the status text and the decimal text of the
// downloader's amount figure, both empty when the target file is empty.
struct ProgressTexts {
  Text status;
  Text amount;
};

// One look at the download of `file_name` into `download_folder`. When the
// target file is not empty (a missing one counts as not empty, with a size
// below 0), the bar is set to the whole percentage of the bytes received
// (held within 0 to 100 by the bar) and the status is the running line with
// the bar's position. When the bytes received equal the file's size, the
// download is finished: the status is the finished line with 100, the timer
// stops and the bar goes back to 0. Short of every byte, however close, the
// download goes on running.
ProgressTexts UpdateDownloadProgress(const Text& download_folder, const Text& file_name,
                                     ProgressBarControl& progress_bar, TimerControl& timer,
                                     const DownloaderPort& downloader);

// The caption of 标签EX3 for one tick: status + three blanks + the amount
// figure divided by 250 and rounded to the nearest whole number (halves away
// from zero) + "KB"; an empty amount counts as 0.
Text ProgressCaption(const ProgressTexts& texts);

// 时钟1's handler: one look at the downloads started through StartDownload
// (see UserDownloads for which one the line follows), its caption into
// 标签EX3. A download that ends shows the finished line or, when it failed,
// the failure line (kFailedLinePrefix, the cause, the amount); after the last
// end the timer stops and the bar is empty. A batch's running line ends with
// the track's position, its last line with the count and the failures; the
// next batch track starts here, when the one before has ended. With nothing
// started that way, the download of DownloadFileName in the download folder
// beside `program_folder`.
void OnProgressTick(CatalogueWindow& window, const Text& program_folder, DownloadSession& session);

}  // namespace wuqu::catalogue
