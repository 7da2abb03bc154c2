/* A stand-in put under the name of a library that the build's programs need, in a folder that
 * none of them should search: if the loader ever takes it, its constructor leaves a mark. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void planted_library_loaded(void) {
  const char *mark = getenv("QX470_PLANTED_MARK");
  if (!mark) return;
  int fd = open(mark, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char exe[512];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n < 0) n = 0;
  exe[n] = '\n';
  if (write(fd, exe, (size_t)n + 1) < 0) {
    /* Nothing more to do: the mark is best effort, the open alone shows the load. */
  }
  close(fd);
}
