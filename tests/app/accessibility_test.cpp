#include <gtest/gtest.h>

#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <QAccessible>
#include <QApplication>
#include <QWidget>

#include <algorithm>

#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/qt_text.h"
#include "text/codepage.h"

namespace wuqu {
namespace {

QString Q(const char* utf8) {
  return QString::fromUtf8(utf8);
}

std::string Name(QObject* object) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface == nullptr ? "<none>" : iface->text(QAccessible::Name).toStdString();
}

QWidget* Control(MainWindow& window, const char* object_name) {
  return window.findChild<QWidget*>(Q(object_name));
}

// What a screen reader hears for each control, as Qt's accessibility
// interface (and through it AT-SPI) gives it.
TEST(Accessibility, EveryControlHasTheNameOfItsLabelOrCaption) {
  MainWindow window;
  window.show();
  const struct {
    const char* control;
    const char* name;
  } cases[] = {
      {"编辑框EX1", "歌曲ID"},     {"编辑框EX3", "下载地址"},    {"编辑框EX2", "线程数"},
      {"按钮EX1", "播放"},         {"按钮EX2", "下载"},          {"组合框1", "请选择舞曲类型"},
      {"超级列表框1", "舞曲列表"}, {"播放器1", "播放器"},        {"进度条1", "下载进度"},
      {"closeButton", "关闭"},     {"minimiseButton", "最小化"}, {"playPause", "播放试听"},
      {"position", "进度"},        {"volume", "音量"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    QWidget* control = Control(window, c.control);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(Name(control), c.name);
  }
  // The list also says how it is used.
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&window.track_list())
                ->text(QAccessible::Description)
                .toStdString(),
            "舞曲名称-左键单击试听--右键单击下载");
}

// Walks the window's accessible tree: whatever a user can act on has a name,
// and no two of them share one (the three edit boxes could not be told apart
// by ear otherwise).
TEST(Accessibility, NoControlInTheTreeIsNamelessOrNamedLikeAnother) {
  MainWindow window;
  window.show();
  const QAccessible::Role kActedOn[] = {
      QAccessible::EditableText, QAccessible::PushButton, QAccessible::Button,
      QAccessible::ComboBox,     QAccessible::List,       QAccessible::Tree,
      QAccessible::Table,        QAccessible::Slider,     QAccessible::ProgressBar,
  };
  std::vector<std::string> names;
  std::vector<QAccessibleInterface*> pending = {QAccessible::queryAccessibleInterface(&window)};
  while (!pending.empty()) {
    QAccessibleInterface* iface = pending.back();
    pending.pop_back();
    for (int i = 0; i < iface->childCount(); ++i) {
      QAccessibleInterface* child = iface->child(i);
      if (child == nullptr || child->object() == nullptr || !child->object()->isWidgetType()) {
        continue;  // rows, cells and headers of the list
      }
      // A combo box's drop-down list is part of it and goes by its name.
      if (child->role() != QAccessible::ComboBox) pending.push_back(child);
      if (std::find(std::begin(kActedOn), std::end(kActedOn), child->role()) ==
          std::end(kActedOn)) {
        continue;
      }
      const std::string name = child->text(QAccessible::Name).toStdString();
      SCOPED_TRACE(child->object()->metaObject()->className() + std::string(" ") +
                   child->object()->objectName().toStdString());
      EXPECT_FALSE(name.empty());
      EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
      names.push_back(name);
    }
  }
  EXPECT_EQ(names.size(), 13u);  // the walk reached every control
}

std::vector<std::pair<QAccessible::Event, QObject*>> g_events;

void RecordEvent(QAccessibleEvent* event) {
  g_events.emplace_back(event->type(), event->object());
}

// The status line is one to assistive technology, and each new text of it
// reaches it as an event; the same text written again (every tick writes
// the line) raises nothing, so nothing is read out twice.
TEST(Accessibility, TheStatusLineAnnouncesEachChangeOnce) {
  MainWindow window;
  window.show();
  SkinnedLabel& status = window.status_label();
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&status);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::StatusBar);
  EXPECT_EQ(Name(&status), "歌曲ID就是DJ播放页面网址后面的数字");

  g_events.clear();
  // As when a screen reader listens: Qt passes on no event before that.
  QPlatformAccessibility* platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
  ASSERT_NE(platform, nullptr);
  platform->setActive(true);
  QAccessible::installUpdateHandler(RecordEvent);
  const Text line = Utf8ToLocalText(std::string_view("正在下载：42%  共1KB"));
  status.SetText(line);
  status.SetText(line);
  status.SetText(Utf8ToLocalText(std::string_view("下载完成：100%")));
  QAccessible::installUpdateHandler(nullptr);
  platform->setActive(false);

  int changes = 0;
  for (const auto& [type, object] : g_events) {
    if (object == &status && type == QAccessible::NameChanged) ++changes;
  }
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(Name(&status), "下载完成：100%");
}

}  // namespace
}  // namespace wuqu
