#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "catalogue/catalogue_window.h"
#include "catalogue/download_log.h"
#include "catalogue/download_notice.h"
#include "catalogue/download_task.h"
#include "catalogue/site_addresses.h"
#include "catalogue/user_downloads.h"
#include "download/task_state.h"
#include "text/text.h"

// Track download: the media address of a track goes into 编辑框EX3 and from
// there to the downloader, which saves the file into the download folder
// beside the program while the timer follows it (catalogue/progress.h).
namespace wuqu::download {
class Downloader;
}  // namespace wuqu::download

namespace wuqu::catalogue {

// Milliseconds between two progress ticks while a download runs.
inline constexpr int kProgressTickPeriod = 100;

// Field 1 of the task record from the first start on.
inline constexpr std::int32_t kTaskOption1AtStart = 4096;

// Stands for each character of a file name that must not reach the disk as
// it is: a backslash or a control character.
inline constexpr char kFileNameReplacement = '_';

// The downloader as the handlers and the progress tick reach it. In the
// program the one Downloader stands behind it (ProgramDownloader); tests put
// figures of their own behind it.
class DownloaderPort {
 public:
  virtual ~DownloaderPort() = default;
  // Hands over a task; returns at once, the transfer runs in the background.
  // The result names the download for State.
  virtual download::TaskId StartTask(const DownloadTask& task) = 0;
  // Bytes of the newest download's target file received so far.
  virtual std::int64_t GetTransferredBytes() const = 0;
  // A whole number the status line shows divided by 250, as "KB".
  virtual std::int64_t GetAmountFigure() const = 0;
  // Where the download named `task` stands; phase kNone for an unknown id.
  virtual download::TaskState State(download::TaskId task) const = 0;
};

// The program's downloader behind the port. `downloader` is the download
// state's own pointer: once the state has released it, a start does nothing
// and both figures read 0. A start hands the downloader the record's source
// address in its wire form, the target path in UTF-8 and the thread count;
// the source address as program text names the download in its resume record.
class ProgramDownloader final : public DownloaderPort, public UserDownloads::Downloader {
 public:
  explicit ProgramDownloader(const std::unique_ptr<download::Downloader>& downloader)
      : downloader_(downloader) {}
  download::TaskId StartTask(const DownloadTask& task) override;
  std::int64_t GetTransferredBytes() const override;
  std::int64_t GetAmountFigure() const override;
  download::TaskState State(download::TaskId task) const override;
  void Pause(download::TaskId task) override;
  void Cancel(download::TaskId task) override;

