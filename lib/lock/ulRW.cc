// Read-write locks.
//
// Each thread's relation to a lock (unacquired, reading, writing) is kept in
// the lock's own atomic hash table under the thread's identity, so a thread
// can tell whether it holds the lock without the platform's help and misuse
// is caught before it reaches the native lock.

#include "lock/ulInt.h"
#include "misc/vthreadBaseInt.h"

#include <brellis/hashTable.h>
#include <brellis/log.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

enum HolderState : int32_t { RW_UNLOCKED = 0, RW_LOCKED_FOR_READ = 1, RW_LOCKED_FOR_WRITE = 2 };

struct HolderContext {
  int32_t state;
  uint64_t holdStart;
};

}  // namespace

struct MXUserRWLock {
  MXUserHeader header;
  bool useNative;
  pthread_rwlock_t nativeLock;
  MXRecLock recursiveLock;  // stands in when the native lock cannot be made
  std::atomic<int32_t> holderCount;
  HashTable *holderTable;
  MXUserLockStats *stats;
};

namespace {

void MXUserDumpRWLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRWLock *>(header);
  Log_Warning("%s: Read-write lock @ 0x%p\n", "MXUserDumpRWLock", static_cast<void *>(lock));
  Log_Warning("\tsignature 0x%X\n", header->signature);
  Log_Warning("\tname %s\n", header->name);
  Log_Warning("\trank 0x%X\n", header->rank);
  Log_Warning("\tserial number %u\n", header->serialNumber);
  if (lock->useNative) {
    Log_Warning("\taddress of native lock 0x%p\n", static_cast<void *>(&lock->nativeLock));
  } else {
    Log_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
  }
  Log_Warning("\tholderCount %d\n", lock->holderCount.load());
}

void MXUserStatsRWLock(MXUserHeader *header) {
  MXUserStatsReport(header, reinterpret_cast<MXUserRWLock *>(header)->stats);
}

void *HolderKey(uint32_t id) {
  return reinterpret_cast<void *>(static_cast<uintptr_t>(id));
}

// The calling thread's holder record of the lock it used last. The lock's
// serial number tells a lock made later at the same address from the one
// cached, and the identity a thread that gave its identity up and got a new
// one. A record lives as long as its lock.
struct HolderCache {
  const MXUserRWLock *lock;
  uint32_t serialNumber;
  uint32_t id;
  HolderContext *context;
};

thread_local HolderCache holderCache;

inline HolderContext *CachedHolderContext(const MXUserRWLock *lock, uint32_t id) {
  const HolderCache &cache = holderCache;
  if (cache.lock == lock && cache.serialNumber == lock->header.serialNumber && cache.id == id) {
    return cache.context;
  }
  return nullptr;
}

inline void CacheHolderContext(const MXUserRWLock *lock, uint32_t id, HolderContext *context) {
  holderCache = HolderCache{lock, lock->header.serialNumber, id, context};
}

__attribute__((noinline)) HolderContext *LookupHolderContext(MXUserRWLock *lock, uint32_t id) {
  void *key = HolderKey(id);
  void *found;
  HolderContext *context;
  if (HashTable_Lookup(lock->holderTable, key, &found)) {
    context = static_cast<HolderContext *>(found);
  } else {
    auto *fresh = static_cast<HolderContext *>(
        Util_SafeCalloc(-1, 1, sizeof(HolderContext), __FILE__, __LINE__));
    context = static_cast<HolderContext *>(HashTable_LookupOrInsert(lock->holderTable, key, fresh));
    if (context != fresh) {
      free(fresh);
    }
  }
  CacheHolderContext(lock, id, context);
  return context;
}

inline HolderContext *GetHolderContext(MXUserRWLock *lock) {
  uint32_t id = VThreadBaseCurID();
  HolderContext *context = CachedHolderContext(lock, id);
  return context != nullptr ? context : LookupHolderContext(lock, id);
}

// The holder count moves by one per acquisition and release. While the
// process has a single thread, the calling thread is the only possible
// holder: the count goes from 0 to 1 and back, and is stored rather than
// read, changed and written back, which would chain each update to the one
// before through memory.
inline void CountHolder(MXUserRWLock *lock) {
  if (MXUserSingleThreaded()) {
    lock->holderCount.store(1, std::memory_order_relaxed);
  } else {
    lock->holderCount.fetch_add(1);
    MXUserFence();
  }
}

