/* Counts the X round trips of a process: every Xlib request that waits for
 * the server's answer (XSync, queries, extension requests) ends in _XReply.
 * Preloaded into the program; at exit the count is appended to the file
 * named by MV_XREPLY_COUNT_FILE. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

static atomic_long count;

Status _XReply(Display* display, xReply* reply, int extra, Bool discard) {
  static Status (*real)(Display*, xReply*, int, Bool);
  if (!real) real = (Status(*)(Display*, xReply*, int, Bool))dlsym(RTLD_NEXT, "_XReply");
  atomic_fetch_add(&count, 1);
  return real(display, reply, extra, discard);
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("MV_XREPLY_COUNT_FILE");
  if (!path) return;
  FILE* out = fopen(path, "a");
  if (!out) return;
  fprintf(out, "%ld\n", atomic_load(&count));
  fclose(out);
}
