// Recursive locks.
//
// Every operation holds a reference on the lock while it runs, so that a
// destroy racing with it leaves the memory alone (the last reference frees
// it) and the racing operation reports the misuse instead of touching freed
// memory.

#include "lock/ulInt.h"

#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <cstdlib>
#include <new>

struct MXUserRecLock {
  MXUserHeader header;
  MXRecLock recursiveLock;
  MXUserLockStats *stats;
  uint64_t holdStart;
  std::atomic<int32_t> refCount;
  struct MX_MutexRec *vmmLock;  // external lock every operation delegates to
};

namespace {

void MXUserDumpRecLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRecLock *>(header);
  Log_Warning("%s: Recursive lock @ %p\n", "MXUserDumpRecLock", static_cast<void *>(lock));
  Log_Warning("\tsignature 0x%X\n", header->signature);
  Log_Warning("\tname %s\n", header->name);
  Log_Warning("\trank 0x%X\n", header->rank);
  Log_Warning("\tserial number %u\n", header->serialNumber);
  Log_Warning("\treference count %u\n", static_cast<unsigned>(lock->refCount.load()));
  if (lock->vmmLock != nullptr) {
    Log_Warning("\tvmmLock %p\n", static_cast<void *>(lock->vmmLock));
  } else {
    Log_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
    Log_Warning("\taddress of owner data %p\n", static_cast<void *>(&lock->recursiveLock.owner));
  }
}

void MXUserStatsRecLock(MXUserHeader *header) {
  MXUserStatsReport(header, reinterpret_cast<MXUserRecLock *>(header)->stats);
}

inline void Enter(MXUserRecLock *lock) {
  lock->refCount.fetch_add(1);
  MXUserFence();
}

inline void Leave(MXUserRecLock *lock, const char *operation) {
  if (__builtin_expect(lock->refCount.fetch_sub(1) == 1, 0)) {
    MXUserDumpAndPanic(&lock->header, "%s: Zero reference count upon exit\n", operation);
  }
  MXUserFence();
}

MXUserRecLock *NewRecLock() {
  auto *lock =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserRecLock), __FILE__, __LINE__)) MXUserRecLock;
  lock->refCount.store(1);
  lock->header.dumpFunc = MXUserDumpRecLock;
  return lock;
}

MXUserRecLock *CreateRecLock(const char *name, MX_Rank rank, const void *caller, bool silent) {
  MXUserRecLock *lock = NewRecLock();
  if (!MXRecLockInit(&lock->recursiveLock)) {
    free(lock);
    return nullptr;
  }
  lock->header.signature = MXUserGetSignature(MXUSER_TYPE_REC);
  lock->header.name = MXUserLockName(name, "R", caller);
  lock->header.rank = rank;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->stats = silent ? nullptr : MXUserStatsCreate();
  lock->header.statsFunc = lock->stats != nullptr ? MXUserStatsRecLock : nullptr;
  MXUserAddToList(&lock->header);
  return lock;
}

__attribute__((noinline)) void DestroyLastReference(MXUserRecLock *lock) {
  if (lock->vmmLock == nullptr) {
    if (lock->recursiveLock.count.load(std::memory_order_relaxed) > 0) {
      MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired recursive lock\n",
                         "MXUserCondDestroyRecLock");
    }
    MXRecLockDestroy(&lock->recursiveLock);
    MXUserRemoveFromList(&lock->header);
  }
  lock->header.signature = 0;
  MXUserStatsFree(lock->stats);
  free(lock->header.name);
  free(lock);
}

// Drops a reference; the last one destroys the lock.
inline void MXUserCondDestroyRecLock(MXUserRecLock *lock) {
  bool last = lock->refCount.fetch_sub(1) == 1;
  MXUserFence();
  if (__builtin_expect(last, 0)) {
    DestroyLastReference(lock);
  }
}

MXUserRecLock *CreateSingleton(MXUserRecLock **lockStorage, const char *name, MX_Rank rank,
                               const void *caller, bool silent, const char *who) {
  std::atomic_ref<MXUserRecLock *> slot(*lockStorage);
  MXUserRecLock *lock = slot.load();
  if (lock != nullptr) {
    return lock;
  }
  MXUserRecLock *fresh = CreateRecLock(name, rank, caller, silent);
  if (fresh == nullptr) {
    MXUserSingletonFailed(who, name);
  }
  if (slot.compare_exchange_strong(lock, fresh)) {
    MXUserFence();
    return fresh;
  }
  MXUserFence();
  MXUser_DestroyRecLock(fresh);
  return lock;
}

// The statistics paths, kept out of line so the plain ones stay small.
__attribute__((noinline)) void AcquireMeasured(MXUserRecLock *lock, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool contended = MXRecLockAcquire(&lock->recursiveLock, true);
  uint64_t end = MXUserStatsAcquisition(lock->stats, start, true, contended, caller);
  if (lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
    lock->holdStart = end;
  }
}

__attribute__((noinline)) bool TryAcquireMeasured(MXUserRecLock *lock, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool acquired = MXRecLockTryAcquire(&lock->recursiveLock);
  uint64_t end = MXUserStatsAcquisition(lock->stats, start, acquired, !acquired, caller);
  if (acquired && lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
    lock->holdStart = end;
  }
  return acquired;
}

[[noreturn]] __attribute__((noinline)) void NonOwnerRelease(MXUserRecLock *lock) {
  bool held = lock->recursiveLock.count.load(std::memory_order_relaxed) > 0;
  MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an %s recursive lock\n",
                     "MXUser_ReleaseRecLock", held ? "acquired" : "unacquired");
}

}  // namespace

