#pragma once

#include <QWidget>

#include "text/text.h"

class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QSlider;
class QToolButton;

namespace wuqu {

class VideoArea;

// The embedded player (播放器1): a video area above a control bar of its own
// (play/pause, position, volume). Setting a URL starts playback at once.
class MediaPlayer : public QWidget {
  Q_OBJECT
 public:
  explicit MediaPlayer(QWidget* parent = nullptr);
  ~MediaPlayer() override;

  // Plays the address at once; the address goes on the wire in its wire form.
  // The empty text stops playback and leaves the player without media.
  void SetUrl(const Text& url);
  Text Url() const;

  QMediaPlayer& Player() { return *player_; }

 private:
  void SyncPlayButton();
  void SyncPosition();

  Text url_;
  QMediaPlayer* player_;
  QAudioOutput* audio_;
  VideoArea* video_;
  QToolButton* play_button_;
  QSlider* position_;
  QLabel* time_;
  QSlider* volume_;
};

}  // namespace wuqu
