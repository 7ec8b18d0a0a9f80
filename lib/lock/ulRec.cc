// Recursive locks.
//
// Every operation holds a reference on the lock while it runs, so that a
// destroy racing with it leaves the memory alone (the last reference frees
// it) and the racing operation reports the misuse instead of touching freed
// memory.
//
// Acquisitions and releases, the hot pair, do not take and drop a reference
// each. A thread that takes the mutex adds one holder unit to the upper half
// of the reference word before it tries, and keeps it until its last release
// has let the mutex go; the owner's nested acquisitions and releases touch
// no shared word at all. The lower half is the reference count proper: the
// creator's reference and the other operations in flight. The upper half
// stands in for the references the acquisitions and releases would hold: a
// destroy that finds holder units leaves the lock to the last of them,
// unless a lone holder simply holds it, which is the misuse it reports.
// While the process has a single thread no destroy can race with an
// acquisition or a release, and the holder unit is left out altogether; the
// holder records whether it took one, since a thread may be started while
// the lock is held.

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
  // Reference count in the low 32 bits, holder units in the high 32 bits.
  std::atomic<uint64_t> refs;
  struct MX_MutexRec *vmmLock;  // external lock every operation delegates to
  bool holderUnit;              // the holder took a unit; only the holder uses it
};

namespace {

constexpr uint64_t oneRef = 1;
constexpr uint64_t oneHolder = uint64_t{1} << 32;

inline uint32_t RefCount(uint64_t refs) {
  return static_cast<uint32_t>(refs);
}

inline uint32_t Holders(uint64_t refs) {
  return static_cast<uint32_t>(refs >> 32);
}

void MXUserDumpRecLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRecLock *>(header);
  Log_Warning("%s: Recursive lock @ %p\n", "MXUserDumpRecLock", static_cast<void *>(lock));
  Log_Warning("\tsignature 0x%X\n", header->signature);
  Log_Warning("\tname %s\n", header->name);
  Log_Warning("\trank 0x%X\n", header->rank);
  Log_Warning("\tserial number %u\n", header->serialNumber);
  Log_Warning("\treference count %u\n", RefCount(lock->refs.load()));
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
  MXUserAtomicAdd(lock->refs, oneRef);
}

[[noreturn]] __attribute__((noinline)) void ZeroOnExit(MXUserRecLock *lock, const char *operation) {
  MXUserDumpAndPanic(&lock->header, "%s: Zero reference count upon exit\n", operation);
}

inline void Leave(MXUserRecLock *lock, const char *operation) {
  if (__builtin_expect(RefCount(MXUserAtomicAdd(lock->refs, -oneRef)) == 1, 0)) {
    ZeroOnExit(lock, operation);
  }
}

// Before a thread that does not own the lock tries to take its mutex;
// returns whether it took a holder unit.
inline bool EnterAsHolder(MXUserRecLock *lock) {
  if (MXUserSingleThreaded()) {
    return false;
  }
  MXUserAtomicAdd(lock->refs, oneHolder);
  return true;
}

// After it took the mutex: a destroy that came meanwhile left the lock to
// it, and it reports the misuse as the reference it stands in for would.
inline void BecomeHolder(MXUserRecLock *lock, bool unit, const char *operation) {
  if (unit) {
    lock->holderUnit = true;
    if (__builtin_expect(RefCount(lock->refs.load(std::memory_order_relaxed)) == 0, 0)) {
      ZeroOnExit(lock, operation);
    }
  }
}

MXUserRecLock *NewRecLock() {
  auto *lock =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserRecLock), __FILE__, __LINE__)) MXUserRecLock;
  lock->refs.store(oneRef);
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

// Drops a reference (the creator's, or an external-lock release's). The
// last one destroys the lock. When only holder units remain, the lock is
// left to them, unless one thread holds the lock and nobody is on the way
// in or out: that is a destroy of a held lock.
void MXUserCondDestroyRecLock(MXUserRecLock *lock) {
  uint64_t old = MXUserAtomicAdd(lock->refs, -oneRef);
  if (RefCount(old) != 1) {
    return;
  }
  uint32_t holders = Holders(old);
  if (holders == 0) {
    DestroyLastReference(lock);
  } else if (holders == 1 && lock->recursiveLock.count.load(std::memory_order_relaxed) > 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired recursive lock\n",
                       "MXUserCondDestroyRecLock");
  }
}

// After the last release let the mutex go: drops the holder unit; the last
// unit of a lock whose creator's reference is gone destroys it.
inline void LeaveAsHolder(MXUserRecLock *lock) {
  if (__builtin_expect(MXUserAtomicAdd(lock->refs, -oneHolder) == oneHolder, 0)) {
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
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    Enter(lock);
    MXUserMX_LockRec(lock->vmmLock);
    Leave(lock, "MXUser_AcquireRecLock");
    return;
  }
  MXRecLock *rec = &lock->recursiveLock;
  if (MXRecLockIsOwner(rec)) {
    if (__builtin_expect(lock->stats != nullptr, 0)) {
      MXUserAcquireMeasured(lock, __builtin_return_address(0));  // every level is a sample
    } else {
      rec->count.store(rec->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    return;
  }
  bool unit = EnterAsHolder(lock);
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    MXUserAcquireMeasured(lock, __builtin_return_address(0));
  } else {
    pthread_mutex_lock(&rec->nativeLock);
    MXRecLockTakeOwnership(rec);
  }
  BecomeHolder(lock, unit, "MXUser_AcquireRecLock");
}

bool MXUser_TryAcquireRecLock(MXUserRecLock *lock) {
  if (__builtin_expect(lock->vmmLock != nullptr, 0)) {
    Enter(lock);
    bool acquired = MXUserMX_TryLockRec(lock->vmmLock);
    Leave(lock, "MXUser_TryAcquireRecLock");
    return acquired;
  }
  MXRecLock *rec = &lock->recursiveLock;
  if (MXRecLockIsOwner(rec)) {
    if (__builtin_expect(lock->stats != nullptr, 0)) {
      return MXUserTryAcquireMeasured(lock, __builtin_return_address(0));
    }
    rec->count.store(rec->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
  }
  bool unit = EnterAsHolder(lock);
  bool acquired = __builtin_expect(lock->stats != nullptr, 0)
                      ? MXUserTryAcquireMeasured(lock, __builtin_return_address(0))
                      : MXRecLockTryAcquire(rec);
  if (acquired) {
    BecomeHolder(lock, unit, "MXUser_TryAcquireRecLock");
    return true;
  }
  // Whoever holds the mutex keeps the lock alive, so this is never the
  // last unit.
  if (unit && RefCount(MXUserAtomicAdd(lock->refs, -oneHolder)) == 0) {
    ZeroOnExit(lock, "MXUser_TryAcquireRecLock");
  }
  return false;
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
  if (!lock->holderUnit) {
    MXRecLockRelease(rec);
    return;
  }
  lock->holderUnit = false;
  MXRecLockRelease(rec);
  LeaveAsHolder(lock);
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
