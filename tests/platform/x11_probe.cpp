// A plain Xlib client for the tests: one window over the whole screen that
// takes the keyboard focus and prints, one line each, what reaches it:
//   ready
//   motion ROOT_X ROOT_Y STATE
//   press BUTTON ROOT_X ROOT_Y STATE      release BUTTON ROOT_X ROOT_Y STATE
//   key KEYCODE KEYSYM STATE TEXT         keyup KEYCODE KEYSYM STATE
// STATE and KEYSYM in hex; TEXT is the UTF-8 text of the key press in hex
// ("-" when none). It ends when its standard input closes.
//   x11_probe --timestamps   the same, each event line led by the
//                            CLOCK_MONOTONIC time (seconds) it was read at
//   x11_probe --pressed      prints what is held down now and ends:
//                            "keys KEYCODE..." and "buttons MASK" (hex)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  const bool timestamps = argc > 1 && strcmp(argv[1], "--timestamps") == 0;
  setlocale(LC_ALL, "C.UTF-8");
  XSetLocaleModifiers("@im=none");
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    fprintf(stderr, "probe: cannot open display\n");
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  if (argc > 1 && strcmp(argv[1], "--pressed") == 0) {
    char keys[32];
    XQueryKeymap(display, keys);
    printf("keys");
    for (int key = 0; key < 256; ++key) if (keys[key / 8] & (1 << (key % 8))) printf(" %d", key);
    Window w;
    int i;
    unsigned mask = 0;
    XQueryPointer(display, root, &w, &w, &i, &i, &i, &i, &mask);
    printf("\nbuttons %x\n", mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask));
    return 0;  // the connection closes with the process
  }
  const int screen = DefaultScreen(display);
  const Window window = XCreateSimpleWindow(display, root, 0, 0, DisplayWidth(display, screen),
                                            DisplayHeight(display, screen), 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                    PointerMotionMask | StructureNotifyMask);
  XIM im = XSupportsLocale() ? XOpenIM(display, nullptr, nullptr, nullptr) : nullptr;
  XIC ic = im ? XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, window,
                          XNFocusWindow, window, nullptr)
              : nullptr;
  XMapRaised(display, window);
  XEvent mapped;
  while (XNextEvent(display, &mapped) == 0 && mapped.type != MapNotify) {}
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  printf("ready\n");
  fflush(stdout);

  pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (char buffer[64];;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      timespec now;  // input events only, KeyPress to MotionNotify
      const bool input = event.type >= KeyPress && event.type <= MotionNotify;
      if (timestamps && input && clock_gettime(CLOCK_MONOTONIC, &now) == 0) printf("%ld.%09ld ", long(now.tv_sec), now.tv_nsec);
      const XKeyEvent& key = event.xkey;
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
      } else if (event.type == MotionNotify) {
        printf("motion %d %d %x\n", event.xmotion.x_root, event.xmotion.y_root, event.xmotion.state);
      } else if (event.type == ButtonPress || event.type == ButtonRelease) {
        printf("%s %u %d %d %x\n", event.type == ButtonPress ? "press" : "release", event.xbutton.button,
               event.xbutton.x_root, event.xbutton.y_root, event.xbutton.state);
      } else if (event.type == KeyRelease) {
        printf("keyup %u %lx %x\n", key.keycode, XLookupKeysym(&event.xkey, 0), key.state);
      } else if (event.type == KeyPress) {
        char text[64];
        KeySym keysym = NoSymbol;
        Status status = 0;
        int length = ic ? Xutf8LookupString(ic, &event.xkey, text, sizeof text, &keysym, &status)
                        : XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
        if (ic && status != XLookupChars && status != XLookupBoth) length = 0;
        printf("key %u %lx %x ", key.keycode, keysym, key.state);
        for (int i = 0; i < length; ++i) printf("%02x", static_cast<unsigned char>(text[i]));
        printf(length > 0 ? "\n" : "-\n");
      }
    }
    fflush(stdout);
    if (poll(fds, 2, -1) < 0 || (fds[1].revents && read(STDIN_FILENO, buffer, sizeof buffer) <= 0)) break;
  }
  XCloseDisplay(display);  // the input method's resources with it
  return 0;
}
