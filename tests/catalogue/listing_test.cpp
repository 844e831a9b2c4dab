#include "catalogue/listing.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue_testing.h"
#include "catalogue/memory_window.h"
#include "site/demo_site.h"
#include "text/codepage.h"
#include "text/regex_testing.h"
#include "text/ui_texts.h"

namespace wuqu::catalogue {
namespace {

using testing::L;
using testing::Targets;

using testing::MemoryWindow;
using Rows = std::vector<MemoryWindow::Row>;


// The rows the site's listing of `category` must give.
Rows SiteRows(const DemoSite& site, std::size_t category) {
  Rows rows;
  for (const SiteTrack& t : site.Categories().at(category).tracks) {
    rows.push_back({L(t.title), site.CatalogueBaseUrl() + t.href});
  }
  return rows;
}

SiteAddresses Addresses(const DemoSite& site) {
  return {site.CatalogueBaseUrl(), site.MediaBaseUrl()};
}


TEST(CatalogueTexts, ReadAsTheirChineseText) {
  EXPECT_EQ(LocalTextToUtf8(TrackListPattern),
            "<td><a href=#引号(.*?)#引号 id=#引号(.*?)#引号 target=#引号play#引号>(.*?)</a>");
  EXPECT_EQ(LocalTextToUtf8(ui_texts::kPatternFailedMessage.Gbk()),
            "正则创建失败，请检查正则表达式语句是否有误！");
  EXPECT_EQ(LocalTextToUtf8(ui_texts::kNoMatchMessage.Gbk()),
            "匹配失败，请检检查正则语句是否有误，数量：0");
}

// The listing pattern over small pages: what it finds, what it misses, and
// what lands in each cell.
TEST(FillTrackList, ListingPatternOverSmallPages) {
  const Text base = "http://h/";
  const Text no_match = ui_texts::kNoMatchMessage;
  const struct {
    const char* name;
    std::string page;  // UTF-8, as the site sends it
    Rows rows;
    std::vector<Text> messages;
  } cases[] = {
      {"ordinary link with a Chinese title",
       "<tr><td><a href=\"m/1/\" id=\"1\" target=\"play\">中文舞曲 &amp; 串烧</a></td></tr>\n",
       {{L("中文舞曲 &amp; 串烧"), "http://h/m/1/"}},
       {}},
      {"upper case",
       "<TD><A HREF=\"x\" ID=\"i\" TARGET=\"PLAY\">t</A>\n",
       {{"t", "http://h/x"}},
       {}},
      {"single quotes", "<td><a href='x' id='i' target='play'>t</a>\n", {}, {no_match}},
      {"id before href", "<td><a id=\"i\" href=\"x\" target=\"play\">t</a>\n", {}, {no_match}},
      {"further attribute between href and id",
       "<td><a href=\"x\" class=\"c\" id=\"i\" target=\"play\">t</a>\n",
       {{"t", "http://h/x\" class=\"c"}},
       {}},
      {"markup in the title, cut at the first </a>",
       "<td><a href=\"x\" id=\"i\" target=\"play\"><b>t</b></a> tail</a>\n",
       {{"<b>t</b>", "http://h/x"}},
       {}},
      {"two links on one line, in page order",
       "<td><a href=\"m/2/\" id=\"2\" target=\"play\">two</a></td><td><a href=\"m/1/\" id=\"1\" "
       "target=\"play\">one</a></td>\n",
       {{"two", "http://h/m/2/"}, {"one", "http://h/m/1/"}},
       {}},
      {"link split over two lines",
       "<td><a href=\"x\" id=\"i\"\ntarget=\"play\">t</a>\n",
       {},
       {no_match}},
      {"empty text", "", {}, {no_match}},
      {"href with a leading slash",
       "<td><a href=\"/m/1/\" id=\"1\" target=\"play\">t</a>",
       {{"t", "http://h//m/1/"}},
       {}},
      {"empty href and empty title",
       "<td><a href=\"\" id=\"1\" target=\"play\"></a>",
       {{"", "http://h/"}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryWindow w;
    const int added = FillTrackList(w, L(c.page), base);
    EXPECT_EQ(w.rows, c.rows);
    EXPECT_EQ(added, static_cast<int>(c.rows.size()));
    EXPECT_EQ(w.messages, c.messages);
    // Events ran after each row, not before the first.
    EXPECT_EQ(w.pumps, static_cast<int>(c.rows.size()));
  }
}

std::string LinkLine(int n, const std::string& title) {
  const std::string id = std::to_string(n);
  return "<td><a href=\"m/" + id + "/\" id=\"" + id + "\" target=\"play\">" + title + "</a>";
}

MemoryWindow::Row LinkRow(int n, const Text& title) {
  return {title, "http://h/m/" + std::to_string(n) + "/"};
}

// Hostile pages: some starts keep the engine busy past its bound, yet every
// good link before and after them becomes a row, in page order, with JIT and
// without; a page with nothing of the pattern's form shows the no-match
// message, never the pattern-failed one.
TEST(FillTrackList, HostilePagesKeepTheirGoodRows) {
  const std::string dangling = "<td><a href=\"";
  const std::string thai = "\xE0\xB8\x81\xE0\xB8\xB2\xE0\xB8\xA3";  // การ
  const std::string emoji = "\xF0\x9F\x8E\xB5";
  struct Case {
    std::string name;
    std::string page;  // UTF-8, as the site sends it
    Rows rows;
    std::vector<Text> messages;
  };
  std::vector<Case> cases;

  cases.push_back({"dangling link on a long line between good links",
                   LinkLine(1, "one") + "\n" + dangling + std::string(1'000'000, 'x') + "\n" +
                       LinkLine(2, "two") + "\n",
                   {LinkRow(1, "one"), LinkRow(2, "two")},
                   {}});

  Case minified{"minified single-line page ending in a dangling link", {}, {}, {}};
  for (int i = 0; i < 3000; ++i) {
    minified.page += "<tr>" + LinkLine(i, "t" + std::to_string(i)) + "</tr>";
    minified.rows.push_back(LinkRow(i, "t" + std::to_string(i)));
  }
  minified.page += dangling + std::string(2'000'000, 'x') + "</table>";
  cases.push_back(std::move(minified));

  Case unmappable{"5 MB of runs outside code page 936 around links", {}, {}, {}};
  std::string run;
  while (run.size() < 10'000) run += thai + emoji;
  for (int i = 0; unmappable.page.size() < 5'000'000; ++i) {
    unmappable.page += "<tr>" + run + LinkLine(i, thai + "\xE4\xB8\xAD") + run + "</tr>\n";
    unmappable.rows.push_back(LinkRow(i, "???\xD6\xD0"));
  }
  cases.push_back(std::move(unmappable));

  Case unclosed_lines{"1 MB of lines with a good link and twenty unclosed ones", {}, {}, {}};
  for (int i = 0; unclosed_lines.page.size() < 1'000'000; ++i) {
    unclosed_lines.page += "<tr>" + LinkLine(i, "t" + std::to_string(i));
    for (int k = 0; k < 20; ++k) unclosed_lines.page += dangling;
    unclosed_lines.page += "</tr>\n";
    unclosed_lines.rows.push_back(LinkRow(i, "t" + std::to_string(i)));
  }
  cases.push_back(std::move(unclosed_lines));

  std::string one_line;
  while (one_line.size() < 5'000'000) one_line += dangling + "x";
  cases.push_back({"5 MB line of unclosed links", one_line, {}, {ui_texts::kNoMatchMessage.Gbk()}});

  for (const bool jit : {true, false}) {
    std::optional<RegexInterpreterOnly> interpreter;
    if (!jit) interpreter.emplace();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name + (jit ? " (JIT where available)" : " (interpreter)"));
      MemoryWindow w;
      const int added = FillTrackList(w, L(c.page), "http://h/");
      EXPECT_EQ(added, static_cast<int>(c.rows.size()));
      EXPECT_EQ(w.rows.size(), c.rows.size());
      EXPECT_TRUE(w.rows == c.rows);
      EXPECT_EQ(w.messages, c.messages);
    }
  }
}

class LoadCategoryListingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(site_.Start()) << site_.Error(); }

