// FillTrackList over a listing page of 10,000 links in an in-memory window,
// beside the listing pattern's match over the same page with no rows made:
// what the rows cost above the search itself.
//
//   build/bin/bench_catalogue_fill
#include <benchmark/benchmark.h>

#include "catalogue/listing.h"
#include "catalogue/memory_window.h"
#include "site/site_catalogue.h"
#include "text/codepage.h"
#include "text/regex_wrapper.h"

namespace wuqu::catalogue {
namespace {

constexpr std::size_t kLinks = 10000;

// The demo site's listing page of a category with 10,000 tracks, in program text.
const Text& ListingPage() {
  static const Text page = [] {
    const SiteCatalogue catalogue = SiteCatalogue::BuiltIn(kLinks);
    return Utf8ToLocalText(RenderListingPage(catalogue, 0));
  }();
  return page;
}

void BM_FillTrackList(benchmark::State& state) {
  const Text& page = ListingPage();
  int rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_unique<testing::MemoryWindow>();
    state.ResumeTiming();
    rows = FillTrackList(*window, page, "http://127.0.0.1:8077/");
    benchmark::DoNotOptimize(window->rows.data());
    state.PauseTiming();
    window.reset();
    state.ResumeTiming();
  }
  if (rows != static_cast<int>(kLinks)) state.SkipWithError("not every link became a row");
  state.SetItemsProcessed(state.iterations() * rows);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
  state.counters["page_bytes"] = static_cast<double>(page.size());
}
BENCHMARK(BM_FillTrackList)->Unit(benchmark::kMillisecond);

// The peer: the same search and the same sub-match reads, no rows.
void BM_ListingPatternOnly(benchmark::State& state) {
  const Text& page = ListingPage();
  int count = 0;
  for (auto _ : state) {
    RegexWrapper regex;
    regex.Compile(TrackListPattern, page, false, false, true, true);
    count = regex.MatchCount();
    for (int i = 1; i <= count; ++i) {
      benchmark::DoNotOptimize(regex.SubMatchText(i, 3));
      benchmark::DoNotOptimize(regex.SubMatchText(i, 1));
    }
  }
  if (count != static_cast<int>(kLinks)) state.SkipWithError("not every link matched");
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}
BENCHMARK(BM_ListingPatternOnly)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace wuqu::catalogue