inline void UncountHolder(MXUserRWLock *lock) {
  if (MXUserSingleThreaded()) {
    lock->holderCount.store(0, std::memory_order_relaxed);
  } else {
    lock->holderCount.fetch_sub(1);
    MXUserFence();
  }
}

const char *KindName(int32_t state) {
  return state == RW_LOCKED_FOR_READ ? "Read" : "Write";
}

[[noreturn]] __attribute__((noinline)) void AcquiredTwice(MXUserRWLock *lock, bool forRead,
                                                          int32_t state) {
  MXUserDumpAndPanic(&lock->header, "%s: AcquireFor%s after AcquireFor%s\n", "MXUserAcquisition",
                     forRead ? "Read" : "Write", KindName(state));
}

[[noreturn]] __attribute__((noinline)) void NativeError(MXUserRWLock *lock, const char *format,
                                                        const char *operation, int err) {
  MXUserDumpAndPanic(&lock->header, format, operation, err);
}

// The statistics path, kept out of line so the plain one stays small.
__attribute__((noinline)) void AcquireMeasured(MXUserRWLock *lock, HolderContext *context,
                                               bool forRead, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool contended = false;
  if (lock->useNative) {
    int err = forRead ? pthread_rwlock_tryrdlock(&lock->nativeLock)
                      : pthread_rwlock_trywrlock(&lock->nativeLock);
    if (err == EBUSY) {
      contended = true;
      err = forRead ? pthread_rwlock_rdlock(&lock->nativeLock)
                    : pthread_rwlock_wrlock(&lock->nativeLock);
    }
    if (err != 0) {
      NativeError(lock, "%s: Error %d\n", "MXUserAcquisition", err);
    }
  } else {
    contended = MXRecLockAcquire(&lock->recursiveLock, true);
  }
  CountHolder(lock);
  context->state = forRead ? RW_LOCKED_FOR_READ : RW_LOCKED_FOR_WRITE;
  context->holdStart = MXUserStatsAcquisition(lock->stats, start, true, contended, caller);
}

inline void MXUserAcquisition(MXUserRWLock *lock, bool forRead, const void *caller) {
  HolderContext *context = GetHolderContext(lock);
  if (__builtin_expect(context->state != RW_UNLOCKED, 0)) {
    AcquiredTwice(lock, forRead, context->state);
  }
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    AcquireMeasured(lock, context, forRead, caller);
    return;
  }
  if (__builtin_expect(lock->useNative, 1)) {
    // Without statistics nobody asks whether the lock was busy: the
    // blocking call alone does what a failed attempt followed by it would.
    int err = forRead ? pthread_rwlock_rdlock(&lock->nativeLock)
                      : pthread_rwlock_wrlock(&lock->nativeLock);
    if (__builtin_expect(err != 0, 0)) {
      NativeError(lock, "%s: Error %d\n", "MXUserAcquisition", err);
    }
  } else {
    MXRecLockAcquire(&lock->recursiveLock);
  }
  CountHolder(lock);
  context->state = forRead ? RW_LOCKED_FOR_READ : RW_LOCKED_FOR_WRITE;
}

[[noreturn]] __attribute__((noinline)) void NonHolderRelease(MXUserRWLock *lock) {
  MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an %s read-write lock\n",
                     "MXUser_ReleaseRWLock",
                     lock->holderCount.load() == 0 ? "unacquired" : "acquired");
}

}  // namespace

