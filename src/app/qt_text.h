#pragma once

#include <QString>

#include "text/text.h"

// The window's edge between program text (code page 936) and Qt strings.
// Every control operation converts here and nowhere else.
namespace wuqu {

QString ToQString(const Text& text);
Text FromQString(const QString& string);

}  // namespace wuqu
