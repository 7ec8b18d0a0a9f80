#include "blockWriter.h"

#include <cerrno>
#include <limits>

#ifdef TARNWELL_HAVE_URING
#include <liburing.h>
#endif

struct BlockWriter::Uring {
#ifdef TARNWELL_HAVE_URING
  struct io_uring ring;
#endif
};

BlockWriter::BlockWriter(unsigned entries, bool useRing) : entries_(entries) {
#ifdef TARNWELL_HAVE_URING
  if (useRing) {
    auto *r = new Uring;
    if (io_uring_queue_init(entries, &r->ring, 0) == 0) {
      ring_ = r;
    } else {
      delete r;
    }
  }
#else
  (void)useRing;
#endif
}

BlockWriter::~BlockWriter() {
#ifdef TARNWELL_HAVE_URING
  if (ring_ != nullptr) {
    io_uring_queue_exit(&ring_->ring);
    delete ring_;
  }
#endif
}

namespace {

constexpr ssize_t kNotReported = std::numeric_limits<ssize_t>::min();

ssize_t PlainWrite(const BlockWriter::Write &w) {
  ssize_t n;
  do {
    n = pwritev(w.fd, w.iov, w.iovcnt, static_cast<off_t>(w.offset));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : n;
}

}  // namespace

void BlockWriter::WriteAll(Write *writes, size_t count) {
#ifdef TARNWELL_HAVE_URING
  // A single write gains nothing from the ring.
  if (ring_ != nullptr && count > 1 && count <= entries_) {
    struct io_uring *ring = &ring_->ring;
    for (size_t i = 0; i < count; i++) {
      struct io_uring_sqe *sqe = io_uring_get_sqe(ring);
      io_uring_prep_writev(sqe, writes[i].fd, writes[i].iov,
                           static_cast<unsigned>(writes[i].iovcnt), writes[i].offset);
      io_uring_sqe_set_data64(sqe, i);
      writes[i].result = kNotReported;
    }
    int submitted;
    do {
      submitted = io_uring_submit_and_wait(ring, static_cast<unsigned>(count));
    } while (submitted == -EINTR);
    size_t done = 0;
    if (submitted >= 0) {
      struct io_uring_cqe *cqe;
      while (done < count) {
        int rc = io_uring_wait_cqe(ring, &cqe);
        if (rc == -EINTR) {
          continue;
        }
        if (rc < 0) {
          break;
        }
        writes[io_uring_cqe_get_data64(cqe)].result = cqe->res;
        io_uring_cqe_seen(ring, cqe);
        done++;
      }
    }
    if (done == count) {
      return;
    }
    // The ring failed us, and is given up for good: what it did not report
    // is written plainly, which is harmless should it still have written
    // it, as the bytes are the same.
    io_uring_queue_exit(ring);
    delete ring_;
    ring_ = nullptr;
    for (size_t i = 0; i < count; i++) {
      if (writes[i].result == kNotReported) {
        writes[i].result = PlainWrite(writes[i]);
      }
    }
    return;
  }
#endif
  for (size_t i = 0; i < count; i++) {
    writes[i].result = PlainWrite(writes[i]);
  }
}
