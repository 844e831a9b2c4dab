// How fast the demo site makes and serves synthetic media, beside a bare
// cpp-httplib server sending the same bytes from memory: the site must not be
// what limits a downloader on loopback.
//
//   build/bin/bench_site
//   build/bin/bench_site --benchmark_filter=Loopback
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <sys/resource.h>

#include <cstring>
#include <thread>

#include "site/demo_site.h"
#include "site/synthetic.h"

namespace wuqu {
namespace {

constexpr std::uint64_t kFileSize = 512ull << 20;
constexpr std::size_t kChunk = 128 * 1024;

double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Filling the pieces a response writes, one after another.
void BM_SyntheticFill(benchmark::State& state) {
  const SyntheticBytes gen(2024);
  std::vector<char> buffer(kChunk);
  const std::uint64_t skew = static_cast<std::uint64_t>(state.range(0));  // 0: word-aligned
  std::uint64_t offset = skew;
  for (auto _ : state) {
    gen.Fill(offset, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(buffer.data());
    offset += buffer.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_SyntheticFill)->Arg(0)->Arg(3);

// For comparison: copying the same amount from memory.
void BM_MemoryCopy(benchmark::State& state) {
  std::vector<char> source(64ull << 20, 'x');
  std::vector<char> buffer(kChunk);
  std::size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(buffer.data(), source.data() + offset, buffer.size());
    benchmark::DoNotOptimize(buffer.data());
    offset = (offset + buffer.size()) % (source.size() - buffer.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_MemoryCopy);

std::size_t Discard(char*, std::size_t size, std::size_t n, void* counter) {
  *static_cast<std::uint64_t*>(counter) += size * n;
  return size * n;
}

// Downloads [0, kFileSize) of `url` over `connections` ranged connections at
// once (one curl multi handle, as a downloader would), discarding the bytes.
std::uint64_t Download(const std::string& url, int connections) {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> easies;
  std::vector<std::uint64_t> received(static_cast<std::size_t>(connections));
  for (int i = 0; i < connections; ++i) {
    const std::uint64_t first = kFileSize * i / connections;
    const std::uint64_t last = kFileSize * (i + 1) / connections - 1;
    const std::string range = std::to_string(first) + "-" + std::to_string(last);
    CURL* e = curl_easy_init();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &received[static_cast<std::size_t>(i)]);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_multi_add_handle(multi, e);
    easies.push_back(e);
  }
  for (int running = 1; running > 0;) {
    curl_multi_perform(multi, &running);
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < easies.size(); ++i) {
    curl_multi_remove_handle(multi, easies[i]);
    curl_easy_cleanup(easies[i]);
    total += received[i];
  }
  curl_multi_cleanup(multi);
  return total;
}

void RunLoopback(benchmark::State& state, const std::string& url) {
  const int connections = static_cast<int>(state.range(0));
  std::uint64_t bytes = 0;
  const double cpu_before = ProcessCpuSeconds();
  for (auto _ : state) {
    bytes += Download(url, connections);
  }
  const double cpu = ProcessCpuSeconds() - cpu_before;
  if (bytes != kFileSize * state.iterations()) state.SkipWithError("short download");
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  // Server and client share this process: CPU seconds of both, per download.
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

void BM_LoopbackDemoSite(benchmark::State& state) {
  DemoSite site;
  if (!site.Start()) {
    state.SkipWithError(site.Error().c_str());
    return;
  }
  RunLoopback(state, site.SyntheticMediaUrl(kFileSize, 7));
}
BENCHMARK(BM_LoopbackDemoSite)
    ->Arg(1)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The peer: cpp-httplib serving a file held in memory, ranges by httplib,
// the same piece size as the site. No generation, no fault checks.
void BM_LoopbackBareHttplibFromMemory(benchmark::State& state) {
  static const std::string file = SyntheticBytes(7).Range(0, kFileSize);
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.Get("/file.mp4", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(file.size(), "video/mp4",
                             [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               return sink.write(file.data() + offset, std::min(length, kChunk));
                             });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  RunLoopback(state, "http://127.0.0.1:" + std::to_string(port) + "/file.mp4");
  server.stop();
  listener.join();
}
BENCHMARK(BM_LoopbackBareHttplibFromMemory)
    ->Arg(1)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace wuqu
