// Coverage builds only (XAP_COVERAGE), linked into the program: the gcov
// runtime writes a process's counters when it exits, but the tests end a
// module process with SIGKILL as soon as they have read what they wait for,
// and an ending signal leaves through _exit. So the counters are written
// (added to the .gcda files, then zeroed) before every write to standard
// output, where the replies and events go, and before _exit: by the time a
// line can be read, the work that led to it is counted.
#include <unistd.h>

#include <cstddef>

extern "C" {

void __gcov_dump(void);
void __gcov_reset(void);
ssize_t __real_write(int fd, const void* buf, size_t count);
void __real__exit(int status) __attribute__((noreturn));

ssize_t __wrap_write(int fd, const void* buf, size_t count) {
  if (fd == STDOUT_FILENO) {
    __gcov_dump();
    __gcov_reset();
  }
  return __real_write(fd, buf, count);
}

void __wrap__exit(int status) {
  __gcov_dump();
  __real__exit(status);
}

}  // extern "C"
