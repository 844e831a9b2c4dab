#include "app/show_in_folder.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include "app/desktop_notices.h"

namespace wuqu {
namespace {

constexpr const char* kService = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";
// The file manager may have to be started first.
constexpr int kCallTimeoutMs = 10000;

void OpenFolderOf(const QString& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

}  // namespace

void ShowInFolder(const QStringList& paths) {
  if (paths.isEmpty()) return;
  const QString& path = paths.front();
  // Without this check Qt's bus library would try to start a bus of its own.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!SessionBusThere() || !bus.isConnected()) {
    OpenFolderOf(path);
    return;
  }
  QDBusMessage show = QDBusMessage::createMethodCall(kService, kPath, kService, "ShowItems");
  QStringList uris;
  for (const QString& p : paths) uris << QUrl::fromLocalFile(p).toString(QUrl::FullyEncoded);
  show << uris << QString();
  // Not waited for: a slow file manager never holds the window up. A bus
  // without the service answers with an error at once, and the folder opens.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(show, kCallTimeoutMs));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [path](QDBusPendingCallWatcher* call) {
                     // A file manager that took too long may still show it.
                     const QDBusError error = QDBusPendingReply<>(*call).error();
                     if (error.isValid() && error.type() != QDBusError::NoReply) {
                       OpenFolderOf(path);
                     }
                     call->deleteLater();
                   });
}

}  // namespace wuqu
