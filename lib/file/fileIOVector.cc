// Transfers of lists of memory pieces, at the current position or at a given
// offset.

#include <brellis/fileIO.h>
#include <brellis/log.h>

#include "file/fileInt.h"

#include <sys/uio.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <span>

namespace {

// Each diagnostic that is worth seeing once per process has its own flag.
bool FirstTime(std::atomic<bool> &flag) {
  return !flag.exchange(true, std::memory_order_relaxed);
}

std::atomic<bool> pwriteEintrLogged{false};
std::atomic<bool> pwritePartialLogged{false};
std::atomic<bool> preadEintrLogged{false};

// The lengths must add up to totalSize, which must stay below 2^31: the
// bounce buffer is sized by totalSize and filled from the lengths.
bool ValidList(const struct iovec *entries, int count, size_t totalSize) {
  if (count < 0 || (count > 0 && entries == nullptr) || totalSize > INT32_MAX) return false;
  size_t sum = 0;
  for (const auto &e : std::span(entries, static_cast<size_t>(count))) {
    if (e.iov_len > totalSize - sum) return false;
    sum += e.iov_len;
  }
  return sum == totalSize;
}

FileIOResult PositionalWrite(int posix, std::span<const struct iovec> entries, uint64_t offset) {
  for (const auto &e : entries) {
    const auto *base = static_cast<const char *>(e.iov_base);
    size_t left = e.iov_len;
    while (left > 0) {
      ssize_t n = pwrite(posix, base, left, static_cast<off_t>(offset));
      if (n == -1) {
        if (errno == EINTR) {
          if (FirstTime(pwriteEintrLogged)) {
            Log_Info("FILE: %s got EINTR.  Retrying\n", "FileIO_Pwritev");
          }
          continue;
        }
        int err = errno;
        FileIOResult result = FileIOErrno2Result(err);
        errno = err;
        return result;
      }
      if (n == 0) {
        // No byte accepted: retrying would spin for ever.
        return FILEIO_WRITE_ERROR_NOSPC;
      }
      if (static_cast<size_t>(n) < left && FirstTime(pwritePartialLogged)) {
        Log_Info("FILE: %s wrote %zd out of %zu bytes.\n", "FileIO_Pwritev", n, left);
      }
      base += n;
      left -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
  }
  return FILEIO_SUCCESS;
}

FileIOResult PositionalRead(int posix, std::span<const struct iovec> entries, uint64_t offset) {
  for (const auto &e : entries) {
    auto *base = static_cast<char *>(e.iov_base);
    size_t left = e.iov_len;
    while (left > 0) {
      ssize_t n = pread(posix, base, left, static_cast<off_t>(offset));
      if (n == -1) {
        if (errno == EINTR) {
          if (FirstTime(preadEintrLogged)) {
            Log_Info("FILE: %s got EINTR.  Retrying\n", "FileIO_Preadv");
          }
          continue;
        }
        int err = errno;
        FileIOResult result = FileIOErrno2Result(err);
        errno = err;
        return result;
      }
      if (n == 0) return FILEIO_READ_ERROR_EOF;
      base += n;
      left -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
  }
  return FILEIO_SUCCESS;
}

}  // namespace

FileIOResult FileIO_Pwritev(FileIODescriptor *fd, const struct iovec *entries, int count,
                            uint64_t offset, size_t totalSize) {
  if (!ValidList(entries, count, totalSize)) {
    errno = EINVAL;
    return FILEIO_ERROR;
  }
  return PositionalWrite(fd->posix, std::span(entries, static_cast<size_t>(count)), offset);
}

FileIOResult FileIO_Preadv(FileIODescriptor *fd, const struct iovec *entries, int count,
                           uint64_t offset, size_t totalSize) {
  if (!ValidList(entries, count, totalSize)) {
    errno = EINVAL;
    return FILEIO_ERROR;
  }
  return PositionalRead(fd->posix, std::span(entries, static_cast<size_t>(count)), offset);
}

FileIOResult FileIO_Pwrite(FileIODescriptor *fd, const void *buffer, size_t length,
                           uint64_t offset) {
  struct iovec entry = {const_cast<void *>(buffer), length};
  return FileIO_Pwritev(fd, &entry, 1, offset, length);
}

FileIOResult FileIO_Pread(FileIODescriptor *fd, void *buffer, size_t length, uint64_t offset) {
  struct iovec entry = {buffer, length};
  return FileIO_Preadv(fd, &entry, 1, offset, length);
}
