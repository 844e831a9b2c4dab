#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "catalogue/download_notice.h"

// The notice at the end of a batch, or of a download asked for alone, as one
// desktop notification (org.freedesktop.Notifications on the session bus),
// given only while the window is not the active one. Sent without waiting
// for an answer: with no session bus or no notification service nothing is
// shown and nothing is said.
namespace wuqu {

class DesktopNotices final : public catalogue::DownloadNotices {
 public:
  explicit DesktopNotices(QWidget& window) : window_(&window) {}
  void DownloadsEnded(const catalogue::DownloadTally& tally, const Text& name) override;

 private:
  QPointer<QWidget> window_;
};

// The summary and the body of the notification for `tally` (program text).
// A download alone is named in the body by `name` as a person reads it
// (ReadableTitle: the title the downloads list and the file's tags show).
struct NoticeTexts {
  Text summary;
  Text body;
};
NoticeTexts NoticeTextsFor(const catalogue::DownloadTally& tally, const Text& name);

// Whether a session bus is there to reach, without starting one: its
// address is given, or the user's runtime folder holds its socket.
bool SessionBusThere();

}  // namespace wuqu
