// Transfers of lists of memory pieces, at the current position or at a given
// offset. Many small pieces are gathered into one bounce buffer first so
// that the file sees one large request; unbuffered handles need that buffer
// page-aligned, and such buffers are recycled through a small pool.

#include <brellis/fileIO.h>
#include <brellis/hostinfo.h>
#include <brellis/internal/lockHeld.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <sys/uio.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

// Transfers every entry at its offset, retrying after EINTR and after short
// transfers. A write that takes no byte ends with NOSPC (retrying would spin
// for ever), a read that gets none with EOF; *done, when given, tells how
// many bytes were moved.
template <bool isWrite>
FileIOResult PositionalTransfer(int posix, std::span<const struct iovec> entries, uint64_t offset,
                                size_t *done = nullptr) {
  const char *operation = isWrite ? "FileIO_Pwritev" : "FileIO_Preadv";
  std::atomic<bool> &eintrLogged = isWrite ? pwriteEintrLogged : preadEintrLogged;
  size_t total = 0;
  FileIOResult result = FILEIO_SUCCESS;
  for (const auto &e : entries) {
    auto *base = static_cast<char *>(e.iov_base);
    size_t left = e.iov_len;
    while (left > 0 && result == FILEIO_SUCCESS) {
      ssize_t n = isWrite ? pwrite(posix, base, left, static_cast<off_t>(offset))
                          : pread(posix, base, left, static_cast<off_t>(offset));
      if (n == -1) {
        if (errno == EINTR) {
          if (FirstTime(eintrLogged)) {
            Log_Info("FILE: %s got EINTR.  Retrying\n", operation);
          }
          continue;
        }
        int err = errno;
        result = FileIOErrno2Result(err);
        errno = err;
      } else if (n == 0) {
        result = isWrite ? FILEIO_WRITE_ERROR_NOSPC : FILEIO_READ_ERROR_EOF;
      } else {
        if (isWrite && static_cast<size_t>(n) < left && FirstTime(pwritePartialLogged)) {
          Log_Info("FILE: %s wrote %zd out of %zu bytes.\n", operation, n, left);
        }
        total += static_cast<size_t>(n);
        base += n;
        left -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
      }
    }
  }
  if (done != nullptr) {
    *done = total;
  }
  return result;
}

}  // namespace

namespace {

constexpr size_t kBlockSize = 0x100000;
constexpr size_t kBlockAlign = 4096;
constexpr int kMaxBlocks = 30;
constexpr uint64_t kIdleLimitNs = 1000000000;

struct CoalesceSettings {
  bool enable = true;
  bool aligned = false;
  int32_t count = 5;
  int32_t size = 0x4000;
};

// Written once under setupMutex before poolLock is published, read after.
CoalesceSettings settings;
std::mutex setupMutex;
std::atomic<MXUserExclLock *> poolLock{nullptr};

// Guarded by poolLock. Entries [0, busy) are handed out, [busy, allocated)
// are idle with the one idle the longest at the highest index.
struct AlignedPool {
  void *blocks[kMaxBlocks];
  uint64_t released[kMaxBlocks];
  int allocated;
  int busy;
};
AlignedPool pool;

std::atomic<FileIOTimerFunc> poolTimer{HostinfoSystemTimerPosix};

std::atomic<bool> mallocNoLockLogged{false};
std::atomic<bool> freeNoLockLogged{false};
std::atomic<bool> exitNoLockLogged{false};
std::atomic<bool> exitBusyLogged{false};

void CoalesceSetup() {
  if (poolLock.load(std::memory_order_acquire) != nullptr) return;
  std::lock_guard<std::mutex> guard(setupMutex);
  if (poolLock.load(std::memory_order_relaxed) != nullptr) return;
  settings.enable = Config_GetBool(true, "filePosix.coalesce.enable");
  settings.aligned = Config_GetBool(false, "filePosix.coalesce.aligned");
  settings.count = Config_GetLong(5, "filePosix.coalesce.count");
  settings.size = Config_GetLong(0x4000, "filePosix.coalesce.size");
  MXUserExclLock *lock = MXUser_CreateExclLock("alignedPoolLock", 0xFF000000);
  if (lock == nullptr) Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  poolLock.store(lock, std::memory_order_release);
}

// A bounce buffer standing in for a list of entries during one transfer.
struct Bounce {
  char *buf = nullptr;
  bool aligned = false;
};

void Gather(std::span<const struct iovec> entries, char *dst) {
  for (const auto &e : entries) {
    if (e.iov_len > 0) memcpy(dst, e.iov_base, e.iov_len);
    dst += e.iov_len;
  }
}

void Scatter(const char *src, size_t bytes, std::span<const struct iovec> entries) {
  for (const auto &e : entries) {
    if (bytes == 0) break;
    size_t n = e.iov_len < bytes ? e.iov_len : bytes;
    memcpy(e.iov_base, src, n);
    src += n;
    bytes -= n;
  }
}

// Whether the entries go through one bounce buffer of totalSize bytes
// (filled for a write) in *bounce.
bool FileIOCoalesce(std::span<const struct iovec> entries, size_t totalSize, bool isWrite,
                    bool force, uint32_t flags, Bounce *bounce) {
  if (entries.size() <= 1 || totalSize == 0) return false;
  CoalesceSetup();
  size_t count = entries.size();
  if (!force && (!settings.enable || static_cast<int64_t>(count) <= settings.count ||
                 static_cast<int64_t>(totalSize / count) >= settings.size)) {
    return false;
  }
  bounce->aligned = settings.aligned || (flags & FILEIO_OPEN_UNBUFFERED) != 0;
  if (bounce->aligned) {
    bounce->buf = static_cast<char *>(FileIOAligned_PoolMalloc(totalSize));
    if (bounce->buf == nullptr) {
      void *p = nullptr;
      if (posix_memalign(&p, kBlockAlign, totalSize) != 0 || p == nullptr) {
        Panic("MEM_ALLOC %s:%d\n", "lib/public/memaligned", __LINE__);
      }
      bounce->buf = static_cast<char *>(p);
    }
  } else {
    bounce->buf = static_cast<char *>(Util_SafeMalloc(-1, totalSize, __FILE__, __LINE__));
  }
  if (isWrite) Gather(entries, bounce->buf);
  return true;
}

// Hands a read's bytes back to the caller's entries and releases the buffer.
void FileIODecoalesce(const Bounce &bounce, std::span<const struct iovec> entries, size_t bytesRead,
                      bool isWrite) {
  if (!isWrite) Scatter(bounce.buf, bytesRead, entries);
  if (!bounce.aligned || !FileIOAligned_PoolFree(bounce.buf)) free(bounce.buf);
}

}  // namespace

