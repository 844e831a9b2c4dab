// The downloader beside curl and aria2c, all against the wuqu-site program on
// loopback, each client a process of its own measured by wait4: wall time,
// CPU seconds (user + system) and peak resident memory. Every file is checked
// against the site's SHA-256 before its figures count.
//
//   build/bin/bench_downloader [--runs N] [--dir FOLDER] [--only 1|2|4|5|6]
//
//   1. unthrottled, 512 MiB: ours with 20 connections, curl with one (also with its
//      file flushed to disk afterwards, the promise ours keeps), aria2c -x16 -s16
//   2. 2 MB/s per connection, 64 MB: ours with 20, aria2c -x16 -s16, curl with one
//   3. peak resident memory of ours in 1 (the RSS column)
//   4. 2 MB/s per connection, 256 MB, one ranged request of the download sent
//      at 1 byte/s: ours and aria2c, each with and without that trickler
//   5. a host that serves 4 media responses at once, each at 2 MiB/s, 64 MB,
//      20 connections asked: ours and aria2c -x16 -s16 -k1M, each on a fresh
//      site, with the 503s each got
//   6. a host that keeps 4 TCP connections open at once, idle kept-alive ones
//      included, and closes any further one as soon as it is accepted, each
//      response at 2 MiB/s, 64 MB, 20 connections asked: ours and aria2c -x16
//      -s16 -k1M, each on a fresh site, with the connections each was turned
//      away
//
// MB = 10^6 bytes throughout. The site's own CPU time during each run is shown
// too: on a small machine the site and the client share the cores. A client
// still running after kRunLimit is killed and its run counted as not finished.
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "site/demo_site.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kRunLimit{120};

struct Run {
  bool ok = false;
  bool finished = true;  // false: killed at kRunLimit
  double seconds = 0;
  double cpu = 0;
  double site_cpu = 0;
  double rss_mb = 0;
};

struct Client {
  std::string name;
  std::vector<std::string> argv;  // "{url}", "{dir}", "{name}" and "{file}" are filled in
};

std::string Fill(std::string s, const std::string& key, const std::string& value) {
  for (auto at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
    s.replace(at, key.size(), value);
  return s;
}

pid_t Spawn(const std::vector<std::string>& args, int out_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  }
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// CPU seconds a running process has used so far.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stod(f);
    if (i == 15) stime = std::stod(f);
  }
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

std::string FileSha256(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<char> buf(4 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(in.gcount()));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx, digest, &n);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

class Site {
 public:
  // With `count_refusals` the site logs its requests and the 503 and 429
  // answers are counted, and so are the connections it closed at once for
  // --max-open-connections.
  explicit Site(const std::vector<std::string>& extra, bool count_refusals = false) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::vector<std::string> args = {WUQU_SITE_EXE, "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (count_refusals) args.push_back("--log");
    pid_ = Spawn(args, fds[1]);
    ::close(fds[1]);
    // "wuqu-site: catalogue http://127.0.0.1:PORT/  media ..."
    std::string line;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    const auto at = line.find("catalogue ");
    if (at != std::string::npos) base_ = line.substr(at + 10, line.find(' ', at + 10) - at - 10);
    if (!count_refusals) {
      ::close(fds[0]);
      return;
    }
    // One line a request, its status first; ends when the site does.
    reader_ = std::thread([this, fd = fds[0]] {
      std::string text;
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = text.find('\n')) != std::string::npos) {
          if (text.starts_with("503 ") || text.starts_with("429 ") ||
              text.starts_with("--- a connection closed"))
            ++refusals_;
          text.erase(0, end + 1);
        }
      }
      ::close(fd);
    });
  }
  ~Site() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }
  // The 503 and 429 answers and the connections turned away so far (the
  // site logs every 200 ms).
  int Refusals() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return refusals_.load();
  }
  bool ok() const { return pid_ > 0 && !base_.empty(); }
  pid_t pid() const { return pid_; }
  std::string Url(const std::string& path) const { return base_ + path.substr(1); }

 private:
  pid_t pid_ = -1;
  std::string base_;
  std::thread reader_;
  std::atomic<int> refusals_{0};
};

