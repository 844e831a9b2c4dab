#pragma once

#include <QStringList>

namespace wuqu {

// Asks the desktop's file manager to show the files at `paths` (absolute)
// selected in their folder (org.freedesktop.FileManager1.ShowItems on the
// session bus, without waiting for its answer). Where the bus has no such
// service, or it answers with an error, the first file's folder itself is
// opened (QDesktopServices).
void ShowInFolder(const QStringList& paths);

}  // namespace wuqu