FileIOTimerFunc FileIOAligned_SetPoolTimer(FileIOTimerFunc timer) {
  return poolTimer.exchange(timer != nullptr ? timer : HostinfoSystemTimerPosix);
}

void FileIOAligned_PoolCounts(int *allocated, int *busy) {
  *allocated = 0;
  *busy = 0;
  MXUserExclLock *lock = poolLock.load(std::memory_order_acquire);
  if (lock == nullptr) return;
  brellis::LockHeld guard(lock);
  *allocated = pool.allocated;
  *busy = pool.busy;
}

void *FileIOAligned_PoolMalloc(size_t size) {
  MXUserExclLock *lock = poolLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    if (FirstTime(mallocNoLockLogged)) {
      Log_Info("%s called without FileIOAligned_Pool lock\n", "FileIOAligned_PoolMalloc");
    }
    return nullptr;
  }
  if (size > kBlockSize) return nullptr;
  brellis::LockHeld guard(lock);
  if (pool.busy == kMaxBlocks) return nullptr;
  if (pool.busy == pool.allocated) {
    void *block = nullptr;
    if (posix_memalign(&block, kBlockAlign, kBlockSize) != 0) return nullptr;
    pool.blocks[pool.allocated++] = block;
  }
  return pool.blocks[pool.busy++];
}

bool FileIOAligned_PoolFree(void *block) {
  MXUserExclLock *lock = poolLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    if (FirstTime(freeNoLockLogged)) {
      Log_Info("%s called without FileIOAligned_Pool lock\n", "FileIOAligned_PoolFree");
    }
    return false;
  }
  brellis::LockHeld guard(lock);
  int i = 0;
  while (i < pool.busy && pool.blocks[i] != block) i++;
  if (i == pool.busy) return false;
  uint64_t now = poolTimer.load()();
  pool.busy--;
  pool.blocks[i] = pool.blocks[pool.busy];
  pool.blocks[pool.busy] = block;
  pool.released[pool.busy] = now;
  while (pool.allocated > pool.busy && now - pool.released[pool.allocated - 1] > kIdleLimitNs) {
    pool.allocated--;
    free(pool.blocks[pool.allocated]);
    pool.blocks[pool.allocated] = nullptr;
  }
  return true;
}

