// The downloads window 下载列表 over 10,000 remembered downloads, 20 of them
// running (the 20 newest, in view), in the real window (offscreen):
//   - opening it: Ctrl+J in the main window to the table's first paint, the
//     first time (the window made) and again (shown anew);
//   - a tick with it open: the 20 rows' progress noted, the table brought up
//     to date and repainted; beside the same tick with the window closed,
//     and a tick with nothing changed;
//   - its memory: the heap in use and the resident size, before it was made
//     and once it shows.
//
//   build/bin/bench_downloads_window [runs] [rows] [running]
#include <malloc.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/downloads_window.h"
#include "app/main_window.h"
#include "catalogue/download_state.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
  std::vector<double> ms;
  double Median() const {
    std::vector<double> s = ms;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[s.size() / 2];
  }
  double Min() const { return ms.empty() ? 0 : *std::min_element(ms.begin(), ms.end()); }
};

// How often a downloads table's rows (its viewport) were painted, the window
// made or not.
class PaintLog : public QObject {
 public:
  PaintLog() { qApp->installEventFilter(this); }
  ~PaintLog() override { qApp->removeEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched->parent() != nullptr &&
        qobject_cast<DownloadsTable*>(watched->parent()) != nullptr) {
      ++paints;
    }
    return false;
  }
};

std::size_t HeapInUse() {
  return mallinfo2().uordblks;
}

std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096;
}

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