extern "C" {

MXUserRWLock *MXUser_CreateRWLock(const char *name, MX_Rank rank) {
  auto *lock = new (Util_SafeCalloc(-1, 1, sizeof(MXUserRWLock), __FILE__, __LINE__)) MXUserRWLock;
  lock->useNative = pthread_rwlock_init(&lock->nativeLock, nullptr) == 0;
  if (!MXRecLockInit(&lock->recursiveLock)) {
    // Only a native lock that was made is unmade.
    if (lock->useNative) {
      pthread_rwlock_destroy(&lock->nativeLock);
    }
    free(lock);
    return nullptr;
  }
  lock->header.signature = MXUserGetSignature(MXUSER_TYPE_RW);
  lock->header.name = MXUserLockName(name, "RW", __builtin_return_address(0));
  lock->header.rank = rank;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->header.dumpFunc = MXUserDumpRWLock;
  lock->holderCount.store(0);
  lock->holderTable = HashTable_Alloc(256, HASH_INT_KEY | HASH_FLAG_ATOMIC, free);
  lock->stats = MXUserStatsCreate();
  lock->header.statsFunc = lock->stats != nullptr ? MXUserStatsRWLock : nullptr;
  MXUserAddToList(&lock->header);
  return lock;
}

MXUserRWLock *MXUser_CreateSingletonRWLock(MXUserRWLock **lockStorage, const char *name,
                                           MX_Rank rank) {
  std::atomic_ref<MXUserRWLock *> slot(*lockStorage);
  MXUserRWLock *lock = slot.load();
  if (lock != nullptr) {
    return lock;
  }
  MXUserRWLock *fresh = MXUser_CreateRWLock(name, rank);
  if (fresh == nullptr) {
    MXUserSingletonFailed("MXUser_CreateSingletonRWLock", name);
  }
  if (slot.compare_exchange_strong(lock, fresh)) {
    MXUserFence();
    return fresh;
  }
  MXUserFence();
  MXUser_DestroyRWLock(fresh);
  return lock;
}

void MXUser_AcquireForRead(MXUserRWLock *lock) {
  MXUserAcquisition(lock, true, __builtin_return_address(0));
}

void MXUser_AcquireForWrite(MXUserRWLock *lock) {
  MXUserAcquisition(lock, false, __builtin_return_address(0));
}

void MXUser_ReleaseRWLock(MXUserRWLock *lock) {
  HolderContext *context = GetHolderContext(lock);
  if (__builtin_expect(context->state == RW_UNLOCKED, 0)) {
    NonHolderRelease(lock);
  }
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    MXUserStatsHeld(lock->stats, context->holdStart, __builtin_return_address(0));
  }
  UncountHolder(lock);
  if (__builtin_expect(lock->useNative, 1)) {
    int err = pthread_rwlock_unlock(&lock->nativeLock);
    if (__builtin_expect(err != 0, 0)) {
      NativeError(lock, "%s: Internal error (%d)\n", "MXUser_ReleaseRWLock", err);
    }
  } else {
    MXRecLockRelease(&lock->recursiveLock);
  }
  context->state = RW_UNLOCKED;
}

bool MXUser_IsCurThreadHoldingRWLock(MXUserRWLock *lock, uint32_t queryType) {
  uint32_t id = VThreadBaseCurID();
  HolderContext *context = CachedHolderContext(lock, id);
  void *found;
  if (context == nullptr && HashTable_Lookup(lock->holderTable, HolderKey(id), &found)) {
    context = static_cast<HolderContext *>(found);
  }
  int32_t state = context != nullptr ? context->state : RW_UNLOCKED;
  switch (queryType) {
    case MXUSER_RW_FOR_READ:
      return state == RW_LOCKED_FOR_READ;
    case MXUSER_RW_FOR_WRITE:
      return state == RW_LOCKED_FOR_WRITE;
    case MXUSER_RW_LOCKED:
      return state != RW_UNLOCKED;
    default:
      MXUserDumpAndPanic(&lock->header, "%s: unknown query type %d\n",
                         "MXUser_IsCurThreadHoldingRWLock", static_cast<int>(queryType));
  }
}

void MXUser_DestroyRWLock(MXUserRWLock *lock) {
  if (lock == nullptr) {
    return;
  }
  if (lock->holderCount.load() != 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy on an acquired read-write lock\n",
                       "MXUser_DestroyRWLock");
  }
  if (lock->useNative) {
    int err = pthread_rwlock_destroy(&lock->nativeLock);
    if (err != 0) {
      MXUserDumpAndPanic(&lock->header, "%s: Internal error (%d)\n", "MXUser_DestroyRWLock", err);
    }
  }
  lock->header.signature = 0;
  MXRecLockDestroy(&lock->recursiveLock);
  MXUserRemoveFromList(&lock->header);
  HashTable_Free(lock->holderTable);
  MXUserStatsFree(lock->stats);
  free(lock->header.name);
  free(lock);
}

}  // extern "C"
