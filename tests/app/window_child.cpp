// The real window in a process of its own, for the tests that kill it with
// SIGKILL in the middle of a batch and start it again.
//
//   window_child CATALOGUE_BASE MEDIA_BASE PROGRAM_FOLDER STORE [CATEGORY ROW...]
//
// The window's handlers run against the given site, download beside
// PROGRAM_FOLDER and remember in the store file STORE; at start they take up
// what the store holds unfinished, as the program does. With a category and
// rows it shows the category, selects the rows with Ctrl-clicks, types 4
// into the thread-count box and right-clicks the last row. It prints
// "line <status line>" (UTF-8) whenever the status line changes, and
// "end <status line>" once nothing runs and nothing waits, then exits 0;
// before that line, "written <task> <bytes>" for each download it started,
// in the order started: the bytes it wrote for it.
//
// With WUQU_CHILD_CHOOSE="<position>:<entry>" in its environment, once the
// status line shows batch track <position> running with a few bytes in, it
// chooses <entry> (UTF-8) from the status line's menu with the mouse and
// prints "chose <entry>".
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <string>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/main_window.h"
#include "app/window_actions.h"
#include "catalogue/download_state.h"
#include "catalogue/stored_download_log.h"
#include "text/codepage.h"

int main(int argc, char** argv) {
  using namespace wuqu;
  if (argc < 5 || argc == 6) {
    std::fprintf(stderr, "usage: %s CATALOGUE MEDIA FOLDER STORE [CATEGORY ROW...]\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  auto state = catalogue::CreateDownloadState();
  state->log = catalogue::OpenDownloadLog(argv[4], std::cerr);
  auto window = std::make_unique<MainWindow>();
  auto events = std::make_unique<CatalogueEvents>(
      *window, *state,
      catalogue::SiteAddresses{Utf8ToLocalText(std::string_view(argv[1])),
                               Utf8ToLocalText(std::string_view(argv[2]))},
      Utf8ToLocalText(std::string_view(argv[3])));
  BindEvents(*window, *events);
  window->CompleteCreation();
  window->show();
  if (!QTest::qWaitForWindowExposed(window.get())) return 3;
  events->ResumeUnfinishedDownloads();

  if (argc > 6) {
    ChooseFromTheBox(*window, std::atoi(argv[5]));
    for (int i = 6; i < argc; ++i) {
      ClickRow(*window, std::atoi(argv[i]), Qt::LeftButton,
               i == 6 ? Qt::KeyboardModifiers() : Qt::ControlModifier);
    }
    SkinnedEdit& threads = window->thread_count_box();
    threads.selectAll();
    QTest::keyClicks(&threads, "4");
    ClickRow(*window, std::atoi(argv[argc - 1]), Qt::RightButton);
  }

  std::string choose_at;  // "第 <position>/" of the track to choose at
  std::string entry;
  if (const char* choose = std::getenv("WUQU_CHILD_CHOOSE")) {
    const std::string c(choose);
    const std::size_t colon = c.find(':');
    if (colon != std::string::npos) {
      choose_at = "第 " + c.substr(0, colon) + "/";
      entry = c.substr(colon + 1);
    }
  }
  std::string shown;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const std::string line = LocalTextToUtf8(window->status_label().GetText());
    if (line != shown) {
      shown = line;
      std::cout << "line " << line << std::endl;
    }
    static const std::regex kSomeBytes("正在下载\\.\\.\\.  已下载 ([1-9]\\d*)%.*");
    if (!entry.empty() && line.find(choose_at) != std::string::npos &&
        std::regex_match(line, kSomeBytes)) {
      const std::string chosen = entry;
      entry.clear();
      if (ChooseFromStatusLineMenu(*window, chosen)) std::cout << "chose " << chosen << std::endl;
    }
    if (window->progress_timer().Interval() == 0 && state->downloader->ActiveTasks() == 0) {
      for (download::TaskId id = 1;; ++id) {
        const download::TaskState task = state->downloader->State(id);
        if (task.phase == download::TaskPhase::kNone) break;
        std::cout << "written " << id << " " << task.written << std::endl;
      }
      std::cout << "end " << line << std::endl;
      app.quit();
    }
  });
  watch.start(20);
  app.exec();
  window.reset();
  events.reset();
  catalogue::ReleaseDownloadState(*state);
  return 0;
}
