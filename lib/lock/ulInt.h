// Internals shared by the user-level lock kinds.
#ifndef LIB_LOCK_ULINT_H
#define LIB_LOCK_ULINT_H

#include <brellis/userlock.h>

#include <pthread.h>
#include <atomic>
#include <cstdint>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define MXUSER_HAVE_SINGLE_THREADED 1
#endif

// Lock types, kept in the top four bits of a lock's signature.
enum MXUserObjectType : uint32_t {
  MXUSER_TYPE_RW = 1,
  MXUSER_TYPE_REC = 2,
  MXUSER_TYPE_EXCL = 4,
  MXUSER_TYPE_CONDVAR = 6,
};

struct MXUserHeader {
  uint32_t signature;  // 0 once destroyed
  char *name;
  MX_Rank rank;
  uint32_t serialNumber;
  void (*dumpFunc)(MXUserHeader *);
  void (*statsFunc)(MXUserHeader *);  // null unless statistics were on at creation
  MXUserHeader *next;                 // the list of all locks
  MXUserHeader *prev;
};

// A counted owner mutex: the library's own mutex word, a count of
// acquisitions by the owner and the owner's thread handle.
//
// The mutex is a 64-bit word. Its upper half is the futex word: 0 free, 1
// held, 2 held while threads may be asleep waiting for it (the release then
// wakes one). It changes only when the mutex changes hands, so a thread on
// its way to sleep is not turned back by others joining the wait. The lower
// half counts references to the lock: a thread waiting for the mutex holds
// one, so that the lock outlives a destroy meanwhile, and the recursive lock
// keeps its reference count there, so that one atomic operation both takes
// (or gives up) the mutex and sees whether the lock is still alive. An
// uncontended acquisition and release are one atomic operation each.
//
// count and owner are only changed by the thread holding the mutex; other
// threads read them to learn that they are not the owner, which relaxed
// atomics make well defined at no cost.
struct MXRecLock {
  std::atomic<uint64_t> word;
  std::atomic<int32_t> count;
  std::atomic<pthread_t> owner;
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the futex word is taken to be the upper half of the mutex word");

constexpr uint64_t mxHeld = uint64_t{1} << 32;
constexpr uint64_t mxHeldWithSleepers = uint64_t{2} << 32;
constexpr uint64_t mxRefsMask = 0xFFFFFFFFu;

inline uint32_t MXMutexState(uint64_t word) {
  return static_cast<uint32_t>(word >> 32);
}

inline uint32_t MXMutexRefs(uint64_t word) {
  return static_cast<uint32_t>(word);
}

inline const pthread_t mxNoOwner = static_cast<pthread_t>(-1);

// pthread_self, kept per thread: the owner test runs on every acquisition
// and release, and the library call costs as much as the rest of the fast
// path. A thread's handle never changes (a forked child keeps the forking
// thread's), and no thread has the handle 0.
inline thread_local pthread_t mxSelf;
inline pthread_t MXUserSelf() {
  pthread_t self = mxSelf;
  if (__builtin_expect(self == 0, 0)) {
    self = mxSelf = pthread_self();
  }
  return self;
}

// While the process has a single thread nothing can race with an update, and
// a plain read-modify-write gives the same result as an atomic one without
// its bus lock (the C++ runtime counts its shared pointers the same way). A
// signal handler that interrupts such an update leaves every lock word as it
// found it. Once a second thread has been started the flag stays down.
inline bool MXUserSingleThreaded() {
#ifdef MXUSER_HAVE_SINGLE_THREADED
  return __libc_single_threaded != 0;
#else
  return false;
#endif
}

// Sleeping and waking on a 32-bit futex word (ul.cc). The wait returns when
// *word no longer holds expected, on a wake-up, at the absolute wall-clock
// deadline (null: none; then the result is ETIMEDOUT) or on a signal
// (EINTR); it keeps errno.
int MXUserFutexWait(std::atomic<uint32_t> *word, uint32_t expected,
                    const struct timespec *deadline = nullptr);
void MXUserFutexWake(std::atomic<uint32_t> *word, int32_t howMany);

inline std::atomic<uint32_t> *MXMutexFutex(MXRecLock *lock) {
  return reinterpret_cast<std::atomic<uint32_t> *>(reinterpret_cast<char *>(&lock->word) + 4);
}

void MXRecLockInit(MXRecLock *lock, uint32_t kindBits = 0);

// The contended acquisition (ul.cc); returns the word as it stood once the
// mutex was taken and the waiting reference dropped.
uint64_t MXMutexLockSlow(MXRecLock *lock);

// Takes the mutex; returns the word as it stood just before, for its lower
// half. *contended tells whether the mutex was busy.
inline uint64_t MXMutexLock(MXRecLock *lock, bool *contended) {
  uint64_t word = lock->word.load(std::memory_order_relaxed);
  if (MXMutexState(word) == 0) {
    if (MXUserSingleThreaded()) {
      lock->word.store(word + mxHeld, std::memory_order_relaxed);
      return word;
    }
    if (lock->word.compare_exchange_strong(word, word + mxHeld, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      return word;
    }
  }
  *contended = true;
  return MXMutexLockSlow(lock);
}

inline bool MXMutexTryLock(MXRecLock *lock) {
  uint64_t word = lock->word.load(std::memory_order_relaxed);
  if (MXUserSingleThreaded()) {
    if (MXMutexState(word) != 0) {
      return false;
    }
    lock->word.store(word + mxHeld, std::memory_order_relaxed);
    return true;
  }
  while (MXMutexState(word) == 0) {
    if (lock->word.compare_exchange_weak(word, word + mxHeld, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

// Gives the mutex up, waking one sleeper if there may be one; returns the
// word as it stood just before.
inline uint64_t MXMutexUnlock(MXRecLock *lock) {
  uint64_t word = lock->word.load(std::memory_order_relaxed);
  if (MXUserSingleThreaded()) {
    lock->word.store(word & mxRefsMask, std::memory_order_relaxed);
    return word;
  }
  while (!lock->word.compare_exchange_weak(word, word & mxRefsMask, std::memory_order_release,
                                           std::memory_order_relaxed)) {
  }
  if (__builtin_expect(MXMutexState(word) == 2, 0)) {
    MXUserFutexWake(MXMutexFutex(lock), 1);
  }
  return word;
}

inline bool MXRecLockIsOwner(const MXRecLock *lock) {
  return lock->count.load(std::memory_order_relaxed) > 0 &&
         lock->owner.load(std::memory_order_relaxed) == MXUserSelf();
}

// Right after the calling thread took the mutex. Whoever gives the mutex up
// (a release, or a condition-variable wait) first brings the count to 0, so
// the count found here is always 0 and the caller becomes the owner.
inline void MXRecLockTakeOwnership(MXRecLock *lock) {
  lock->owner.store(MXUserSelf(), std::memory_order_relaxed);
  lock->count.store(1, std::memory_order_relaxed);
}

inline void MXRecLockRaiseCount(MXRecLock *lock) {
  lock->count.store(lock->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Returns whether the mutex was found busy (statistics count contention).
inline bool MXRecLockAcquire(MXRecLock *lock) {
  if (MXRecLockIsOwner(lock)) {
    MXRecLockRaiseCount(lock);
    return false;
  }
  bool contended = false;
  MXMutexLock(lock, &contended);
  MXRecLockTakeOwnership(lock);
  return contended;
}

inline bool MXRecLockTryAcquire(MXRecLock *lock) {
  if (MXRecLockIsOwner(lock)) {
    MXRecLockRaiseCount(lock);
    return true;
  }
  if (!MXMutexTryLock(lock)) {
    return false;
  }
  MXRecLockTakeOwnership(lock);
  return true;
}

// The owner gives up the whole recursion (its last release, or a wait on a
// condition variable) and the mutex; returns the mutex word as it stood
// just before.
inline uint64_t MXRecLockGiveUp(MXRecLock *lock) {
  lock->owner.store(mxNoOwner, std::memory_order_relaxed);
  lock->count.store(0, std::memory_order_relaxed);
  return MXMutexUnlock(lock);
}

// The caller holds the lock.
inline void MXRecLockRelease(MXRecLock *lock) {
  int32_t count = lock->count.load(std::memory_order_relaxed) - 1;
  if (count > 0) {
    lock->count.store(count, std::memory_order_relaxed);
    return;
  }
  MXRecLockGiveUp(lock);
}

inline void MXUserFence() {
  if (AtomicUseFence) {
    std::atomic_thread_fence(std::memory_order_acquire);
  }
}

// Adds delta to counter, atomically whenever another thread could race;
// returns the previous value.
template <typename T>
inline T MXUserAtomicAdd(std::atomic<T> &counter, T delta) {
  if (MXUserSingleThreaded()) {
    T old = counter.load(std::memory_order_relaxed);
    counter.store(old + delta, std::memory_order_relaxed);
    return old;
  }
  T old = counter.fetch_add(delta);
  MXUserFence();
  return old;
}

// The lock in *lockStorage, made by create on first use and installed with
// compare-and-swap; a creator that loses the race destroys its own.
template <typename Lock, typename Create>
Lock *MXUserSingleton(Lock **lockStorage, Create create, void (*destroy)(Lock *)) {
  std::atomic_ref<Lock *> slot(*lockStorage);
  Lock *lock = slot.load();
  if (lock != nullptr) {
    return lock;
  }
  Lock *fresh = create();
  if (slot.compare_exchange_strong(lock, fresh)) {
    MXUserFence();
    return fresh;
  }
  MXUserFence();
  destroy(fresh);
  return lock;
}

// The signature of a new lock of type.
uint32_t MXUserGetSignature(MXUserObjectType type);
uint32_t MXUserAllocSerialNumber();
// A heap copy of name, or the kind prefix and the requesting code address.
char *MXUserLockName(const char *name, const char *prefix, const void *caller);
void MXUserAddToList(MXUserHeader *header);
// The lock guarding the list, and the list's anchor (ulStats.cc walks it).
MXRecLock *MXUserListLock();
MXUserHeader *MXUserListAnchor();
void MXUserRemoveFromList(MXUserHeader *header);

// Dumps the lock to the log, then ends the process with the formatted text.
[[noreturn]] void MXUserDumpAndPanic(MXUserHeader *header, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Condition variables (ulCondVar.cc) tied to the lock with header and
// counted mutex lock.
MXUserCondVar *MXUserCreateCondVar(MXUserHeader *header, MXRecLock *lock);
// False when msecWait passed without a wake-up.
bool MXUserWaitCondVar(MXUserHeader *header, MXRecLock *lock, MXUserCondVar *condVar,
                       uint32_t msecWait);

// Statistics (ulStats.cc). All entry points take a null record as "off".
struct MXUserLockStats;
struct MXUserRWHolder;
uint64_t MXUserNowNs();
// A record when statistics are on, else null.
MXUserLockStats *MXUserStatsCreate();
void MXUserStatsFree(MXUserLockStats *stats);
// An acquisition attempt begun at start that succeeded (or not), possibly
// after finding the lock busy; returns the time it ended.
uint64_t MXUserStatsAcquisition(MXUserLockStats *stats, uint64_t start, bool success,
                                bool contended, const void *caller);
void MXUserStatsHeld(MXUserLockStats *stats, uint64_t holdStart, const void *caller);
void MXUserStatsReport(const MXUserHeader *header, MXUserLockStats *stats);

// The lines every lock's dump starts with after its title: the header's
// signature, name, rank and serial number.
void MXUserDumpHeader(const MXUserHeader *header);

// The statistics paths shared by the locks built on one MXRecLock (the
// exclusive and the recursive lock), kept out of line so that the plain
// paths stay small.
template <typename Lock>
__attribute__((noinline)) void MXUserAcquireMeasured(Lock *lock, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool contended = MXRecLockAcquire(&lock->recursiveLock);
  uint64_t end = MXUserStatsAcquisition(lock->stats, start, true, contended, caller);
  if (lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
    lock->holdStart = end;
  }
}

template <typename Lock>
__attribute__((noinline)) bool MXUserTryAcquireMeasured(Lock *lock, const void *caller) {
  uint64_t start = MXUserNowNs();
  bool acquired = MXRecLockTryAcquire(&lock->recursiveLock);
  uint64_t end = MXUserStatsAcquisition(lock->stats, start, acquired, !acquired, caller);
  if (acquired && lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
    lock->holdStart = end;
  }
  return acquired;
}

// A release by a thread that does not hold the lock: kind names it in the
// misuse message ("exclusive", "recursive"), operation the public call.
template <typename Lock>
[[noreturn]] __attribute__((noinline)) void MXUserNonOwnerRelease(Lock *lock, const char *kind,
                                                                  const char *operation) {
  bool held = lock->recursiveLock.count.load(std::memory_order_relaxed) > 0;
  MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an %s %s lock\n", operation,
                     held ? "acquired" : "unacquired", kind);
}

#endif
