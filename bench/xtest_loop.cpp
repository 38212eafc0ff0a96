// The physical limit for synthetic pointer motion on an X server: N motion
// events through XTest from one Xlib connection, one XFlush after each (the
// way a client must send them to be prompt), one XSync at the end.
//   xtest_loop N X0 Y0 WIDTH
// moves to (X0 + i % WIDTH, Y0 + i / WIDTH) for i = 0..N-1 and prints the CLOCK_MONOTONIC time
// (seconds) taken just before the first event.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: xtest_loop N X0 Y0 WIDTH\n");
    return 2;
  }
  const int count = atoi(argv[1]);
  const int x0 = atoi(argv[2]);
  const int y0 = atoi(argv[3]);
  const int width = atoi(argv[4]);
  if (count <= 0 || width <= 0) return 2;
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    fprintf(stderr, "xtest_loop: cannot open display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < count; ++i) {
    XTestFakeMotionEvent(display, screen, x0 + i % width, y0 + i / width, CurrentTime);
    XFlush(display);
  }
  XSync(display, False);
  printf("%ld.%09ld\n", static_cast<long>(start.tv_sec), start.tv_nsec);
  XCloseDisplay(display);
  return 0;
}
