// 打开所在文件夹 in the downloads window on a private session bus of its own
// (the test runs under dbus-run-session): a recorder of ShowItems calls in the
// place of the desktop's file manager (org.freedesktop.FileManager1), and
// QDesktopServices' file handler taken over to see a folder opened instead.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/desktop_notices.h"
#include "app/downloads_window.h"
#include "app/gui_wait.h"
#include "app/main_window.h"
#include "catalogue/download_state.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

// Owns org.freedesktop.FileManager1 on a connection of its own and keeps
// every ShowItems call; answers with an error when told to.
class FileManagerRecorder : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
 public:
  bool Register() {
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "file-manager"));
    return bus_->isConnected() &&
           bus_->registerObject("/org/freedesktop/FileManager1", this,
                                QDBusConnection::ExportAllSlots) &&
           bus_->registerService("org.freedesktop.FileManager1");
  }
  ~FileManagerRecorder() override {
    if (bus_) {
      bus_->unregisterService("org.freedesktop.FileManager1");
      bus_->unregisterObject("/org/freedesktop/FileManager1");
    }
    QDBusConnection::disconnectFromBus("file-manager");
  }
  std::vector<QStringList> shown;
  bool refuse = false;

 public slots:
  void ShowItems(const QStringList& uris, const QString& startup_id, const QDBusMessage& call) {
    shown.push_back(uris);
    shown.back() << startup_id;
    if (refuse) {
      call.setDelayedReply(true);
      bus_->send(call.createErrorReply(QDBusError::Failed, "no"));
    }
  }

 private:
  std::unique_ptr<QDBusConnection> bus_;
};

// Takes the URLs QDesktopServices is asked to open (file://).
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
  ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  std::vector<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }
};

// The real main window and its handlers, with three completed downloads
// remembered (two of them with their files on disk), the downloads window
// open.
class ShowInFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SessionBusThere()) << "run under dbus-run-session";
    ASSERT_TRUE(folder_.isValid());
    state_ = catalogue::CreateDownloadState();
    window_ = std::make_unique<MainWindow>();
    events_ = std::make_unique<CatalogueEvents>(
        *window_, *state_, catalogue::SiteAddresses{L("http://127.0.0.1:1/"), L("http://127.0.0.1:1/")},
        L(folder_.path().toStdString()));
    BindEvents(*window_, *events_);
    window_->CompleteCreation();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    std::vector<catalogue::RememberedDownload> remembered;
    for (const char* name : {"甲 曲.mp4", "b.mp4", "gone.mp4"}) {
      catalogue::RememberedDownload d;
      d.record = static_cast<catalogue::RecordId>(remembered.size() + 1);
      d.play_page = L("http://127.0.0.1:1/m/" + std::to_string(d.record) + "/");
      d.title = L(name);
      d.target_path = L(Path(name));
      d.phase = catalogue::RememberedPhase::kComplete;
      d.size = 10;
      if (std::string(name) != "gone.mp4") std::ofstream(Path(name)) << "0123456789";
      remembered.push_back(d);
    }
    events_->Downloads().Remember(remembered, events_->Sites());
    emit window_->openDownloadsWindow();
    list_ = window_->findChild<DownloadsWindow*>();
    ASSERT_NE(list_, nullptr);
  }
  void TearDown() override {
    window_.reset();
    events_.reset();
    if (state_) catalogue::ReleaseDownloadState(*state_);
  }
  std::string Path(const std::string& name) const {
    return folder_.path().toStdString() + "/" + name;
  }
  QString Uri(const std::string& name) const {
    return QUrl::fromLocalFile(QString::fromStdString(Path(name))).toString(QUrl::FullyEncoded);
  }
  // Selects the rows titled so and presses 打开所在文件夹.
  void ShowRows(const std::vector<std::string>& titles) {
    QTableView& table = list_->Table();
    table.clearSelection();
    for (int r = 0; r < list_->Model().rowCount(); ++r) {
      const std::string title = list_->Model().index(r, 0).data().toString().toStdString();
      if (std::find(titles.begin(), titles.end(), title) != titles.end()) {
        table.selectionModel()->select(list_->Model().index(r, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
      }
    }
    QTest::mouseClick(&list_->Button(DownloadsWindow::kShowInFolder), Qt::LeftButton);
  }

  QTemporaryDir folder_;
  std::unique_ptr<catalogue::DownloadState> state_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<CatalogueEvents> events_;
  DownloadsWindow* list_ = nullptr;
};

// With a file manager on the bus: one ShowItems with the selected files'
// addresses (percent-encoded), no folder opened; a file that went is left
// out, and with none left its folder opens.
TEST_F(ShowInFolderTest, TheFileManagerShowsTheSelectedFiles) {
  FileManagerRecorder manager;
  ASSERT_TRUE(manager.Register());
  UrlRecorder desktop;
  ShowRows({"甲 曲.mp4"});
  ASSERT_TRUE(WaitFor([&] { return !manager.shown.empty(); }));
  ShowRows({"b.mp4", "甲 曲.mp4", "gone.mp4"});
  ASSERT_TRUE(WaitFor([&] { return manager.shown.size() == 2; }));
  QTest::qWait(200);
  EXPECT_EQ(manager.shown,
            (std::vector<QStringList>{{Uri("甲 曲.mp4"), ""}, {Uri("b.mp4"), Uri("甲 曲.mp4"), ""}}));
  EXPECT_TRUE(Uri("甲 曲.mp4").contains("%20"));
  EXPECT_TRUE(desktop.opened.empty());

  ShowRows({"gone.mp4"});
  ASSERT_TRUE(WaitFor([&] { return !desktop.opened.empty(); }));
  EXPECT_EQ(desktop.opened, std::vector<QUrl>{QUrl::fromLocalFile(folder_.path())});
  EXPECT_EQ(manager.shown.size(), 2u);
}

// Without a file manager on the bus, or with one that answers an error, the
// folder opens, once.
TEST_F(ShowInFolderTest, WithoutAFileManagerTheFolderOpens) {
  ASSERT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered(
      "org.freedesktop.FileManager1"));
  UrlRecorder desktop;
  ShowRows({"b.mp4"});
  ASSERT_TRUE(WaitFor([&] { return !desktop.opened.empty(); }));
  QTest::qWait(200);
  EXPECT_EQ(desktop.opened, std::vector<QUrl>{QUrl::fromLocalFile(folder_.path())});

  FileManagerRecorder manager;
  ASSERT_TRUE(manager.Register());
  manager.refuse = true;
  desktop.opened.clear();
  ShowRows({"b.mp4"});
  ASSERT_TRUE(WaitFor([&] { return !desktop.opened.empty(); }));
  EXPECT_EQ(manager.shown.size(), 1u);
  EXPECT_EQ(desktop.opened, std::vector<QUrl>{QUrl::fromLocalFile(folder_.path())});
}

}  // namespace
}  // namespace wuqu

#include "show_in_folder_test.moc"