Run RunOnce(const Client& client, const Site& site, const std::string& url, const std::string& dir,
            const std::string& expected_sha) {
  const std::string name = "bench.mp4";
  const std::string file = dir + "/" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::vector<std::string> args;
  for (const auto& a : client.argv)
    args.push_back(
        Fill(Fill(Fill(Fill(a, "{url}", url), "{dir}", dir), "{name}", name), "{file}", file));
  const int log = ::open((dir + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Run run;
  const double site_before = ProcessCpu(site.pid());
  const auto start = Clock::now();
  const pid_t pid = Spawn(args, log);
  if (log >= 0) ::close(log);
  if (pid < 0) {
    std::fprintf(stderr, "%s: cannot start %s\n", client.name.c_str(), args[0].c_str());
    return run;
  }
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Clock::now() - start >= kRunLimit) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      run.finished = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.site_cpu = ProcessCpu(site.pid()) - site_before;
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.rss_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const std::string sha = exited ? FileSha256(file) : "";
  run.ok = exited && sha == expected_sha;
  if (!run.ok) {
    std::ifstream in(dir + ".log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char* what = !run.finished ? "did not finish"
                       : exited      ? "the file differs from the site's"
                                     : "failed";
    std::fprintf(stderr, "%s: %s\n%s\n", client.name.c_str(), what, text.c_str());
  }
  std::filesystem::remove_all(dir);
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Runs every client `runs` times, in turn, and prints one row each.
void Compare(const char* title, const std::vector<std::string>& site_options, std::uint64_t size,
             const std::vector<Client>& clients, int runs, const std::string& dir) {
  std::printf("\n%s\n", title);
  Site site(site_options);
  if (!site.ok()) {
    std::printf("  the site did not start\n");
    return;
  }
  const std::string path = wuqu::DemoSite::SyntheticMediaPath(size, 2024);
  const std::string url = site.Url(path);
  const std::string expected = *wuqu::DemoSite().MediaSha256(path);
  std::printf("  %s (%llu bytes), load average before: %s\n", url.c_str(),
              static_cast<unsigned long long>(size), LoadAverage().c_str());
  std::vector<std::vector<Run>> results(clients.size());
  for (int r = 0; r < runs; ++r)
    for (std::size_t i = 0; i < clients.size(); ++i)
      results[i].push_back(RunOnce(clients[i], site, url, dir, expected));

  std::printf("  %-46s %9s %9s %9s %9s %9s %8s\n", "client", "MB/s", "best", "CPU s", "CPU s/GB",
              "site CPU", "RSS MB");
  for (std::size_t i = 0; i < clients.size(); ++i) {
    std::vector<double> rate, cpu, site_cpu, rss;
    int failed = 0;
    for (const Run& run : results[i]) {
      if (!run.ok) {
        ++failed;
        continue;
      }
      rate.push_back(static_cast<double>(size) / run.seconds / 1e6);
      cpu.push_back(run.cpu);
      site_cpu.push_back(run.site_cpu);
      rss.push_back(run.rss_mb);
    }
    if (rate.empty()) {
      std::printf("  %-46s   failed in every run\n", clients[i].name.c_str());
      continue;
    }
    std::printf("  %-46s %9.1f %9.1f %9.2f %9.2f %9.2f %8.1f%s\n", clients[i].name.c_str(),
                Median(rate), *std::max_element(rate.begin(), rate.end()), Median(cpu),
                Median(cpu) / (static_cast<double>(size) / 1e9), Median(site_cpu),
                *std::max_element(rss.begin(), rss.end()),
                failed ? (" (" + std::to_string(failed) + " failed)").c_str() : "");
  }
  std::printf("  (medians of %d runs; RSS is the largest peak seen)\n", runs);
}

// One connection of the download trickling while the others go at the cap:
// each client once with a fresh site that trickles its Nth ranged request and
// once with a fresh site that does not, in turn, `runs` times.
void CompareTrickle(const std::vector<std::string>& site_options, std::uint64_t size,
                    int trickle_nth, const std::vector<Client>& clients, int runs,
                    const std::string& dir) {
  std::printf(
      "\n4. one connection trickling at 1 byte/s (the %dth ranged request), the others at "
      "2 MB/s, %llu bytes\n   (goal: ours within 1.25 x its time without the trickler)\n",
      trickle_nth, static_cast<unsigned long long>(size));
  const std::string path = wuqu::DemoSite::SyntheticMediaPath(size, 2024);
  const std::string expected = *wuqu::DemoSite().MediaSha256(path);
  std::vector<std::string> trickling = site_options;
  trickling.insert(trickling.end(), {"--trickle-nth", std::to_string(trickle_nth)});
  std::printf("  load average before: %s\n", LoadAverage().c_str());

  struct Row {
    std::vector<Run> clean, trickled;
  };
  std::vector<Row> rows(clients.size());
  for (int r = 0; r < runs; ++r) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
      for (bool trickle : {false, true}) {
        Site site(trickle ? trickling : site_options);
        if (!site.ok()) {
          std::printf("  the site did not start\n");
          return;
        }
        Run run = RunOnce(clients[i], site, site.Url(path), dir, expected);
        (trickle ? rows[i].trickled : rows[i].clean).push_back(run);
      }
    }
  }

  // Median seconds of the runs that gave the file; "" when none did.
  auto seconds = [](const std::vector<Run>& v, std::string& note) -> double {
    std::vector<double> s;
    int unfinished = 0, failed = 0;
    for (const Run& run : v) {
      if (run.ok)
        s.push_back(run.seconds);
      else if (!run.finished)
        ++unfinished;
      else
        ++failed;
    }
    note.clear();
    if (unfinished)
      note += " " + std::to_string(unfinished) + " did not finish in " +
              std::to_string(kRunLimit.count()) + " s;";
    if (failed) note += " " + std::to_string(failed) + " failed;";
    return s.empty() ? -1 : Median(s);
  };
  std::printf("  %-46s %-10s %9s %9s %9s  %s\n", "client", "trickler", "seconds", "MB/s",
              "site CPU", "runs not counted");
  std::vector<std::pair<double, double>> times(clients.size());
  for (std::size_t i = 0; i < clients.size(); ++i) {
    for (bool trickle : {false, true}) {
      const auto& v = trickle ? rows[i].trickled : rows[i].clean;
      std::string note;
      const double t = seconds(v, note);
      (trickle ? times[i].second : times[i].first) = t;
      std::vector<double> site_cpu;
      for (const Run& run : v) site_cpu.push_back(run.site_cpu);
      if (t < 0) {
        std::printf("  %-46s %-10s %9s %9s %9.2f %s\n", clients[i].name.c_str(),
                    trickle ? "one" : "none", "-", "-", Median(site_cpu), note.c_str());
      } else {
        std::printf("  %-46s %-10s %9.2f %9.1f %9.2f %s\n", clients[i].name.c_str(),
                    trickle ? "one" : "none", t, static_cast<double>(size) / t / 1e6,
                    Median(site_cpu), note.c_str());
      }
    }
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const auto [clean, trickled] = times[i];
    if (clean > 0 && trickled > 0)
      std::printf("  %-46s with / without the trickler: %.2f\n", clients[i].name.c_str(),
                  trickled / clean);
    else
      std::printf("  %-46s with / without the trickler: - (not every case finished)\n",
                  clients[i].name.c_str());
  }
  std::printf("  (medians of %d runs, each on a fresh site)\n", runs);
}

// A host that allows 4 connections at 2 MiB/s each: each client `runs`
// times on a fresh site, with its time, its share of the 4 x 2 MiB/s the
// host allows, and the refusals it got (503s, or with `open_connections`
// connections closed as soon as accepted).
void CompareHostLimit(std::uint64_t size, const std::vector<Client>& clients, int runs,
                      const std::string& dir, bool open_connections = false) {
  constexpr double kCeiling = 4.0 * 2 * 1024 * 1024;  // bytes per second
  if (open_connections)
    std::printf(
        "\n6. a host keeping 4 TCP connections open at once (idle ones included; any further "
        "one closed as accepted),\n   2 MiB/s per response, %llu bytes, 20 connections asked\n"
        "   (goal: ours at 95 %% of 4 x 2 MiB/s or more, and no slower than aria2c)\n",
        static_cast<unsigned long long>(size));
  else
    std::printf(
        "\n5. a host serving 4 media responses at once at 2 MiB/s each, %llu bytes, 20 "
        "connections asked\n   (goal: ours at 95 %% of 4 x 2 MiB/s or more, and no slower than "
        "aria2c)\n",
        static_cast<unsigned long long>(size));
  const std::vector<std::string> options = {
      "--rate", "2Mi", open_connections ? "--max-open-connections" : "--max-connections", "4"};
  const std::string path = wuqu::DemoSite::SyntheticMediaPath(size, 2024);
  const std::string expected = *wuqu::DemoSite().MediaSha256(path);
  std::printf("  load average before: %s\n", LoadAverage().c_str());
  std::printf("  %-46s %9s %9s %9s %9s\n", "client", "seconds", "MB/s", "% allowed",
              open_connections ? "closed" : "503s");
  for (int r = 0; r < runs; ++r) {
    for (const Client& client : clients) {
      Site site(options, true);
      if (!site.ok()) {
        std::printf("  the site did not start\n");
        return;
      }
      const Run run = RunOnce(client, site, site.Url(path), dir, expected);
      const int refusals = site.Refusals();
      if (!run.ok) {
        std::printf("  %-46s %9s %9s %9s %9d  (%s)\n", client.name.c_str(), "-", "-", "-",
                    refusals, run.finished ? "failed" : "did not finish");
        continue;
      }
      const double rate = static_cast<double>(size) / run.seconds;
      std::printf("  %-46s %9.2f %9.1f %8.1f%% %9d\n", client.name.c_str(), run.seconds, rate / 1e6,
                  100.0 * rate / kCeiling, refusals);
    }
  }
  std::printf("  (each run on a fresh site; load average after: %s)\n", LoadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int only = 0;
  std::string dir = (std::filesystem::temp_directory_path() / "wuqu-bench-downloads").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--dir FOLDER] [--only 1|2|4|5|6]\n", argv[0]);
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::printf("bench_downloader: %ld cores online, load average %s\n",
              ::sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());

  const Client ours{"wuqu-fetch -n 20", {WUQU_FETCH_EXE, "-n", "20", "{url}", "{file}"}};
  const Client curl{"curl (one connection)", {"curl", "-s", "-f", "-o", "{file}", "{url}"}};
  // Ours calls a file complete only once its bytes are on the disk; curl's
  // may still be in memory when it exits.
  const Client curl_flushed{
      "curl, then its file flushed (sync --data)",
      {"sh", "-c", "curl -s -f -o \"$1\" \"$2\" && sync --data \"$1\"", "sh", "{file}", "{url}"}};
  const std::vector<std::string> aria = {"aria2c",
                                         "-q",
                                         "--allow-overwrite=true",
                                         "--auto-file-renaming=false",
                                         "-d",
                                         "{dir}",
                                         "-o",
                                         "{name}",
                                         "-x16",
                                         "-s16"};
  const Client aria_plain{"aria2c -x16 -s16", [&] {
                            auto v = aria;
                            v.push_back("{url}");
                            return v;
                          }()};
  // aria2c at its best here: pieces down to 1 MiB (its default floor is 20
  // MiB, which gives a 64 MB file only four pieces) and space reserved as we
  // do rather than written with zeros first.
  const Client aria_tuned{"aria2c -x16 -s16 -k1M --file-allocation=falloc", [&] {
                            auto v = aria;
                            v.push_back("-k1M");
                            v.push_back("--file-allocation=falloc");
                            v.push_back("{url}");
                            return v;
                          }()};

  if (only == 0 || only == 1)
    Compare("1. unthrottled loopback, 512 MiB", {}, 512ull << 20,
            {ours, curl, curl_flushed, aria_plain, aria_tuned}, runs, dir);
  if (only == 0 || only == 2)
    Compare("2. 2 MB/s per connection, 64 MB (goal: 38 MB/s = 95 % of 20 x 2 MB/s)",
            {"--rate", "2M"}, 64000000, {ours, aria_plain, aria_tuned, curl}, runs, dir);
  if (only == 0 || only == 1)
    std::printf("\n3. peak resident memory of ours in 1: the RSS column of wuqu-fetch above\n");
  if (only == 0 || only == 4)
    CompareTrickle({"--rate", "2M"}, 256000000, 10, {ours, aria_tuned}, runs, dir);
  const Client aria_pieces{"aria2c -x16 -s16 -k1M", [&] {
                             auto v = aria;
                             v.push_back("-k1M");
                             v.push_back("{url}");
                             return v;
                           }()};
  if (only == 0 || only == 5) CompareHostLimit(64000000, {ours, aria_pieces}, runs, dir);
  if (only == 0 || only == 6) CompareHostLimit(64000000, {ours, aria_pieces}, runs, dir, true);
  return 0;
}
