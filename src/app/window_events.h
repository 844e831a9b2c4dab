#pragma once

#include <memory>

namespace wuqu {

class MainWindow;
namespace catalogue {
struct DownloadState;
class DownloadLog;
class UserDownloads;
}

// The catalogue's handlers of the window's events, one per binding. None
// takes anything from its event: each reads the controls it needs. The
// defaults do nothing.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void LoadCategoryListing() {}    // 组合框1: an item chosen from the list
  virtual void PreviewSelectedTrack() {}   // 超级列表框1: left click on a row
  virtual void DownloadSelectedTrack() {}  // 超级列表框1: right click on a row
  virtual void PreviewTrackById() {}       // 按钮EX1 clicked
  virtual void DownloadTrackById() {}      // 按钮EX2 clicked
  virtual void OnProgressTick() {}         // 时钟1 ticked
  virtual void RetryBatchFailures() {}     // 标签EX3's menu: 重试失败的曲目
  virtual void ShowStatusLineMenu() {}     // 标签EX3: right click
  // Once the window shows: downloads of earlier runs that had not ended.
  virtual void ResumeUnfinishedDownloads() {}
  // The user's downloads, which the downloads window shows and steers; null:
  // there is no downloads window.
  virtual catalogue::UserDownloads* UserDownloadList() { return nullptr; }
  // Where the user's settings are remembered; null: nowhere.
  virtual catalogue::DownloadLog* SettingsLog() { return nullptr; }
};

// The handlers the program runs with, for `window` and the program-wide
// download state; both outlive the handlers.
std::unique_ptr<WindowEvents> MakeWindowEvents(MainWindow& window, catalogue::DownloadState& state);

}  // namespace wuqu
