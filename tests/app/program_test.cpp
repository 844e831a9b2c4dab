#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/catalogue_events.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/window_actions.h"
#include "catalogue/download_state.h"
#include "net/curl_request_object.h"
#include "site/demo_site.h"
#include "store/store.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

bool AnyMainWindow() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (qobject_cast<MainWindow*>(w) != nullptr) return true;
  }
  return false;
}

// Follows one run and closes the window with a click on its close button.
class ClosingObserver final : public RunObserver {
 public:
  void StateCreated(const catalogue::DownloadState& state) override {
    steps.push_back("state created");
    window_existed_at_creation = AnyMainWindow();
    task_at_creation = state.task != nullptr && state.downloader != nullptr;
  }
  void WindowShown(MainWindow& window) override {
    steps.push_back("window shown");
    title = LocalTextToUtf8(window.TitleText());
    visible = window.isVisible();
    desktop_file_name = QGuiApplication::desktopFileName().toStdString();
    QTimer::singleShot(0, &window, [&window] {
      window.track_id_box().SetText("42");       // the user has been busy
      window.progress_timer().SetInterval(100);  // a download runs
      QTest::mouseClick(&window.close_button(), Qt::LeftButton);
    });
  }
  void StateReleased(const catalogue::DownloadState& state) override {
    steps.push_back("state released");
    window_existed_at_release = AnyMainWindow();
    released =
        state.task == nullptr && state.downloader == nullptr && state.download_file_name.empty();
  }

  std::vector<std::string> steps;
  bool window_existed_at_creation = true;
  bool task_at_creation = false;
  std::string title;
  bool visible = false;
  std::string desktop_file_name;
  bool window_existed_at_release = true;
  bool released = false;
};

TEST(RunProgram, ClosingTheWindowEndsTheRunWithCodeZeroAndReleasesTheState) {
  ClosingObserver observer;
  char name[] = "wuqu";
  char* argv[] = {name, nullptr};
  const int code = RunProgram(1, argv, &observer);

  EXPECT_EQ(code, 0);
  EXPECT_EQ(observer.steps,
            (std::vector<std::string>{"state created", "window shown", "state released"}));
  EXPECT_FALSE(observer.window_existed_at_creation);
  EXPECT_TRUE(observer.task_at_creation);
  EXPECT_EQ(observer.title, "wuqu DJ舞曲在线试听与下载器");
  EXPECT_TRUE(observer.visible);
  // Docks and task switchers look the window up by the installed entry's id.
  EXPECT_EQ(observer.desktop_file_name, WUQU_TEST_APP_ID);
  EXPECT_FALSE(observer.window_existed_at_release);
  EXPECT_TRUE(observer.released);
}

TEST(RunProgram, RunsAgainAfterAClose) {
  // Two runs in one process: nothing of the first lingers into the second.
  for (int run = 0; run < 2; ++run) {
    ClosingObserver observer;
    char name[] = "wuqu";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(RunProgram(1, argv, &observer), 0) << run;
    EXPECT_TRUE(observer.released) << run;
  }
}

// The curl request object with the program's catalogue address swapped for
// another site's: the program as built, against a site of the test's own.
class RedirectedRequest final : public RequestObject {
 public:
  RedirectedRequest(std::shared_ptr<RequestObject> object, Text from, Text to)
      : object_(std::move(object)), from_(std::move(from)), to_(std::move(to)) {}
  void SetTimeouts(int a, int b, int c, int d) override { object_->SetTimeouts(a, b, c, d); }
  void SetProxy(int setting, const Text& proxy) override { object_->SetProxy(setting, proxy); }
  void SetCredentials(const Text& u, const Text& p, int f) override {
    object_->SetCredentials(u, p, f);
  }
  void Open(const Text& method, const Text& url, bool async) override {
    const bool ours = url.rfind(from_, 0) == 0;
    object_->Open(method, ours ? to_ + url.substr(from_.size()) : url, async);
  }
  void SetOption(int index, int value) override { object_->SetOption(index, value); }
  void SetRequestHeader(const Text& n, const Text& v) override { object_->SetRequestHeader(n, v); }
  void Send(const ByteArray& body) override { object_->Send(body); }
  void Send(const Text& body) override { object_->Send(body); }
  ByteArray ResponseBody() override { return object_->ResponseBody(); }
  Text GetAllResponseHeaders() override { return object_->GetAllResponseHeaders(); }
  int Status() override { return object_->Status(); }

 private:
  std::shared_ptr<RequestObject> object_;
  Text from_, to_;
};

