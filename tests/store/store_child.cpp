// Writes to a store until it is killed, for the test that kills a writer
// between two writes.
//
//   store_child PATH
//
// Each round asks for a batch of three tracks "t<round>-1" to "-3", starts
// the first and completes it, then fails the second; it prints "round N"
// once the round's last change has returned. Exits 3 if the store does not open.
#include <cstdio>

#include "store/store.h"

int main(int argc, char** argv) {
  using namespace wuqu::store;
  if (argc != 2) return 2;
  OpenResult opened = Store::Open(argv[1]);
  if (!opened.store) return 3;
  Store& store = *opened.store;
  for (int round = 1;; ++round) {
    const std::string t = "t" + std::to_string(round) + "-";
    const std::vector<std::int64_t> ids = store.AddDownloads({t + "1", t + "2", t + "3"}, true);
    if (ids.size() != 3) return 4;
    if (!store.MarkRunning(ids[0], "http://m/" + t + "1.mp4", "/d/" + t + "1.mp4")) return 5;
    if (!store.MarkComplete(ids[0], round)) return 6;
    if (!store.MarkRunning(ids[1], "http://m/" + t + "2.mp4", "/d/" + t + "2.mp4")) return 7;
    if (!store.MarkFailed(ids[1], 1, 0)) return 8;
    std::printf("round %d\n", round);
    std::fflush(stdout);
  }
}
