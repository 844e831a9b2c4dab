// New tracks of a category: the rule on a clock the test sets, and the rows
// a listing marks, with the memory of listings on a real store file and the
// demo site serving a category of one size on one visit, another on the next.
#include "catalogue/new_tracks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/download_testing.h"
#include "catalogue/listing.h"
#include "catalogue/memory_window.h"
#include "catalogue/stored_download_log.h"
#include "site/demo_site.h"
#include "store/store.h"

namespace wuqu::catalogue {
namespace {

using testing::MemoryWindow;
using testing::ScratchFolder;

constexpr std::int64_t kHour = 60 * 60 * 1000;
constexpr std::int64_t kDay = 24 * kHour;
constexpr std::int64_t kFirstVisit = 1'765'400'000'000;  // December 2025

TEST(IsNewTrack, ListedAfterTheFirstVisitAndWithinSevenDays) {
  const struct {
    const char* name;
    std::int64_t first_listed, now;
    bool is_new;
  } cases[] = {
      {"listed at the first visit, seen then", kFirstVisit, kFirstVisit, false},
      {"listed at the first visit, seen a day on", kFirstVisit, kFirstVisit + kDay, false},
      {"listed a millisecond after it, seen then", kFirstVisit + 1, kFirstVisit + 1, true},
      {"listed a day after, 6 days 23 h on", kFirstVisit + kDay, kFirstVisit + 7 * kDay + 23 * kHour,
       true},
      {"listed a day after, 7 days on", kFirstVisit + kDay, kFirstVisit + 8 * kDay, true},
      {"listed a day after, 7 days and 1 ms on", kFirstVisit + kDay, kFirstVisit + 8 * kDay + 1,
       false},
      {"listed a day after, a year on", kFirstVisit + kDay, kFirstVisit + 366 * kDay, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewTrack(c.first_listed, kFirstVisit, c.now), c.is_new) << c.name;
  }
}

// One visit to a category: which of the sites serves it, its position in
// 组合框1 and when (from the first visit of the scenario).
struct Visit {
  int tracks;  // 30 or 33 from a running site; 0: the listing cannot be fetched
  std::int64_t at;
  int category = 0;
};

class NewTracksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(thirty_.Start()) << thirty_.Error();
    ASSERT_TRUE(thirty_three_.Start()) << thirty_three_.Error();
    DemoSite gone;
    ASSERT_TRUE(gone.Start()) << gone.Error();
    unreachable_ = gone.CatalogueBaseUrl();
    store_path_ = scratch_.path() + "/wuqu.sqlite";
  }

  // The rows the last visit marks new, after every visit of `visits` in a
  // window of its own on the one store.
  std::set<int> NewRowsAfter(const std::vector<Visit>& visits) {
    std::filesystem::remove(store_path_);
    std::set<int> marked;
    for (const Visit& v : visits) {
      std::ostringstream messages;
      StoredDownloadLog log(store::Store::Open(store_path_).store, messages);
      MemoryWindow w;
      w.category = v.category;
      DemoSite* site = v.tracks == 30 ? &thirty_ : v.tracks == 33 ? &thirty_three_ : nullptr;
      const SiteAddresses sites = site != nullptr
                                      ? SiteAddresses{site->CatalogueBaseUrl(), site->MediaBaseUrl()}
                                      : SiteAddresses{unreachable_, unreachable_ + "mp4/"};
      LoadCategoryListing(w, sites, log, kFirstVisit + v.at);
      EXPECT_EQ(w.rows.size(), static_cast<std::size_t>(v.tracks));
      // Every row is told, new or not.
      EXPECT_EQ(w.new_rows.size(), w.rows.size());
      marked.clear();
      for (const auto& [row, is_new] : w.new_rows) {
        if (is_new) marked.insert(row);
      }
      EXPECT_TRUE(messages.str().empty()) << messages.str();
    }
    return marked;
  }

