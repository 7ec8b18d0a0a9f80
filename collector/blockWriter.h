// Positioned writes of many dump blocks at once. With an io_uring ring the
// writes of a whole batch of requests go to the kernel in one system call
// instead of one each; without one (not built in, or refused by the kernel
// or a system-call filter) they are plain positioned writes, one by one.
#ifndef TARNWELL_BLOCK_WRITER_H
#define TARNWELL_BLOCK_WRITER_H

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

class BlockWriter {
 public:
  struct Write {
    int fd;
    const struct iovec *iov;
    int iovcnt;
    uint64_t offset;
    ssize_t result;  // set by WriteAll: bytes written, or -errno
  };

  // A ring for up to `entries` writes at once, when allowed and available.
  BlockWriter(unsigned entries, bool useRing);
  ~BlockWriter();
  BlockWriter(const BlockWriter &) = delete;
  BlockWriter &operator=(const BlockWriter &) = delete;

  // Whether the writes go through a ring.
  bool Ring() const { return ring_ != nullptr; }
  // Performs every write and sets its result. Writes to the same file must
  // not overlap: their order is not kept. At most `entries` at once.
  void WriteAll(Write *writes, size_t count);

 private:
  struct Uring;
  Uring *ring_ = nullptr;
  unsigned entries_;
};

#endif  // TARNWELL_BLOCK_WRITER_H
