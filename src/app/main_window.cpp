#include "app/main_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QLinearGradient>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "app/qt_text.h"
#include "app/track_finder.h"
#include "text/ui_texts.h"

namespace wuqu {
namespace {

const QColor kCaptionTop(58, 95, 143);
const QColor kCaptionBottom(40, 70, 110);
const QColor kBorder(40, 70, 110);
const QColor kBody(243, 245, 248);

template <typename T>
T* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* w = new T(parent);
  w->setObjectName(QString::fromUtf8(name));
  w->setGeometry(left, top, width, height);
  return w;
}

// A label's text as the name of the control beside it: without the colon
// that ends it on the screen (歌曲ID: reads 歌曲ID).
QString NameOfLabel(const QLabel& label) {
  QString name = label.text().trimmed();
  while (name.endsWith(QLatin1Char(':')) || name.endsWith(QChar(0xFF1A))) name.chop(1);
  return name;
}

// The edit box reads its label's text as its name, and the label points at
// the box it stands for.
void NameByLabel(QWidget& control, QLabel& label) {
  control.setAccessibleName(NameOfLabel(label));
  label.setBuddy(&control);
}

}  // namespace

void InstallFontSubstitutions() {
  const QStringList faces = {QStringLiteral("WenQuanYi Micro Hei")};
  QFont::insertSubstitutions(QStringLiteral("宋体"), faces);
  QFont::insertSubstitutions(QStringLiteral("SimSun"), faces);
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
  namespace t = ui_texts;
  InstallFontSubstitutions();
  setObjectName(QStringLiteral("窗口EX1"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
  setFixedSize(kWidth, kHeight);
  move(50, 50);
  setWindowIcon(QIcon(QStringLiteral(":/images/wuqu.ico")));

  track_id_label_ = Place<SkinnedLabel>(this, "标签EX4", 9, 39, 48, 24);
  track_id_label_->SetText(t::kTrackIdLabel);
  track_id_box_ = Place<SkinnedEdit>(this, "编辑框EX1", 59, 39, 90, 24);
  track_id_box_->SetText(t::kDefaultTrackId);
  play_button_ = Place<SkinnedButton>(this, "按钮EX1", 157, 40, 56, 24);
  play_button_->setText(ToQString(t::kPlayButton));
  download_button_ = Place<SkinnedButton>(this, "按钮EX2", 221, 41, 64, 24);
  download_button_->setText(ToQString(t::kDownloadButton));
  player_ = Place<MediaPlayer>(this, "播放器1", 7, 73, 274, 102);
  address_label_ = Place<SkinnedLabel>(this, "标签EX1", 7, 188, 56, 20);
  address_label_->SetText(t::kAddressLabel);
  media_address_box_ = Place<SkinnedEdit>(this, "编辑框EX3", 64, 186, 216, 24);
  thread_count_label_ = Place<SkinnedLabel>(this, "标签EX2", 9, 221, 48, 20);
  thread_count_label_->SetText(t::kThreadsLabel);
  thread_count_box_ = Place<SkinnedEdit>(this, "编辑框EX2", 69, 221, 24, 20);
  thread_count_box_->SetText(t::kDefaultThreads);
  side_label_ = Place<SkinnedLabel>(this, "标签EX5", 142, 222, 136, 24);
  status_label_ = Place<SkinnedLabel>(this, "标签EX3", 8, 250, 273, 20);
  status_label_->SetStatusLine();
  status_label_->SetText(t::kTrackIdHint);
  status_label_->SetTextColour(QColor(255, 80, 128));  // stored as 0x8050FF, red in the low byte
  progress_bar_ = Place<ProgressBar>(this, "进度条1", 9, 277, 272, 8);
  category_prompt_ = Place<TransparentLabel>(this, "透明标签1", 295, 37, 96, 24);
  category_prompt_->setText(ToQString(t::kCategoryPrompt));
  category_box_ = Place<CategoryBox>(this, "组合框1", 392, 40, 104, 20);
  for (const Text& caption : t::kCategoryCaptions) category_box_->addItem(ToQString(caption));
  category_box_->setCurrentIndex(-1);  // nothing chosen, nothing fetched
  track_list_ = Place<TrackList>(this, "超级列表框1", 288, 65, 320, 224);
  track_list_->setHeaderLabels({ToQString(t::kTitleColumn), ToQString(t::kAddressColumn)});
  progress_timer_ = new Clock(this);
  progress_timer_->setObjectName(QStringLiteral("时钟1"));

  close_button_ = new CaptionButton(QStringLiteral(":/images/caption-close"), this);
  close_button_->setObjectName(QStringLiteral("closeButton"));
  close_button_->move(kWidth - 1 - 30, 1);
  minimise_button_ = new CaptionButton(QStringLiteral(":/images/caption-minimise"), this);
  minimise_button_->setObjectName(QStringLiteral("minimiseButton"));
  minimise_button_->move(kWidth - 1 - 60, 1);
  connect(close_button_, &QAbstractButton::clicked, this, &QWidget::close);
  connect(minimise_button_, &QAbstractButton::clicked, this, &QWidget::showMinimized);
  NameControls();
  OrderTabs();
}

void MainWindow::OrderTabs() {
  // The track-number row, the category box and the list beside it, the
  // address and thread boxes under the player, then the player.
  QWidget* const chain[] = {track_id_box_,      play_button_,      download_button_,
                            category_box_,      track_list_,       &track_list_->Finder().Field(),
                            media_address_box_, thread_count_box_, player_};
  for (std::size_t i = 0; i + 1 < std::size(chain); ++i) setTabOrder(chain[i], chain[i + 1]);
  track_id_box_->setFocus(Qt::OtherFocusReason);
}

void MainWindow::NameControls() {
  namespace t = ui_texts;
  NameByLabel(*track_id_box_, *track_id_label_);
  NameByLabel(*media_address_box_, *address_label_);
  NameByLabel(*thread_count_box_, *thread_count_label_);
  NameByLabel(*category_box_, *category_prompt_);
  category_box_->view()->setAccessibleName(category_box_->accessibleName());  // its drop-down list
  play_button_->setAccessibleName(play_button_->text());
  download_button_->setAccessibleName(download_button_->text());
  track_list_->setAccessibleName(ToQString(t::kTrackListName));
  // How the list is used, as its header tells the sighted.
  track_list_->setAccessibleDescription(ToQString(t::kTitleColumn));
  player_->setAccessibleName(ToQString(t::kPlayerName));
  progress_bar_->setAccessibleName(ToQString(t::kProgressBarName));
  close_button_->setAccessibleName(ToQString(t::kCloseButtonName));
  minimise_button_->setAccessibleName(ToQString(t::kMinimiseButtonName));
}

MainWindow::~MainWindow() = default;

void MainWindow::CompleteCreation() {
  emit created();
}

void MainWindow::SetTitleText(const Text& title) {
  title_ = title;
  setWindowTitle(ToQString(title));
  update(0, 0, kWidth, kCaptionHeight);
}

Text MainWindow::TitleText() const {
  return title_;
}

void MainWindow::ShowErrorBox(const Text& message, const Text& caption) {
  QMessageBox box(QMessageBox::Critical, ToQString(caption), ToQString(message), QMessageBox::Ok,
                  this);
  box.setObjectName(QStringLiteral("errorBox"));
  box.exec();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), kBody);
  QLinearGradient strip(0, 0, 0, kCaptionHeight);
  strip.setColorAt(0, kCaptionTop);
  strip.setColorAt(1, kCaptionBottom);
  p.fillRect(0, 0, kWidth, kCaptionHeight, strip);
  p.setPen(kBorder);
  p.drawRect(0, 0, kWidth - 1, kHeight - 1);

  const QPixmap icon = windowIcon().pixmap(16, 16);
  p.drawPixmap(8, (kCaptionHeight - 16) / 2, icon);
  QFont font(QStringLiteral("宋体"));
  font.setPointSize(9);
  p.setFont(font);
  p.setPen(Qt::white);
  const QRect title_area(30, 0, kWidth - 30 - 64, kCaptionHeight);
  p.drawText(title_area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ToQString(title_));
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || event->position().y() >= kCaptionHeight) {
    QWidget::mousePressEvent(event);
    return;
  }
  // Compositors that place windows themselves only move them on request.
  if (QGuiApplication::platformName() == QLatin1String("wayland") && windowHandle() &&
      windowHandle()->startSystemMove()) {
    return;
  }
  dragging_ = true;
  drag_offset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_ && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - drag_offset_);
    return;
  }
  QWidget::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
  QWidget::mouseReleaseEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closed();
}

}  // namespace wuqu
