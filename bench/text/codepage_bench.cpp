// Utf8ToLocalText beside one whole-buffer iconv call over the same 5 MB page,
// and over pages iconv refuses (Thai, emoji, broken UTF-8, mixed), where the
// figure to beat is 200 MB/s. LocalTextToUtf8 beside iconv on Chinese program
// text, and alone on bytes that are not code page 936.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <iterator>
#include <random>
#include <string>
#include <string_view>

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

// A page of `piece` repeated, or of pieces drawn at random, to 5 MB.
std::string Repeated(std::string_view piece) {
  std::string p;
  while (p.size() + piece.size() <= kPageBytes) p += piece;
  return p;
}

const std::string& ThaiPage() {
  static const std::string page = Repeated("\xE0\xB8\x81\xE0\xB8\xB2\xE0\xB8\xA3");  // การ
  return page;
}

const std::string& EmojiPage() {
  static const std::string page = Repeated("\xF0\x9F\x98\x80\xF0\x9F\x8E\xB5");
  return page;
}

const std::string& LatinExtendedPage() {
  static const std::string page = Repeated("\xC4\x82");  // Ă
  return page;
}

const std::string& ChineseAndThaiPage() {
  static const std::string page = Repeated("\xE4\xB8\xAD\xE0\xB8\x81");  // 中ก
  return page;
}

// Chinese, Thai, emoji, tag characters, ASCII and broken pieces of every
// kind, mixed at random.
const std::string& MixedBrokenPage() {
  static const std::string page = [] {
    std::mt19937 rng(3);
    const std::string_view pieces[] = {"\xE0\xB8\x81",
                                       "\xF0\x9F\x98\x80",
                                       "\xF3\xA0\x81\x81",
                                       "<td>",
                                       "a",
                                       "\x80",
                                       "\xFF",
                                       "\xE4\xB8",
                                       "\xC0\xAF",
                                       "\xED\xA0\x80",
                                       "\xF4\x90\x80\x80",
                                       "\xC3",
                                       "\xE2\x82\xAC",
                                       "\xC2\xB7"};
    std::string p;
    while (p.size() + 8 <= kPageBytes) {
      if (rng() % 3 == 0) {
        p += RandomChineseUtf8(rng);
      } else {
        p += pieces[rng() % std::size(pieces)];
      }
    }
    return p;
  }();
  return page;
}

// Random bytes other than zero: every branch on what a byte holds is a guess,
// and runs of ASCII are one or two bytes long.
const std::string& RandomBytesPage() {
  static const std::string page = [] {
    std::mt19937 rng(4);
    std::string p(kPageBytes, '\0');
    for (char& c : p) c = static_cast<char>(1 + rng() % 255);
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

// Program text: the Chinese page converted, and bytes that are not code page
// 936 (invalid bytes, runs of 0x80, lead bytes without a trail, unmapped
// pairs).
const std::string& ChineseLocalPage() {
  static const std::string page = wuqu::Utf8ToLocalText(AllChinesePage());
  return page;
}

const std::string& HostileLocalPage() {
  static const std::string page = [] {
    std::mt19937 rng(4);
    const std::string_view pieces[] = {"\xFF",     "\x80",     "\x81 ",   "\xAA\xA1",
                                       "\xFE\x7F", "\x81\xFF", "\xD6\xD0"};
    std::string p;
    while (p.size() + 2 <= kPageBytes) p += pieces[rng() % std::size(pieces)];
    return p;
  }();
  return page;
}

const std::string& RunOf0xFFPage() {
  static const std::string page(kPageBytes, '\xFF');
  return page;
}

void LocalTextToUtf8(benchmark::State& state, const std::string& (*page)()) {
  const std::string& local = page();
  for (auto _ : state) benchmark::DoNotOptimize(wuqu::LocalTextToUtf8(local));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * local.size()));
}

void IconvWholeBufferToUtf8(benchmark::State& state, const std::string& (*page)()) {
  const std::string& local = page();
  iconv_t cd = ::iconv_open("UTF-8", "CP936");
  std::string out(local.size() * 3 / 2 + 16, '\0');
  for (auto _ : state) {
    char* src = const_cast<char*>(local.data());
    char* dst = out.data();
    std::size_t src_left = local.size(), dst_left = out.size();
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
      state.SkipWithError("iconv refused the page");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  ::iconv_close(cd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * local.size()));
}

BENCHMARK_CAPTURE(Utf8ToLocalText, mostly_ascii_5MB, MostlyAsciiPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IconvWholeBuffer, mostly_ascii_5MB, MostlyAsciiPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, all_chinese_5MB, AllChinesePage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IconvWholeBuffer, all_chinese_5MB, AllChinesePage)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(Utf8ToLocalText, thai_5MB, ThaiPage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, emoji_5MB, EmojiPage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, latin_extended_5MB, LatinExtendedPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, chinese_and_thai_5MB, ChineseAndThaiPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, mixed_broken_5MB, MixedBrokenPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Utf8ToLocalText, random_bytes_5MB, RandomBytesPage)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(LocalTextToUtf8, chinese_5MB, ChineseLocalPage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(IconvWholeBufferToUtf8, chinese_5MB, ChineseLocalPage)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LocalTextToUtf8, hostile_5MB, HostileLocalPage)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LocalTextToUtf8, run_of_0xFF_5MB, RunOf0xFFPage)->Unit(benchmark::kMillisecond);

}  // namespace
