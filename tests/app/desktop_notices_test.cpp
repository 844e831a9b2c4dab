// The desktop notification at the end of a batch, on a private session bus
// (the test runs under dbus-run-session) with a recorder of Notify calls in
// the place of the desktop's notification service.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/desktop_notices.h"
#include "app/main_window.h"
#include "app/window_actions.h"
#include "catalogue/download_state.h"
#include "site/demo_site.h"
#include "app/gui_wait.h"
#include "app/qt_text.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

// What a notification service is told, in UTF-8.
struct Notice {
  std::string app, summary, body;
  int timeout = 0;
  bool operator==(const Notice&) const = default;
};

// Owns org.freedesktop.Notifications on a connection of its own and keeps
// every Notify call.
class NotifyRecorder : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  bool Register() {
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "recorder"));
    return bus_->isConnected() &&
           bus_->registerObject("/org/freedesktop/Notifications", this,
                                QDBusConnection::ExportAllSlots) &&
           bus_->registerService("org.freedesktop.Notifications");
  }
  ~NotifyRecorder() override {
    if (bus_) {
      bus_->unregisterService("org.freedesktop.Notifications");
      bus_->unregisterObject("/org/freedesktop/Notifications");
    }
    QDBusConnection::disconnectFromBus("recorder");
  }
  std::vector<Notice> notices;

 public slots:
  uint Notify(const QString& app, uint, const QString&, const QString& summary,
              const QString& body, const QStringList&, const QVariantMap&, int timeout) {
    notices.push_back(
        {app.toStdString(), summary.toStdString(), body.toStdString(), timeout});
    return static_cast<uint>(notices.size());
  }

 private:
  std::unique_ptr<QDBusConnection> bus_;
};

// What the notification says, for a download alone and for batches.
TEST(NoticeTexts, SayWhatEnded) {
  const struct {
    catalogue::DownloadTally tally;
    std::string file_name;
    std::string summary, body;
  } cases[] = {
      {{1, 0, 0}, "116717.mp4", "下载完成", "116717.mp4"},
      {{0, 1, 0}, "现场 串烧.mp4", "下载失败", "现场 串烧.mp4"},
      // A row's title cell reads as the downloads list and the file's tags show it.
      {{1, 0, 0}, "<b>新</b> DJ北川 &amp; DJ小满", "下载完成", "新 DJ北川 & DJ小满"},
      {{10, 2, 0}, "", "批量下载结束", "完成 10 首，失败 2 首"},
      {{9, 0, 3}, "", "批量下载结束", "完成 9 首，失败 0 首，已有 3 首"},
      {{0, 0, 1}, "", "批量下载结束", "完成 0 首，失败 0 首，已有 1 首"},  // a batch of one
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const NoticeTexts texts = NoticeTextsFor(c.tally, L(c.file_name));
    EXPECT_EQ(LocalTextToUtf8(texts.summary), c.summary);
    EXPECT_EQ(LocalTextToUtf8(texts.body), c.body);
  }
}

// One notification per end while the window is not the active one, none
// while it is; with no service on the bus nothing happens and nothing fails.
TEST(DesktopNotices, OneNotificationWhileTheWindowIsNotActive) {
  ASSERT_TRUE(SessionBusThere()) << "run under dbus-run-session";
  QWidget window;
  QWidget other;
  DesktopNotices notices(window);
  NotifyRecorder recorder;
  ASSERT_TRUE(recorder.Register());

  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  notices.DownloadsEnded({3, 0, 0}, Text());
  QTest::qWait(300);
  EXPECT_TRUE(recorder.notices.empty());

  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  ASSERT_FALSE(window.isActiveWindow());
  notices.DownloadsEnded({10, 2, 1}, Text());
  ASSERT_TRUE(WaitFor([&] { return !recorder.notices.empty(); }, 5000));
  QTest::qWait(200);
  EXPECT_EQ(recorder.notices,
            (std::vector<Notice>{{"wuqu", "批量下载结束", "完成 10 首，失败 2 首，已有 1 首", -1}}));
}

TEST(DesktopNotices, NoServiceNoNotificationAndNoError) {
  ASSERT_TRUE(SessionBusThere()) << "run under dbus-run-session";
  QWidget window;
  DesktopNotices notices(window);
  ASSERT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered(
      "org.freedesktop.Notifications"));
  for (int i = 0; i < 3; ++i) notices.DownloadsEnded({1, 0, 0}, L("a.mp4"));
  QTest::qWait(200);
  // A recorder that comes later hears of nothing sent before it.
  NotifyRecorder recorder;
  ASSERT_TRUE(recorder.Register());
  QTest::qWait(200);
  EXPECT_TRUE(recorder.notices.empty());
}

// The real window: a batch of two rows downloaded while another window is
// the active one ends in one notification with its counts; the tracks one
// by one give none.
TEST(DesktopNotices, ABatchEndingInTheBackgroundNotifiesOnce) {
  ASSERT_TRUE(SessionBusThere()) << "run under dbus-run-session";
  DemoSite site({.tracks_per_category = 3, .track_media_size = 200 * 1000});
  ASSERT_TRUE(site.Start()) << site.Error();
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  NotifyRecorder recorder;
  ASSERT_TRUE(recorder.Register());
  auto state = catalogue::CreateDownloadState();
  {
    MainWindow window;
    CatalogueEvents events(window, *state,
                           catalogue::SiteAddresses{site.CatalogueBaseUrl(), site.MediaBaseUrl()},
                           Utf8ToLocalText(std::string_view(folder.path().toStdString())));
    BindEvents(window, events);
    window.CompleteCreation();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ChooseFromTheBox(window, 0);
    ClickRow(window, 0);
    ClickRow(window, 1, Qt::LeftButton, Qt::ShiftModifier);
    ClickRow(window, 1, Qt::RightButton);
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_TRUE(WaitFor([&] { return window.progress_timer().Interval() == 0; }, 60000));
    ASSERT_TRUE(WaitFor([&] { return !recorder.notices.empty(); }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(recorder.notices,
              (std::vector<Notice>{{"wuqu", "批量下载结束", "完成 2 首，失败 0 首", -1}}));
  }
  catalogue::ReleaseDownloadState(*state);
}

}  // namespace
}  // namespace wuqu

#include "desktop_notices_test.moc"
