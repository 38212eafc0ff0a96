// A native Wayland client for the tests: a full-screen window on each screen,
// printing a line for each thing that reaches it, in the global layout:
// "ready" (all shown, one focused), "motion|enter X Y BUTTONS", "press|release|
// double BUTTON X Y", "key QT_KEY MODIFIERS TEXT" (TEXT in UTF-8 hex, "-"
// when none), "focus X" (at the window at X; "-": none). It ends when its
// standard input closes.
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <memory>
#include <vector>

struct Surface final : QWidget {
  explicit Surface(QScreen* screen) : origin(screen->geometry().topLeft()) {
    setMouseTracking(true);
    setScreen(screen);
    setGeometry(screen->geometry());
    showFullScreen();
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    const QPoint p = origin + e->position().toPoint();
    printf("motion %d %d %x\n", p.x(), p.y(), unsigned(e->buttons()));
  }
  // KWin moves the pointer into a window without a motion event there.
  void enterEvent(QEnterEvent* e) override {
    if (!ready) return;  // "ready" comes first
    const QPoint p = origin + e->position().toPoint();
    printf("enter %d %d %x\n", p.x(), p.y(), unsigned(e->buttons()));
  }
  void mousePressEvent(QMouseEvent* e) override { Button("press", e); }
  void mouseReleaseEvent(QMouseEvent* e) override { Button("release", e); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { Button("double", e); }
  void Button(const char* what, QMouseEvent* e) {
    const QPoint p = origin + e->position().toPoint();
    printf("%s %x %d %d\n", what, unsigned(e->button()), p.x(), p.y());
  }
  void keyPressEvent(QKeyEvent* e) override {
    const QByteArray hex = e->text().toUtf8().toHex();
    printf("key %d %x %s\n", e->key(), unsigned(e->modifiers()), hex.isEmpty() ? "-" : hex.data());
  }
  const QPoint origin;
  static inline bool ready = false;
};

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  QApplication app(argc, argv);
  QApplication::setDoubleClickInterval(2000);  // a loaded machine spreads the clicks
  std::vector<std::unique_ptr<Surface>> surfaces;
  for (QScreen* screen : QGuiApplication::screens()) {
    surfaces.push_back(std::make_unique<Surface>(screen));
  }
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&app] {
    char buffer[64];
    if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
  });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    for (const auto& s : surfaces) {
      if (!s->windowHandle()->isExposed() || !QApplication::focusWindow()) return;
    }
    printf("ready\n");
    Surface::ready = true;
    poll.stop();
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, [](QWindow* window) {
      const QByteArray at = window ? QByteArray::number(window->screen()->geometry().x()) : "-";
      printf("focus %s\n", at.data());
    });
  });
  poll.start(20);
  return app.exec();
}
