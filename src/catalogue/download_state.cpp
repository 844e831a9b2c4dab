#include "catalogue/download_state.h"

namespace wuqu::catalogue {

std::unique_ptr<DownloadState> CreateDownloadState() {
  auto state = std::make_unique<DownloadState>();
  state->task = std::make_unique<DownloadTask>();
  state->downloader = download::CreateDownloader();
  return state;
}

void ReleaseDownloadState(DownloadState& state) {
  Text().swap(state.download_file_name);
  if (state.task) {
    DownloadTask& task = *state.task;
    Text().swap(task.source_address);
    Text().swap(task.target_path);
    Text().swap(task.login_name);
    Text().swap(task.password);
    Text().swap(task.option_16);
    Text().swap(task.extension_list);
    task.option_19.reset();
    task.option_20.reset();
    state.task.reset();
  }
  // Waits for a tag step under way; each of its steps leaves the file whole.
  state.tagger.reset();
  download::ReleaseDownloader(state.downloader);
  state.log.reset();
}

}  // namespace wuqu::catalogue
