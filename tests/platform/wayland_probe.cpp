// A native Wayland client for the tests: one full-screen window on each
// screen, printing one line for each thing that reaches it, in the
// compositor's global layout:
//   ready              once all are shown and one has the keyboard focus
//   motion X Y BUTTONS
//   press|release|double BUTTON X Y
//   key QT_KEY MODIFIERS TEXT      TEXT in UTF-8 hex, "-" when none
//   focus X            the keyboard focus came to the window at X ("-": left)
// Numbers in decimal except BUTTONS and MODIFIERS (hex). It ends when its
// standard input closes.
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

class Surface final : public QWidget {
 public:
  explicit Surface(QScreen* screen) : origin_(screen->geometry().topLeft()) {
    setMouseTracking(true);
    setScreen(screen);
    setGeometry(screen->geometry());
  }

 protected:
  void mouseMoveEvent(QMouseEvent* e) override {
    const QPoint p = Global(e);
    printf("motion %d %d %x\n", p.x(), p.y(), static_cast<unsigned>(e->buttons()));
    fflush(stdout);
  }
  void mousePressEvent(QMouseEvent* e) override { Button("press", e); }
  void mouseReleaseEvent(QMouseEvent* e) override { Button("release", e); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { Button("double", e); }
  void keyPressEvent(QKeyEvent* e) override {
    const QByteArray hex = e->text().toUtf8().toHex();
    printf("key %d %x %s\n", e->key(), static_cast<unsigned>(e->modifiers()),
           hex.isEmpty() ? "-" : hex.constData());
    fflush(stdout);
  }

 private:
  QPoint Global(QMouseEvent* e) const { return origin_ + e->position().toPoint(); }
  void Button(const char* what, QMouseEvent* e) {
    const QPoint p = Global(e);
    printf("%s %x %d %d\n", what, static_cast<unsigned>(e->button()), p.x(), p.y());
    fflush(stdout);
  }
  QPoint origin_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // A loaded machine spreads the clicks that the helper sends back to back.
  QApplication::setDoubleClickInterval(2000);
  std::vector<std::unique_ptr<Surface>> surfaces;
  for (QScreen* screen : QGuiApplication::screens()) {
    surfaces.push_back(std::make_unique<Surface>(screen));
    surfaces.back()->showFullScreen();
  }
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&app] {
    char buffer[64];
    if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
  });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    for (const auto& surface : surfaces) {
      if (!surface->isVisible() || !surface->windowHandle()->isExposed()) return;
    }
    if (!QApplication::focusWindow()) return;
    printf("ready\n");
    fflush(stdout);
    poll.stop();
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, [](QWindow* window) {
      if (window) {
        printf("focus %d\n", window->screen()->geometry().x());
      } else {
        printf("focus -\n");
      }
      fflush(stdout);
    });
  });
  poll.start(20);
  return app.exec();
}
