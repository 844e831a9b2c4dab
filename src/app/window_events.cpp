#include "app/window_events.h"

namespace wuqu {

std::unique_ptr<WindowEvents> MakeWindowEvents(MainWindow&, catalogue::DownloadState&) {
  return std::make_unique<WindowEvents>();
}

}  // namespace wuqu
