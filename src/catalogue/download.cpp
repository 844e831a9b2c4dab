#include "catalogue/download.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "catalogue/file_tags.h"
#include "catalogue/media_url.h"
#include "catalogue/status_line.h"
#include "download/downloader.h"
#include "download/resume_record.h"
#include "net/wire_url.h"
#include "platform/files.h"
#include "tags/file_tagger.h"
#include "tags/tag_file.h"
#include "text/codepage.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

constexpr int kTitleColumn = 0;
constexpr int kPlayPageColumn = 1;

// A code page 936 character of two bytes: a lead byte and a trail byte,
// which may lie in the ASCII range (a backslash among them).
bool IsGbkLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
bool IsGbkTrail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

bool IsUnsafeInFileName(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '\\';
}

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

download::TaskId StartFollowed(const Text& address, ProgressBarControl& progress_bar,
                               TimerControl& timer, int tick_period, std::int32_t thread_count,
                               const Text& folder, DownloadSession& session, int batch_position,
                               RecordId record = kNotRemembered, const Text& play_page = {},
                               DownloadRowId row = kNoRow) {
  // The name comes from the address before "https://" is replaced; the last
  // piece holds no "/", so the replacement could not change it anyway.
  session.file_name = DownloadFileName(address);
  progress_bar.SetPosition(0);
  // The first tick runs only after this handler has returned, so the task is
  // always handed over before the display looks at it.
  timer.SetInterval(tick_period);
  DownloadTask& task = session.task;
  task.option_1 = kTaskOption1AtStart;
  task.source_address = SourceAddress(address);
  task.thread_count = thread_count;
  task.target_path = folder + kPathSeparator + session.file_name;
  // Written before the transfer starts: a run killed from here on takes the
  // download up again at its next start.
  LogOf(session).Started(record, address, task.target_path);
  const download::TaskId id = session.downloader.StartTask(task);
  UserDownloads::Followed followed;
  followed.task = id;
  followed.file_name = session.file_name;
  followed.batch_position = batch_position;
  followed.record = record;
  followed.play_page = play_page;
  followed.row = row;
  session.downloads.Started(std::move(followed));
  // The row names the file by its whole path.
  if (row != kNoRow) session.downloads.NoteRunning(row, task.target_path);
  return id;
}

void Download(CatalogueWindow& window, const Text& play_page_url, const SiteAddresses& sites,
              const Text& program_folder, DownloadSession& session, int batch_position = 0,
              RecordId record = kNotRemembered, DownloadRowId row = kNoRow) {
  window.address_box.SetText(ResolveMediaUrl(play_page_url, sites));
  const std::int32_t thread_count = ThreadCount(window.thread_count_box.GetText());
  const Text folder = DownloadFolder(program_folder);
  // The box's content is what gets downloaded, as the box holds it.
  const Text address = window.address_box.GetText();
  StartFollowed(address, window.progress_bar, window.timer, kProgressTickPeriod, thread_count,
                folder, session, batch_position, record, play_page_url, row);
}

// The last piece of a path.
Text LastPiece(const Text& path) {
  const std::size_t slash = path.rfind(kPathSeparator);
  return slash == Text::npos ? path : path.substr(slash + 1);
}

// A download of an earlier run that completed in the moment before that run
// ended, before the tick could write its end: the downloader puts a new file
// in place only once a resume record is beside it and takes the record away
// only when every byte is in, so a file of the download's size, newer than
// its start, without a record, is that download's complete file.
bool CompletedBeforeTheEnd(const UnfinishedDownload& d) {
  if (d.size < 0 || d.target_path.empty() || d.started_ms <= 0) return false;
  const std::string path = LocalTextToUtf8(d.target_path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != d.size) return false;
  if (FileSize(download::ResumeRecordPath(path)) != -1) return false;
  const std::int64_t modified_ms =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  // File times come from the kernel's coarse clock, a tick or so behind.
  constexpr std::int64_t kCoarseClockMs = 100;
  return modified_ms + kCoarseClockMs >= d.started_ms;
}

