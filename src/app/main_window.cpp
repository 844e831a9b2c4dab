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
#include "app/window_texts.h"

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
  namespace t = window_texts;
  InstallFontSubstitutions();
  setObjectName(QStringLiteral("窗口EX1"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
  setFixedSize(kWidth, kHeight);
  move(50, 50);
  setWindowIcon(QIcon(QStringLiteral(":/images/wuqu.ico")));

  label_ex4_ = Place<SkinnedLabel>(this, "标签EX4", 9, 39, 48, 24);
  label_ex4_->SetText(t::kTrackIdLabel);
  edit_ex1_ = Place<SkinnedEdit>(this, "编辑框EX1", 59, 39, 90, 24);
  edit_ex1_->SetText(t::kDefaultTrackId);
  button_ex1_ = Place<SkinnedButton>(this, "按钮EX1", 157, 40, 56, 24);
  button_ex1_->setText(ToQString(t::kPlayButton));
  button_ex2_ = Place<SkinnedButton>(this, "按钮EX2", 221, 41, 64, 24);
  button_ex2_->setText(ToQString(t::kDownloadButton));
  player1_ = Place<MediaPlayer>(this, "播放器1", 7, 73, 274, 102);
  label_ex1_ = Place<SkinnedLabel>(this, "标签EX1", 7, 188, 56, 20);
  label_ex1_->SetText(t::kAddressLabel);
  edit_ex3_ = Place<SkinnedEdit>(this, "编辑框EX3", 64, 186, 216, 24);
  label_ex2_ = Place<SkinnedLabel>(this, "标签EX2", 9, 221, 48, 20);
  label_ex2_->SetText(t::kThreadsLabel);
  edit_ex2_ = Place<SkinnedEdit>(this, "编辑框EX2", 69, 221, 24, 20);
  edit_ex2_->SetText(t::kDefaultThreads);
  label_ex5_ = Place<SkinnedLabel>(this, "标签EX5", 142, 222, 136, 24);
  label_ex3_ = Place<SkinnedLabel>(this, "标签EX3", 8, 250, 273, 20);
  label_ex3_->SetStatusLine();
  label_ex3_->SetText(t::kTrackIdHint);
  label_ex3_->SetTextColour(QColor(255, 80, 128));  // stored as 0x8050FF, red in the low byte
  progress_bar1_ = Place<ProgressBar>(this, "进度条1", 9, 277, 272, 8);
  transparent_label1_ = Place<TransparentLabel>(this, "透明标签1", 295, 37, 96, 24);
  transparent_label1_->setText(ToQString(t::kCategoryPrompt));
  combo_box1_ = Place<CategoryBox>(this, "组合框1", 392, 40, 104, 20);
  for (const Text& caption : t::kCategoryCaptions) combo_box1_->addItem(ToQString(caption));
  combo_box1_->setCurrentIndex(-1);  // nothing chosen, nothing fetched
  super_list_box1_ = Place<TrackList>(this, "超级列表框1", 288, 65, 320, 224);
  super_list_box1_->setHeaderLabels({ToQString(t::kTitleColumn), ToQString(t::kAddressColumn)});
  clock1_ = new Clock(this);
  clock1_->setObjectName(QStringLiteral("时钟1"));

  close_button_ = new CaptionButton(QStringLiteral(":/images/caption-close"), this);
  close_button_->setObjectName(QStringLiteral("closeButton"));
  close_button_->move(kWidth - 1 - 30, 1);
  minimise_button_ = new CaptionButton(QStringLiteral(":/images/caption-minimise"), this);
  minimise_button_->setObjectName(QStringLiteral("minimiseButton"));
  minimise_button_->move(kWidth - 1 - 60, 1);
  connect(close_button_, &QAbstractButton::clicked, this, &QWidget::close);
  connect(minimise_button_, &QAbstractButton::clicked, this, &QWidget::showMinimized);
  NameControls();
}

void MainWindow::NameControls() {
  namespace t = window_texts;
  NameByLabel(*edit_ex1_, *label_ex4_);
  NameByLabel(*edit_ex3_, *label_ex1_);
  NameByLabel(*edit_ex2_, *label_ex2_);
  NameByLabel(*combo_box1_, *transparent_label1_);
  combo_box1_->view()->setAccessibleName(combo_box1_->accessibleName());  // its drop-down list
  button_ex1_->setAccessibleName(button_ex1_->text());
  button_ex2_->setAccessibleName(button_ex2_->text());
  super_list_box1_->setAccessibleName(ToQString(t::kTrackListName));
  // How the list is used, as its header tells the sighted.
  super_list_box1_->setAccessibleDescription(ToQString(t::kTitleColumn));
  player1_->setAccessibleName(ToQString(t::kPlayerName));
  progress_bar1_->setAccessibleName(ToQString(t::kProgressBarName));
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