extern "C" {

MXUserRecLock *MXUser_CreateRecLock(const char *name, MX_Rank rank) {
  return CreateRecLock(name, rank, __builtin_return_address(0), false);
}

MXUserRecLock *MXUser_CreateRecLockSilent(const char *name, MX_Rank rank) {
  return CreateRecLock(name, rank, __builtin_return_address(0), true);
}

MXUserRecLock *MXUser_CreateSingletonRecLock(MXUserRecLock **lockStorage, const char *name,
                                             MX_Rank rank) {
  return CreateSingleton(lockStorage, name, rank, __builtin_return_address(0), false,
                         "MXUser_CreateSingletonRecLock");
}

MXUserRecLock *MXUser_CreateSingletonRecLockSilent(MXUserRecLock **lockStorage, const char *name,
                                                   MX_Rank rank) {
  return CreateSingleton(lockStorage, name, rank, __builtin_return_address(0), true,
                         "MXUser_CreateSingletonRecLockSilent");
}

void MXUser_AcquireRecLock(MXUserRecLock *lock) {
  Enter(lock);
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    MXUserMX_LockRec(lock->vmmLock);
  } else if (__builtin_expect(lock->stats != nullptr, 0)) {
    AcquireMeasured(lock, __builtin_return_address(0));
  } else {
    MXRecLockAcquire(&lock->recursiveLock);
  }
  Leave(lock, "MXUser_AcquireRecLock");
}

bool MXUser_TryAcquireRecLock(MXUserRecLock *lock) {
  bool acquired;
  Enter(lock);
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    acquired = MXUserMX_TryLockRec(lock->vmmLock);
  } else if (__builtin_expect(lock->stats != nullptr, 0)) {
    acquired = TryAcquireMeasured(lock, __builtin_return_address(0));
  } else {
    acquired = MXRecLockTryAcquire(&lock->recursiveLock);
  }
  Leave(lock, "MXUser_TryAcquireRecLock");
  return acquired;
}

bool MXUser_IsCurThreadHoldingRecLock(MXUserRecLock *lock) {
  Enter(lock);
  bool held = lock->vmmLock != nullptr ? MXUserMX_IsLockedByCurThreadRec(lock->vmmLock)
                                       : MXRecLockIsOwner(&lock->recursiveLock);
  Leave(lock, "MXUser_IsCurThreadHoldingRecLock");
  return held;
}

void MXUser_ReleaseRecLock(MXUserRecLock *lock) {
  Enter(lock);
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    MXUserMX_UnlockRec(lock->vmmLock);
  } else {
    if (__builtin_expect(!MXRecLockIsOwner(&lock->recursiveLock), 0)) {
      NonOwnerRelease(lock);
    }
    if (__builtin_expect(lock->stats != nullptr, 0) &&
        lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
      MXUserStatsHeld(lock->stats, lock->holdStart, __builtin_return_address(0));
    }
    MXRecLockRelease(&lock->recursiveLock);
  }
  MXUserCondDestroyRecLock(lock);
}

void MXUser_DestroyRecLock(MXUserRecLock *lock) {
  if (lock != nullptr) {
    MXUserCondDestroyRecLock(lock);
  }
}

void MXUser_DumpRecLock(MXUserRecLock *lock) {
  Enter(lock);
  MXUserDumpRecLock(&lock->header);
  Leave(lock, "MXUser_DumpRecLock");
}

bool MXUser_ControlRecLock(MXUserRecLock *lock, uint32_t command, ...) {
  (void)command;
  Enter(lock);
  Leave(lock, "MXUser_ControlRecLock");
  return false;
}

MXUserRecLock *MXUser_BindMXMutexRec(struct MX_MutexRec *mutex, MX_Rank rank) {
  if (MXUserMX_LockRec == nullptr || MXUserMX_UnlockRec == nullptr ||
      MXUserMX_TryLockRec == nullptr || MXUserMX_IsLockedByCurThreadRec == nullptr) {
    return nullptr;
  }
  MXUserRecLock *lock = NewRecLock();
  lock->header.signature = MXUserGetSignature(MXUSER_TYPE_REC);
  lock->header.name = Str_SafeAsprintf(nullptr, "MX_%p", static_cast<void *>(mutex));
  lock->header.rank = rank;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->header.next = lock->header.prev = &lock->header;
  lock->vmmLock = mutex;
  return lock;
}

MXUserCondVar *MXUser_CreateCondVarRecLock(MXUserRecLock *lock) {
  Enter(lock);
  if (lock->vmmLock != nullptr) {
    // The external lock's mutex is not ours to wait on.
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  MXUserCondVar *condVar = MXUserCreateCondVar(&lock->header, &lock->recursiveLock);
  Leave(lock, "MXUser_CreateCondVarRecLock");
  return condVar;
}

void MXUser_WaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar) {
  Enter(lock);
  MXUserWaitCondVar(&lock->header, &lock->recursiveLock, condVar, MXUSER_WAIT_INFINITE);
  Leave(lock, "MXUser_WaitCondVarRecLock");
}

bool MXUser_TimedWaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar,
                                    uint32_t msecWait) {
  Enter(lock);
  bool woken = MXUserWaitCondVar(&lock->header, &lock->recursiveLock, condVar, msecWait);
  Leave(lock, "MXUser_TimedWaitCondVarRecLock");
  return woken;
}

}  // extern "C"
