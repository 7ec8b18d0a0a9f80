// Read-write locks.
//
// Each thread's relation to a lock (unacquired, reading, writing) is kept in
// the lock's own atomic hash table under the thread's identity, so a thread
// can tell whether it holds the lock and misuse is caught before it reaches
// the lock word.

#include "lock/ulInt.h"

#include <brellis/hashTable.h>
#include <brellis/internal/threadId.h>
#include <brellis/log.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

enum HolderState : int32_t { RW_UNLOCKED = 0, RW_LOCKED_FOR_READ = 1, RW_LOCKED_FOR_WRITE = 2 };

struct HolderContext {
  int32_t state;
  uint64_t holdStart;
};

}  // namespace

// The lock word: the number of readers in the low 30 bits, then a bit for
// the writer and one telling that threads sleep waiting for the word to
// change. The number of holders the lock reports is read off it, so an
// uncontended acquisition and release are one atomic operation each.
constexpr uint32_t rwReaders = 0x3FFFFFFF;
constexpr uint32_t rwWriter = 0x40000000;
constexpr uint32_t rwSleepers = 0x80000000;

struct MXUserRWLock {
  MXUserHeader header;
  std::atomic<uint32_t> word;
  // What sleepers sleep on: moved on each time they are woken, and only
  // then, so that readers coming and going do not turn a thread on its way
  // to sleep back again and again.
  std::atomic<uint32_t> wakeups;
  HashTable *holderTable;
  MXUserLockStats *stats;
};

namespace {

// Every acquisition over all threads: the readers, or the writer.
int32_t HolderCount(const MXUserRWLock *lock) {
  uint32_t word = lock->word.load();
  return static_cast<int32_t>((word & rwReaders) + ((word & rwWriter) != 0 ? 1 : 0));
}

void MXUserDumpRWLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRWLock *>(header);
  Log_Warning("%s: Read-write lock @ 0x%p\n", "MXUserDumpRWLock", static_cast<void *>(lock));
  MXUserDumpHeader(header);
  Log_Warning("\taddress of native lock 0x%p\n", static_cast<void *>(&lock->word));
  Log_Warning("\tholderCount %d\n", HolderCount(lock));
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

// What an acquisition adds to the lock word, given the word it finds; 0 when
// it has to wait.
inline uint32_t Admission(uint32_t word, bool forRead) {
  if (forRead) {
    return (word & rwWriter) == 0 ? 1 : 0;
  }
  return (word & (rwReaders | rwWriter)) == 0 ? rwWriter : 0;
}

// The contended acquisition: sleep until the last holder goes. A sleeper
// reads the wake-up count before it looks at the word and sets rwSleepers,
// so a release that comes after the look sees the flag and moves the count
// on, and the sleeper does not sleep through it.
__attribute__((noinline)) void AcquireSlow(MXUserRWLock *lock, bool forRead) {
  for (;;) {
    uint32_t wakeups = lock->wakeups.load();
    uint32_t word = lock->word.load();
    uint32_t add = Admission(word, forRead);
    if (add != 0) {
      if (lock->word.compare_exchange_strong(word, word + add, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((word & rwSleepers) == 0 && !lock->word.compare_exchange_strong(word, word | rwSleepers)) {
      continue;
    }
    MXUserFutexWait(&lock->wakeups, wakeups);
  }
}

// Returns whether the lock was busy.
inline bool AcquireWord(MXUserRWLock *lock, bool forRead) {
  uint32_t word = lock->word.load(std::memory_order_relaxed);
  uint32_t add = Admission(word, forRead);
  if (__builtin_expect(add != 0, 1)) {
    if (MXUserSingleThreaded()) {
      lock->word.store(word + add, std::memory_order_relaxed);
      return false;
    }
    if (lock->word.compare_exchange_strong(word, word + add, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      return false;
    }
  }
  AcquireSlow(lock, forRead);
  return true;
}

__attribute__((noinline)) void WakeSleepers(MXUserRWLock *lock) {
  lock->word.fetch_and(~rwSleepers);
  lock->wakeups.fetch_add(1);
  MXUserFutexWake(&lock->wakeups, INT32_MAX);
}

// The calling thread holds the lock as state says.
inline void ReleaseWord(MXUserRWLock *lock, int32_t state) {
  uint32_t sub = state == RW_LOCKED_FOR_READ ? 1 : rwWriter;
  if (MXUserSingleThreaded()) {
    lock->word.store(lock->word.load(std::memory_order_relaxed) - sub, std::memory_order_relaxed);
    return;
  }
  uint32_t word = lock->word.fetch_sub(sub, std::memory_order_release) - sub;
  // The last holder out wakes the sleepers. Clearing the flag first is safe:
  // each sleeper either wakes or finds the wake-up count moved on, and sets
  // the flag again before it goes back to sleep.
  if (__builtin_expect((word & rwSleepers) != 0, 0) && (word & (rwReaders | rwWriter)) == 0) {
    WakeSleepers(lock);
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

// The statistics path, kept out of line so the plain one stays small.
__attribute__((noinline)) void AcquireMeasured(MXUserRWLock *lock, HolderContext *context,
                                               bool forRead, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool contended = AcquireWord(lock, forRead);
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
  AcquireWord(lock, forRead);
  context->state = forRead ? RW_LOCKED_FOR_READ : RW_LOCKED_FOR_WRITE;
}

[[noreturn]] __attribute__((noinline)) void NonHolderRelease(MXUserRWLock *lock) {
  MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an %s read-write lock\n",
                     "MXUser_ReleaseRWLock", HolderCount(lock) == 0 ? "unacquired" : "acquired");
}

}  // namespace

extern "C" {

MXUserRWLock *MXUser_CreateRWLock(const char *name, MX_Rank rank) {
  auto *lock = new (Util_SafeCalloc(-1, 1, sizeof(MXUserRWLock), __FILE__, __LINE__)) MXUserRWLock;
  lock->word.store(0);
  lock->wakeups.store(0);
  lock->header.signature = MXUserGetSignature(MXUSER_TYPE_RW);
  lock->header.name = MXUserLockName(name, "RW", __builtin_return_address(0));
  lock->header.rank = rank;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->header.dumpFunc = MXUserDumpRWLock;
  lock->holderTable = HashTable_Alloc(256, HASH_INT_KEY | HASH_FLAG_ATOMIC, free);
  lock->stats = MXUserStatsCreate();
  lock->header.statsFunc = lock->stats != nullptr ? MXUserStatsRWLock : nullptr;
  MXUserAddToList(&lock->header);
  return lock;
}

MXUserRWLock *MXUser_CreateSingletonRWLock(MXUserRWLock **lockStorage, const char *name,
                                           MX_Rank rank) {
  return MXUserSingleton(
      lockStorage, [&] { return MXUser_CreateRWLock(name, rank); }, MXUser_DestroyRWLock);
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
  ReleaseWord(lock, context->state);
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
  if (HolderCount(lock) != 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy on an acquired read-write lock\n",
                       "MXUser_DestroyRWLock");
  }
  lock->header.signature = 0;
  MXUserRemoveFromList(&lock->header);
  HashTable_Free(lock->holderTable);
  MXUserStatsFree(lock->stats);
  free(lock->header.name);
  free(lock);
}

}  // extern "C"
