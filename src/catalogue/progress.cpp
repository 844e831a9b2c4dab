#include "catalogue/progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "catalogue/file_tags.h"
#include "catalogue/user_downloads.h"
#include "catalogue/status_line.h"
#include "platform/files.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

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
    texts.status = ui_texts::kRunningLinePrefix.Gbk() + std::to_string(progress_bar.Position()) +
                   Text(kPercentSign);
    // Finished only with every byte of the file in place; 99 % is not done.
    complete = size > 0 && received == size;
  }
  if (complete) {
    texts.amount = std::to_string(downloader.GetAmountFigure());
    progress_bar.SetPosition(100);
    texts.status = ui_texts::kFinishedLinePrefix.Gbk() + std::to_string(progress_bar.Position()) +
                   Text(kPercentSign);
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

namespace {

using download::TaskPhase;
using Followed = UserDownloads::Followed;
using EndLine = UserDownloads::EndLine;

// One look at a followed download: its state, and its two figures. The
// newest download's figures are the downloader's own two; an earlier one's
// come from its state.
struct Look {
  download::TaskState state;
  std::int64_t size = 0;  // of its file on disk
  std::int64_t received = 0;
  std::int64_t amount = 0;
};

Look LookAt(const Followed& f, const Text& folder, const DownloadSession& session) {
  Look look;
  look.state = session.downloader.State(f.task);
  look.size = FileSize(LocalTextToUtf8(folder + kPathSeparator + f.file_name));
  if (f.task == session.downloads.Newest()) {
    // Asked only of a file that is not empty, as the display always has.
    if (look.size != 0 || look.state.phase == TaskPhase::kComplete ||
        look.state.phase == TaskPhase::kFailed) {
      look.amount = session.downloader.GetAmountFigure();
      look.received = session.downloader.GetTransferredBytes();
    }
  } else {
    look.received = look.state.file_bytes;
    look.amount = look.state.written / 4;
  }
  return look;
}

// The downloader's word on the end where it has one; without it (a task it
// does not know), every byte of the file in place.
bool Completed(const Look& look) {
  if (look.state.phase != TaskPhase::kNone) return look.state.phase == TaskPhase::kComplete;
  return look.size > 0 && look.received == look.size;
}

// `line` and the first of `endings` that fits the label with it; the last one
// when none does.
Text WithEnding(const Text& line, const std::vector<Text>& endings, const LabelControl& label) {
  for (const Text& ending : endings) {
    if (label.Fits(line + ending)) return line + ending;
  }
  return line + endings.back();
}

void PushFailure(UserDownloads& downloads, const Look& look, int batch_position) {
  EndLine line;
  line.status = FailedStatus(look.state);
  line.amount = look.amount;
  line.batch_position = batch_position;
  line.batch_size = downloads.BatchTotal();
  downloads.PushEndLine(line);
}

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The figures of a download still running, for its row.
void NoteRunningFigures(UserDownloads& downloads, const Followed& f, const Look& look,
                        std::int64_t now_ms) {
  if (f.row == kNoRow) return;
  const bool known = look.state.phase != TaskPhase::kNone;
  const std::int64_t bytes = known ? look.state.file_bytes : look.received;
  const std::int64_t size = known ? look.state.size : look.size;
  downloads.NoteProgress(f.row, bytes, size, now_ms);
}

// Moves every download that has ended out of the list and into the lines
// still to show, and moves the batch on to its next track. Each end is
// written to the download log first. One the user paused or cancelled leaves
// without a line (the verb wrote its word), unless it completed first.
void NoteEndings(CatalogueWindow& window, const Text& program_folder, const Text& folder,
                 DownloadSession& session) {
  UserDownloads& downloads = session.downloads;
  DownloadLog& log = LogOf(session);
  bool next_batch_track = false;
  const std::int64_t now_ms = SteadyMs();
  // A copy: ending ones leave the model's list as they are seen.
  const std::vector<Followed> followed_now = downloads.Downloads();
  // The one the line follows; the finished line of any other names its file.
  const download::TaskId followed =
      followed_now.empty() ? download::kNoTask : followed_now.back().task;
  for (const Followed& f : followed_now) {
    const Look look = LookAt(f, folder, session);
    const bool failed = look.state.phase == TaskPhase::kFailed;
    const bool stopped = look.state.phase == TaskPhase::kStopped ||
                         look.state.phase == TaskPhase::kPaused ||
                         look.state.phase == TaskPhase::kCancelled;
    // Once written complete, it stays so while its tags are written.
    const bool complete = f.end_written || Completed(look);
    // The version it holds, written before its end: a download may name it
    // and end within one tick.
    if (look.state.validators && look.state.validators != f.validators_noted) {
      log.ValidatorsKnown(f.record, *look.state.validators);
      downloads.NoteValidatorsWritten(f.task, look.state.validators);
    }
    if (f.taken_back && !complete) {
      downloads.Unfollow(f.task);
      if (f.batch_position == 0) {
        // Alone, its line says what became of it (in a batch the next
        // track's line, or the batch's last, does).
        EndLine line;
        line.caption = FitName(f.cancelled ? ui_texts::kCancelledLinePrefix
                                           : ui_texts::kPausedLinePrefix,
                               f.file_name, Text(), window.status_label);
        downloads.PushEndLine(line);
      } else {
        const bool last = downloads.BatchTrackEnded(
            f.cancelled ? UserDownloads::Outcome::kCancelled : UserDownloads::Outcome::kPaused,
            look.amount);
        if (last) {
          EndBatch(session);
        } else {
          next_batch_track = true;
        }
      }
      continue;
    }
    if (!failed && !stopped && !complete) {
      // Lets the next run tell a file completed just before a kill.
      if (!f.size_noted && look.state.size >= 0) {
        log.SizeKnown(f.record, look.state.size);
        downloads.NoteSizeWritten(f.task);
      }
      NoteRunningFigures(downloads, f, look, now_ms);
      continue;
    }
    // A stopped download stays unfinished in the log: it is taken up again.
    download::TaskState ended = look.state;
    if (complete) {
      ended.phase = TaskPhase::kComplete;
      if (ended.size < 0) ended.size = look.size;
    }
    if ((!stopped || complete) && !f.end_written) {
      log.Ended(f.record, ended);
      downloads.NoteEndWritten(f.task);
    }
    // Complete to the user only once its file is final (catalogue/file_tags.h).
    if (complete && !FileFinal(f, folder, session)) continue;
    if (!stopped || complete) downloads.NoteEnded(f.row, ended);
    downloads.Unfollow(f.task);
    if (f.batch_position > 0) {
      if (failed) {
        PushFailure(downloads, look, f.batch_position);
        downloads.NoteBatchFailure(f.play_page, f.row);
      }
      const bool last = downloads.BatchTrackEnded(
          failed ? UserDownloads::Outcome::kFailed : UserDownloads::Outcome::kComplete,
          look.amount);
      if (last) {
        EndBatch(session);
      } else {
        next_batch_track = true;
      }
    } else if (failed) {
      PushFailure(downloads, look, 0);
      if (session.notices != nullptr) {
        session.notices->DownloadsEnded({0, 1, 0}, NoticeName(f, downloads));
      }
    } else if (complete) {
      EndLine end;
      end.finished = true;
      end.amount = look.amount;
      if (f.task != followed) end.named_file = f.file_name;
      downloads.PushEndLine(end);
      if (session.notices != nullptr) {
        session.notices->DownloadsEnded({1, 0, 0}, NoticeName(f, downloads));
      }
    }
  }
  // A batch a verb ended before its last tracks started: its notice.
  if (downloads.TakeBatchOver()) NoticeBatchEnd(session);
  if (next_batch_track) StartNextBatchTrack(window, program_folder, session);
  StartRowsAskedAgain(window, program_folder, session);
}

// Shows the oldest line still to show; it stays while others wait.
void ShowEndLine(CatalogueWindow& window, UserDownloads& downloads) {
  const EndLine line = downloads.TakeEndLine();
  ProgressTexts texts;
  Text caption;
  texts.amount = std::to_string(line.amount);
  if (line.finished) {
    window.progress_bar.SetPosition(100);
    texts.status = ui_texts::kFinishedLinePrefix.Gbk() +
                   std::to_string(window.progress_bar.Position()) + Text(kPercentSign);
  } else {
    texts.status = line.status;
  }
  if (!line.caption.empty()) {
    caption = line.caption;
  } else if (!line.named_file.empty()) {
    caption = FitName(ui_texts::kFinishedLinePrefix, line.named_file,
                      ProgressCaption({Text(), texts.amount}), window.status_label);
  } else {
    caption = ProgressCaption(texts);
  }
  if (line.batch_end) {
    caption = WithEnding(caption,
                         BatchEndForms(line.batch_size, line.batch_failures, line.batch_already,
                                       line.batch_cancelled),
                         window.status_label);
  } else if (line.batch_position > 0) {
    caption = WithEnding(caption, BatchPositionForms(line.batch_position, line.batch_size),
                         window.status_label);
  }
  window.status_label.SetText(caption);
  if (downloads.Downloads().empty() && !downloads.HasEndLine()) {
    window.timer.SetInterval(0);
  } else {
    downloads.HoldLine();
  }
  window.progress_bar.SetPosition(0);
}

// The running line of the newest download still running.
void ShowRunning(CatalogueWindow& window, const Text& folder, DownloadSession& session) {
  const Followed& f = session.downloads.Downloads().back();
  const Look look = LookAt(f, folder, session);
  ProgressTexts texts;
  if (look.size != 0) {
    texts.amount = std::to_string(look.amount);
    // Its tags being written: every byte is in, whatever the file's size now.
    window.progress_bar.SetPosition(f.end_written ? 100 : Percentage(look.received, look.size));
    texts.status = ui_texts::kRunningLinePrefix.Gbk() +
                   std::to_string(window.progress_bar.Position()) + Text(kPercentSign);
  }
  Text caption = ProgressCaption(texts);
  if (f.batch_position > 0) {
    caption = WithEnding(caption,
                         BatchPositionForms(f.batch_position, session.downloads.BatchTotal()),
                         window.status_label);
  }
  window.status_label.SetText(caption);
}

// Whether the line has anything of the user's downloads to show or do.
bool Busy(const UserDownloads& downloads) {
  return !downloads.Downloads().empty() || downloads.HasEndLine() || downloads.HasRowsToStart();
}

}  // namespace

void OnProgressTick(CatalogueWindow& window, const Text& program_folder, DownloadSession& session) {
  UserDownloads& downloads = session.downloads;
  const Text folder = DownloadFolder(program_folder);
  if (!Busy(downloads)) {
    // Nothing started through StartDownload: the file of DownloadFileName.
    const ProgressTexts texts = UpdateDownloadProgress(
        folder, session.file_name, window.progress_bar, window.timer, session.downloader);
    window.status_label.SetText(ProgressCaption(texts));
    return;
  }
  // The next batch track's play page is fetched inside a tick, and the
  // window's events (this timer's among them) run while it waits.
  if (!downloads.EnterTick()) return;
  struct Done {
    UserDownloads& downloads;
    ~Done() { downloads.LeaveTick(); }
  } done{downloads};

  NoteEndings(window, program_folder, folder, session);
  if (downloads.WaitHold()) return;
  if (downloads.HasEndLine()) {
    ShowEndLine(window, downloads);
  } else if (!downloads.Downloads().empty()) {
    ShowRunning(window, folder, session);
  } else {
    window.timer.SetInterval(0);
  }
}

}  // namespace wuqu::catalogue