// Makes sure the tick comes round to show what the queue holds.
void WakeTheTick(CatalogueWindow& window) {
  window.timer.SetInterval(kProgressTickPeriod);
}

// The category the list shows now, as its chooser names it; empty for none.
Text ShownCategory(const CatalogueWindow& window) {
  const int index = window.category_box.SelectedIndex();
  if (index < 0 || index >= static_cast<int>(ui_texts::kCategoryCaptions.size())) return Text();
  return ui_texts::kCategoryCaptions[static_cast<std::size_t>(index)];
}

// One track asked for alone: not fetched again when its file is there.
void DownloadAlone(CatalogueWindow& window, const AskedTrack& track, const SiteAddresses& sites,
                   const Text& program_folder, DownloadSession& session) {
  DownloadLog& log = LogOf(session);
  const Text& play_page_url = track.play_page;
  if (const std::optional<CompletedFile> file = FileAlreadyThere(log, play_page_url)) {
    window.address_box.SetText(file->media_url);
    UserDownloads::EndLine line;
    line.caption = FitName(ui_texts::kAlreadyThereLinePrefix, LastPiece(file->target_path), Text(),
                           window.status_label);
    session.downloads.PushEndLine(line);
    WakeTheTick(window);
    return;
  }
  const std::vector<RecordId> records = log.AskedTracks({track}, false);
  const std::vector<DownloadRowId> rows =
      session.downloads.Asked({track}, records, false, sites);
  Download(window, play_page_url, sites, program_folder, session, 0,
           records.empty() ? kNotRemembered : records.front(),
           rows.empty() ? kNoRow : rows.front());
}

}  // namespace

download::TaskId ProgramDownloader::StartTask(const DownloadTask& task) {
  if (!downloader_) return download::kNoTask;
  download::DownloadRequest request;
  request.url = WireUrl(task.source_address);
  request.target = LocalTextToUtf8(task.target_path);
  request.connections = task.thread_count;
  request.identity = task.source_address;
  return downloader_->Start(request);
}

std::int64_t ProgramDownloader::GetTransferredBytes() const {
  return downloader_ ? downloader_->GetTransferredBytes() : 0;
}

std::int64_t ProgramDownloader::GetAmountFigure() const {
  return downloader_ ? downloader_->GetAmountFigure() : 0;
}

download::TaskState ProgramDownloader::State(download::TaskId task) const {
  return downloader_ ? downloader_->State(task) : download::TaskState{};
}

void ProgramDownloader::Pause(download::TaskId task) {
  if (downloader_) downloader_->Pause(task);
}

void ProgramDownloader::Cancel(download::TaskId task) {
  if (downloader_) downloader_->Cancel(task);
}

void NoticeBatchEnd(DownloadSession& session) {
  const UserDownloads& downloads = session.downloads;
  if (session.notices == nullptr) return;
  DownloadTally tally;
  tally.failed = downloads.BatchFailures();
  tally.already_there = downloads.BatchAlreadyThere();
  tally.complete = std::max(0, downloads.BatchStarted() - tally.failed - tally.already_there -
                                   downloads.BatchCancelled());
  session.notices->DownloadsEnded(tally, Text());
}

void EndBatch(DownloadSession& session) {
  session.downloads.PushBatchEnd();
  NoticeBatchEnd(session);
}

DownloadLog& LogOf(DownloadSession& session) {
  static NoDownloadLog none;
  return session.log != nullptr ? *session.log : none;
}

std::optional<CompletedFile> FileAlreadyThere(DownloadLog& log, const Text& play_page) {
  std::optional<CompletedFile> file = log.LastCompleted(play_page);
  if (!file) return std::nullopt;
  const std::string path = LocalTextToUtf8(file->target_path);
  if (FileSize(download::ResumeRecordPath(path)) != -1) return std::nullopt;
  const std::int64_t size = FileSize(path);
  if (size == file->size) return file;
  // Tagged by a run that ended before it could write so: its tags name the
  // track, and its size is the tagged file's from now on.
  if (file->tags != FileTags::kNotTagged || size <= 0 ||
      !tags::CarriesTags(path, {Text(), Text(), play_page})) {
    return std::nullopt;
  }
  log.TagsWritten(file->record, size, FileTags::kTagged);
  file->size = size;
  file->tags = FileTags::kTagged;
  return file;
}

