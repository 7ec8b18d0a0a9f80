#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include "childProcess.h"
#include "otherThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

// A stand-in external lock: a counted owner over std::recursive_mutex.
struct MX_MutexRec {
  std::recursive_mutex mutex;
  std::atomic<std::thread::id> owner{};
  int depth = 0;
};

namespace {

using locktest::ChildResult;
using locktest::RunInChild;
using locktest::TryFromOtherThread;

TEST(RecLockTest, OwnerRecursesOthersWaitForTheLastRelease) {
  MXUserRecLock *lock = MXUser_CreateRecLock("rec", 0xF0007100);
  ASSERT_NE(lock, nullptr);
  MXUser_AcquireRecLock(lock);
  EXPECT_TRUE(MXUser_TryAcquireRecLock(lock));
  MXUser_AcquireRecLock(lock);
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_FALSE(TryFromOtherThread(lock));  // returns without blocking
  MXUser_ReleaseRecLock(lock);
  MXUser_ReleaseRecLock(lock);
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseRecLock(lock);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_TRUE(TryFromOtherThread(lock));
  EXPECT_FALSE(MXUser_ControlRecLock(lock, 1));
  MXUser_DestroyRecLock(lock);
  MXUser_DestroyRecLock(nullptr);
}

TEST(RecLockTest, SingletonIsCreatedOnce) {
  MXUserRecLock *slot = nullptr;
  MXUserRecLock *a = MXUser_CreateSingletonRecLock(&slot, "preferenceLock", 0xF0007100);
  EXPECT_EQ(a, slot);
  EXPECT_EQ(MXUser_CreateSingletonRecLock(&slot, "preferenceLock", 0xF0007100), a);
  MXUserRecLock *silentSlot = nullptr;
  MXUserRecLock *b = MXUser_CreateSingletonRecLockSilent(&silentSlot, "logLock", 0xFF000001);
  EXPECT_EQ(b, silentSlot);
  EXPECT_NE(a, b);
  MXUser_AcquireRecLock(b);
  MXUser_AcquireRecLock(b);
  MXUser_ReleaseRecLock(b);
  MXUser_ReleaseRecLock(b);
}

TEST(RecLockTest, DumpDescribesTheLock) {
  ChildResult r = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock(nullptr, 0xFEFFFFFF);
    MXUser_AcquireRecLock(lock);
    MXUser_AcquireRecLock(lock);
    MXUser_DumpRecLock(lock);
  });
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_TRUE(std::regex_search(r.log, std::regex("MXUserDumpRecLock: Recursive lock @ ")))
      << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tsignature 0x2[0-9A-F]{7}\n"))) << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tname R-(0x)?[0-9a-fA-F]+\n"))) << r.log;
  EXPECT_TRUE(r.LogHas("\trank 0xFEFFFFFF\n")) << r.log;
  EXPECT_TRUE(r.LogHas("\treference count 2\n")) << r.log;  // the dump holds one
  EXPECT_TRUE(r.LogHas("\tcount 2\n")) << r.log;
  EXPECT_TRUE(r.LogHas("\taddress of owner data ")) << r.log;
}

std::atomic<bool> destroyFromHook{false};
MXUserRecLock *boundLock;

void HookLock(MX_MutexRec *m) {
  m->mutex.lock();
  m->owner = std::this_thread::get_id();
  m->depth++;
  if (destroyFromHook) {
    MXUser_DestroyRecLock(boundLock);
  }
}
void HookUnlock(MX_MutexRec *m) {
  if (--m->depth == 0) {
    m->owner = std::thread::id();
  }
  m->mutex.unlock();
}
bool HookTryLock(MX_MutexRec *m) {
  if (!m->mutex.try_lock()) {
    return false;
  }
  m->owner = std::this_thread::get_id();
  m->depth++;
  return true;
}
bool HookIsLocked(const MX_MutexRec *m) {
  return m->owner.load() == std::this_thread::get_id();
}
bool OtherTryLock(MX_MutexRec *) {
  return false;
}

TEST(RecLockTest, BoundLocksDelegateToTheExternalLock) {
  MX_MutexRec external;
  EXPECT_EQ(MXUser_BindMXMutexRec(&external, 5), nullptr);  // no hooks yet
  MXUser_InstallMxHooks(HookLock, HookUnlock, HookTryLock, HookIsLocked);
  MXUser_InstallMxHooks(HookLock, HookUnlock, OtherTryLock, HookIsLocked);  // ignored
  EXPECT_EQ(MXUserMX_TryLockRec, HookTryLock);

  MXUserRecLock *lock = MXUser_BindMXMutexRec(&external, 5);
  ASSERT_NE(lock, nullptr);
  MXUser_AcquireRecLock(lock);
  EXPECT_EQ(external.depth, 1);
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_TRUE(MXUser_TryAcquireRecLock(lock));
  EXPECT_EQ(external.depth, 2);
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseRecLock(lock);
  MXUser_ReleaseRecLock(lock);
  EXPECT_EQ(external.depth, 0);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingRecLock(lock));

  ChildResult r = RunInChild([&] {
    MXUser_DumpRecLock(lock);
    // Destroyed while an acquisition runs: the acquisition reports it.
    boundLock = lock;
    destroyFromHook = true;
    MXUser_AcquireRecLock(lock);
  });
  EXPECT_TRUE(r.ExitedWith(255));
  EXPECT_NE(r.err.find("MXUser_AcquireRecLock: Zero reference count upon exit\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tname MX_(0x)?[0-9a-fA-F]+\n"))) << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("\tvmmLock (0x)?[0-9a-fA-F]+\n"))) << r.log;
  MXUser_DestroyRecLock(lock);
}

