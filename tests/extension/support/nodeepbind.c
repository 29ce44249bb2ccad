/* Preloaded before the sanitizer runtime in the sanitizer build's PHP tests. php dlopens
 * extensions with RTLD_DEEPBIND, which the runtime refuses; binding the module the ordinary
 * way changes nothing for it, since it defines no symbol that php or its libraries define. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

__attribute__((visibility("default"))) void *dlopen(const char *file, int mode) {
  static void *(*next)(const char *, int);
  if (next == NULL) next = (void *(*)(const char *, int))dlsym(RTLD_NEXT, "dlopen");
  return next(file, mode & ~RTLD_DEEPBIND);
}
