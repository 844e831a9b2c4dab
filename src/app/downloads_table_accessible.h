#pragma once

namespace wuqu {

// Gives every row of the downloads window's table, as assistive technology
// sees it (each cell of the row), the actions that apply to its download now
// (pause, resume, cancel, retry, play, show-in-folder, remove), which do what
// the window's buttons and keys do. The table and its named columns are Qt's
// own. Installed once; later calls do nothing.
void InstallDownloadsTableAccessibility();

}  // namespace wuqu
