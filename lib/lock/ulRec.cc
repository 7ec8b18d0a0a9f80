// Recursive locks.
//
// Every operation holds a reference on the lock while it runs, so that a
// destroy racing with it leaves the memory alone (the last reference frees
// it) and the racing operation reports the misuse instead of touching freed
// memory.
//
// Acquisitions and releases, the hot pair, do not take and drop a reference
// each: the reference count lives in the lower half of the mutex word, so
// one atomic operation both takes or gives up the mutex and sees the count.
// A thread that has to wait for the mutex holds a reference while it waits;
// the holder stands in for the reference its acquisition and release would
// hold. A destroy that leaves only the holder reports the misuse; one that
// comes while the holder has not yet taken ownership leaves the lock to it,
// and its release destroys the lock.

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
  struct MX_MutexRec *vmmLock;  // external lock every operation delegates to
};

namespace {

constexpr uint64_t oneRef = 1;

inline std::atomic<uint64_t> &Refs(MXUserRecLock *lock) {
  return lock->recursiveLock.word;
}

void MXUserDumpRecLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRecLock *>(header);
  Log_Warning("%s: Recursive lock @ %p\n", "MXUserDumpRecLock", static_cast<void *>(lock));
  MXUserDumpHeader(header);
  Log_Warning("\treference count %u\n", MXMutexRefs(Refs(lock).load()));
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
  MXUserAtomicAdd(Refs(lock), oneRef);
}

[[noreturn]] __attribute__((noinline)) void ZeroOnExit(MXUserRecLock *lock, const char *operation) {
  MXUserDumpAndPanic(&lock->header, "%s: Zero reference count upon exit\n", operation);
}

inline void Leave(MXUserRecLock *lock, const char *operation) {
  if (__builtin_expect(MXMutexRefs(MXUserAtomicAdd(Refs(lock), -oneRef)) == 1, 0)) {
    ZeroOnExit(lock, operation);
  }
}

// Right after a thread that did not own the lock took its mutex: a destroy
// that came meanwhile left the lock to it, and it reports the misuse as the
// reference it stands in for would.
inline void CheckAliveAfterTaking(MXUserRecLock *lock, const char *operation) {
  if (__builtin_expect(MXMutexRefs(Refs(lock).load(std::memory_order_relaxed)) == 0, 0)) {
    ZeroOnExit(lock, operation);
  }
}

MXUserRecLock *NewRecLock() {
  auto *lock =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserRecLock), __FILE__, __LINE__)) MXUserRecLock;
  MXRecLockInit(&lock->recursiveLock, oneRef);
  lock->header.dumpFunc = MXUserDumpRecLock;
  return lock;
}

MXUserRecLock *CreateRecLock(const char *name, MX_Rank rank, const void *caller, bool silent) {
  MXUserRecLock *lock = NewRecLock();
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
    MXUserRemoveFromList(&lock->header);
  }
  lock->header.signature = 0;
  MXUserStatsFree(lock->stats);
  free(lock->header.name);
  free(lock);
}

// Drops a reference (the creator's, or an external-lock release's). The
// last one destroys the lock, unless the lock is held: that is a destroy of
// a held lock (or, while the holder has not yet counted itself in, the
// holder's release destroys it).
void MXUserCondDestroyRecLock(MXUserRecLock *lock) {
  uint64_t old = MXUserAtomicAdd(Refs(lock), -oneRef);
  if (MXMutexRefs(old) != 1) {
    return;
  }
  if (MXMutexState(old) == 0) {
    DestroyLastReference(lock);
  } else if (lock->recursiveLock.count.load(std::memory_order_relaxed) > 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired recursive lock\n",
                       "MXUserCondDestroyRecLock");
  }
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
  const void *caller = __builtin_return_address(0);
  return MXUserSingleton(
      lockStorage, [&] { return CreateRecLock(name, rank, caller, false); }, MXUser_DestroyRecLock);
}

MXUserRecLock *MXUser_CreateSingletonRecLockSilent(MXUserRecLock **lockStorage, const char *name,
                                                   MX_Rank rank) {
  const void *caller = __builtin_return_address(0);
  return MXUserSingleton(
      lockStorage, [&] { return CreateRecLock(name, rank, caller, true); }, MXUser_DestroyRecLock);
}

void MXUser_AcquireRecLock(MXUserRecLock *lock) {
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    Enter(lock);
    MXUserMX_LockRec(lock->vmmLock);
    Leave(lock, "MXUser_AcquireRecLock");
    return;
  }
  MXRecLock *rec = &lock->recursiveLock;
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    bool owner = MXRecLockIsOwner(rec);
    MXUserAcquireMeasured(lock, __builtin_return_address(0));  // every level is a sample
    if (!owner) {
      CheckAliveAfterTaking(lock, "MXUser_AcquireRecLock");
    }
    return;
  }
  if (MXRecLockIsOwner(rec)) {
    MXRecLockRaiseCount(rec);
    return;
  }
  bool contended = false;
  uint64_t before = MXMutexLock(rec, &contended);
  MXRecLockTakeOwnership(rec);
  if (__builtin_expect(MXMutexRefs(before) == 0, 0)) {
    ZeroOnExit(lock, "MXUser_AcquireRecLock");
  }
}

bool MXUser_TryAcquireRecLock(MXUserRecLock *lock) {
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    Enter(lock);
    bool acquired = MXUserMX_TryLockRec(lock->vmmLock);
    Leave(lock, "MXUser_TryAcquireRecLock");
    return acquired;
  }
  MXRecLock *rec = &lock->recursiveLock;
  bool owner = MXRecLockIsOwner(rec);
  bool acquired = __builtin_expect(lock->stats != nullptr, 0)
                      ? MXUserTryAcquireMeasured(lock, __builtin_return_address(0))
                      : MXRecLockTryAcquire(rec);
  if (acquired && !owner) {
    CheckAliveAfterTaking(lock, "MXUser_TryAcquireRecLock");
  }
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
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    Enter(lock);
    MXUserMX_UnlockRec(lock->vmmLock);
    MXUserCondDestroyRecLock(lock);
    return;
  }
  MXRecLock *rec = &lock->recursiveLock;
  if (__builtin_expect(!MXRecLockIsOwner(rec), 0)) {
    Enter(lock);  // the dump shows the reference this release holds
    MXUserNonOwnerRelease(lock, "recursive", "MXUser_ReleaseRecLock");
  }
  int32_t count = rec->count.load(std::memory_order_relaxed);
  if (count > 1) {
    rec->count.store(count - 1, std::memory_order_relaxed);
    return;
  }
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    MXUserStatsHeld(lock->stats, lock->holdStart, __builtin_return_address(0));
  }
  uint64_t before = MXRecLockGiveUp(rec);
  // A lock whose references all went while it was held is destroyed by the
  // holder.
  if (__builtin_expect(MXMutexRefs(before) == 0, 0)) {
    DestroyLastReference(lock);
  }
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
