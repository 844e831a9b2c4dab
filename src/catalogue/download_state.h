#pragma once

#include <memory>

#include "catalogue/download_log.h"
#include "catalogue/download_task.h"
#include "download/downloader.h"
#include "tags/file_tagger.h"
#include "text/text.h"

namespace wuqu::catalogue {

// The program-wide download state: it lives from start-up, before the window
// exists, until shutdown, after the window has closed.
struct DownloadState {
  // Last piece of the current download address; empty until the first start.
  Text download_file_name;
  // The record handed to the downloader, with its start-up values.
  std::unique_ptr<DownloadTask> task;
  std::unique_ptr<download::Downloader> downloader;
  // What is remembered across runs; none: nothing is (tests, or before the
  // program has opened it).
  std::unique_ptr<DownloadLog> log;
  // Writes the tags into complete files, off the GUI thread; none: no tags
  // are written (tests, or before the program has made it).
  std::unique_ptr<tags::FileTagger> tagger;
};

// The state as start-up creates it: no file name, a record with its start-up
// values and an empty downloader.
std::unique_ptr<DownloadState> CreateDownloadState();

// Releases the state in its shutdown order: the file name first, then the
// record's texts and the record, the downloader last. The downloader has taken
// what it needs from the record at each start, so nothing it still uses goes
// away before it does. Safe to call twice.
void ReleaseDownloadState(DownloadState& state);

}  // namespace wuqu::catalogue
