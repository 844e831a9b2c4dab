#include "app/media_player.h"

#include <QAudioOutput>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMediaPlayer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPixmap>
#include <QSlider>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>

#include <algorithm>

#include "app/qt_text.h"
#include "net/wire_url.h"
#include "text/ui_texts.h"

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

// A HEAD request that asks the server for its status gives up after this.
constexpr int kProbeTimeoutMs = 5000;

// Width of the frame that shows the focus.
constexpr int kFocusFrame = 2;

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
    text_.clear();
    update();
  }
  // A line of text in place of the picture; empty: none.
  void SetText(const QString& text) {
    text_ = text;
    update();
  }
  QString GetText() const { return text_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (frame_.isValid()) frame_.paint(&p, rect(), {Qt::black, Qt::KeepAspectRatio});
    if (!text_.isEmpty()) {
      p.setPen(QColor(230, 234, 240));
      p.drawText(rect().adjusted(4, 0, -4, 0), Qt::AlignCenter | Qt::TextWordWrap, text_);
    }
  }

 private:
  QVideoSink* sink_;
  QVideoFrame frame_;
  QString text_;
};

MediaPlayer::MediaPlayer(QWidget* parent)
    : QWidget(parent),
      network_(new QNetworkAccessManager(this)),
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
  setFocusPolicy(Qt::StrongFocus);

  play_button_->setObjectName(QStringLiteral("playPause"));
  play_button_->setAutoRaise(true);
  play_button_->setFixedSize(22, 20);
  play_button_->setFocusPolicy(Qt::NoFocus);
  position_->setObjectName(QStringLiteral("position"));
  position_->setAccessibleName(ToQString(ui_texts::kPlayerPositionName));
  position_->setRange(0, 0);
  position_->setFocusPolicy(Qt::NoFocus);
  time_->setObjectName(QStringLiteral("time"));
  time_->setText(TimeText(0));
  QFont small = time_->font();
  small.setPixelSize(10);
  time_->setFont(small);
  volume_->setObjectName(QStringLiteral("volume"));
  volume_->setAccessibleName(ToQString(ui_texts::kPlayerVolumeName));
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
  // Room for the focus frame around the picture and the bar.
  column->setContentsMargins(kFocusFrame, kFocusFrame, kFocusFrame, kFocusFrame);
  column->setSpacing(0);
  column->addWidget(video_, 1);
  column->addLayout(bar);

  MakePlayer();
  connect(play_button_, &QToolButton::clicked, this, [this] {
    if (trouble_) {
      Play();  // once more, from the start
    } else if (player_->playbackState() == QMediaPlayer::PlayingState) {
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

// Deleted, never stopped: a stop seeks back to the start, and the player
// then asks the server for the old file once more.
MediaPlayer::~MediaPlayer() {
  delete probe_;
  delete player_;
}

// A fresh player for each address. Setting a new source on the old one
// stops it first, and that stop's seek requests the previous track's file
// again from the server.
void MediaPlayer::MakePlayer() {
  delete player_;
  player_ = new QMediaPlayer(this);
  player_->setAudioOutput(audio_);
  player_->setVideoSink(video_->Sink());
  connect(player_, &QMediaPlayer::playbackStateChanged, this, &MediaPlayer::SyncPlayButton);
  connect(player_, &QMediaPlayer::durationChanged, this,
          [this](qint64 d) { position_->setRange(0, static_cast<int>(d)); });
  connect(player_, &QMediaPlayer::positionChanged, this, &MediaPlayer::SyncPosition);
  connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
    if (error != QMediaPlayer::NoError) ShowTrouble(error == QMediaPlayer::FormatError);
  });
  connect(player_, &QMediaPlayer::mediaStatusChanged, this,
          [this](QMediaPlayer::MediaStatus status) {
            if (status == QMediaPlayer::InvalidMedia) ShowTrouble(false);
          });
  position_->setRange(0, 0);
  time_->setText(TimeText(0));
}

void MediaPlayer::SetUrl(const Text& url) {
  url_ = url;
  Play();
}

void MediaPlayer::Play() {
  delete probe_;
  probe_ = nullptr;
  trouble_ = false;
  video_->Clear();
  // A player that never had a source has nothing to stop.
  if (!player_->source().isEmpty()) MakePlayer();
  SyncPlayButton();
  if (url_.empty()) return;
  player_->setSource(QUrl::fromEncoded(QByteArray::fromStdString(WireUrl(url_))));
  player_->play();
}

Text MediaPlayer::Url() const {
  return url_;
}

Text MediaPlayer::TroubleText() const {
  return FromQString(video_->GetText());
}

void MediaPlayer::ShowTrouble(bool undecodable) {
  if (trouble_) return;  // one failure is often reported several times
  trouble_ = true;
  const Text what = undecodable ? ui_texts::kCannotDecode : ui_texts::kCannotOpen;
  video_->SetText(ToQString(what));
  SyncPlayButton();
  // The player does not say what the server answered; a HEAD request does,
  // without holding up the window.
  const QUrl source = player_->source();
  if (undecodable ||
      (source.scheme() != QLatin1String("http") && source.scheme() != QLatin1String("https"))) {
    return;
  }
  QNetworkRequest request(source);
  request.setTransferTimeout(kProbeTimeoutMs);
  probe_ = network_->head(request);
  connect(probe_, &QNetworkReply::finished, this, [this, what, reply = probe_] {
    if (reply != probe_) return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (trouble_ && status >= 300) {
      video_->SetText(ToQString(what + ui_texts::kServerAnswered.Gbk() + std::to_string(status)));
    } else if (trouble_ && status >= 200) {
      // The server has the file: what it holds is not media the player can decode.
      video_->SetText(ToQString(ui_texts::kCannotDecode));
    }
    probe_->deleteLater();
    probe_ = nullptr;
  });
}

void MediaPlayer::SyncPlayButton() {
  const bool playing = !trouble_ && player_->playbackState() == QMediaPlayer::PlayingState;
  play_button_->setIcon(BarIcon(playing));
  // The button shows only an icon: its name says what a press does.
  play_button_->setAccessibleName(
      ToQString(playing ? ui_texts::kPlayerPauseName : ui_texts::kPlayerPlayName));
  play_button_->setToolTip(playing ? QStringLiteral("pause") : QStringLiteral("play"));
}

void MediaPlayer::SyncPosition() {
  const qint64 pos = player_->position();
  if (!position_->isSliderDown()) position_->setValue(static_cast<int>(pos));
  time_->setText(TimeText(pos));
}

int MediaPlayer::Volume() const {
  return volume_->value();
}

void MediaPlayer::keyPressEvent(QKeyEvent* event) {
  if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Space:
      play_button_->click();
      break;
    case Qt::Key_Left:
    case Qt::Key_Right: {
      const qint64 step = event->key() == Qt::Key_Right ? kSeekStepMs : -kSeekStepMs;
      const qint64 end = std::max<qint64>(player_->duration(), 0);
      if (!player_->isSeekable()) break;
      player_->setPosition(std::clamp<qint64>(player_->position() + step, 0, end));
      SyncPosition();
      break;
    }
    case Qt::Key_Up:
    case Qt::Key_Down:
      volume_->setValue(volume_->value() +
                        (event->key() == Qt::Key_Up ? kVolumeStep : -kVolumeStep));
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void MediaPlayer::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (!hasFocus()) return;
  QPainter p(this);
  p.setPen(QPen(QColor(255, 190, 60), kFocusFrame));
  p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

void MediaPlayer::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  update();
}

void MediaPlayer::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  update();
}

}  // namespace wuqu
