#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include "childProcess.h"
#include "otherThread.h"
#include "support/together.h"

#include <regex>
#include <thread>
#include <vector>

namespace {

using locktest::ChildResult;
using locktest::RunInChild;
using locktest::TryFromOtherThread;

TEST(ExclLockTest, TheOwnerReacquiresAndMustReleaseAsOften) {
  MXUserExclLock *lock = MXUser_CreateExclLock("twice", 0x10);
  ASSERT_NE(lock, nullptr);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingExclLock(lock));
  MXUser_AcquireExclLock(lock);
  MXUser_AcquireExclLock(lock);
  EXPECT_TRUE(MXUser_TryAcquireExclLock(lock));  // the owner always gets it
  EXPECT_TRUE(MXUser_IsCurThreadHoldingExclLock(lock));
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseExclLock(lock);
  MXUser_ReleaseExclLock(lock);
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseExclLock(lock);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingExclLock(lock));
  EXPECT_TRUE(TryFromOtherThread(lock));
  MXUser_DestroyExclLock(lock);
  MXUser_DestroyExclLock(nullptr);
}

TEST(ExclLockTest, ExcludesOtherThreads) {
  MXUserExclLock *lock = MXUser_CreateExclLock(nullptr, 0);
  int64_t counter = 0;
  constexpr int numThreads = 4;
  constexpr int rounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < numThreads; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < rounds; i++) {
        MXUser_AcquireExclLock(lock);
        int64_t seen = counter;
        counter = seen + 1;
        MXUser_ReleaseExclLock(lock);
      }
    });
  }
  for (auto &t : threads) {
    t.join();
  }
  EXPECT_EQ(counter, numThreads * rounds);
  MXUser_DestroyExclLock(lock);
}

TEST(ExclLockTest, RacingSingletonCreatorsShareOneLock) {
  for (int round = 0; round < 5; round++) {
    MXUserExclLock *slot = nullptr;
    std::vector<MXUserExclLock *> got = testsupport::RunTogether(
        4, [&](int) { return MXUser_CreateSingletonExclLock(&slot, "singleton", 0xF0007020); });
    ASSERT_NE(slot, nullptr);
    for (MXUserExclLock *lock : got) {
      EXPECT_EQ(lock, slot);
    }
    EXPECT_EQ(MXUser_CreateSingletonExclLock(&slot, "other", 0), slot);
    MXUser_DestroyExclLock(slot);
  }
}

TEST(ExclLockMisuseTest, DestroyingAHeldLockDumpsItAndEnds) {
  ChildResult r = RunInChild([] {
    MXUserExclLock *lock = MXUser_CreateExclLock(nullptr, 0xF0007020);
    MXUser_AcquireExclLock(lock);
    MXUser_DestroyExclLock(lock);
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status;
  EXPECT_NE(r.err.find("MXUser_DestroyExclLock: Destroy of an acquired exclusive lock\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::regex_search(
      r.log, std::regex("MXUserDumpExclLock: Exclusive lock @ (0x)?[0-9a-fA-F]+\n")))
      << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tsignature 0x4[0-9A-F]{7}\n"))) << r.log;
  // An unnamed lock is named after the code that asked for it.
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tname X-(0x)?[0-9a-fA-F]+\n"))) << r.log;
  EXPECT_TRUE(r.LogHas("\trank 0xF0007020\n")) << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tserial number [1-9][0-9]*\n"))) << r.log;
  EXPECT_TRUE(r.LogHas("\tcount 1\n")) << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\taddress of owner data (0x)?[0-9a-fA-F]+\n")))
      << r.log;
}

TEST(ExclLockMisuseTest, ReleaseByANonOwnerEnds) {
  ChildResult unacquired = RunInChild([] {
    MXUserExclLock *lock = MXUser_CreateExclLock("free", 1);
    MXUser_ReleaseExclLock(lock);
  });
  EXPECT_TRUE(unacquired.ExitedWith(255));
  EXPECT_NE(unacquired.err.find(
                "MXUser_ReleaseExclLock: Non-owner release of an unacquired exclusive lock\n"),
            std::string::npos)
      << unacquired.err;
  EXPECT_TRUE(unacquired.LogHas("\tname free\n")) << unacquired.log;
  EXPECT_TRUE(unacquired.LogHas("\tcount 0\n")) << unacquired.log;

  ChildResult acquired = RunInChild([] {
    MXUserExclLock *lock = MXUser_CreateExclLock("taken", 1);
    MXUser_AcquireExclLock(lock);
    std::thread([lock] { MXUser_ReleaseExclLock(lock); }).join();
  });
  EXPECT_TRUE(acquired.ExitedWith(255));
  EXPECT_NE(acquired.err.find(
                "MXUser_ReleaseExclLock: Non-owner release of an acquired exclusive lock\n"),
            std::string::npos)
      << acquired.err;
  EXPECT_TRUE(acquired.LogHas("\tcount 1\n")) << acquired.log;
}

}  // namespace
