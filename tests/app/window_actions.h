#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QTest>

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

}  // namespace wuqu