int Run(int runs, int rows, int running) {
  auto state = catalogue::CreateDownloadState();
  QTemporaryDir folder;
  MainWindow window;
  CatalogueEvents events(window, *state,
                         {L("http://127.0.0.1:1/"), L("http://127.0.0.1:1/mp4/djmusic/")},
                         L(folder.path().toStdString()));
  BindEvents(window, events);
  window.CompleteCreation();
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;

  // The remembered downloads: titles as the lists show them, every tenth
  // failed, the newest `running` queued and then running.
  catalogue::UserDownloads& downloads = events.Downloads();
  std::vector<catalogue::RememberedDownload> remembered;
  remembered.reserve(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    catalogue::RememberedDownload d;
    d.record = i + 1;
    d.play_page = L("http://127.0.0.1:1/m/" + std::to_string(100000 + i) + "/");
    d.title = L("DJ小满 - 第" + std::to_string(i) + "首 酒吧现场串烧");
    d.category = L("中文舞曲");
    d.target_path = L("/home/user/下载/" + std::to_string(100000 + i) + ".mp4");
    d.size = 8000000 + i;
    d.phase = i >= rows - running       ? catalogue::RememberedPhase::kQueued
              : i % 10 == 0             ? catalogue::RememberedPhase::kFailed
                                        : catalogue::RememberedPhase::kComplete;
    if (d.phase == catalogue::RememberedPhase::kFailed) {
      d.cause = download::FailureCause::kHttpStatus;
      d.http_status = 404;
    }
    remembered.push_back(std::move(d));
  }
  downloads.Remember(remembered, events.Sites());
  std::vector<catalogue::DownloadRowId> active;
  for (int i = 0; i < running; ++i) {
    active.push_back(downloads.RowAt(static_cast<std::size_t>(i)).id);
    downloads.NoteRunning(active.back(), downloads.RowAt(static_cast<std::size_t>(i)).file);
  }
  std::int64_t now_ms = 0, bytes = 0;
  auto progress = [&] {
    now_ms += 100;
    bytes += 25000;
    for (const catalogue::DownloadRowId id : active) {
      downloads.NoteProgress(id, bytes, 8000000, now_ms);
    }
  };
  progress();
  QApplication::processEvents();

  const std::size_t heap_before = HeapInUse();
  const std::size_t resident_before = ResidentBytes();
  Figures first_open, open_again;
  std::size_t heap_open = 0, resident_open = 0;
  PaintLog paints;
  for (int r = 0; r < runs; ++r) {
    for (const bool first : {true, false}) {
      window.activateWindow();
      if (!QTest::qWaitForWindowActive(&window)) return 1;
      const int before = paints.paints;
      const auto start = Clock::now();
      QTest::keyClick(window.windowHandle(), Qt::Key_J, Qt::ControlModifier);
      auto* list = window.findChild<DownloadsWindow*>(QString(), Qt::FindDirectChildrenOnly);
      if (list == nullptr || !list->isVisible()) {
        std::fprintf(stderr, "Ctrl+J opened no window\n");
        return 1;
      }
      // Shown once the table has painted its rows.
      while (paints.paints == before && Ms(Clock::now() - start) < 10000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
      }
      if (paints.paints == before) {
        std::fprintf(stderr, "the table never painted (run %d, %s)\n", r, first ? "first" : "again");
        return 1;
      }
      // The filter sees the paint begin; it has ended once the events ran.
      const double ms = Ms(Clock::now() - start);
      (first ? first_open : open_again).ms.push_back(ms);
      if (first && r == 0) {
        heap_open = HeapInUse();
        resident_open = ResidentBytes();
      }
      if (list->Model().rowCount() != rows) {
        std::fprintf(stderr, "the table holds %d rows\n", list->Model().rowCount());
        return 1;
      }
      list->close();
      QApplication::processEvents();
      if (!first) delete list;  // the next run makes it anew
    }
  }

  // Ticks with the window open: the progress noted, the table refreshed and
  // repainted (the paint the refresh asked for run at once).
  window.activateWindow();
  if (!QTest::qWaitForWindowActive(&window)) return 1;
  QTest::keyClick(window.windowHandle(), Qt::Key_J, Qt::ControlModifier);
  auto* list = window.findChild<DownloadsWindow*>(QString(), Qt::FindDirectChildrenOnly);
  if (list == nullptr) return 1;
  QTest::qWait(50);
  list->Table().selectAll();  // every row selected: the buttons' state looks at all
  QApplication::processEvents();
  Figures tick_open, tick_quiet, tick_closed, tick_note, tick_refresh;
  for (int r = 0; r < runs * 20; ++r) {
    tick_open.ms.push_back(Ms([&] {
      const auto start = Clock::now();
      progress();
      list->Refresh();
      list->Table().viewport()->repaint();
      return Clock::now() - start;
    }()));
    progress();
    tick_refresh.ms.push_back(Ms([&] {
      const auto start = Clock::now();
      list->Refresh();
      return Clock::now() - start;
    }()));
    list->Table().viewport()->repaint();
    tick_quiet.ms.push_back(Ms([&] {
      const auto start = Clock::now();
      list->Refresh();
      return Clock::now() - start;
    }()));
    tick_note.ms.push_back(Ms([&] {
      const auto start = Clock::now();
      progress();
      return Clock::now() - start;
    }()));
    list->Refresh();
    QApplication::processEvents();
  }
  list->close();
  QApplication::processEvents();
  for (int r = 0; r < runs * 20; ++r) {
    tick_closed.ms.push_back(Ms([&] {
      const auto start = Clock::now();
      progress();
      return Clock::now() - start;
    }()));
    QApplication::processEvents();
  }

  std::printf("%d remembered downloads, %d running, the real window (offscreen), %d runs\n", rows,
              running, runs);
  std::printf("%-52s %10s %10s\n", "", "median ms", "min ms");
  std::printf("%-52s %10.2f %10.2f\n", "open: Ctrl+J to the table painted, window made",
              first_open.Median(), first_open.Min());
  std::printf("%-52s %10.2f %10.2f\n", "open: Ctrl+J to the table painted, shown again",
              open_again.Median(), open_again.Min());
  std::printf("%-52s %10.3f %10.3f\n", "tick, window open (progress, refresh, repaint)",
              tick_open.Median(), tick_open.Min());
  std::printf("%-52s %10.3f %10.3f\n", "  of which the progress noted in the model",
              tick_note.Median(), tick_note.Min());
  std::printf("%-52s %10.3f %10.3f\n", "  of which the table brought up to date",
              tick_refresh.Median(), tick_refresh.Min());
  std::printf("%-52s %10.3f %10.3f\n", "  tick, window open, nothing changed (refresh)",
              tick_quiet.Median(), tick_quiet.Min());
  std::printf("%-52s %10.3f %10.3f\n", "  tick, window closed (progress noted)",
              tick_closed.Median(), tick_closed.Min());
  std::printf("%-52s %10.1f\n", "memory: heap in use by the window, MiB",
              (static_cast<double>(heap_open) - static_cast<double>(heap_before)) / 1048576.0);
  std::printf("%-52s %10.1f\n", "memory: resident size grown with it, MiB",
              (static_cast<double>(resident_open) - static_cast<double>(resident_before)) /
                  1048576.0);
  return 0;
}

}  // namespace
}  // namespace wuqu

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10000;
  const int running = argc > 3 ? std::clamp(std::atoi(argv[3]), 0, rows) : 20;
  return wuqu::Run(runs, rows, running);
}