TEST(RecLockMisuseTest, DestroyingAHeldLockEnds) {
  ChildResult r = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("held", 7);
    MXUser_AcquireRecLock(lock);
    MXUser_DestroyRecLock(lock);
  });
  EXPECT_TRUE(r.ExitedWith(255));
  EXPECT_NE(r.err.find("MXUserCondDestroyRecLock: Destroy of an acquired recursive lock\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(r.LogHas("\tname held\n")) << r.log;
  EXPECT_TRUE(r.LogHas("\trank 0x7\n")) << r.log;
  EXPECT_TRUE(r.LogHas("\tcount 1\n")) << r.log;
}

// Polls until the thread tid sleeps (blocked on a lock), for up to ten seconds.
bool WaitUntilAsleep(pid_t tid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S') {
      return true;
    }
    std::this_thread::yield();
  }
  return false;
}

void SpinUntil(const std::atomic<bool> &flag) {
  while (!flag.load()) {
    std::this_thread::yield();
  }
}

TEST(RecLockMisuseTest, DestroyAgainstOtherThreadsHoldersAndWaiters) {
  // Held by another thread, with nobody on the way in: the destroy ends.
  ChildResult held = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("elsewhere", 7);
    std::atomic<bool> holding{false};
    std::thread holder([&] {
      MXUser_AcquireRecLock(lock);
      holding = true;
      SpinUntil(std::atomic<bool>{false});
    });
    SpinUntil(holding);
    MXUser_DestroyRecLock(lock);
    _exit(5);  // not reached
  });
  EXPECT_TRUE(held.ExitedWith(255));
  EXPECT_NE(held.err.find("MXUserCondDestroyRecLock: Destroy of an acquired recursive lock\n"),
            std::string::npos)
      << held.err;
  EXPECT_TRUE(held.LogHas("\treference count 0\n")) << held.log;

  // A thread waiting for the lock keeps it alive through the destroy and,
  // once it gets the lock, reports what happened meanwhile.
  ChildResult waited = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("contended", 7);
    std::atomic<bool> holding{false};
    std::atomic<bool> letGo{false};
    std::atomic<pid_t> waiterTid{0};
    std::thread holder([&] {
      MXUser_AcquireRecLock(lock);
      holding = true;
      SpinUntil(letGo);
      MXUser_ReleaseRecLock(lock);
    });
    SpinUntil(holding);
    std::thread waiter([&] {
      waiterTid = static_cast<pid_t>(syscall(SYS_gettid));
      MXUser_AcquireRecLock(lock);
      _exit(3);  // not reached: the acquisition reports the destroy
    });
    while (waiterTid.load() == 0) {
      std::this_thread::yield();
    }
    if (!WaitUntilAsleep(waiterTid.load())) {
      _exit(4);
    }
    MXUser_DestroyRecLock(lock);  // left to the waiter
    letGo = true;
    holder.join();
    waiter.join();
  });
  EXPECT_TRUE(waited.ExitedWith(255)) << waited.status;
  EXPECT_NE(waited.err.find("MXUser_AcquireRecLock: Zero reference count upon exit\n"),
            std::string::npos)
      << waited.err;
  EXPECT_TRUE(waited.LogHas("\tname contended\n")) << waited.log;
}

TEST(RecLockMisuseTest, ReleaseByANonOwnerEnds) {
  ChildResult unacquired = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("never", 7);
    MXUser_ReleaseRecLock(lock);
  });
  EXPECT_TRUE(unacquired.ExitedWith(255));
  EXPECT_NE(unacquired.err.find(
                "MXUser_ReleaseRecLock: Non-owner release of an unacquired recursive lock\n"),
            std::string::npos)
      << unacquired.err;
  EXPECT_TRUE(unacquired.LogHas("MXUserDumpRecLock: Recursive lock @ ")) << unacquired.log;

  ChildResult acquired = RunInChild([] {
    MXUserRecLock *lock = MXUser_CreateRecLock("other", 7);
    MXUser_AcquireRecLock(lock);
    std::thread([lock] { MXUser_ReleaseRecLock(lock); }).join();
  });
  EXPECT_TRUE(acquired.ExitedWith(255));
  EXPECT_NE(
      acquired.err.find("MXUser_ReleaseRecLock: Non-owner release of an acquired recursive lock\n"),
      std::string::npos)
      << acquired.err;
}

}  // namespace
