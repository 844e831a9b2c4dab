#include "catalogue/file_tags.h"

#include <optional>

#include "platform/files.h"
#include "tags/file_tagger.h"
#include "text/readable_title.h"

namespace wuqu::catalogue {

bool WritesTags(DownloadLog& log) {
  return log.Setting(kWriteTagsSetting) != std::optional<Text>("0");
}

void SetWritesTags(DownloadLog& log, bool on) {
  log.SetSetting(kWriteTagsSetting, on ? "1" : "0");
}

namespace {

// The row's title cell and category; empty for a download without a row.
const DownloadRow* RowOf(const UserDownloads::Followed& download, const UserDownloads& downloads) {
  return download.row == kNoRow ? nullptr : downloads.Find(download.row);
}

}  // namespace

bool FileFinal(const UserDownloads::Followed& download, const Text& folder,
               DownloadSession& session) {
  if (download.file_final) return true;
  UserDownloads& downloads = session.downloads;
  tags::FileTagger* tagger = session.tagger;
  DownloadLog& log = LogOf(session);
  if (download.tag_job == 0 || tagger == nullptr) {
    if (tagger == nullptr || download.play_page.empty() || !WritesTags(log)) {
      downloads.NoteFileFinal(download.task);
      return true;
    }
    const DownloadRow* row = RowOf(download, downloads);
    const tags::TrackTags tags{row ? ReadableTitle(row->title) : Text(),
                               row ? row->category : Text(), download.play_page};
    downloads.NoteTagJob(download.task,
                         tagger->Submit(folder + kPathSeparator + download.file_name, tags));
    return false;
  }
  const std::optional<tags::TagResult> result = tagger->Poll(download.tag_job);
  if (!result) return false;
  switch (result->outcome) {
    case tags::TagOutcome::kTagged:
    case tags::TagOutcome::kAlreadyTagged:
      log.TagsWritten(download.record, result->size, FileTags::kTagged);
      break;
    case tags::TagOutcome::kNotMp4:
      log.TagsWritten(download.record, result->size, FileTags::kNoTags);
      break;
    case tags::TagOutcome::kFailed:
      break;  // the file is as the server sent it, complete
  }
  downloads.NoteFileFinal(download.task);
  return true;
}

Text NoticeName(const UserDownloads::Followed& download, const UserDownloads& downloads) {
  const DownloadRow* row = RowOf(download, downloads);
  return row == nullptr || ReadableTitle(row->title).empty() ? download.file_name : row->title;
}

}  // namespace wuqu::catalogue
