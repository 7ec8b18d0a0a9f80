#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include "childProcess.h"

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

namespace {

using locktest::ChildResult;
using locktest::RunInChild;

bool Holding(MXUserRWLock *lock, uint32_t query) {
  return MXUser_IsCurThreadHoldingRWLock(lock, query);
}

TEST(RWLockTest, HeldQueriesFollowTheThreadsOwnState) {
  MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0xFF000000);
  ASSERT_NE(lock, nullptr);
  EXPECT_FALSE(Holding(lock, MXUSER_RW_LOCKED));
  MXUser_AcquireForRead(lock);
  EXPECT_TRUE(Holding(lock, MXUSER_RW_FOR_READ));
  EXPECT_FALSE(Holding(lock, MXUSER_RW_FOR_WRITE));
  EXPECT_TRUE(Holding(lock, MXUSER_RW_LOCKED));
  std::thread([lock] {
    EXPECT_FALSE(MXUser_IsCurThreadHoldingRWLock(lock, MXUSER_RW_LOCKED));
  }).join();
  MXUser_ReleaseRWLock(lock);
  MXUser_AcquireForWrite(lock);
  EXPECT_FALSE(Holding(lock, MXUSER_RW_FOR_READ));
  EXPECT_TRUE(Holding(lock, MXUSER_RW_FOR_WRITE));
  EXPECT_TRUE(Holding(lock, MXUSER_RW_LOCKED));
  MXUser_ReleaseRWLock(lock);
  EXPECT_FALSE(Holding(lock, MXUSER_RW_LOCKED));
  MXUser_DestroyRWLock(lock);
  MXUser_DestroyRWLock(nullptr);
}

TEST(RWLockTest, ReadersShareWritersWaitForThem) {
  MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0);
  MXUser_AcquireForRead(lock);
  // A second reader gets in while the first holds the lock.
  std::thread([lock] {
    MXUser_AcquireForRead(lock);
    MXUser_ReleaseRWLock(lock);
  }).join();

  std::atomic<bool> readerReleased{false};
  std::atomic<bool> writerSawRelease{false};
  std::thread writer([&] {
    MXUser_AcquireForWrite(lock);
    writerSawRelease = readerReleased.load();
    MXUser_ReleaseRWLock(lock);
  });
  readerReleased = true;
  MXUser_ReleaseRWLock(lock);
  writer.join();
  EXPECT_TRUE(writerSawRelease.load());
  MXUser_DestroyRWLock(lock);
}

TEST(RWLockTest, WritersExcludeEachOther) {
  MXUserRWLock *lock = MXUser_CreateRWLock("counter", 0);
  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; i++) {
        MXUser_AcquireForWrite(lock);
        counter = counter + 1;
        MXUser_ReleaseRWLock(lock);
      }
    });
  }
  for (auto &t : threads) {
    t.join();
  }
  EXPECT_EQ(counter, 20000);
  MXUser_DestroyRWLock(lock);
}

TEST(RWLockTest, ALockMadeInPlaceOfADestroyedOneStartsUnheld) {
  // Freed memory is handed out again soon, so later locks tend to sit where
  // earlier ones were; none may inherit a holder record from them.
  for (int i = 0; i < 8; i++) {
    MXUserRWLock *lock = MXUser_CreateRWLock("reused", 0);
    EXPECT_FALSE(Holding(lock, MXUSER_RW_LOCKED));
    if (i % 2 == 0) {
      MXUser_AcquireForRead(lock);
      EXPECT_TRUE(Holding(lock, MXUSER_RW_FOR_READ));
    } else {
      MXUser_AcquireForWrite(lock);
      EXPECT_TRUE(Holding(lock, MXUSER_RW_FOR_WRITE));
    }
    MXUser_ReleaseRWLock(lock);
    MXUser_DestroyRWLock(lock);
  }
}