 private:
  const std::unique_ptr<download::Downloader>& downloader_;
};

// The program-wide download state as the handlers and the tick use it.
struct DownloadSession {
  Text& file_name;  // DownloadFileName: the file of the newest download
  DownloadTask& task;
  DownloaderPort& downloader;
  // Every download the user asked for: what the status line follows, the
  // batch, the rows.
  UserDownloads& downloads;
  // Where each change of a download's state is written before the window
  // shows it; none: nothing is remembered.
  DownloadLog* log = nullptr;
  // Told when a batch, or a download asked for alone, has ended; none: nobody.
  DownloadNotices* notices = nullptr;
};

// The session's log, or one that remembers nothing.
DownloadLog& LogOf(DownloadSession& session);

// The batch's last track has ended: its end line queued, the notice given.
void EndBatch(DownloadSession& session);
// The notice of the batch's end alone (its line queued already).
void NoticeBatchEnd(DownloadSession& session);

// The file the track of `play_page` left, when its last download completed
// and the file is still as that download left it: its recorded size, and no
// resume record beside it (nothing has started to replace it).
std::optional<CompletedFile> FileAlreadyThere(DownloadLog& log, const Text& play_page);

// DownloadFolder: the folder that holds the program file (program text, no
// trailing separator) + "/" + 下载. Nothing creates or tests it here.
Text DownloadFolder(const Text& program_folder);

// DownloadFileName of a download address: its last "/"-separated piece, made
// safe to stand directly inside the download folder. A backslash or a
// control character becomes kFileNameReplacement (a character of two bytes
// whose second byte happens to be a backslash is a Chinese character and
// stays), and a piece that would name the folder itself or its parent ("",
// "." or "..") has each of its characters replaced, at least one.
Text DownloadFileName(const Text& download_address);

// The address the downloader fetches: every "https://" (letter case
// significant) read as "http://".
Text SourceAddress(const Text& download_address);

// The whole number at the start of `text`, as C's atoi reads it: blanks and
// other white space first are skipped, then one optional sign, then decimal
// digits up to the first other character; 0 when there is no digit. Held
// within the 64-bit range.
std::int64_t LeadingNumber(std::string_view text);

// The thread count typed into 编辑框EX2: its leading number, held within the
// 32-bit range. No number gives 0, passed on as it is.
std::int32_t ThreadCount(const Text& box_text);

// Starts a download of `address` into `folder`: the file name from the
// address, `progress_bar` back to 0, `timer` set to `tick_period`, the task
// record refilled (field 1, source address, target path `folder` + "/" +
// file name, thread count) and handed to the downloader. Also while another
// download runs: the ticks follow the new one from now on, and come back to
// the earlier one if it still runs when this one ends. Gives the
// downloader's name for the download.
download::TaskId StartDownload(const Text& address, ProgressBarControl& progress_bar,
                               TimerControl& timer, int tick_period, std::int32_t thread_count,
                               const Text& folder, DownloadSession& session);

// 超级列表框1's right-click handler: downloads the selected row's track (its
// play page is the row's column 1). With no row selected the play page is
// the empty address, which resolves to MediaBaseUrl + ".mp4", and that is
// downloaded. The media address is written into 编辑框EX3 and read back from
// there. With several rows selected, their tracks make a batch, downloaded
// one after another in list order. While a batch runs, the selected rows
// join its end instead. A track whose file is there already
// (FileAlreadyThere) is not fetched: alone, its line says so; in a batch it
// counts as done.
void DownloadSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites,
                           const Text& program_folder, DownloadSession& session);

// Starts the batch's next track as a right click would start it (address
// box, thread count of 编辑框EX2 as it reads now), when one is waiting.
// Tracks whose files are there already are counted as done and passed over;
// when that leaves none, the batch ends here.
void StartNextBatchTrack(CatalogueWindow& window, const Text& program_folder,
                         DownloadSession& session);

// Lists every download the log remembers on the user's list (paused ones
// stay paused, cancelled ones stay cancelled), then takes up, as one batch,
// the downloads of earlier runs that had not ended (queued or running), in
// the order they were asked for: each resumes from its resume record. One
// whose file was complete before that run ended, though its end was never
// written, is written complete and not fetched. No batch when there are none.
void ResumeUnfinishedDownloads(CatalogueWindow& window, const SiteAddresses& sites,
                               const Text& program_folder, DownloadSession& session);

// Asks again, as a new batch, for exactly the tracks that failed in the
// batch that ended last. False, and nothing done, while a batch runs or
// when the last one had no failures (or they were retried already).
bool RetryBatchFailures(CatalogueWindow& window, const Text& program_folder,
                        DownloadSession& session);

// Starts, each as a download of its own, the rows the user resumed or
// retried since the last call.
void StartRowsAskedAgain(CatalogueWindow& window, const Text& program_folder,
                         DownloadSession& session);

// Marks each row of the track list with what its track's last download came
// to, as the download log knows it.
void MarkTrackRows(CatalogueWindow& window, DownloadLog& log);

// 按钮EX2's handler: downloads the track whose id stands in 编辑框EX1, unless
// its file is there already, as a right click would.
void DownloadTrackById(CatalogueWindow& window, const SiteAddresses& sites,
                       const Text& program_folder, DownloadSession& session);

}  // namespace wuqu::catalogue