Text DownloadFolder(const Text& program_folder) {
  return program_folder + kPathSeparator + ui_texts::kDownloadFolderName.Gbk();
}

Text DownloadFileName(const Text& download_address) {
  const std::size_t slash = download_address.rfind('/');
  const std::string_view piece = slash == Text::npos
                                     ? std::string_view(download_address)
                                     : std::string_view(download_address).substr(slash + 1);
  Text name;
  name.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const auto c = static_cast<unsigned char>(piece[i]);
    if (IsGbkLead(c) && i + 1 < piece.size() &&
        IsGbkTrail(static_cast<unsigned char>(piece[i + 1]))) {
      name.append(piece.substr(i, 2));
      ++i;
    } else {
      name.push_back(IsUnsafeInFileName(c) ? kFileNameReplacement : piece[i]);
    }
  }
  // These would name the download folder or the folder above it.
  if (name.empty() || name == "." || name == "..") {
    name.assign(name.empty() ? 1 : name.size(), kFileNameReplacement);
  }
  return name;
}

Text SourceAddress(const Text& download_address) {
  constexpr std::string_view kSecure = "https://";
  constexpr std::string_view kPlain = "http://";
  Text source;
  std::size_t from = 0;
  for (std::size_t at; (at = download_address.find(kSecure, from)) != Text::npos;
       from = at + kSecure.size()) {
    source.append(download_address, from, at - from);
    source.append(kPlain);
  }
  source.append(download_address, from, Text::npos);
  return source;
}

std::int64_t LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Gathered on the negative side, which reaches one further.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) {
      value = kMin;
    } else {
      value = value * 10 - digit;
    }
  }
  if (negative) return value;
  return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