  DemoSite thirty_{DemoSiteOptions{.tracks_per_category = 30}};
  DemoSite thirty_three_{DemoSiteOptions{.tracks_per_category = 33}};
  Text unreachable_;
  ScratchFolder scratch_;
  std::string store_path_;
};

// The site has other addresses on each start: the memory goes by the
// tracks' play pages within the site, so the three tracks the second site
// adds to the first's thirty are exactly the ones marked.
TEST_F(NewTracksTest, TheRowsListedSinceTheFirstVisitAreMarkedForSevenDays) {
  const std::set<int> three = {30, 31, 32};
  const struct {
    const char* name;
    std::vector<Visit> visits;
    std::set<int> marked;
  } cases[] = {
      {"the first visit marks none", {{33, 0}}, {}},
      {"three tracks added since the first visit", {{30, 0}, {33, kHour}}, three},
      {"seen again 6 days 23 h after they came",
       {{30, 0}, {33, kHour}, {33, kHour + 6 * kDay + 23 * kHour}},
       three},
      {"seen again 7 days and 1 ms after they came",
       {{30, 0}, {33, kHour}, {33, kHour + 7 * kDay + 1}},
       {}},
      {"listed at the first visit, seen again within the week", {{33, 0}, {33, kHour}}, {}},
      {"gone from the listing and back", {{33, 0}, {30, kHour}, {33, 2 * kHour}}, {}},
      {"new ones seen on a visit, still new on the next", {{30, 0}, {33, kHour}, {33, 2 * kHour}},
       three},
      {"a failed fetch is no first visit", {{0, 0}, {33, kHour}}, {}},
      {"another category's first visit marks none",
       {{30, 0}, {33, kHour}, {33, 2 * kHour, 4}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(NewRowsAfter(c.visits), c.marked);
  }
}

// Without a store nothing is remembered and no row is new.
TEST_F(NewTracksTest, WithoutMemoryNoRowIsNew) {
  NoDownloadLog log;
  for (const std::int64_t at : {std::int64_t{0}, kHour}) {
    MemoryWindow w;
    w.category = 0;
    LoadCategoryListing(w, {thirty_three_.CatalogueBaseUrl(), thirty_three_.MediaBaseUrl()}, log,
                        kFirstVisit + at);
    ASSERT_EQ(w.rows.size(), 33u);
    for (const auto& [row, is_new] : w.new_rows) EXPECT_FALSE(is_new) << row;
  }
}

// A fill given up for another choice while its events ran marks nothing
// and remembers nothing of the listing it did not show; the choice that
// replaced it is that category's first visit.
TEST_F(NewTracksTest, AFillGivenUpRemembersNothing) {
  std::ostringstream messages;
  StoredDownloadLog log(store::Store::Open(store_path_).store, messages);
  const SiteAddresses sites{thirty_.CatalogueBaseUrl(), thirty_.MediaBaseUrl()};
  MemoryWindow w;
  w.category = 0;
  w.pending_events = [&](int pump) {
    if (pump != 5) return;
    w.category = 1;
    LoadCategoryListing(w, sites, log, kFirstVisit + 1);
  };
  LoadCategoryListing(w, sites, log, kFirstVisit);
  w.pending_events = nullptr;
  ASSERT_EQ(w.rows.size(), 30u);
  EXPECT_EQ(w.rows[0][1], sites.catalogue_base_url + thirty_.Categories()[1].tracks[0].href);

  // Category 0's next visit is its first: no row of it is new.
  const SiteAddresses more{thirty_three_.CatalogueBaseUrl(), thirty_three_.MediaBaseUrl()};
  MemoryWindow again;
  again.category = 0;
  LoadCategoryListing(again, more, log, kFirstVisit + kHour);
  ASSERT_EQ(again.new_rows.size(), 33u);
  for (const auto& [row, is_new] : again.new_rows) EXPECT_FALSE(is_new) << row;
}

}  // namespace
}  // namespace wuqu::catalogue
