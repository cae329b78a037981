// The least a Qt Widgets program does to show one window: the floor under any start-up.
#include <QApplication>
#include <QWidget>
#include <QWindow>

#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(650, 485);
  window.show();
  while (!window.windowHandle()->isExposed()) QCoreApplication::processEvents();
  window.repaint();
  // The bench stops its clock here: shown, not ended.
  std::fputs("shown\n", stdout);
  std::fflush(stdout);
  return 0;
}
