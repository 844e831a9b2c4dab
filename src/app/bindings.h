#pragma once

namespace wuqu {

class MainWindow;
class WindowEvents;

// Binds every event the program handles to its handler; all other events of
// every control have none. `events` must outlive `window`'s event delivery.
//   window   creation complete        OnWindowCreated
//   组合框1   item chosen from list    LoadCategoryListing
//   超级列表框1 left click on a row      PreviewSelectedTrack
//   超级列表框1 right click on a row     DownloadSelectedTrack
//   按钮EX1   clicked                  PreviewTrackById
//   按钮EX2   clicked                  DownloadTrackById
//   编辑框EX1 mouse button pressed     ClearTrackNumber
//   时钟1     tick                     OnProgressTick
// and, where `events` has the user's downloads, the downloads window: Ctrl+J
// in the window and the window's openDownloadsWindow open it.
void BindEvents(MainWindow& window, WindowEvents& events);

}  // namespace wuqu