  void Choose(int index) {
    w_.category = index;
    LoadCategoryListing(w_, Addresses(site_));
  }

  DemoSite site_{DemoSiteOptions{.tracks_per_category = 12}};
  MemoryWindow w_;
};

TEST_F(LoadCategoryListingTest, EveryCategoryRequestsItsOwnPageOnceAndListsItsTracks) {
  const char* paths[] = {
      "/myxc/", "/xc/", "/zw/", "/top/dianyindj/", "/top/mangeyinyue/", "/club/", "/ywclub/",
      "/my/",   "/yw/", "/jy/"};
  for (int index = 0; index < 10; ++index) {
    SCOPED_TRACE(index);
    site_.ClearRequests();
    Choose(index);
    EXPECT_EQ(Targets(site_.Requests()),
              std::vector<std::string>{std::string("GET ") + paths[index]});
    EXPECT_EQ(w_.rows, SiteRows(site_, static_cast<std::size_t>(index)));
    EXPECT_TRUE(w_.messages.empty());
  }
}

TEST_F(LoadCategoryListingTest, NoCategoryChosenDoesNothing) {
  w_.rows = {{"t", "u"}};
  for (int index : {-1, 10}) {
    Choose(index);
    EXPECT_EQ(w_.rows, (Rows{{"t", "u"}}));
    EXPECT_TRUE(site_.Requests().empty());
    EXPECT_TRUE(w_.messages.empty());
    EXPECT_EQ(w_.pumps, 0);
  }
}

TEST_F(LoadCategoryListingTest, ChoosingTheShownCategoryAgainRebuildsTheList) {
  Choose(2);
  Choose(2);
  EXPECT_EQ(w_.rows, SiteRows(site_, 2));
  EXPECT_EQ(Targets(site_.Requests()), (std::vector<std::string>{"GET /zw/", "GET /zw/"}));
}

// Whatever goes wrong with the page, the previous rows are gone, nothing new
// appears and the user sees the no-match message exactly once.
TEST_F(LoadCategoryListingTest, PageWithoutLinksLeavesTheListEmptyWithOneMessage) {
  DemoSite stopped;
  ASSERT_TRUE(stopped.Start()) << stopped.Error();
  const SiteAddresses unreachable = Addresses(stopped);
  stopped.Stop();
  SiteFaults error_page;
  error_page.path_status = {{"/zw/", 500}};

  const struct {
    const char* name;
    SiteAddresses sites;
    SiteFaults faults;
  } cases[] = {
      {"site unreachable", unreachable, {}},
      {"error page", Addresses(site_), error_page},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site_.SetFaults(c.faults);
    MemoryWindow w;
    w.rows = {{"old", "http://h/old/"}};
    w.category = 2;
    LoadCategoryListing(w, c.sites);
    EXPECT_TRUE(w.rows.empty());
    EXPECT_EQ(w.messages, std::vector<Text>{ui_texts::kNoMatchMessage.Gbk()});
  }
}

// Another category chosen while a fill runs (the events the fill lets run
// hold the choice): the running fill gives way, and the list ends with the
// new category's tracks alone, each once. Choosing the same category again
// is no different.
TEST_F(LoadCategoryListingTest, ChoiceDuringAFillReplacesTheRunningFill) {
  const struct {
    int first, second;
    int at_pump;
  } cases[] = {{1, 5, 20}, {4, 4, 7}, {0, 9, 1}};
  DemoSite big({.tracks_per_category = 300});
  ASSERT_TRUE(big.Start()) << big.Error();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    MemoryWindow w;
    std::size_t rows_when_chosen = 0;
    w.pending_events = [&](int pump) {
      if (pump != c.at_pump) return;
      rows_when_chosen = w.rows.size();
      w.category = c.second;
      LoadCategoryListing(w, Addresses(big));
    };
    w.category = c.first;
    LoadCategoryListing(w, Addresses(big));
    EXPECT_EQ(rows_when_chosen, static_cast<std::size_t>(c.at_pump));
    EXPECT_EQ(w.rows, SiteRows(big, static_cast<std::size_t>(c.second)));
    EXPECT_TRUE(w.messages.empty());
    // The abandoned fill added no row after the choice: one pump per row of
    // each fill, nothing more.
    EXPECT_EQ(w.pumps, c.at_pump + 300);
  }
}

// The window layer moves the listing on when the window closes: the fill
// stops at the next row.
TEST_F(LoadCategoryListingTest, FillStopsWhenTheWindowCloses) {
  MemoryWindow w;
  w.pending_events = [&](int pump) {
    if (pump == 3) ++w.Window().listing_serial;
  };
  w.category = 0;
  LoadCategoryListing(w, Addresses(site_));
  EXPECT_EQ(w.rows.size(), 3u);
  EXPECT_EQ(w.pumps, 3);
}

}  // namespace
}  // namespace wuqu::catalogue
