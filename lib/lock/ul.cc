// What all user-level lock kinds share: signatures, serial numbers, names,
// the list of all locks, the misuse path, the external-lock hooks and the
// process's atomic-fence setting.

#include "lock/ulInt.h"

#include <brellis/internal/randomQuiet.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <new>

extern "C" {
bool AtomicUseFence = false;
bool atomicFenceInitialized = false;

void (*MXUserMX_LockRec)(struct MX_MutexRec *lock) = nullptr;
void (*MXUserMX_UnlockRec)(struct MX_MutexRec *lock) = nullptr;
bool (*MXUserMX_TryLockRec)(struct MX_MutexRec *lock) = nullptr;
bool (*MXUserMX_IsLockedByCurThreadRec)(const struct MX_MutexRec *lock) = nullptr;
}

namespace {

std::atomic<uint32_t> signatureSeed{0};
std::atomic<uint32_t> serialCounter{1};
std::atomic<bool> inPanic{false};
std::atomic<bool> hooksInstalled{false};

// The list of all locks: a circular list headed by listAnchor.
MXUserHeader listAnchor = {0, nullptr, 0, 0, nullptr, nullptr, &listAnchor, &listAnchor};

uint32_t SignatureSeed() {
  uint32_t seed = signatureSeed.load();
  if (seed != 0) {
    return seed;
  }
  // The log's own lock needs a signature, so nothing may be logged until
  // the seed is installed: a failure is reported afterwards.
  char why[256] = "";
  bool failed = false;
  uint32_t value = 0;
  for (int attempt = 0; attempt < 26 && value == 0; attempt++) {
    if (!RandomCryptoQuiet(sizeof value, &value, why, sizeof why)) {
      failed = true;
      value = 0;
    }
  }
  if (value == 0) {
    value = static_cast<uint32_t>(time(nullptr));
    if (value == 0) {
      value = 1;
    }
  }
  if (signatureSeed.compare_exchange_strong(seed, value)) {
    MXUserFence();
    if (failed) {
      Log_Info("%s", why);
    }
    return value;
  }
  MXUserFence();
  return seed;
}

}  // namespace

MXRecLock *MXUserListLock() {
  static MXRecLock *listLock;
  return MXUserSingleton(
      &listLock,
      [] {
        auto *fresh =
            static_cast<MXRecLock *>(Util_SafeMalloc(-1, sizeof(MXRecLock), __FILE__, __LINE__));
        MXRecLockInit(fresh);
        return fresh;
      },
      +[](MXRecLock *lock) { free(lock); });
}

void MXUserDumpHeader(const MXUserHeader *header) {
  Log_Warning("\tsignature 0x%X\n", header->signature);
  Log_Warning("\tname %s\n", header->name);
  Log_Warning("\trank 0x%X\n", header->rank);
  Log_Warning("\tserial number %u\n", header->serialNumber);
}

MXUserHeader *MXUserListAnchor() {
  return &listAnchor;
}

void MXRecLockInit(MXRecLock *lock, uint32_t kindBits) {
  new (&lock->word) std::atomic<uint64_t>(kindBits);
  new (&lock->count) std::atomic<int32_t>(0);
  new (&lock->owner) std::atomic<pthread_t>(mxNoOwner);
}

int MXUserFutexWait(std::atomic<uint32_t> *word, uint32_t expected,
                    const struct timespec *deadline) {
  int savedErrno = errno;
  long rc;
  if (deadline == nullptr) {
    rc = syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
  } else {
    // An absolute deadline on the wall clock, as the condition variables
    // take it; a deadline already past is ETIMEDOUT at once.
    rc = syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE | FUTEX_CLOCK_REALTIME, expected,
                 deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  }
  int result = rc == 0 ? 0 : errno;
  errno = savedErrno;
  return result;
}

void MXUserFutexWake(std::atomic<uint32_t> *word, int32_t howMany) {
  int savedErrno = errno;
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, howMany, nullptr, nullptr, 0);
  errno = savedErrno;
}

uint64_t MXMutexLockSlow(MXRecLock *lock) {
  // A reference first: from here on a destroy leaves the lock alive for
  // this thread.
  uint64_t word = lock->word.fetch_add(1) + 1;
  for (;;) {
    // Taking the mutex or going to sleep, the state becomes 2: this thread
    // cannot tell whether others sleep too, so its release will wake one.
    if (MXMutexState(word) != 2) {
      uint64_t marked = (word & mxRefsMask) | mxHeldWithSleepers;
      if (!lock->word.compare_exchange_weak(word, marked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        continue;
      }
      if (MXMutexState(word) == 0) {
        break;
      }
    }
    MXUserFutexWait(MXMutexFutex(lock), 2);
    word = lock->word.load(std::memory_order_relaxed);
  }
  return lock->word.fetch_sub(1) - 1;
}

uint32_t MXUserGetSignature(MXUserObjectType type) {
  return (static_cast<uint32_t>(type) << 28) | (SignatureSeed() & 0x0FFFFFFF);
}

uint32_t MXUserAllocSerialNumber() {
  uint32_t serial = serialCounter.fetch_add(1);
  MXUserFence();
  return serial;
}

char *MXUserLockName(const char *name, const char *prefix, const void *caller) {
  if (name != nullptr) {
    return Util_SafeStrdup(-1, name, __FILE__, __LINE__);
  }
  return Str_SafeAsprintf(nullptr, "%s-%p", prefix, caller);
}

void MXUserAddToList(MXUserHeader *header) {
  MXRecLock *listLock = MXUserListLock();
  MXRecLockAcquire(listLock);
  header->next = listAnchor.next;
  header->prev = &listAnchor;
  listAnchor.next->prev = header;
  listAnchor.next = header;
  MXRecLockRelease(listLock);
}

void MXUserRemoveFromList(MXUserHeader *header) {
  MXRecLock *listLock = MXUserListLock();
  MXRecLockAcquire(listLock);
  header->prev->next = header->next;
  header->next->prev = header->prev;
  header->next = header->prev = header;
  MXRecLockRelease(listLock);
}

void MXUserDumpAndPanic(MXUserHeader *header, const char *format, ...) {
  header->dumpFunc(header);
  va_list ap;
  va_start(ap, format);
  char *message = Str_SafeVasprintf(nullptr, format, ap);
  va_end(ap);
  Panic("%s", message);
}

extern "C" {

void Atomic_Init(void) {
  // x86_64 orders loads after locked operations by itself; no processor of
  // this architecture needs the extra fence.
  static const bool decided = [] {
    AtomicUseFence = false;
    atomicFenceInitialized = true;
    return true;
  }();
  (void)decided;
}

void MXUser_SetInPanic(void) {
  inPanic.store(true);
}

bool MXUser_InPanic(void) {
  return inPanic.load();
}

void MXUser_InstallMxHooks(void (*theLockFunc)(struct MX_MutexRec *),
                           void (*theUnlockFunc)(struct MX_MutexRec *),
                           bool (*theTryLockFunc)(struct MX_MutexRec *),
                           bool (*theIsLockedFunc)(const struct MX_MutexRec *)) {
  bool expected = false;
  if (!hooksInstalled.compare_exchange_strong(expected, true)) {
    return;
  }
  MXUserMX_LockRec = theLockFunc;
  MXUserMX_UnlockRec = theUnlockFunc;
  MXUserMX_TryLockRec = theTryLockFunc;
  MXUserMX_IsLockedByCurThreadRec = theIsLockedFunc;
}

}  // extern "C"
