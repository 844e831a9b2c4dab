// Type to find over a category of 2,000 tracks (or as many as asked) in the
// real window (offscreen), filled from the demo site on loopback: the time
// of each keystroke from the key press to the list repainted with only the
// rows that hold the text, beside the peer: the bare test of every title
// for the text, with no row hidden or shown.
//
//   build/bin/bench_catalogue_find [runs] [rows]
#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/main_window.h"
#include "app/track_finder.h"
#include "catalogue/download_state.h"
#include "site/demo_site.h"

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
  double Max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

int ShownRows(const TrackList& list) {
  int shown = 0;
  for (int r = 0; r < list.RowCount(); ++r) shown += list.topLevelItem(r)->isHidden() ? 0 : 1;
  return shown;
}

int Run(int runs, std::size_t tracks) {
  DemoSite site({.tracks_per_category = tracks});
  if (!site.Start()) {
    std::fprintf(stderr, "site: %s\n", site.Error().c_str());
    return 1;
  }
  auto state = catalogue::CreateDownloadState();
  MainWindow window;
  CatalogueEvents events(window, *state, {site.CatalogueBaseUrl(), site.MediaBaseUrl()},
                         ProgramFolderText());
  BindEvents(window, events);
  window.CompleteCreation();
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  window.activateWindow();
  if (!QTest::qWaitForWindowActive(&window)) return 1;
  window.category_box().setCurrentIndex(5);
  QTest::keyClick(&window.category_box(), Qt::Key_Down);  // 英文CLUB: titles in English
  TrackList& list = window.track_list();
  if (list.RowCount() != static_cast<int>(tracks)) {
    std::fprintf(stderr, "the list holds %d rows\n", list.RowCount());
    return 1;
  }
  std::vector<QString> titles;
  for (int r = 0; r < list.RowCount(); ++r) titles.push_back(list.topLevelItem(r)->text(0));

  // Typed letter by letter, then taken back: from every row to a few.
  const std::string typed = "vega - ne";
  Figures narrowing, widening, closing, peer;
  int fewest = list.RowCount();
  int after_first = 0;
  for (int run = 0; run < runs; ++run) {
    list.setFocus();
    QApplication::processEvents();
    for (const char c : typed) {
      const auto start = Clock::now();
      QTest::keyClick(window.windowHandle(), c);
      list.viewport()->repaint();
      narrowing.ms.push_back(Ms(Clock::now() - start));
      fewest = std::min(fewest, ShownRows(list));
      if (c == typed.front()) after_first = ShownRows(list);

      const QString needle = list.Finder().Field().text();
      int holding = 0;
      const auto peer_start = Clock::now();
      for (const QString& title : titles) holding += title.contains(needle, Qt::CaseInsensitive);
      peer.ms.push_back(Ms(Clock::now() - peer_start));
      if (holding != ShownRows(list)) {
        std::fprintf(stderr, "%d rows hold the text, %d shown\n", holding, ShownRows(list));
        return 1;
      }
    }
    for (std::size_t i = 1; i < typed.size(); ++i) {
      const auto start = Clock::now();
      QTest::keyClick(window.windowHandle(), Qt::Key_Backspace);
      list.viewport()->repaint();
      widening.ms.push_back(Ms(Clock::now() - start));
    }
    const auto start = Clock::now();
    QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
    list.viewport()->repaint();
    closing.ms.push_back(Ms(Clock::now() - start));
    if (ShownRows(list) != list.RowCount()) return 1;
  }
  std::printf("type to find over %zu rows in the real window (offscreen), %d runs of \"%s\"\n",
              tracks, runs, typed.c_str());
  std::printf("%-52s %10s %10s\n", "keystroke, key press to the list repainted", "median ms",
              "max ms");
  std::printf("%-52s %10.2f %10.2f\n", "  a letter typed (fewer rows shown)", narrowing.Median(),
              narrowing.Max());
  std::printf("%-52s %10.2f %10.2f\n", "  Backspace (more rows shown)", widening.Median(),
              widening.Max());
  std::printf("%-52s %10.2f %10.2f\n", "  Escape (every row shown again)", closing.Median(),
              closing.Max());
  std::printf("%-52s %10.2f %10.2f\n", "  peer: every title tested, nothing hidden", peer.Median(),
              peer.Max());
  std::printf("rows shown: %d of %zu after the first letter, %d after the last\n", after_first,
              tracks, fewest);
  return 0;
}

}  // namespace
}  // namespace wuqu

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  return wuqu::Run(runs, static_cast<std::size_t>(rows));
}