TEST(RWLockTest, SingletonIsCreatedOnce) {
  MXUserRWLock *slot = nullptr;
  MXUserRWLock *lock = MXUser_CreateSingletonRWLock(&slot, "productStateLock", 0xFF000000);
  EXPECT_EQ(lock, slot);
  EXPECT_EQ(MXUser_CreateSingletonRWLock(&slot, "productStateLock", 0xFF000000), lock);
}

TEST(RWLockMisuseTest, AcquiringTwiceInOneThreadEnds) {
  ChildResult readThenWrite = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0x42);
    MXUser_AcquireForRead(lock);
    MXUser_AcquireForWrite(lock);
  });
  EXPECT_TRUE(readThenWrite.ExitedWith(255));
  EXPECT_NE(readThenWrite.err.find("MXUserAcquisition: AcquireForWrite after AcquireForRead\n"),
            std::string::npos)
      << readThenWrite.err;
  const std::string &log = readThenWrite.log;
  EXPECT_TRUE(std::regex_search(log, std::regex("MXUserDumpRWLock: Read-write lock @ 0x"))) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\tsignature 0x1[0-9A-F]{7}\n"))) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\tname RW-(0x)?[0-9a-fA-F]+\n"))) << log;
  EXPECT_TRUE(readThenWrite.LogHas("\trank 0x42\n")) << log;
  EXPECT_TRUE(readThenWrite.LogHas("\taddress of native lock 0x")) << log;
  EXPECT_TRUE(readThenWrite.LogHas("\tholderCount 1\n")) << log;

  ChildResult writeThenRead = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock("w", 0);
    MXUser_AcquireForWrite(lock);
    MXUser_AcquireForRead(lock);
  });
  EXPECT_TRUE(writeThenRead.ExitedWith(255));
  EXPECT_NE(writeThenRead.err.find("MXUserAcquisition: AcquireForRead after AcquireForWrite\n"),
            std::string::npos)
      << writeThenRead.err;
}

TEST(RWLockMisuseTest, ReleaseByANonHolderEnds) {
  ChildResult unacquired = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock("idle", 0);
    MXUser_ReleaseRWLock(lock);
  });
  EXPECT_TRUE(unacquired.ExitedWith(255));
  EXPECT_NE(unacquired.err.find(
                "MXUser_ReleaseRWLock: Non-owner release of an unacquired read-write lock\n"),
            std::string::npos)
      << unacquired.err;
  EXPECT_TRUE(unacquired.LogHas("\tholderCount 0\n")) << unacquired.log;

  ChildResult acquired = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock("busy", 0);
    MXUser_AcquireForRead(lock);
    std::thread([lock] { MXUser_ReleaseRWLock(lock); }).join();
  });
  EXPECT_TRUE(acquired.ExitedWith(255));
  EXPECT_NE(
      acquired.err.find("MXUser_ReleaseRWLock: Non-owner release of an acquired read-write lock\n"),
      std::string::npos)
      << acquired.err;
}

TEST(RWLockMisuseTest, DestroyOfAHeldLockAndUnknownQueriesEnd) {
  ChildResult destroy = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock("held", 0);
    MXUser_AcquireForRead(lock);
    MXUser_DestroyRWLock(lock);
  });
  EXPECT_TRUE(destroy.ExitedWith(255));
  EXPECT_NE(destroy.err.find("MXUser_DestroyRWLock: Destroy on an acquired read-write lock\n"),
            std::string::npos)
      << destroy.err;

  ChildResult query = RunInChild([] {
    MXUserRWLock *lock = MXUser_CreateRWLock("q", 0);
    MXUser_IsCurThreadHoldingRWLock(lock, 3);
  });
  EXPECT_TRUE(query.ExitedWith(255));
  EXPECT_NE(query.err.find("MXUser_IsCurThreadHoldingRWLock: unknown query type 3\n"),
            std::string::npos)
      << query.err;
}

}  // namespace