std::int32_t ThreadCount(const Text& box_text) {
  const std::int64_t n = LeadingNumber(box_text);
  if (n > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (n < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(n);
}

download::TaskId StartDownload(const Text& address, ProgressBarControl& progress_bar,
                               TimerControl& timer, int tick_period, std::int32_t thread_count,
                               const Text& folder, DownloadSession& session) {
  return StartFollowed(address, progress_bar, timer, tick_period, thread_count, folder, session, 0);
}

void DownloadSelectedTrack(CatalogueWindow& window, const SiteAddresses& sites,
                           const Text& program_folder, DownloadSession& session) {
  std::vector<int> rows = window.track_list.SelectedRows();
  std::sort(rows.begin(), rows.end());
  const Text category = ShownCategory(window);
  if (rows.size() > 1 || (session.downloads.BatchRunning() && !rows.empty())) {
    // The addresses as the rows hold them now: the list may be refilled
    // before their turn comes.
    std::vector<AskedTrack> tracks;
    tracks.reserve(rows.size());
    for (const int row : rows) {
      tracks.push_back({window.track_list.GetCellText(row, kPlayPageColumn),
                        window.track_list.GetCellText(row, kTitleColumn), category});
    }
    const bool was_running = session.downloads.BatchRunning();
    const std::vector<RecordId> records = LogOf(session).AskedTracks(tracks, true);
    session.downloads.Asked(tracks, records, true, sites);
    if (!was_running) StartNextBatchTrack(window, program_folder, session);
    return;
  }
  const int row = window.track_list.SelectedRow();
  DownloadAlone(window,
                {window.track_list.GetCellText(row, kPlayPageColumn),
                 window.track_list.GetCellText(row, kTitleColumn), category},
                sites, program_folder, session);
}

void StartNextBatchTrack(CatalogueWindow& window, const Text& program_folder,
                         DownloadSession& session) {
  UserDownloads& downloads = session.downloads;
  DownloadLog& log = LogOf(session);
  while (downloads.HasNextBatchTrack()) {
    const UserDownloads::NextTrack next = downloads.TakeNextBatchTrack();
    if (const std::optional<CompletedFile> file = FileAlreadyThere(log, next.play_page)) {
      log.AlreadyThere(next.record, file->media_url, file->target_path, file->size);
      downloads.NoteAlreadyThere(next.row, file->target_path, file->size);
      if (downloads.BatchTrackEnded(UserDownloads::Outcome::kAlreadyThere, 0)) {
        EndBatch(session);
        WakeTheTick(window);
      }
      continue;
    }
    // A copy: the fetch lets events run, and one of them may add to the batch.
    const SiteAddresses sites = downloads.BatchSites();
    Download(window, next.play_page, sites, program_folder, session, next.position, next.record,
             next.row);
    return;
  }
}

void ResumeUnfinishedDownloads(CatalogueWindow& window, const SiteAddresses& sites,
                               const Text& program_folder, DownloadSession& session) {
  DownloadLog& log = LogOf(session);
  // Copies a crash left while tags were written go before anything is tagged.
  if (session.tagger != nullptr) session.tagger->RemoveStrays(DownloadFolder(program_folder));
  UserDownloads& downloads = session.downloads;
  if (downloads.RowCount() == 0) downloads.Remember(log.Remembered(), sites);
  std::vector<AskedTrack> tracks;
  std::vector<RecordId> records;
  for (const UnfinishedDownload& d : log.Unfinished()) {
    const DownloadRowId row = downloads.RowOfRecord(d.record);
    if (CompletedBeforeTheEnd(d)) {
      // Its end was not written before the run ended: it is written now.
      download::TaskState complete;
      complete.phase = download::TaskPhase::kComplete;
      complete.size = d.size;
      log.Ended(d.record, complete);
      downloads.NoteEnded(row, complete);
      continue;
    }
    const DownloadRow* listed = downloads.Find(row);
    tracks.push_back({d.play_page, listed ? listed->title : Text(),
                      listed ? listed->category : Text()});
    records.push_back(d.record);
  }
  if (tracks.empty()) return;
  const bool was_running = downloads.BatchRunning();
  downloads.Asked(tracks, records, true, sites);
  if (!was_running) StartNextBatchTrack(window, program_folder, session);
}

bool RetryBatchFailures(CatalogueWindow& window, const Text& program_folder,
                        DownloadSession& session) {
  UserDownloads& downloads = session.downloads;
  if (downloads.BatchRunning() || downloads.BatchFailedTracks().empty()) return false;
  const std::vector<AskedTrack> tracks = downloads.BatchFailedTracks();
  const std::vector<RecordId> records = LogOf(session).AskedTracks(tracks, true);
  const SiteAddresses sites = downloads.BatchSites();
  downloads.Asked(tracks, records, true, sites);
  StartNextBatchTrack(window, program_folder, session);
  return true;
}

void StartRowsAskedAgain(CatalogueWindow& window, const Text& program_folder,
                         DownloadSession& session) {
  UserDownloads& downloads = session.downloads;
  for (const DownloadRowId id : downloads.TakeRowsToStart()) {
    const DownloadRow* row = downloads.Find(id);
    // Taken back again, or off the list, before its turn.
    if (row == nullptr || row->phase != RowPhase::kWaiting) continue;
    const Text play_page = row->play_page;
    const RecordId record = row->record;
    const SiteAddresses sites = downloads.Sites();
    Download(window, play_page, sites, program_folder, session, 0, record, id);
  }
}

void MarkTrackRows(CatalogueWindow& window, DownloadLog& log) {
  TrackListControl& list = window.track_list;
  const int rows = list.RowCount();
  for (int row = 0; row < rows; ++row) {
    list.SetRowMark(row, log.MarkOf(list.GetCellText(row, kPlayPageColumn)));
  }
}

void DownloadTrackById(CatalogueWindow& window, const SiteAddresses& sites,
                       const Text& program_folder, DownloadSession& session) {
  DownloadAlone(window,
                {PlayPageUrl(sites.catalogue_base_url, window.track_id_box.GetText()), {}, {}},
                sites, program_folder, session);
}

}  // namespace wuqu::catalogue
