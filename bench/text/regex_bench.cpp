// RegexWrapper with the listing pattern over a 5 MB listing page of 20,000
// links, beside std::regex on the same page: once over the whole page and once
// line by line (no match of this pattern spans lines). std::regex recurses for
// each byte a match covers, so the whole-page search only works because every
// match of this page is short: one title of 200 KB overflows an 8 MB stack.
#include <benchmark/benchmark.h>

#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "text/codepage.h"
#include "text/regex_testing.h"
#include "text/regex_wrapper.h"

namespace {

constexpr int kLinks = 20000;
constexpr std::size_t kPageBytes = 5 * 1000 * 1000;

const char kListingPattern[] =
    "<td><a href=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5 id=#\xD2\xFD\xBA\xC5(.*?)#\xD2\xFD\xBA\xC5"
    " target=#\xD2\xFD\xBA\xC5play#\xD2\xFD\xBA\xC5>(.*?)</a>";  // #引号 for each quote
const char kListingPatternQuoted[] = "<td><a href=\"(.*?)\" id=\"(.*?)\" target=\"play\">(.*?)</a>";

// One link per line, padded with other cells to 250 bytes a line.
const wuqu::Text& ListingPage() {
  static const wuqu::Text page = [] {
    const wuqu::Text title = wuqu::Utf8ToLocalText(std::string_view("中文舞曲 DJ 串烧 "));
    wuqu::Text p;
    const std::size_t line_bytes = kPageBytes / kLinks;
    for (int i = 0; i < kLinks; ++i) {
      const std::string n = std::to_string(i);
      std::string line = "<tr><td class=\"no\">" + n + "</td><td><a href=\"/m/" + n + "/\" id=\"" +
                         n + "\" target=\"play\">" + title + n + "</a></td><td>2024-05-01</td>";
      while (line.size() + 6 < line_bytes) line += "<td/>";
      line.resize(line_bytes - 6);
      p += line + "</tr>\n";
    }
    return p;
  }();
  return page;
}

void RegexWrapperListing(benchmark::State& state, bool interpreter) {
  std::optional<wuqu::RegexInterpreterOnly> interpreter_only;
  if (interpreter) interpreter_only.emplace();
  const wuqu::Text& page = ListingPage();
  for (auto _ : state) {
    state.PauseTiming();
    wuqu::Text subject = page;  // the track list hands its page over
    state.ResumeTiming();
    wuqu::RegexWrapper regex;
    if (!regex.Compile(kListingPattern, std::move(subject), false, false, true, true) ||
        regex.MatchCount() != kLinks) {
      state.SkipWithError("wrong number of links");
      break;
    }
    for (int i = 1; i <= regex.MatchCount(); ++i) {
      benchmark::DoNotOptimize(regex.SubMatchText(i, 3));
      benchmark::DoNotOptimize(regex.SubMatchText(i, 1));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
  state.SetLabel(interpreter || !wuqu::RegexUsesJit() ? "interpreter" : "JIT");
}

void StdRegexWholePage(benchmark::State& state) {
  const wuqu::Text& page = ListingPage();
  const std::regex pattern(kListingPatternQuoted, std::regex::ECMAScript | std::regex::icase);
  for (auto _ : state) {
    int links = 0;
    for (std::sregex_iterator it(page.begin(), page.end(), pattern), done; it != done; ++it) {
      benchmark::DoNotOptimize((*it)[3].str());
      benchmark::DoNotOptimize((*it)[1].str());
      ++links;
    }
    if (links != kLinks) {
      state.SkipWithError("wrong number of links");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void StdRegexLineByLine(benchmark::State& state) {
  const wuqu::Text& page = ListingPage();
  const std::regex pattern(kListingPatternQuoted, std::regex::ECMAScript | std::regex::icase);
  for (auto _ : state) {
    int links = 0;
    std::size_t start = 0;
    while (start < page.size()) {
      std::size_t end = page.find_first_of("\r\n", start);
      if (end == wuqu::Text::npos) end = page.size();
      const auto first = page.begin() + static_cast<std::ptrdiff_t>(start);
      const auto last = page.begin() + static_cast<std::ptrdiff_t>(end);
      for (std::sregex_iterator it(first, last, pattern), done; it != done; ++it) {
        benchmark::DoNotOptimize((*it)[3].str());
        benchmark::DoNotOptimize((*it)[1].str());
        ++links;
      }
      start = end + 1;
    }
    if (links != kLinks) {
      state.SkipWithError("wrong number of links");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

// The worst pages found for the engine's bound: one long line of unclosed
// links (every start reaches the bound), short lines full of them (quadratic
// and cubic work for the interpreter), and lines that each hold a good link
// among twenty unclosed ones. Each should end quickly and keep its good
// links; the label gives the links found.
wuqu::Text HostilePage(std::size_t bytes, std::string_view unit, int units_per_line,
                       bool good_link_per_line = false) {
  std::string line =
      good_link_per_line ? "<tr><td><a href=\"/m/1/\" id=\"1\" target=\"play\">t</a>" : "";
  for (int i = 0; i < units_per_line && line.size() + unit.size() < bytes; ++i) line += unit;
  line += "\n";
  wuqu::Text page;
  while (page.size() + line.size() <= bytes) page += line;
  return page;
}

void RegexWrapperHostile(benchmark::State& state, bool interpreter, std::string_view unit,
                         int units_per_line, bool good_link_per_line) {
  std::optional<wuqu::RegexInterpreterOnly> interpreter_only;
  if (interpreter) interpreter_only.emplace();
  const wuqu::Text page = HostilePage(static_cast<std::size_t>(state.range(0)), unit,
                                      units_per_line, good_link_per_line);
  int links = -1;
  for (auto _ : state) {
    state.PauseTiming();
    wuqu::Text subject = page;
    state.ResumeTiming();
    wuqu::RegexWrapper regex;
    links = regex.Compile(kListingPattern, std::move(subject), false, false, true, true)
                ? regex.MatchCount()
                : -1;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
  state.SetLabel(std::string(interpreter || !wuqu::RegexUsesJit() ? "interpreter" : "JIT") +
                 (links < 0 ? ", Compile failed" : ", " + std::to_string(links) + " links"));
}

// A good link, a dangling one followed by a million bytes on its line, and
// another good link, repeated to the page's size.
void RegexWrapperDanglingBetweenGood(benchmark::State& state, bool interpreter) {
  std::optional<wuqu::RegexInterpreterOnly> interpreter_only;
  if (interpreter) interpreter_only.emplace();
  const std::string good = "<td><a href=\"/m/1/\" id=\"1\" target=\"play\">t</a>\n";
  const std::string block = good + "<td><a href=\"" + std::string(1'000'000, 'x') + "\n" + good;
  wuqu::Text page;
  while (page.size() + block.size() <= static_cast<std::size_t>(state.range(0))) page += block;
  int links = -1;
  for (auto _ : state) {
    state.PauseTiming();
    wuqu::Text subject = page;
    state.ResumeTiming();
    wuqu::RegexWrapper regex;
    links = regex.Compile(kListingPattern, std::move(subject), false, false, true, true)
                ? regex.MatchCount()
                : -1;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
  state.SetLabel(std::string(interpreter || !wuqu::RegexUsesJit() ? "interpreter" : "JIT") +
                 (links < 0 ? ", Compile failed" : ", " + std::to_string(links) + " links"));
}

BENCHMARK_CAPTURE(RegexWrapperListing, jit, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RegexWrapperListing, interpreter, true)->Unit(benchmark::kMillisecond);
BENCHMARK(StdRegexWholePage)->Unit(benchmark::kMillisecond);
BENCHMARK(StdRegexLineByLine)->Unit(benchmark::kMillisecond);

constexpr int kOneLine = 1 << 30;
#define WUQU_HOSTILE(name, unit, units_per_line, good)                                         \
  BENCHMARK_CAPTURE(RegexWrapperHostile, name##_jit, false, unit, units_per_line, good)        \
      ->Arg(2'000'000)                                                                         \
      ->Arg(5'000'000)                                                                         \
      ->Unit(benchmark::kMillisecond);                                                         \
  BENCHMARK_CAPTURE(RegexWrapperHostile, name##_interpreter, true, unit, units_per_line, good) \
      ->Arg(2'000'000)                                                                         \
      ->Arg(5'000'000)                                                                         \
      ->Unit(benchmark::kMillisecond)

WUQU_HOSTILE(one_line, "<td><a href=\"x", kOneLine, false);
WUQU_HOSTILE(one_line_dense, "<td><a href=\"", kOneLine, false);
WUQU_HOSTILE(one_line_cubic, "<td><a href=\"\" id=\"", kOneLine, false);
WUQU_HOSTILE(short_lines, "<td><a href=\"", 70, false);
WUQU_HOSTILE(cubic_lines, "<td><a href=\"\" id=\"", 97, false);
WUQU_HOSTILE(good_among_unclosed_lines, "<td><a href=\"", 20, true);
WUQU_HOSTILE(good_among_long_unclosed_lines, "<td><a href=\"", 200, true);

BENCHMARK_CAPTURE(RegexWrapperDanglingBetweenGood, jit, false)
    ->Arg(5'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RegexWrapperDanglingBetweenGood, interpreter, true)
    ->Arg(5'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
