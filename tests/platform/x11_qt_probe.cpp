// A Qt client for the typing tests: a focused line edit that prints
//   ready            once it has the keyboard focus
//   text HEX         its content (UTF-8 in hex, "-" when empty) on Return,
//                    after which it starts empty again
// It ends when its standard input closes.
#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLineEdit edit;
  edit.setGeometry(100, 100, 600, 40);
  QObject::connect(&edit, &QLineEdit::returnPressed, [&edit] {
    QByteArray hex = edit.text().toUtf8().toHex();
    printf("text %s\n", hex.isEmpty() ? "-" : hex.constData());
    fflush(stdout);
    edit.clear();
  });
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&app] {
    char buffer[64];
    if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
  });
  edit.show();
  edit.activateWindow();
  edit.setFocus();
  // Without a window manager the focus arrives a moment after mapping.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (edit.hasFocus() && QApplication::focusWindow() == edit.windowHandle()) {
      printf("ready\n");
      fflush(stdout);
      poll.stop();
    } else {
      edit.activateWindow();
    }
  });
  poll.start(20);
  return app.exec();
}
