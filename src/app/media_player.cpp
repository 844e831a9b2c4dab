#include "app/media_player.h"

#include <QAudioOutput>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QPainter>
#include <QPixmap>
#include <QSlider>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>

#include "app/qt_text.h"
#include "app/window_texts.h"
#include "net/wire_url.h"

namespace wuqu {
namespace {

// Light play and pause symbols for the dark control bar.
QIcon BarIcon(bool pause) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(230, 234, 240));
  if (pause) {
    p.drawRect(QRectF(3.5, 3, 3, 10));
    p.drawRect(QRectF(9.5, 3, 3, 10));
  } else {
    const QPointF tri[] = {{4, 2.5}, {13, 8}, {4, 13.5}};
    p.drawPolygon(tri, 3);
  }
  return QIcon(pm);
}

QString TimeText(qint64 ms) {
  const qint64 s = ms / 1000;
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

// The picture of the player: each frame the sink receives, painted scaled to
// fit on black. A plain widget (no window of its own), so it is drawn and
// grabbed with the rest of the window.
class VideoArea : public QWidget {
 public:
  explicit VideoArea(QWidget* parent) : QWidget(parent), sink_(new QVideoSink(this)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(sink_, &QVideoSink::videoFrameChanged, this, [this](const QVideoFrame& frame) {
      frame_ = frame;
      update();
    });
  }
  QVideoSink* Sink() const { return sink_; }
  void Clear() {
    frame_ = QVideoFrame();
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (frame_.isValid()) frame_.paint(&p, rect(), {Qt::black, Qt::KeepAspectRatio});
  }

 private:
  QVideoSink* sink_;
  QVideoFrame frame_;
};

MediaPlayer::MediaPlayer(QWidget* parent)
    : QWidget(parent),
      player_(new QMediaPlayer(this)),
      audio_(new QAudioOutput(this)),
      video_(new VideoArea(this)),
      play_button_(new QToolButton(this)),
      position_(new QSlider(Qt::Horizontal, this)),
      time_(new QLabel(this)),
      volume_(new QSlider(Qt::Horizontal, this)) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(24, 28, 36));
  pal.setColor(QPalette::WindowText, QColor(220, 225, 235));
  setPalette(pal);

  play_button_->setObjectName(QStringLiteral("playPause"));
  play_button_->setAutoRaise(true);
  play_button_->setFixedSize(22, 20);
  play_button_->setFocusPolicy(Qt::NoFocus);
  position_->setObjectName(QStringLiteral("position"));
  position_->setAccessibleName(ToQString(window_texts::kPlayerPositionName));
  position_->setRange(0, 0);
  position_->setFocusPolicy(Qt::NoFocus);
  time_->setObjectName(QStringLiteral("time"));
  time_->setText(TimeText(0));
  QFont small = time_->font();
  small.setPixelSize(10);
  time_->setFont(small);
  volume_->setObjectName(QStringLiteral("volume"));
  volume_->setAccessibleName(ToQString(window_texts::kPlayerVolumeName));
  volume_->setRange(0, 100);
  volume_->setValue(80);
  volume_->setFixedWidth(44);
  volume_->setFocusPolicy(Qt::NoFocus);
  audio_->setVolume(0.8f);

  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(2, 0, 4, 1);
  bar->setSpacing(3);
  bar->addWidget(play_button_);
  bar->addWidget(position_, 1);
  bar->addWidget(time_);
  bar->addWidget(volume_);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(video_, 1);
  column->addLayout(bar);

  player_->setAudioOutput(audio_);
  player_->setVideoSink(video_->Sink());
  connect(player_, &QMediaPlayer::playbackStateChanged, this, &MediaPlayer::SyncPlayButton);
  connect(player_, &QMediaPlayer::durationChanged, this,
          [this](qint64 d) { position_->setRange(0, static_cast<int>(d)); });
  connect(player_, &QMediaPlayer::positionChanged, this, &MediaPlayer::SyncPosition);
  connect(play_button_, &QToolButton::clicked, this, [this] {
    if (player_->playbackState() == QMediaPlayer::PlayingState) {
      player_->pause();
    } else if (!player_->source().isEmpty()) {
      player_->play();
    }
  });
  connect(position_, &QSlider::sliderMoved, this, [this](int ms) { player_->setPosition(ms); });
  connect(volume_, &QSlider::valueChanged, this,
          [this](int v) { audio_->setVolume(static_cast<float>(v) / 100.0f); });
  SyncPlayButton();
}

MediaPlayer::~MediaPlayer() {
  player_->stop();
}

void MediaPlayer::SetUrl(const Text& url) {
  url_ = url;
  video_->Clear();
  if (url.empty()) {
    player_->stop();
    player_->setSource(QUrl());
    return;
  }
  player_->setSource(QUrl::fromEncoded(QByteArray::fromStdString(WireUrl(url))));
  player_->play();
}

Text MediaPlayer::Url() const {
  return url_;
}

void MediaPlayer::SyncPlayButton() {
  const bool playing = player_->playbackState() == QMediaPlayer::PlayingState;
  play_button_->setIcon(BarIcon(playing));
  // The button shows only an icon: its name says what a press does.
  play_button_->setAccessibleName(
      ToQString(playing ? window_texts::kPlayerPauseName : window_texts::kPlayerPlayName));
}

void MediaPlayer::SyncPosition() {
  const qint64 pos = player_->position();
  if (!position_->isSliderDown()) position_->setValue(static_cast<int>(pos));
  time_->setText(TimeText(pos));
}

}  // namespace wuqu