// Chooses a category, and closes the window with its close button while the
// site holds the listing page back.
class CloseDuringAFetch final : public RunObserver {
 public:
  explicit CloseDuringAFetch(DemoSite& site) : site_(site) {}
  void WindowShown(MainWindow& window) override {
    QObject::connect(&poll_, &QTimer::timeout, [this, &window] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        ++message_boxes;
        box->done(QMessageBox::Ok);
      }
      if (closed_at.isValid() || site_.Requests().empty()) return;
      busy_cursor = QApplication::overrideCursor() != nullptr;
      closed_at.start();
      QTest::mouseClick(&window.close_button(), Qt::LeftButton);
    });
    poll_.start(20);
    QTimer::singleShot(0, &window, [&window] { ChooseFromTheBox(window, 2); });
  }

  QElapsedTimer closed_at;
  bool busy_cursor = false;
  int message_boxes = 0;

 private:
  DemoSite& site_;
  QTimer poll_;
};

TEST(RunProgram, ClosingTheWindowDuringAFetchEndsTheRunAtOnce) {
  using namespace std::chrono_literals;
  DemoSite site({.tracks_per_category = 8, .faults = {.first_byte_delay = 60s}});
  ASSERT_TRUE(site.Start()) << site.Error();
  const Text program_site = ProgramSiteAddresses().catalogue_base_url;
  ScopedRequestObjectFactory factory([&] {
    return std::make_shared<RedirectedRequest>(MakeCurlRequestObject(), program_site,
                                               Text(site.CatalogueBaseUrl()));
  });
  CloseDuringAFetch observer(site);
  char name[] = "wuqu";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(RunProgram(1, argv, &observer), 0);
  ASSERT_TRUE(observer.closed_at.isValid()) << "the listing was never asked for";
  const qint64 after_close_ms = observer.closed_at.elapsed();
  EXPECT_TRUE(observer.busy_cursor);
  // Generous, against a hang: the page would take a minute, a time-out 15 s.
  EXPECT_LT(after_close_ms, 5000);
  std::printf("closed to the end of the run: %lld ms\n", static_cast<long long>(after_close_ms));
  EXPECT_EQ(observer.message_boxes, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Watches the address box; closes the window once a download has put its
// address there.
class ClosesOnceADownloadStarts final : public RunObserver {
 public:
  void WindowShown(MainWindow& window) override {
    QObject::connect(&poll_, &QTimer::timeout, [this, &window] {
      if (window.media_address_box().GetText().empty()) return;
      address = LocalTextToUtf8(window.media_address_box().GetText());
      poll_.stop();
      QTest::mouseClick(&window.close_button(), Qt::LeftButton);
    });
    poll_.start(20);
    QTimer::singleShot(10000, &window, [&window] { window.close(); });
  }
  std::string address;

 private:
  QTimer poll_;
};

// The program keeps its store in the data folder XDG_DATA_HOME names, and
// once its window shows takes up by itself a download the last run left
// unfinished: its play page is fetched and its address goes into the box.
TEST(RunProgram, TakesUpTheLastRunsUnfinishedDownloads) {
  DemoSite site({.tracks_per_category = 2});
  ASSERT_TRUE(site.Start()) << site.Error();
  QTemporaryDir data;
  ASSERT_TRUE(data.isValid());
  const std::string saved = qEnvironmentVariable("XDG_DATA_HOME").toStdString();
  qputenv("XDG_DATA_HOME", data.path().toUtf8());
  const std::string store_path = data.path().toStdString() + "/wuqu/wuqu.sqlite";
  std::filesystem::create_directories(data.path().toStdString() + "/wuqu");
  const SiteTrack& track = site.Categories()[0].tracks[1];
  {
    std::unique_ptr<store::Store> store = store::Store::Open(store_path).store;
    ASSERT_TRUE(store);
    ASSERT_EQ(store->AddDownloads({site.CatalogueBaseUrl() + track.href}, true).size(), 1u);
  }
  ClosesOnceADownloadStarts observer;
  char name[] = "wuqu";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(RunProgram(1, argv, &observer), 0);
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(saved));

  EXPECT_EQ(observer.address,
            LocalTextToUtf8(ProgramSiteAddresses().media_base_url) + track.file_value + ".mp4");
  bool page_fetched = false;
  for (const SiteRequest& r : site.Requests()) page_fetched |= r.target == "/" + track.href;
  EXPECT_TRUE(page_fetched);
  const auto last = store::Store::Open(store_path).store->LastOf(site.CatalogueBaseUrl() + track.href);
  ASSERT_TRUE(last);
  EXPECT_NE(last->phase, store::DownloadPhase::kQueued);
  EXPECT_EQ(last->media_url, LocalTextToUtf8(ProgramSiteAddresses().media_base_url) +
                                 track.file_value + ".mp4");
}

}  // namespace
}  // namespace wuqu
