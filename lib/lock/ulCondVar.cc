// Condition variables over the counted owner mutex of their lock.

#include "lock/ulInt.h"

#include <brellis/util.h>

#include <sys/time.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

struct MXUserCondVar {
  uint32_t signature;
  MXUserHeader *header;  // the lock it was created for
  MXRecLock *ownerRecLock;
  std::atomic<int32_t> waiters;
  // The futex word the waiters sleep on: every signal and broadcast moves it
  // on, so a wake-up sent between a waiter's giving up the mutex and its
  // going to sleep is never lost.
  std::atomic<uint32_t> sequence;
};

namespace {

// Returns false when the deadline passed without a wake-up.
bool MXUserWaitInternal(MXRecLock *lock, MXUserCondVar *condVar, uint32_t msecWait) {
  condVar->waiters.fetch_add(1);
  MXUserFence();
  uint32_t sequence = condVar->sequence.load();
  struct timespec deadline;
  if (msecWait != MXUSER_WAIT_INFINITE) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint64_t ns = static_cast<uint64_t>(now.tv_sec) * 1000000000ull +
                  static_cast<uint64_t>(now.tv_usec) * 1000ull +
                  static_cast<uint64_t>(msecWait) * 1000000ull;
    deadline.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000ull);
  }
  // The whole recursion is suspended while the mutex is given up.
  int32_t savedCount = lock->count.load(std::memory_order_relaxed);
  MXRecLockGiveUp(lock);
  int err;
  do {
    err = MXUserFutexWait(&condVar->sequence, sequence,
                          msecWait == MXUSER_WAIT_INFINITE ? nullptr : &deadline);
    // A signal delivered to the waiting thread is no wake-up: it waits on
    // until the deadline unless a wake-up came meanwhile.
  } while (err == EINTR && condVar->sequence.load() == sequence);
  bool contended = false;
  MXMutexLock(lock, &contended);
  int32_t count = lock->count.load(std::memory_order_relaxed);
  if (count == 0) {
    lock->owner.store(MXUserSelf(), std::memory_order_relaxed);
  }
  lock->count.store(count + savedCount, std::memory_order_relaxed);
  // The sequence moved on before the wait began (EAGAIN), a wake-up came, or
  // a signal came with a wake-up: each is a wake-up.
  if (err != 0 && err != ETIMEDOUT && err != EAGAIN && err != EINTR) {
    MXUserDumpAndPanic(condVar->header, "%s: failure %d on condVar (0x%p; %s)\n",
                       "MXUserWaitInternal", err, static_cast<void *>(condVar),
                       condVar->header->name);
  }
  condVar->waiters.fetch_sub(1);
  MXUserFence();
  return err != ETIMEDOUT;
}

// Moves the sequence on, then wakes up to howMany sleeping waiters. A
// waiter counts itself before it reads the sequence, so either it is seen
// here or it reads the new sequence and does not sleep on the old one.
void Wake(MXUserCondVar *condVar, int32_t howMany) {
  condVar->sequence.fetch_add(1);
  if (condVar->waiters.load() > 0) {
    MXUserFutexWake(&condVar->sequence, howMany);
  }
}

}  // namespace

MXUserCondVar *MXUserCreateCondVar(MXUserHeader *header, MXRecLock *lock) {
  auto *condVar =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserCondVar), __FILE__, __LINE__)) MXUserCondVar;
  condVar->signature = MXUserGetSignature(MXUSER_TYPE_CONDVAR);
  condVar->header = header;
  condVar->ownerRecLock = lock;
  condVar->waiters.store(0);
  condVar->sequence.store(0);
  return condVar;
}

bool MXUserWaitCondVar(MXUserHeader *header, MXRecLock *lock, MXUserCondVar *condVar,
                       uint32_t msecWait) {
  if (condVar->ownerRecLock != lock) {
    MXUserDumpAndPanic(header, "%s: invalid use of lock %s with condVar (0x%p; %s)\n",
                       "MXUserWaitCondVar", header->name, static_cast<void *>(condVar),
                       condVar->header->name);
  }
  if (!MXRecLockIsOwner(lock)) {
    MXUserDumpAndPanic(header, "%s: lock %s for condVar (0x%p) not owned\n", "MXUserWaitCondVar",
                       header->name, static_cast<void *>(condVar));
  }
  return MXUserWaitInternal(lock, condVar, msecWait);
}

extern "C" {

void MXUser_SignalCondVar(MXUserCondVar *condVar) {
  Wake(condVar, 1);
}

void MXUser_BroadcastCondVar(MXUserCondVar *condVar) {
  Wake(condVar, INT32_MAX);
}

void MXUser_DestroyCondVar(MXUserCondVar *condVar) {
  if (condVar == nullptr) {
    return;
  }
  if (condVar->waiters.load() != 0) {
    MXUserDumpAndPanic(condVar->header, "%s: Attempted destroy on active condVar (0x%p; %s)\n",
                       "MXUser_DestroyCondVar", static_cast<void *>(condVar),
                       condVar->header->name);
  }
  condVar->signature = 0;
  free(condVar);
}

}  // extern "C"
