#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <string>

#include "app/gui_wait.h"
#include "app/media_player.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

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
    EXPECT_TRUE(status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia ||
                status == QMediaPlayer::BufferingMedia)
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

}  // namespace
}  // namespace wuqu
