// Condition variables over the counted owner mutex of their lock.

#include "lock/ulInt.h"

#include <brellis/util.h>

#include <sys/time.h>
#include <cerrno>
#include <cstdlib>
#include <new>

struct MXUserCondVar {
  uint32_t signature;
  MXUserHeader *header;  // the lock it was created for
  MXRecLock *ownerRecLock;
  std::atomic<int32_t> waiters;
  pthread_cond_t condObject;
};

namespace {

bool MXUserWaitInternal(MXRecLock *lock, MXUserCondVar *condVar, uint32_t msecWait) {
  condVar->waiters.fetch_add(1);
  MXUserFence();
  // The whole recursion is suspended while the mutex is given up.
  int32_t savedCount = lock->count.load(std::memory_order_relaxed);
  lock->count.store(0, std::memory_order_relaxed);
  lock->owner.store(mxNoOwner, std::memory_order_relaxed);
  int err;
  if (msecWait == MXUSER_WAIT_INFINITE) {
    err = pthread_cond_wait(&condVar->condObject, &lock->nativeLock);
  } else {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint64_t deadline = static_cast<uint64_t>(now.tv_sec) * 1000000000ull +
                        static_cast<uint64_t>(now.tv_usec) * 1000ull +
                        static_cast<uint64_t>(msecWait) * 1000000ull;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(deadline / 1000000000ull);
    ts.tv_nsec = static_cast<long>(deadline % 1000000000ull);
    err = pthread_cond_timedwait(&condVar->condObject, &lock->nativeLock, &ts);
  }
  int32_t count = lock->count.load(std::memory_order_relaxed);
  if (count == 0) {
    lock->owner.store(MXUserSelf(), std::memory_order_relaxed);
  }
  lock->count.store(count + savedCount, std::memory_order_relaxed);
  if (err != 0 && err != ETIMEDOUT) {
    MXUserDumpAndPanic(condVar->header, "%s: failure %d on condVar (0x%p; %s)\n",
                       "MXUserWaitInternal", err, static_cast<void *>(condVar),
                       condVar->header->name);
  }
  condVar->waiters.fetch_sub(1);
  MXUserFence();
  return err != ETIMEDOUT;
}

}  // namespace

MXUserCondVar *MXUserCreateCondVar(MXUserHeader *header, MXRecLock *lock) {
  auto *condVar =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserCondVar), __FILE__, __LINE__)) MXUserCondVar;
  if (pthread_cond_init(&condVar->condObject, nullptr) != 0) {
    free(condVar);
    return nullptr;
  }
  condVar->signature = MXUserGetSignature(MXUSER_TYPE_CONDVAR);
  condVar->header = header;
  condVar->ownerRecLock = lock;
  condVar->waiters.store(0);
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
  int err = pthread_cond_signal(&condVar->condObject);
  if (err != 0) {
    MXUserDumpAndPanic(condVar->header, "%s: failure %d on condVar (0x%p; %s) \n",
                       "MXUser_SignalCondVar", err, static_cast<void *>(condVar),
                       condVar->header->name);
  }
}

void MXUser_BroadcastCondVar(MXUserCondVar *condVar) {
  int err = pthread_cond_broadcast(&condVar->condObject);
  if (err != 0) {
    MXUserDumpAndPanic(condVar->header, "%s: failure %d on condVar (0x%p; %s) \n",
                       "MXUser_BroadcastCondVar", err, static_cast<void *>(condVar),
                       condVar->header->name);
  }
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
  pthread_cond_destroy(&condVar->condObject);
  free(condVar);
}

}  // extern "C"
