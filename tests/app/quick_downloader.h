#pragma once

#include <chrono>

#include "download/downloader.h"

// Downloader settings for the window tests: the waits a failing download
// goes through (retries, stalls) a few seconds long rather than half a
// minute, so that a test of a failure does not wait out the defaults.
namespace wuqu {

inline download::DownloaderSettings QuickDownloaderSettings() {
  download::DownloaderSettings settings;
  settings.stall_timeout = std::chrono::milliseconds(1500);
  settings.task_stall_timeout = std::chrono::milliseconds(5000);
  settings.connect_timeout = std::chrono::milliseconds(2000);
  settings.retry_delay = std::chrono::milliseconds(50);
  settings.retry_delay_max = std::chrono::milliseconds(400);
  settings.max_attempts = 4;
  return settings;
}

}  // namespace wuqu
