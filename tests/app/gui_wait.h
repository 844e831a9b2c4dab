#pragma once

#include <QTest>

namespace wuqu {

// Lets events run until `done` holds or `timeout_ms` has passed; true when it
// holds. (QtTest's QTRY_ macros report to QtTest, not to GoogleTest.)
template <typename Predicate>
bool WaitFor(Predicate done, int timeout_ms = 5000) {
  return QTest::qWaitFor(done, timeout_ms);
}

}  // namespace wuqu
