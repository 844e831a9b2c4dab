#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/gui_wait.h"
#include "app/media_player.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

Text L(const std::string& utf8) {
  return Utf8ToLocalText(std::string_view(utf8));
}

QString TrackPath() {
  const char* root = std::getenv("WUQU_SOURCE_DIR");
  const QString path =
      QString::fromUtf8(root ? root : ".") + QStringLiteral("/assets/media/track-1.mp4");
  return QFileInfo(path).absoluteFilePath();
}

// A file URL in program text, as a handler would pass it.
Text FileUrl(const QString& path) {
  return Utf8ToLocalText("file://" + path.toStdString());
}

class PlayerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QFile::exists(TrackPath())) << TrackPath().toStdString();
    player_.resize(274, 102);
    player_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&player_));
  }

  // Waits until the player plays the loaded media and its position moves.
  void ExpectPlaying(bool after_error = false) {
    QMediaPlayer& p = player_.Player();
    EXPECT_TRUE(WaitFor([&] { return p.playbackState() == QMediaPlayer::PlayingState; }, 10000));
    EXPECT_TRUE(WaitFor([&] { return p.duration() > 0; }, 10000));
    EXPECT_NEAR(static_cast<double>(p.duration()), 4000.0, 300.0);
    EXPECT_TRUE(WaitFor([&] { return p.position() > 0; }, 10000));
    // The backend keeps reporting an earlier failure while it plays the next address.
    if (!after_error) {
      EXPECT_EQ(p.error(), QMediaPlayer::NoError) << p.errorString().toStdString();
    }
    const auto status = p.mediaStatus();
    // Over http the backend may still call it loading while it plays.
    const bool streamed = p.source().scheme() == QLatin1String("http");
    EXPECT_TRUE(status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia ||
                status == QMediaPlayer::BufferingMedia ||
                (streamed && status == QMediaPlayer::LoadingMedia))
        << status;
  }

  MediaPlayer player_;
};

TEST_F(PlayerTest, SettingTheUrlPlaysAtOnce) {
  player_.SetUrl(FileUrl(TrackPath()));
  EXPECT_EQ(player_.Url(), FileUrl(TrackPath()));
  ExpectPlaying();
}

TEST_F(PlayerTest, UrlInProgramTextWithChineseAndBlanksGoesOnTheWireEncoded) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("试听 舞曲.mp4"));
  ASSERT_TRUE(QFile::copy(TrackPath(), path));
  player_.SetUrl(FileUrl(path));
  ExpectPlaying();
  EXPECT_EQ(player_.Player().source().toLocalFile(), path);
}

TEST_F(PlayerTest, ControlBarPausesAndResumes) {
  player_.SetUrl(FileUrl(TrackPath()));
  ExpectPlaying();
  auto* button = player_.findChild<QToolButton*>(QStringLiteral("playPause"));
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_TRUE(
      WaitFor([&] { return player_.Player().playbackState() == QMediaPlayer::PausedState; }));
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_TRUE(
      WaitFor([&] { return player_.Player().playbackState() == QMediaPlayer::PlayingState; }));
}

TEST_F(PlayerTest, EmptyUrlStopsAndLeavesNoMedia) {
  player_.SetUrl(FileUrl(TrackPath()));
  ExpectPlaying();
  player_.SetUrl("");
  EXPECT_TRUE(
      WaitFor([&] { return player_.Player().playbackState() == QMediaPlayer::StoppedState; }));
  EXPECT_TRUE(player_.Player().source().isEmpty());
  // The play button has nothing to play.
  QTest::mouseClick(player_.findChild<QToolButton*>(QStringLiteral("playPause")), Qt::LeftButton);
  EXPECT_EQ(player_.Player().playbackState(), QMediaPlayer::StoppedState);
}

TEST_F(PlayerTest, MissingFileReportsAnErrorWithoutHarm) {
  QSignalSpy errors(&player_.Player(), &QMediaPlayer::errorOccurred);
  player_.SetUrl(FileUrl(QStringLiteral("/nonexistent/wuqu/none.mp4")));
  EXPECT_TRUE(WaitFor([&] { return errors.count() > 0; }, 10000));
  // A good address afterwards plays as usual.
  player_.SetUrl(FileUrl(TrackPath()));
  ExpectPlaying(true);
}

