// Why this header exists: the log, the console posts of the message layer
// and the panic path each write text straight to a descriptor without
// stdio's buffer, which may never be flushed when the process ends, and
// must go on when a signal interrupts the call. Internal to the library;
// not installed.
#ifndef BRELLIS_INTERNAL_WRITEALL_H
#define BRELLIS_INTERNAL_WRITEALL_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace brellis {

// Writes all of buf to fd unless it fails; returns how much was written.
inline size_t WriteAll(int fd, const char *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, buf + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == -1 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
}

}  // namespace brellis

#endif
