// The regions a core dump keeps or leaves out.
//
// The table is read by the core-dump child, which may not take a lock or
// allocate: it was forked from a process that may be panicking with any
// lock held. So every addition also grows a flat array to the table's size,
// the parent copies the table into it under the lock just before the fork,
// and the child reads only that array.

#include <brellis/hashTable.h>
#include <brellis/sig.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "sig/sigInt.h"

namespace {

constexpr uint32_t kRegionBuckets = 4096;
constexpr MX_Rank kRegionLockRank = 0xFF000000;

// The lock guards the table and the array; the pointers are atomic only so
// that a registration racing Sig_Exit sees one or the other.
std::atomic<MXUserExclLock *> regionLock{nullptr};
std::atomic<HashTable *> regionTable{nullptr};
SigCoreRegion *regionArray = nullptr;
size_t regionCapacity = 0;
size_t regionCount = 0;
// The lock as held from a collection until its release.
MXUserExclLock *collectHeld = nullptr;

int CollectOne(const void *key, void *value, void *) {
  regionArray[regionCount++] = {reinterpret_cast<uintptr_t>(key),
                                static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value))};
  return 0;
}

// Copies a page through the kernel, so an unreadable page is an error and
// not a fault in a child that has nobody left to catch it.
bool CopyOut(uintptr_t page, char *buf) {
  struct iovec local = {buf, kSigCorePageSize};
  struct iovec remote = {reinterpret_cast<void *>(page), kSigCorePageSize};
  auto self = static_cast<pid_t>(syscall(SYS_getpid));
  return syscall(SYS_process_vm_readv, self, &local, 1, &remote, 1, 0) ==
         static_cast<long>(kSigCorePageSize);
}

}  // namespace

void SigCoreRegionsCreate() {
  if (regionLock.load() != nullptr) {
    return;
  }
  MXUserExclLock *lock = MXUser_CreateExclLock("coreDumpRegions", kRegionLockRank);
  MXUser_AcquireExclLock(lock);
  regionTable.store(HashTable_Alloc(kRegionBuckets, HASH_INT_KEY, nullptr));
  MXUser_ReleaseExclLock(lock);
  regionLock.store(lock);
}

void SigCoreRegionsDestroy() {
  MXUserExclLock *lock = regionLock.exchange(nullptr);
  if (lock == nullptr) {
    return;
  }
  MXUser_AcquireExclLock(lock);
  HashTable_Free(regionTable.exchange(nullptr));
  free(regionArray);
  regionArray = nullptr;
  regionCapacity = 0;
  regionCount = 0;
  MXUser_ReleaseExclLock(lock);
  MXUser_DestroyExclLock(lock);
}

const SigCoreRegion *SigCoreRegionsCollect(size_t *count) {
  *count = 0;
  MXUserExclLock *lock = regionLock.load();
  if (lock == nullptr) {
    return nullptr;
  }
  // The caller may be panicking while another thread is stuck holding the
  // lock: after a second's tries the dump goes on without the regions.
  bool held = false;
  for (int tries = 0; tries < 1000 && !(held = MXUser_TryAcquireExclLock(lock)); tries++) {
    struct timespec pause = {0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  if (!held) {
    return nullptr;
  }
  HashTable *table = regionTable.load();
  regionCount = 0;
  if (table != nullptr && regionArray != nullptr) {
    HashTable_ForEach(table, CollectOne, nullptr);
  }
  *count = regionCount;
  collectHeld = lock;
  return regionArray;
}

void SigCoreRegionsRelease() {
  if (collectHeld != nullptr) {
    MXUserExclLock *lock = collectHeld;
    collectHeld = nullptr;
    MXUser_ReleaseExclLock(lock);
  }
}

void SigCoreRegionsApply(const SigCoreRegion *regions, size_t count) {
  char copy[kSigCorePageSize];
  for (size_t i = 0; i < count; i++) {
    uintptr_t start = regions[i].start;
    uint64_t length = regions[i].value & ~kSigCoreRegionKeep;
    if ((regions[i].value & kSigCoreRegionKeep) == 0) {
      munmap(reinterpret_cast<void *>(start), length);
      continue;
    }
    // A private anonymous page is written to every core, whatever the
    // mapping it replaces; a page that cannot be read is left as it is.
    for (uintptr_t page = start; page < start + length; page += kSigCorePageSize) {
      if (!CopyOut(page, copy)) {
        continue;
      }
      void *anon = mmap(reinterpret_cast<void *>(page), kSigCorePageSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (anon != MAP_FAILED) {
        memcpy(anon, copy, kSigCorePageSize);
      }
    }
  }
}

extern "C" {

void Sig_SetCoreDumpRegion(bool add, bool drop, uintptr_t start, uint64_t length) {
  MXUserExclLock *lock = regionLock.load();
  if (lock == nullptr) {
    return;
  }
  MXUser_AcquireExclLock(lock);
  HashTable *table = regionTable.load();
  if (table != nullptr) {
    const void *key = reinterpret_cast<const void *>(start);
    if (add) {
      uint64_t pages = (length + kSigCorePageSize - 1) & ~(kSigCorePageSize - 1);
      uint64_t value = pages | (drop ? 0 : kSigCoreRegionKeep);
      HashTable_ReplaceOrInsert(table, key,
                                reinterpret_cast<void *>(static_cast<uintptr_t>(value)));
      size_t needed = HashTable_GetNumElements(table);
      if (needed > regionCapacity) {
        size_t capacity = needed * 2;
        regionArray = static_cast<SigCoreRegion *>(Util_SafeRealloc(
            -1, regionArray, capacity * sizeof(SigCoreRegion), __FILE__, __LINE__));
        regionCapacity = capacity;
      }
    } else {
      HashTable_Delete(table, key);
    }
  }
  MXUser_ReleaseExclLock(lock);
}

}  // extern "C"
