// A category of 1,000 tracks (or as many as asked) chosen in the real window
// (offscreen) against the demo site on loopback: the time from the choice (a
// key press on 组合框1) to the last row shown, and the same work stage by
// stage in the same window: fetch, conversion to program text, the pattern's
// match, row insertion (the fill with its event run after each row, less
// the match), and the marks of the rows: half the tracks downloaded and a
// fifth failed, as a store of 10,000 downloads remembers them; and the
// new-track marks, a tenth of the category listed since its first visit:
// the listing remembered and read back (one write, one read), and the rule
// and badges over the rows. Then the tag step on a 10 MB track (copy, tag, check, flush, rename, folder flush),
// beside a plain `cp` of the same file followed by `sync`.
//
//   build/bin/bench_catalogue_window [runs] [rows]
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <iostream>
#include <optional>
#include <vector>

#include "app/bindings.h"
#include "app/catalogue_events.h"
#include "app/main_window.h"
#include "catalogue/download.h"
#include "catalogue/download_state.h"
#include "catalogue/listing.h"
#include "catalogue/new_tracks.h"
#include "catalogue/stored_download_log.h"
#include "net/http_request.h"
#include "site/demo_site.h"
#include "tags/tag_file.h"
#include "text/codepage.h"
#include "text/regex_wrapper.h"

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

// When `widget` was last painted, and how often.
class PaintLog : public QObject {
 public:
  explicit PaintLog(QWidget* widget) { widget->installEventFilter(this); }
  Clock::time_point last;
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      last = Clock::now();
    }
    return false;
  }
};

double Time(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return Ms(Clock::now() - start);
}

// The tag step on a faststart track of about 10 MB (the demo track looped,
// its samples copied), the copy the costlier case: TagLib moves the media to
// make room in front of it. Beside it, the same bytes copied by cp and
// flushed by sync. Run in turns, each on a fresh untagged file.
int TagStep(int runs) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string source = folder + "/source.mp4";
  const std::string command = std::string("ffmpeg -nostdin -v error -y -stream_loop 399 -i '") +
                              WUQU_DEMO_TRACK + "' -c copy -f mp4 -movflags +faststart '" + source +
                              "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "ffmpeg could not make the 10 MB track\n");
    return 1;
  }
  const tags::TrackTags track_tags{Utf8ToLocalText(std::string_view("新 DJ北川 & DJ小满")),
                                   Utf8ToLocalText(std::string_view("中文舞曲")),
                                   "http://127.0.0.1:8077/m/216717/"};
  const std::string work = folder + "/216717.mp4";
  const std::string peer = folder + "/peer.mp4";
  const std::string cp = "cp '" + source + "' '" + peer + "' && sync";
  Figures tagging, copying;
  for (int r = 0; r < runs; ++r) {
    std::filesystem::copy_file(source, work, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(peer);
    if (std::system("sync") != 0) return 1;
    bool tagged = false;
    tagging.ms.push_back(Time([&] {
      tagged = tags::TagFile(work, track_tags).outcome == tags::TagOutcome::kTagged;
    }));
    if (!tagged) {
      std::fprintf(stderr, "the track was not tagged\n");
      return 1;
    }
    copying.ms.push_back(Time([&] {
      if (std::system(cp.c_str()) != 0) std::abort();
    }));
  }
  std::printf("\ntag step on a %.1f MB faststart track, %d runs\n",
              static_cast<double>(std::filesystem::file_size(source)) / 1e6, runs);
  std::printf("%-44s %10s %10s\n", "", "median ms", "min ms");
  std::printf("%-44s %10.2f %10.2f\n", "copy, tag, check, flush, rename (TagFile)",
              tagging.Median(), tagging.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  peer: cp of the same file, then sync", copying.Median(),
              copying.Min());
  return 0;
}

