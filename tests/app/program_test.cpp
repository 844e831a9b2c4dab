#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>

#include "app/main_window.h"
#include "app/program.h"
#include "catalogue/download_state.h"
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
    QTimer::singleShot(0, &window, [&window] {
      window.edit_box_ex1().SetText("42");  // the user has been busy
      window.clock1().SetInterval(100);     // a download runs
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

}  // namespace
}  // namespace wuqu
