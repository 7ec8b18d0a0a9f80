#include "dumpSync.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "support/childProcess.h"
#include "support/tempDir.h"

namespace {

using namespace std::chrono_literals;

bool Readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// The worker comes and goes: a sync submitted just as it decides to leave
// must still be done and reported, and it must leave again when idle.
TEST(DumpSyncTest, WorkerLeavesWhenIdleAndEverySyncIsReported) {
  testsupport::TempDir tmp;
  int fd = open((tmp.path() + "/dump").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  DumpSyncer syncer(1ms);
  EXPECT_FALSE(syncer.WorkerRunning());  // no thread before the first sync
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pause(0, 2000);
  for (int32_t slot = 0; slot < 200; slot++) {
    syncer.Submit(slot, fd, tmp.path());
    syncer.WaitIdle();
    ASSERT_TRUE(Readable(syncer.NotifyFd())) << slot;
    std::vector<DumpSyncer::Done> done = syncer.TakeDone();
    ASSERT_EQ(done.size(), 1u) << slot;
    EXPECT_EQ(done[0].slot, slot);
    EXPECT_EQ(done[0].error, 0);
    EXPECT_FALSE(Readable(syncer.NotifyFd()));
    // Around the linger, so that some submits meet a worker on its way out.
    std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
  }
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (syncer.WorkerRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_FALSE(syncer.WorkerRunning());
  close(fd);
}

TEST(DumpSyncTest, FailuresAreReportedPerSlotAndTheRestStillSynced) {
  testsupport::TempDir tmp;
  int fd = open((tmp.path() + "/dump").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  int pipes[2];
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pipe(pipes), 0);
  std::set<int32_t> reported;
  {
    DumpSyncer syncer(0ms);  // a worker per sync, at most
    syncer.Submit(1, fd, tmp.path());
    syncer.Submit(2, pipes[1], tmp.path());              // a pipe cannot be synced
    syncer.Submit(3, fd, tmp.path() + "/no/such/dir");  // nor a missing directory
    syncer.Submit(4, fd, tmp.path());
    syncer.WaitIdle();
    for (const DumpSyncer::Done &d : syncer.TakeDone()) {
      reported.insert(d.slot);
      EXPECT_EQ(d.error != 0, d.slot == 2 || d.slot == 3) << d.slot;
    }
  }
  EXPECT_EQ(reported, (std::set<int32_t>{1, 2, 3, 4}));
  close(fd);
  close(pipes[0]);
  close(pipes[1]);
}

// A process at its thread limit still gets its dumps synced and answered.
TEST(DumpSyncTest, WithoutAThreadTheSyncIsDoneInPlace) {
  testsupport::TempDir tmp;
  int fd = open((tmp.path() + "/dump").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  testsupport::ChildResult r = testsupport::RunInChild([fd](const std::string &) {
    struct rlimit none = {0, 0};
    if (!testsupport::BecomeOrdinaryUser() || setrlimit(RLIMIT_NPROC, &none) != 0) {
      return 3;
    }
    try {
      std::thread([] {}).join();
      return 77;  // the limit does not hold here
    } catch (const std::system_error &) {
    }
    DumpSyncer syncer;
    syncer.Submit(7, fd, "/");
    std::vector<DumpSyncer::Done> done = syncer.TakeDone();
    return done.size() == 1 && done[0].slot == 7 && done[0].error == 0 ? 0 : 1;
  });
  close(fd);
  if (r.ExitedWith(77)) {
    GTEST_SKIP() << "thread creation is not limited for this user";
  }
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
}

}  // namespace
