#include "app/qt_text.h"

#include "text/codepage.h"

namespace wuqu {

QString ToQString(const Text& text) {
  return QString::fromStdString(LocalTextToUtf8(text));
}

Text FromQString(const QString& string) {
  return Utf8ToLocalText(string.toStdString());
}

}  // namespace wuqu
