// Exclusive locks.

#include "lock/ulInt.h"

#include <brellis/log.h>
#include <brellis/util.h>

#include <cstdlib>
#include <new>

struct MXUserExclLock {
  MXUserHeader header;
  MXRecLock recursiveLock;
  MXUserLockStats *stats;
  uint64_t holdStart;
};

namespace {

void MXUserDumpExclLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserExclLock *>(header);
  Log_Warning("%s: Exclusive lock @ %p\n", "MXUserDumpExclLock", static_cast<void *>(lock));
  MXUserDumpHeader(header);
  Log_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
  Log_Warning("\taddress of owner data %p\n", static_cast<void *>(&lock->recursiveLock.owner));
}

void MXUserStatsExclLock(MXUserHeader *header) {
  MXUserStatsReport(header, reinterpret_cast<MXUserExclLock *>(header)->stats);
}

MXUserExclLock *CreateExclLock(const char *name, MX_Rank rank, const void *caller) {
  auto *lock =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserExclLock), __FILE__, __LINE__)) MXUserExclLock;
  MXRecLockInit(&lock->recursiveLock);
  lock->header.signature = MXUserGetSignature(MXUSER_TYPE_EXCL);
  lock->header.name = MXUserLockName(name, "X", caller);
  lock->header.rank = rank;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->header.dumpFunc = MXUserDumpExclLock;
  lock->stats = MXUserStatsCreate();
  lock->header.statsFunc = lock->stats != nullptr ? MXUserStatsExclLock : nullptr;
  MXUserAddToList(&lock->header);
  return lock;
}

}  // namespace

extern "C" {

MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank) {
  return CreateExclLock(name, rank, __builtin_return_address(0));
}

MXUserExclLock *MXUser_CreateSingletonExclLock(MXUserExclLock **lockStorage, const char *name,
                                               MX_Rank rank) {
  const void *caller = __builtin_return_address(0);
  return MXUserSingleton(
      lockStorage, [&] { return CreateExclLock(name, rank, caller); }, MXUser_DestroyExclLock);
}

void MXUser_AcquireExclLock(MXUserExclLock *lock) {
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    MXUserAcquireMeasured(lock, __builtin_return_address(0));
    return;
  }
  MXRecLockAcquire(&lock->recursiveLock);
}

bool MXUser_TryAcquireExclLock(MXUserExclLock *lock) {
  if (__builtin_expect(lock->stats != nullptr, 0)) {
    return MXUserTryAcquireMeasured(lock, __builtin_return_address(0));
  }
  return MXRecLockTryAcquire(&lock->recursiveLock);
}

bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock) {
  return MXRecLockIsOwner(&lock->recursiveLock);
}

void MXUser_ReleaseExclLock(MXUserExclLock *lock) {
  if (__builtin_expect(!MXRecLockIsOwner(&lock->recursiveLock), 0)) {
    MXUserNonOwnerRelease(lock, "exclusive", "MXUser_ReleaseExclLock");
  }
  if (__builtin_expect(lock->stats != nullptr, 0) &&
      lock->recursiveLock.count.load(std::memory_order_relaxed) == 1) {
    MXUserStatsHeld(lock->stats, lock->holdStart, __builtin_return_address(0));
  }
  MXRecLockRelease(&lock->recursiveLock);
}

void MXUser_DestroyExclLock(MXUserExclLock *lock) {
  if (lock == nullptr) {
    return;
  }
  if (lock->recursiveLock.count.load(std::memory_order_relaxed) > 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired exclusive lock\n",
                       "MXUser_DestroyExclLock");
  }
  lock->header.signature = 0;
  MXUserRemoveFromList(&lock->header);
  MXUserStatsFree(lock->stats);
  free(lock->header.name);
  free(lock);
}

MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock) {
  return MXUserCreateCondVar(&lock->header, &lock->recursiveLock);
}

void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar) {
  MXUserWaitCondVar(&lock->header, &lock->recursiveLock, condVar, MXUSER_WAIT_INFINITE);
}

bool MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar,
                                     uint32_t msecWait) {
  return MXUserWaitCondVar(&lock->header, &lock->recursiveLock, condVar, msecWait);
}

}  // extern "C"