// Media served by the demo site: its shipped tracks play, the rest is what
// the site's faults make of it.
class PlayerSiteTest : public PlayerTest {
 protected:
  void StartSite(SiteFaults faults = {}) {
    site_ = std::make_unique<DemoSite>(
        DemoSiteOptions{.tracks_per_category = 2, .faults = std::move(faults)});
    ASSERT_TRUE(site_->Start()) << site_->Error();
  }
  Text TrackUrl(int index) const {
    return site_->MediaBaseUrl() +
           L(site_->Categories()[0].tracks[static_cast<std::size_t>(index)].file_value) + ".mp4";
  }
  std::string TrackPath(int index) const {
    return site_->Categories()[0].tracks[static_cast<std::size_t>(index)].MediaPath();
  }
  QToolButton& PlayButton() {
    return *player_.findChild<QToolButton*>(QStringLiteral("playPause"));
  }
  std::unique_ptr<DemoSite> site_;
};

// Media that cannot be loaded or decoded: the video area says so, with the
// server's status where there is one, and the play button reads "play"
// again rather than showing playback at 0:00 for ever.
TEST_F(PlayerSiteTest, TroubleIsShownAndThePlayButtonReadsPlay) {
  StartSite({.path_status = {{"/mp4/djmusic/gone.mp4", 404}, {"/mp4/djmusic/busy.mp4", 503}}});
  const struct {
    const char* name;
    Text url;
    std::vector<std::string> texts;  // UTF-8; any of them
  } cases[] = {
      {"404", site_->MediaBaseUrl() + "gone.mp4", {"无法打开媒体，服务器返回 404"}},
      {"503", site_->MediaBaseUrl() + "busy.mp4", {"无法打开媒体，服务器返回 503"}},
      {"not media", Utf8ToLocalText(site_->SyntheticMediaUrl(200 * 1000, 5)), {"媒体无法解码"}},
      {"no such file", FileUrl(QStringLiteral("/nonexistent/wuqu/none.mp4")), {"无法打开媒体"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    player_.SetUrl(c.url);
    EXPECT_TRUE(WaitFor(
        [&] {
          const std::string shown = LocalTextToUtf8(player_.TroubleText());
          return std::find(c.texts.begin(), c.texts.end(), shown) != c.texts.end();
        },
        10000))
        << LocalTextToUtf8(player_.TroubleText());
    EXPECT_EQ(PlayButton().toolTip(), QStringLiteral("play"));
  }
  // A good address clears the text and plays.
  player_.SetUrl(TrackUrl(0));
  EXPECT_EQ(player_.TroubleText(), "");
  ExpectPlaying(true);
  EXPECT_EQ(PlayButton().toolTip(), QStringLiteral("pause"));
}

// After trouble the play button tries the address again: once the server
// serves the file, it plays.
TEST_F(PlayerSiteTest, PlayAfterTroubleTriesAgain) {
  StartSite();
  site_->SetFaults({.path_status = {{TrackPath(0), 503}}});
  player_.SetUrl(TrackUrl(0));
  ASSERT_TRUE(WaitFor([&] { return !player_.TroubleText().empty(); }, 10000));
  site_->SetFaults({});
  QTest::mouseClick(&PlayButton(), Qt::LeftButton);
  EXPECT_EQ(player_.TroubleText(), "");
  ExpectPlaying(true);
}

// Switching to another track asks the server for the new file only: the
// previous one's file is not requested again.
TEST_F(PlayerSiteTest, SwitchingTracksRequestsOnlyTheNewFile) {
  StartSite();
  player_.SetUrl(TrackUrl(0));
  ExpectPlaying();
  QTest::qWait(500);
  site_->ClearRequests();
  player_.SetUrl(TrackUrl(1));
  ExpectPlaying(true);
  QTest::qWait(500);
  player_.SetUrl("");
  QTest::qWait(300);
  const std::vector<SiteRequest> requests = site_->Requests();
  ASSERT_FALSE(requests.empty());
  for (const SiteRequest& r : requests) EXPECT_EQ(r.path, TrackPath(1)) << r.range;
}

}  // namespace
}  // namespace wuqu
