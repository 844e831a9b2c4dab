#include "app/desktop_notices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

#include <string>

#include "app/qt_text.h"
#include "text/readable_title.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

const UiText& kDone = ui_texts::kNoticeDone;
const UiText& kFailed = ui_texts::kNoticeFailed;
const UiText& kBatchOver = ui_texts::kNoticeBatchOver;
const UiText& kCompleteWord = ui_texts::kNoticeComplete;
const UiText& kFailedWord = ui_texts::kBatchFailures;
const UiText& kAlreadyWord = ui_texts::kBatchAlreadyThere;
const UiText& kTrackUnit = ui_texts::kBatchTrackUnit;
const UiText& kComma = ui_texts::kBatchComma;

Text Count(const UiText& word, int n) {
  return Text(word) + " " + std::to_string(n) + " " + Text(kTrackUnit);
}

}  // namespace

NoticeTexts NoticeTextsFor(const catalogue::DownloadTally& tally, const Text& name) {
  const int total = tally.complete + tally.failed + tally.already_there;
  const Text readable = ReadableTitle(name);
  if (!readable.empty() && total == 1) {
    return {Text(tally.failed > 0 ? kFailed : kDone), readable};
  }
  Text body = Count(kCompleteWord, tally.complete) + Text(kComma) + Count(kFailedWord, tally.failed);
  if (tally.already_there > 0) body += Text(kComma) + Count(kAlreadyWord, tally.already_there);
  return {Text(kBatchOver), body};
}

bool SessionBusThere() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + "/bus");
}

void DesktopNotices::DownloadsEnded(const catalogue::DownloadTally& tally, const Text& name) {
  if (window_.isNull() || window_->isActiveWindow()) return;
  // Without this check Qt's bus library would try to start a bus of its own.
  if (!SessionBusThere()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  const NoticeTexts texts = NoticeTextsFor(tally, name);
  QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  notify << QString("wuqu") << 0u << QString("wuqu") << ToQString(texts.summary)
         << ToQString(texts.body) << QStringList() << QVariantMap() << -1;
  // Sent, not called: no reply is awaited, so a missing or slow service
  // never holds the window up, and its error reply is dropped unread.
  bus.send(notify);
}

}  // namespace wuqu
