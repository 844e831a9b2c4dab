#include "catalogue/file_tags.h"

#include <optional>

#include "platform/files.h"
#include "tags/file_tagger.h"
#include "text/readable_title.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

constexpr int kTitleColumn = 0;
constexpr int kPlayPageColumn = 1;

}  // namespace

bool WritesTags(DownloadLog& log) {
  return log.Setting(kWriteTagsSetting) != std::optional<Text>("0");
}

void SetWritesTags(DownloadLog& log, bool on) {
  log.SetSetting(kWriteTagsSetting, on ? "1" : "0");
}

ListedNames NamesInWindow(CatalogueWindow& window, const Text& play_page) {
  ListedNames names;
  TrackListControl& list = window.track_list;
  const int rows = list.RowCount();
  for (int row = 0; row < rows; ++row) {
    if (list.GetCellText(row, kPlayPageColumn) == play_page) {
      names.title_cell = list.GetCellText(row, kTitleColumn);
      const int category = window.category_box.SelectedIndex();
      if (category >= 0 && category < static_cast<int>(ui_texts::kCategoryCaptions.size())) {
        names.category = ui_texts::kCategoryCaptions[static_cast<std::size_t>(category)].Gbk();
      }
      break;
    }
  }
  return names;
}

bool FileFinal(DownloadQueue::Followed& download, const Text& folder, DownloadSession& session) {
  if (download.file_final) return true;
  tags::FileTagger* tagger = session.tagger;
  DownloadLog& log = LogOf(session);
  if (download.tag_job == 0 || tagger == nullptr) {
    if (tagger == nullptr || download.play_page.empty() || !WritesTags(log)) {
      download.file_final = true;
      return true;
    }
    const tags::TrackTags tags{ReadableTitle(download.title_cell), download.category,
                               download.play_page};
    download.tag_job = tagger->Submit(folder + kPathSeparator + download.file_name, tags);
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
  download.file_final = true;
  return true;
}

Text NoticeName(const DownloadQueue::Followed& download) {
  return ReadableTitle(download.title_cell).empty() ? download.file_name : download.title_cell;
}

}  // namespace wuqu::catalogue
