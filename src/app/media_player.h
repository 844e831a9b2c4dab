#pragma once

#include <QWidget>

#include "text/text.h"

class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QNetworkAccessManager;
class QNetworkReply;
class QSlider;
class QToolButton;

namespace wuqu {

class VideoArea;

// The embedded player (播放器1): a video area above a control bar of its own
// (play/pause, position, volume). Setting a URL starts playback at once.
// Media that cannot be loaded or decoded leaves a short text in the video
// area saying so (for an http address with the status the server answers a
// HEAD request with), and the play button reads "play"; a click on it tries
// the address again.
//
// With the focus, it takes keys: Space plays or pauses as the play button
// does, Left and Right seek kSeekStepMs back and on, Up and Down change the
// volume by kVolumeStep (of 100). Its frame shows when it has the focus.
class MediaPlayer : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSeekStepMs = 5000;
  static constexpr int kVolumeStep = 10;

  explicit MediaPlayer(QWidget* parent = nullptr);
  ~MediaPlayer() override;

  // Plays the address at once; the address goes on the wire in its wire form.
  // The empty text stops playback and leaves the player without media.
  void SetUrl(const Text& url);
  Text Url() const;

  // The player of the current address: each new address gets a fresh one.
  QMediaPlayer& Player() { return *player_; }
  // The trouble text shown in the video area (program text); empty while
  // nothing is wrong.
  Text TroubleText() const;
  // The volume slider's value, 0 to 100.
  int Volume() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void MakePlayer();
  void Play();
  void ShowTrouble(bool undecodable);
  void SyncPlayButton();
  void SyncPosition();

  Text url_;
  QMediaPlayer* player_ = nullptr;
  bool trouble_ = false;
  QNetworkAccessManager* network_;
  QNetworkReply* probe_ = nullptr;
  QAudioOutput* audio_;
  VideoArea* video_;
  QToolButton* play_button_;
  QSlider* position_;
  QLabel* time_;
  QSlider* volume_;
};

}  // namespace wuqu
