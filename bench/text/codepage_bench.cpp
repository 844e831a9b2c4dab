// Utf8ToLocalText beside one whole-buffer iconv call over the same 5 MB page.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <random>
#include <string>

#include "text/codepage.h"

namespace {

constexpr std::size_t kPageBytes = 5 * 1024 * 1024;

// A code page 936 character from the GB2312 block of Chinese characters.
std::string RandomChineseUtf8(std::mt19937& rng) {
  static iconv_t cd = ::iconv_open("UTF-8", "CP936");
  char in[2] = {static_cast<char>(0xB0 + rng() % 0x27), static_cast<char>(0xA1 + rng() % 0x5E)};
  if (static_cast<unsigned char>(in[0]) == 0xD7 && static_cast<unsigned char>(in[1]) > 0xF9) {
    in[1] = static_cast<char>(0xA1);  // the row of D7 ends early
  }
  char out[8];
  char* src = in;
  char* dst = out;
  std::size_t src_left = 2, dst_left = sizeof out;
  ::iconv(cd, &src, &src_left, &dst, &dst_left);
  return std::string(out, dst);
}

// A listing page as the site serves it: HTML with a short Chinese title per
// line, about 5 % of its bytes outside ASCII.
const std::string& MostlyAsciiPage() {
  static const std::string page = [] {
    std::mt19937 rng(1);
    std::string p = "<html><head><meta charset=\"utf-8\"></head><body><table>\n";
    for (int i = 0; p.size() < kPageBytes; ++i) {
      const std::string n = std::to_string(i);
      p += "<tr><td class=\"no\">" + n + "</td><td class=\"name\"><a href=\"/m/" + n + "/\" id=\"" +
           n + "\" target=\"play\">";
      for (int c = 0; c < 4; ++c) p += RandomChineseUtf8(rng);
      p += " DJ Remix " + n + "</a></td><td class=\"date\">2024-05-01</td><td>128k</td></tr>\n";
    }
    p.resize(p.rfind('\n', kPageBytes) + 1);
    return p;
  }();
  return page;
}

const std::string& AllChinesePage() {
  static const std::string page = [] {
    std::mt19937 rng(2);
    std::string p;
    while (p.size() + 3 <= kPageBytes) p += RandomChineseUtf8(rng);
    return p;
  }();
  return page;
}

void Utf8ToLocalText(benchmark::State& state, const std::string& (*page)()) {
  const std::string& utf8 = page();
  for (auto _ : state) benchmark::DoNotOptimize(wuqu::Utf8ToLocalText(utf8));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * utf8.size()));
}

void IconvWholeBuffer(benchmark::State& state, const std::string& (*page)()) {
  const std::string& utf8 = page();
  iconv_t cd = ::iconv_open("CP936", "UTF-8");
  std::string out(utf8.size(), '\0');
  for (auto _ : state) {
    char* src = const_cast<char*>(utf8.data());
    char* dst = out.data();
    std::size_t src_left = utf8.size(), dst_left = out.size();
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
      state.SkipWithError("iconv refused the page");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  ::iconv_close(cd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * utf8.size()));
}

BENCHMARK_CAPTURE(Utf8ToLocalText, mostly_ascii_5MB, MostlyAsciiPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IconvWholeBuffer, mostly_ascii_5MB, MostlyAsciiPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, all_chinese_5MB, AllChinesePage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IconvWholeBuffer, all_chinese_5MB, AllChinesePage)->Unit(benchmark::kMillisecond);

}  // namespace
