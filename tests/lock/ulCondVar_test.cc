#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include "childProcess.h"
#include "otherThread.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using locktest::ChildResult;
using locktest::RunInChild;
using locktest::TryFromOtherThread;

TEST(CondVarTest, AWaitSuspendsTheWholeRecursionAndRestoresIt) {
  MXUserRecLock *lock = MXUser_CreateRecLock("cv", 0);
  MXUserCondVar *cv = MXUser_CreateCondVarRecLock(lock);
  ASSERT_NE(cv, nullptr);
  bool ready = false;
  std::thread signaller([&] {
    // Gets the lock only while the waiter has given up all its levels.
    MXUser_AcquireRecLock(lock);
    ready = true;
    MXUser_SignalCondVar(cv);
    MXUser_ReleaseRecLock(lock);
  });
  MXUser_AcquireRecLock(lock);
  MXUser_AcquireRecLock(lock);
  while (!ready) {
    MXUser_WaitCondVarRecLock(lock, cv);
  }
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  signaller.join();
  MXUser_ReleaseRecLock(lock);
  EXPECT_FALSE(TryFromOtherThread(lock));  // one level still held
  MXUser_ReleaseRecLock(lock);
  EXPECT_TRUE(TryFromOtherThread(lock));
  MXUser_DestroyCondVar(cv);
  MXUser_DestroyRecLock(lock);
}

TEST(CondVarTest, ATimedWaitThatReachesItsDeadlineReturnsHoldingTheLock) {
  MXUserExclLock *lock = MXUser_CreateExclLock("timed", 0);
  MXUserCondVar *cv = MXUser_CreateCondVarExclLock(lock);
  MXUser_AcquireExclLock(lock);
  MXUser_AcquireExclLock(lock);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(MXUser_TimedWaitCondVarExclLock(lock, cv, 20));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_TRUE(MXUser_IsCurThreadHoldingExclLock(lock));
  MXUser_ReleaseExclLock(lock);
  EXPECT_TRUE(MXUser_IsCurThreadHoldingExclLock(lock));
  MXUser_ReleaseExclLock(lock);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingExclLock(lock));
  MXUser_DestroyCondVar(cv);
  MXUser_DestroyExclLock(lock);
}

TEST(CondVarTest, BroadcastWakesEveryWaiter) {
  MXUserExclLock *lock = MXUser_CreateExclLock("broadcast", 0);
  MXUserCondVar *cv = MXUser_CreateCondVarExclLock(lock);
  constexpr int numWaiters = 3;
  int waiting = 0;
  bool go = false;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < numWaiters; i++) {
    waiters.emplace_back([&] {
      MXUser_AcquireExclLock(lock);
      waiting++;
      while (!go) {
        MXUser_WaitCondVarExclLock(lock, cv);
      }
      woken++;
      MXUser_ReleaseExclLock(lock);
    });
  }
  // Every waiter is inside its wait once it counted itself and we hold the
  // lock it gave up.
  for (;;) {
    MXUser_AcquireExclLock(lock);
    if (waiting == numWaiters) {
      break;
    }
    MXUser_ReleaseExclLock(lock);
    std::this_thread::yield();
  }
  go = true;
  MXUser_BroadcastCondVar(cv);
  MXUser_ReleaseExclLock(lock);
  for (auto &t : waiters) {
    t.join();
  }
  EXPECT_EQ(woken.load(), numWaiters);
  MXUser_DestroyCondVar(cv);
  MXUser_DestroyExclLock(lock);
  MXUser_DestroyCondVar(nullptr);
}

TEST(CondVarMisuseTest, WaitingWithTheWrongLockOrWithoutItEnds) {
  ChildResult wrong = RunInChild([] {
    MXUserExclLock *mine = MXUser_CreateExclLock("mine", 0);
    MXUserExclLock *other = MXUser_CreateExclLock("other", 0);
    MXUserCondVar *cv = MXUser_CreateCondVarExclLock(mine);
    MXUser_AcquireExclLock(other);
    MXUser_WaitCondVarExclLock(other, cv);
  });
  EXPECT_TRUE(wrong.ExitedWith(255));
  EXPECT_NE(wrong.err.find("MXUserWaitCondVar: invalid use of lock other with condVar (0x"),
            std::string::npos)
      << wrong.err;
  EXPECT_NE(wrong.err.find("; mine)\n"), std::string::npos) << wrong.err;
  EXPECT_TRUE(wrong.LogHas("\tname other\n")) << wrong.log;

  ChildResult unowned = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("loose", 0);
    MXUserCondVar *cv = MXUser_CreateCondVarRecLock(lock);
    MXUser_TimedWaitCondVarRecLock(lock, cv, 10);
  });
  EXPECT_TRUE(unowned.ExitedWith(255));
  EXPECT_NE(unowned.err.find("MXUserWaitCondVar: lock loose for condVar (0x"), std::string::npos)
      << unowned.err;
  EXPECT_NE(unowned.err.find(") not owned\n"), std::string::npos) << unowned.err;
}

TEST(CondVarMisuseTest, DestroyingACondVarWithWaitersEnds) {
  ChildResult r = RunInChild([] {
    MXUserExclLock *lock = MXUser_CreateExclLock("active", 0);
    MXUserCondVar *cv = MXUser_CreateCondVarExclLock(lock);
    std::atomic<bool> ready{false};
    std::thread([&] {
      MXUser_AcquireExclLock(lock);
      ready = true;
      MXUser_WaitCondVarExclLock(lock, cv);
    }).detach();
    while (!ready) {
      std::this_thread::yield();
    }
    MXUser_AcquireExclLock(lock);  // only once the waiter is waiting
    MXUser_DestroyCondVar(cv);
  });
  EXPECT_TRUE(r.ExitedWith(255));
  EXPECT_NE(r.err.find("MXUser_DestroyCondVar: Attempted destroy on active condVar (0x"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("; active)\n"), std::string::npos) << r.err;
}

}  // namespace
