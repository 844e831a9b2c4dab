#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>

#include <string>
#include <vector>

#include "app/main_window.h"

// What a user does to the window, with real mouse events.
namespace wuqu {

// Picks item `index` from 组合框1's list with the mouse. Returns when the
// handler has returned.
inline void ChooseFromTheBox(MainWindow& window, int index) {
  CategoryBox& box = window.category_box();
  box.showPopup();
  QAbstractItemView* view = box.view();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  const QRect item = view->visualRect(view->model()->index(index, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
}

// Clicks row `row` of 超级列表框1 with `button`, the keys in `modifiers` held.
inline void ClickRow(MainWindow& window, int row, Qt::MouseButton button = Qt::LeftButton,
                     Qt::KeyboardModifiers modifiers = {}) {
  TrackList& list = window.track_list();
  const QPoint centre = list.visualItemRect(list.topLevelItem(row)).center();
  QTest::mouseClick(list.viewport(), button, modifiers, centre);
}

// Opens the status line's menu with a right click on 标签EX3; the menu as it
// shows, or null when none opened.
inline QMenu* OpenStatusLineMenu(MainWindow& window) {
  QTest::mouseClick(&window.status_label(), Qt::RightButton);
  QMenu* menu = nullptr;
  for (int i = 0; i < 100 && menu == nullptr; ++i) {
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) QTest::qWait(20);
  }
  if (menu != nullptr && !QTest::qWaitForWindowExposed(menu)) return nullptr;
  return menu;
}

// The texts of the menu's entries, in order (UTF-8).
inline std::vector<std::string> MenuTexts(const QMenu& menu) {
  std::vector<std::string> texts;
  for (const QAction* action : menu.actions()) texts.push_back(action->text().toStdString());
  return texts;
}

// Clicks the entry of the status line's menu that reads `text` (UTF-8);
// false, and the menu closed, when it has none.
inline bool ChooseFromStatusLineMenu(MainWindow& window, const std::string& text) {
  QMenu* menu = OpenStatusLineMenu(window);
  if (menu == nullptr) return false;
  for (QAction* action : menu->actions()) {
    if (action->text().toStdString() != text) continue;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    return true;
  }
  menu->close();
  return false;
}

}  // namespace wuqu