int Run(int runs, std::size_t kTracks) {
  DemoSite site({.tracks_per_category = kTracks});
  if (!site.Start()) {
    std::fprintf(stderr, "site: %s\n", site.Error().c_str());
    return 1;
  }
  const catalogue::SiteAddresses sites{site.CatalogueBaseUrl(), site.MediaBaseUrl()};
  auto state = catalogue::CreateDownloadState();
  QTemporaryDir data;
  {
    // 10,000 downloads remembered: the listed tracks of categories 3 and 4,
    // every other one complete and every fifth failed, and others besides.
    std::unique_ptr<store::Store> store =
        store::Store::Open(data.filePath("wuqu.sqlite").toStdString()).store;
    std::vector<std::string> tracks;
    for (const std::size_t category : {3u, 4u}) {
      for (const SiteTrack& t : site.Categories()[category].tracks) {
        tracks.push_back(sites.catalogue_base_url + t.href);
      }
    }
    for (int i = 0; tracks.size() < 10000; ++i) {
      tracks.push_back("http://elsewhere/m/" + std::to_string(i) + "/");
    }
    // Category 3 visited three days ago with nine tenths of its tracks, the
    // rest listed since, a day ago: a tenth of its rows new.
    const std::vector<SiteTrack>& listed = site.Categories()[3].tracks;
    std::vector<std::string> hrefs;
    for (const SiteTrack& t : listed) hrefs.push_back(t.href);
    const std::int64_t now = catalogue::WallClockMs();
    constexpr std::int64_t kDay = 24 * 60 * 60 * 1000;
    const std::string category(catalogue::kCategoryListingPaths[3]);
    store->RecordListing(category,
                         std::vector<std::string>(hrefs.begin(), hrefs.begin() + hrefs.size() * 9 / 10),
                         now - 3 * kDay);
    store->RecordListing(category, hrefs, now - kDay);
    const std::vector<std::int64_t> ids = store->AddDownloads(tracks, true);
    for (std::size_t i = 0; i < ids.size(); i += 2) {
      store->MarkRunning(ids[i], "m", "/d/" + std::to_string(i));
      if (i % 5 == 0) {
        store->MarkFailed(ids[i], 1, 0);
      } else {
        store->MarkComplete(ids[i], 1000);
      }
    }
  }
  state->log =
      catalogue::OpenDownloadLog(data.filePath("wuqu.sqlite").toStdString(), std::cerr);
  MainWindow window;
  CatalogueEvents events(window, *state, sites, ProgramFolderText());
  BindEvents(window, events);
  window.CompleteCreation();
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  CategoryBox& box = window.category_box();
  TrackList& list = window.track_list();
  box.setCurrentIndex(3);

  // The user's choice: 3 and 4 in turn, both of kTracks tracks. The last
  // row is shown by the list's last repaint, which may come after the
  // handler has returned.
  Figures total, handler, repaint_rate;
  PaintLog list_paints(list.viewport());
  for (int r = 0; r < runs + 1; ++r) {
    const Qt::Key key = box.SelectedIndex() == 3 ? Qt::Key_Down : Qt::Key_Up;
    const int paints_before = list_paints.paints;
    const auto start = Clock::now();
    QTest::keyClick(&box, key);
    const auto returned = Clock::now();
    const int paints_during = list_paints.paints - paints_before;
    QTest::qWait(100);  // the repaint held back for the next frame, if any
    const auto shown = std::max(returned, list_paints.last);
    if (list.RowCount() != static_cast<int>(kTracks)) {
      std::fprintf(stderr, "the list holds %d rows\n", list.RowCount());
      return 1;
    }
    if (r == 0) continue;  // the first run warms up
    total.ms.push_back(Ms(shown - start));
    handler.ms.push_back(Ms(returned - start));
    repaint_rate.ms.push_back(paints_during * 1000.0 / std::max(Ms(returned - start), 1e-3));
  }

  // The same fill with nothing run between rows: the widget's own work.
  NoEventPump no_pump;
  catalogue::CatalogueWindow& c = events.Controls();
  catalogue::CatalogueWindow without_events{
      c.track_list, c.category_box,     c.track_id_box, c.address_box, c.player,      c.error_box,
      no_pump,      c.thread_count_box, c.progress_bar, c.timer,       c.status_label};

  Figures fetch, convert, match, fill, fill_quiet, clear, marks, remark;
  Figures new_marks, new_listed, new_rows;
  int new_count = 0;
  const Text category(catalogue::kCategoryListingPaths[3]);
  const Text url = catalogue::ListingUrl(sites.catalogue_base_url, 3);
  for (int r = 0; r < runs; ++r) {
    ByteArray body;
    Text page;
    fetch.ms.push_back(Time([&] { body = HttpRequest(url); }));
    convert.ms.push_back(Time([&] { page = Utf8ToLocalText(body); }));
    match.ms.push_back(Time([&] {
      RegexWrapper regex;
      regex.Compile(catalogue::TrackListPattern, page, false, false, true, true);
      if (regex.MatchCount() != static_cast<int>(kTracks)) std::abort();
    }));
    clear.ms.push_back(Time([&] { list.DeleteAllRows(); }));
    fill.ms.push_back(
        Time([&] { catalogue::FillTrackList(events.Controls(), page, sites.catalogue_base_url); }));
    marks.ms.push_back(Time([&] { catalogue::MarkTrackRows(events.Controls(), *state->log); }));
    remark.ms.push_back(Time([&] { catalogue::MarkTrackRows(events.Controls(), *state->log); }));
    const std::int64_t now = catalogue::WallClockMs();
    new_marks.ms.push_back(Time([&] {
      catalogue::MarkNewTracks(events.Controls(), *state->log, 3, sites.catalogue_base_url, now);
    }));
    // The same in its two parts: the memory, then the rule and the badges.
    std::vector<Text> hrefs;
    for (int row = 0; row < list.RowCount(); ++row) {
      hrefs.push_back(list.GetCellText(row, 1).substr(sites.catalogue_base_url.size()));
    }
    std::optional<catalogue::ListingTimes> times;
    new_listed.ms.push_back(Time([&] { times = state->log->Listed(category, hrefs, now); }));
    if (!times) std::abort();
    // The badges taken off again, so that the rows change as after a fill.
    for (int row = 0; row < list.RowCount(); ++row) c.track_list.SetRowNew(row, false);
    new_count = 0;
    new_rows.ms.push_back(Time([&] {
      for (int row = 0; row < list.RowCount(); ++row) {
        const bool is_new = catalogue::IsNewTrack(
            times->first_listed_ms[static_cast<std::size_t>(row)], times->first_visit_ms, now);
        new_count += is_new ? 1 : 0;
        c.track_list.SetRowNew(row, is_new);
      }
    }));
    list.DeleteAllRows();
    QApplication::processEvents();
    fill_quiet.ms.push_back(
        Time([&] { catalogue::FillTrackList(without_events, page, sites.catalogue_base_url); }));
    QApplication::processEvents();  // the next run's clear removes these rows
  }
  // The peer of the event runs: one run per row with nothing to repaint.
  Figures idle;
  for (int r = 0; r < runs; ++r) {
    idle.ms.push_back(Time([&] {
      for (std::size_t i = 0; i < kTracks; ++i) c.pump.ProcessPendingEvents();
    }));
  }
  const double insert = fill.Median() - match.Median();
  std::printf("%zu rows in the real window (offscreen), site on loopback, %d runs\n", kTracks,
              runs);
  std::printf("%-44s %10s %10s\n", "stage", "median ms", "min ms");
  std::printf("%-44s %10.2f %10.2f\n", "choice to last row shown (key on 组合框1)", total.Median(),
              total.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  choice to the handler's return", handler.Median(),
              handler.Min());
  std::printf("%-44s %10.1f %10.1f\n", "  list repaints per second during the handler",
              repaint_rate.Median(), repaint_rate.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  fetch (HttpRequest)", fetch.Median(), fetch.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  conversion (Utf8ToLocalText)", convert.Median(),
              convert.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  matching (RegexWrapper)", match.Median(), match.Min());
  std::printf("%-44s %10.2f %10s\n", "  row insertion (fill less matching)", insert, "-");
  std::printf("%-44s %10.2f %10s\n", "    of which the rows themselves (no events)",
              fill_quiet.Median() - match.Median(), "-");
  std::printf("%-44s %10.2f %10s\n", "    of which the events run after each row",
              fill.Median() - fill_quiet.Median(), "-");
  std::printf("%-44s %10.2f %10.2f\n", "    peer: an event run per row, nothing to paint",
              idle.Median(), idle.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  marking the rows (after the fill)", marks.Median(),
              marks.Min());
  std::printf("%-44s %10.2f %10.2f\n", "    of which reading the rows (marking again)",
              remark.Median(), remark.Min());
  std::printf("%-44s %10.2f %10.2f\n", "  new-track marks (MarkNewTracks)", new_marks.Median(),
              new_marks.Min());
  std::printf("%-44s %10.2f %10.2f\n", "    of which the memory (one write, one read)",
              new_listed.Median(), new_listed.Min());
  std::printf("%-44s %10.2f %10.2f\n", "    of which the rule and the badges",
              new_rows.Median(), new_rows.Min());
  std::printf("%-44s %10d\n", "    rows new", new_count);
  std::printf("%-44s %10.1f %%\n", "    marks beside the fill", 100.0 * marks.Median() / fill.Median());
  std::printf("%-44s %10.1f %%\n", "    marks beside choice to last row shown",
              100.0 * marks.Median() / total.Median());
  std::printf("%-44s %10.2f %10.2f\n", "  clearing the previous rows", clear.Median(), clear.Min());
  std::printf("%-44s %10.2f\n", "  sum of the stages",
              fetch.Median() + convert.Median() + fill.Median() + marks.Median() + new_marks.Median() +
                  clear.Median());
  std::printf("page: %zu bytes UTF-8\n", HttpRequest(url).size());
  return TagStep(runs);
}

}  // namespace
}  // namespace wuqu

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
  return wuqu::Run(runs, static_cast<std::size_t>(rows));
}
