#pragma once

namespace wuqu {

// Gives every row of a TrackList, as assistive technology sees it (each cell
// of the row), the actions preview and download, which do what a left and a
// right click on the row do. Everything else is Qt's own view of the list.
// Installed once; later calls do nothing.
void InstallTrackListAccessibility();

}  // namespace wuqu