void FileIOAligned_PoolExit(void) {
  std::lock_guard<std::mutex> setup(setupMutex);
  MXUserExclLock *lock = poolLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    if (FirstTime(exitNoLockLogged)) {
      Log_Info("%s called without FileIOAligned_Pool lock\n", "FileIOAligned_PoolExit");
    }
    return;
  }
  MXUser_AcquireExclLock(lock);
  if (pool.busy > 0 && FirstTime(exitBusyLogged)) {
    Log_Info("%s: %d busy buffers!  Proceeding with trepidation.\n", "FileIOAligned_PoolExit",
             pool.busy);
  }
  // Busy blocks stay with their holders: freeing them here would pull the
  // memory from under a transfer. Once the pool is gone their release
  // frees them like any aligned allocation.
  for (int i = pool.busy; i < pool.allocated; i++) free(pool.blocks[i]);
  pool = AlignedPool{};
  poolLock.store(nullptr, std::memory_order_release);
  MXUser_ReleaseExclLock(lock);
  MXUser_DestroyExclLock(lock);
}

namespace {

// A positional scatter or gather: through one bounce buffer when the
// entries are worth coalescing, else entry by entry. errno is the transfer's.
template <bool isWrite>
FileIOResult PositionalVectored(FileIODescriptor *fd, const struct iovec *entries, int count,
                                uint64_t offset, size_t totalSize) {
  if (!ValidList(entries, count, totalSize)) {
    errno = EINVAL;
    return FILEIO_ERROR;
  }
  std::span list(entries, static_cast<size_t>(count));
  Bounce bounce;
  if (!FileIOCoalesce(list, totalSize, isWrite, true, fd->flags, &bounce)) {
    return PositionalTransfer<isWrite>(fd->posix, list, offset);
  }
  struct iovec single = {bounce.buf, totalSize};
  size_t done = 0;
  FileIOResult result =
      PositionalTransfer<isWrite>(fd->posix, std::span(&single, 1), offset, &done);
  int err = errno;
  FileIODecoalesce(bounce, list, isWrite ? 0 : done, isWrite);
  errno = err;
  return result;
}

// A scatter or gather at the current position in one call, through one
// bounce buffer when the entries are worth coalescing. As the interface
// promises, an interrupted read is tried again and an interrupted write is
// reported. errno is the call's.
template <bool isWrite>
FileIOResult SequentialVectored(FileIODescriptor *fd, const struct iovec *entries, int count,
                                size_t totalSize, size_t *actual) {
  if (actual != nullptr) *actual = 0;
  if (count <= 0) return FILEIO_ERROR;
  if (!ValidList(entries, count, totalSize)) {
    errno = EINVAL;
    return FILEIO_ERROR;
  }
  std::span list(entries, static_cast<size_t>(count));
  Bounce bounce;
  bool coalesced = FileIOCoalesce(list, totalSize, isWrite, false, fd->flags, &bounce);
  struct iovec single = {bounce.buf, totalSize};
  const struct iovec *vector = coalesced ? &single : entries;
  int vectorCount = coalesced ? 1 : count;
  ssize_t n;
  do {
    n = isWrite ? writev(fd->posix, vector, vectorCount) : readv(fd->posix, vector, vectorCount);
  } while (!isWrite && n == -1 && errno == EINTR);
  int err = errno;
  size_t done = n > 0 ? static_cast<size_t>(n) : 0;
  if (coalesced) FileIODecoalesce(bounce, list, isWrite ? 0 : done, isWrite);
  if (actual != nullptr) *actual = done;
  errno = err;
  if (n == -1) return FileIOErrno2Result(err);
  if (done < totalSize) return isWrite ? FILEIO_WRITE_ERROR_NOSPC : FILEIO_READ_ERROR_EOF;
  return FILEIO_SUCCESS;
}

}  // namespace

FileIOResult FileIO_Pwritev(FileIODescriptor *fd, const struct iovec *entries, int count,
                            uint64_t offset, size_t totalSize) {
  return PositionalVectored<true>(fd, entries, count, offset, totalSize);
}

FileIOResult FileIO_Preadv(FileIODescriptor *fd, const struct iovec *entries, int count,
                           uint64_t offset, size_t totalSize) {
  return PositionalVectored<false>(fd, entries, count, offset, totalSize);
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

FileIOResult FileIO_Readv(FileIODescriptor *fd, const struct iovec *entries, int count,
                          size_t totalSize, size_t *actual) {
  return SequentialVectored<false>(fd, entries, count, totalSize, actual);
}

FileIOResult FileIO_Writev(FileIODescriptor *fd, const struct iovec *entries, int count,
                           size_t totalSize, size_t *actual) {
  return SequentialVectored<true>(fd, entries, count, totalSize, actual);
}
