#pragma once

#include <QMetaObject>
#include <QPointer>

#include <cstdint>
#include <memory>

#include "app/desktop_notices.h"
#include "app/window_events.h"
#include "catalogue/catalogue_window.h"
#include "catalogue/download.h"
#include "catalogue/site_addresses.h"
#include "catalogue/user_downloads.h"

namespace wuqu {

class MainWindow;
namespace catalogue {
struct DownloadState;
}

// The window's handlers on the catalogue: the category listing, the track
// list fill, the preview, the download and the progress display, run on the
// real controls of `window` against `sites`, with downloads going into the
// download folder beside `program_folder` (program text; the program passes
// the folder ProgramDownloadHome chooses, app/download_home.h). The catalogue
// reaches the window only through Controls(), which stays safe to use after
// the window has closed or gone (operations on a window that is closed or gone
// do nothing and read empty). While it lives, the GUI thread's network waits
// let the window paint and are given up when the window closes
// (app/window_wait.h).
class CatalogueEvents : public WindowEvents {
 public:
  CatalogueEvents(MainWindow& window, catalogue::DownloadState& state,
                  catalogue::SiteAddresses sites, Text program_folder);
  ~CatalogueEvents() override;
  CatalogueEvents(const CatalogueEvents&) = delete;
  CatalogueEvents& operator=(const CatalogueEvents&) = delete;

  void LoadCategoryListing() override;    // 组合框1
  void PreviewSelectedTrack() override;   // 超级列表框1, left click
  void PreviewTrackById() override;       // 按钮EX1
  void DownloadSelectedTrack() override;  // 超级列表框1, right click
  void DownloadTrackById() override;      // 按钮EX2
  void OnProgressTick() override;         // 时钟1
  void RetryBatchFailures() override;     // 标签EX3's menu: 重试失败的曲目
  void ShowStatusLineMenu() override;     // 标签EX3, right click
  // Takes up what the download log holds unfinished from earlier runs.
  void ResumeUnfinishedDownloads() override;

  catalogue::CatalogueWindow& Controls();
  const catalogue::SiteAddresses& Sites() const { return sites_; }
  catalogue::DownloadState& State() { return state_; }
  // Every download the user asked for, and the verbs on them: what the
  // status line and the downloads window read. Lives as long as the handlers.
  catalogue::UserDownloads& Downloads() { return downloads_; }
  catalogue::UserDownloads* UserDownloadList() override { return &downloads_; }
  catalogue::DownloadLog* SettingsLog() override;
  // The folder the download folder lies in, as given.
  const Text& Folder() const { return program_folder_; }
  // The window, or null once it has gone.
  MainWindow* Window() const;

 private:
  struct WindowControls;
  void RefreshMarks();
  void NoteLineRow();

  QPointer<MainWindow> window_;
  catalogue::DownloadState& state_;
  catalogue::SiteAddresses sites_;
  Text program_folder_;
  std::unique_ptr<WindowControls> controls_;
  // The downloads the status line follows, and the batch; the window's for
  // its whole life.
  catalogue::UserDownloads downloads_;
  // What the verbs stop the downloader's tasks through.
  catalogue::ProgramDownloader verbs_downloader_;
  // The row the status line showed last: the one its menu's 暂停 / 继续 and
  // 取消 are for, also once it has stopped following it.
  catalogue::DownloadRowId line_row_ = catalogue::kNoRow;
  // The notices of ended batches and downloads, on the desktop.
  DesktopNotices notices_;
  // The log's marks as the rows show them.
  std::uint64_t marks_seen_ = 0;
  QMetaObject::Connection closed_;
  QMetaObject::Connection destroyed_;
};

// The addresses the program runs with: the build-time constants
// WUQU_CATALOGUE_BASE_URL and WUQU_MEDIA_BASE_URL, in program text.
catalogue::SiteAddresses ProgramSiteAddresses();

// The folder that holds the running program file, in program text.
Text ProgramFolderText();

}  // namespace wuqu
