// Writes a picture of the window as it opens to the PNG file named by the only
// argument (docs/window.png for the README):
//   QT_QPA_PLATFORM=offscreen build/bin/wuqu-window-shot docs/window.png
#include <QApplication>
#include <QPixmap>

#include <cstdio>

#include "app/bindings.h"
#include "app/main_window.h"
#include "app/window_events.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <file.png>\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  wuqu::MainWindow window;
  wuqu::WindowEvents events;
  wuqu::BindEvents(window, events);
  window.CompleteCreation();
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "could not write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
