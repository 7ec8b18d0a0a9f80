// The locks' own mutex and read-write words under contention: threads that
// sleep in them must be woken, and none may get in while it is held.

#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int numThreads = 4;

// Holding a lock across a yield now and then makes the others spin out and
// go to sleep, so the sleeping and waking paths run, not only the spin.
void Dawdle(int i) {
  if (i % 64 == 0) {
    std::this_thread::yield();
  }
}

template <typename Body>
void RunThreads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; t++) {
    threads.emplace_back(body, t);
  }
  for (auto &t : threads) {
    t.join();
  }
}

TEST(MutexWordTest, SleepersAreWokenAndNeverOverlap) {
  MXUserExclLock *excl = MXUser_CreateExclLock("excl", 0);
  MXUserRecLock *rec = MXUser_CreateRecLock("rec", 0);
  int64_t exclCounter = 0;
  int64_t recCounter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  constexpr int rounds = 20000;
  RunThreads(numThreads, [&](int t) {
    for (int i = 0; i < rounds; i++) {
      if ((i + t) % 3 == 0) {
        while (!MXUser_TryAcquireExclLock(excl)) {
        }
      } else {
        MXUser_AcquireExclLock(excl);
      }
      if (inside.fetch_add(1) != 0) {
        overlapped = true;
      }
      exclCounter = exclCounter + 1;
      Dawdle(i);
      inside.fetch_sub(1);
      MXUser_ReleaseExclLock(excl);

      MXUser_AcquireRecLock(rec);
      MXUser_AcquireRecLock(rec);
      recCounter = recCounter + 1;
      MXUser_ReleaseRecLock(rec);
      Dawdle(i + 32);
      recCounter = recCounter + 1;  // still held once
      MXUser_ReleaseRecLock(rec);
    }
  });
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(exclCounter, int64_t{numThreads} * rounds);
  EXPECT_EQ(recCounter, int64_t{numThreads} * rounds * 2);
  MXUser_DestroyExclLock(excl);
  MXUser_DestroyRecLock(rec);
}

TEST(MutexWordTest, ReadersShareAndWritersExcludeUnderLoad) {
  MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0);
  int64_t a = 0;
  int64_t b = 0;
  std::atomic<int> readers{0};
  std::atomic<int> mostReaders{0};
  std::atomic<bool> torn{false};
  std::atomic<bool> writerWithOthers{false};
  constexpr int rounds = 10000;
  RunThreads(numThreads, [&](int t) {
    for (int i = 0; i < rounds; i++) {
      if ((i + t) % 4 == 0) {
        MXUser_AcquireForWrite(lock);
        if (readers.load() != 0) {
          writerWithOthers = true;
        }
        a = a + 1;
        Dawdle(i);
        b = b + 1;
        MXUser_ReleaseRWLock(lock);
      } else {
        MXUser_AcquireForRead(lock);
        int now = readers.fetch_add(1) + 1;
        int most = mostReaders.load();
        while (now > most && !mostReaders.compare_exchange_weak(most, now)) {
        }
        if (a != b) {
          torn = true;
        }
        Dawdle(i);
        readers.fetch_sub(1);
        MXUser_ReleaseRWLock(lock);
      }
    }
  });
  EXPECT_FALSE(torn.load());
  EXPECT_FALSE(writerWithOthers.load());
  EXPECT_EQ(a, int64_t{numThreads} * rounds / 4);
  EXPECT_EQ(a, b);
  // Readers overlap often enough in 30 000 read acquisitions with yields
  // inside that this only fails if they exclude each other.
  EXPECT_GT(mostReaders.load(), 1);
  MXUser_DestroyRWLock(lock);
}

TEST(MutexWordTest, CondVarHandsTurnsBackAndForthWithoutLosingOne) {
  MXUserExclLock *lock = MXUser_CreateExclLock("turns", 0);
  MXUserCondVar *turnTaken = MXUser_CreateCondVarExclLock(lock);
  int turn = 0;
  constexpr int rounds = 5000;
  RunThreads(2, [&](int t) {
    for (int i = 0; i < rounds; i++) {
      MXUser_AcquireExclLock(lock);
      while (turn % 2 != t) {
        MXUser_WaitCondVarExclLock(lock, turnTaken);
      }
      turn++;
      MXUser_SignalCondVar(turnTaken);
      MXUser_ReleaseExclLock(lock);
    }
  });
  EXPECT_EQ(turn, 2 * rounds);
  MXUser_DestroyCondVar(turnTaken);
  MXUser_DestroyExclLock(lock);
}

TEST(MutexWordTest, SignalledTimedWaitersReportTheWakeUpAndKeepErrno) {
  MXUserRecLock *lock = MXUser_CreateRecLock("queue", 0);
  MXUserCondVar *nonEmpty = MXUser_CreateCondVarRecLock(lock);
  int queued = 0;
  int taken = 0;
  std::atomic<int> wokenByTimeout{0};
  constexpr int items = 3000;
  std::thread producer([&] {
    for (int i = 0; i < items; i++) {
      MXUser_AcquireRecLock(lock);
      queued++;
      MXUser_SignalCondVar(nonEmpty);
      MXUser_ReleaseRecLock(lock);
      Dawdle(i);
    }
  });
  RunThreads(3, [&](int) {
    errno = 4242;
    for (;;) {
      MXUser_AcquireRecLock(lock);
      MXUser_AcquireRecLock(lock);  // the wait suspends the whole recursion
      while (queued == 0 && taken < items) {
        // Long enough never to expire in a healthy run, short enough that a
        // lost wake-up would not hang the test.
        if (!MXUser_TimedWaitCondVarRecLock(lock, nonEmpty, 2000)) {
          wokenByTimeout++;
        }
      }
      bool done = taken == items;
      if (!done) {
        queued--;
        taken++;
        if (taken == items) {
          MXUser_BroadcastCondVar(nonEmpty);  // let the other consumers go
        }
      }
      MXUser_ReleaseRecLock(lock);
      MXUser_ReleaseRecLock(lock);
      if (done) {
        break;
      }
    }
    EXPECT_EQ(errno, 4242);
  });
  producer.join();
  EXPECT_EQ(taken, items);
  EXPECT_EQ(queued, 0);
  EXPECT_EQ(wokenByTimeout.load(), 0);
  MXUser_DestroyCondVar(nonEmpty);
  MXUser_DestroyRecLock(lock);
}

}  // namespace
