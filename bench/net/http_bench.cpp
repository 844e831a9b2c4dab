// HttpRequest fetching a 1 MB body from a loopback server, beside bare curl
// easy handles doing the same GET. HttpRequest makes a new request object
// (and so a new connection) and returns a new byte array per call, so the
// fair peer is a fresh easy handle filling a fresh buffer per request; curl's
// best case, one handle keeping its connection and its buffer, is shown too.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <string>
#include <thread>

#include "net/http_request.h"

namespace {

constexpr std::size_t kBodyBytes = 1 << 20;

class LoopbackServer {
 public:
  LoopbackServer() : body_(kBodyBytes, 'm') {
    server_.Get("/1mb", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(body_, "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~LoopbackServer() {
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/1mb"; }

 private:
  std::string body_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

LoopbackServer& Server() {
  static LoopbackServer server;
  return server;
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  auto* body = static_cast<std::vector<std::uint8_t>*>(out);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  body->insert(body->end(), bytes, bytes + size * count);
  return size * count;
}

bool BareGet(CURL* curl, const std::string& url, std::vector<std::uint8_t>& body) {
  body.clear();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  return curl_easy_perform(curl) == CURLE_OK;
}

void Finish(benchmark::State& state, std::size_t last_size) {
  if (last_size != kBodyBytes) state.SkipWithError("short body");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_HttpRequest(benchmark::State& state) {
  const std::string url = Server().Url();
  std::size_t size = 0;
  for (auto _ : state) {
    const wuqu::ByteArray body = wuqu::HttpRequest(url);
    size = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  Finish(state, size);
}

void BM_CurlFreshHandle(benchmark::State& state) {
  const std::string url = Server().Url();
  std::size_t size = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> body;
    CURL* curl = curl_easy_init();
    BareGet(curl, url, body);
    curl_easy_cleanup(curl);
    size = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  Finish(state, size);
}

void BM_CurlReusedHandle(benchmark::State& state) {
  const std::string url = Server().Url();
  std::vector<std::uint8_t> body;
  CURL* curl = curl_easy_init();
  for (auto _ : state) {
    BareGet(curl, url, body);
    benchmark::DoNotOptimize(body.data());
  }
  curl_easy_cleanup(curl);
  Finish(state, body.size());
}

BENCHMARK(BM_HttpRequest)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlFreshHandle)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlReusedHandle)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
