// Lock files between processes: exclusion and sharing, hand-over to a
// waiter, mutual exclusion under contention, debris of dead processes,
// links planted where the lock's files go, and the device lock.

#include <brellis/fileIO.h>
#include <brellis/fileLock.h>

#include "file/fileLockInt.h"
#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using filetest::List;
using filetest::RunInChild;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A child that runs body and ends with its result, alongside the test; it
// never returns into the test runner, whatever body throws.
pid_t Spawn(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  return pid;
}

int Reap(pid_t pid) {
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool PollUntil(const std::function<bool()> &done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

std::vector<std::string> Members(const std::string &lockDir) {
  std::vector<std::string> members;
  for (const std::string &name : List(lockDir)) {
    if (name[0] == 'M') members.push_back(name);
  }
  return members;
}

// Tries a lock once in a child: 1 granted, 0 held by others, 2 an error.
int TryInChild(const std::string &path, bool readOnly) {
  return Reap(Spawn([&] {
    int err = -1;
    FileLockToken *token =
        FileLock_Lock(path.c_str(), readOnly, FILELOCK_TRYLOCK_WAIT, &err, nullptr);
    if (token != nullptr) {
      return FileLock_Unlock(token, nullptr, nullptr) ? 1 : 2;
    }
    return err == 0 ? 0 : 2;
  }));
}

TEST(FileLockTest, ExclusiveExcludesEveryoneSharedOnlyExclusive) {
  TempDir tmp;
  std::string path = tmp / "data";
  int err = -1;
  FileLockToken *x = FileLock_Lock(path.c_str(), false, 0, &err, nullptr);
  ASSERT_NE(x, nullptr);
  EXPECT_TRUE(FileLock_IsLocked(path.c_str(), &err, nullptr));
  EXPECT_EQ(Members(path + ".lck").size(), 1u);
  EXPECT_EQ(TryInChild(path, false), 0);
  EXPECT_EQ(TryInChild(path, true), 0);
  ASSERT_TRUE(FileLock_Unlock(x, &err, nullptr));
  EXPECT_FALSE(Exists(path + ".lck"));
  EXPECT_FALSE(FileLock_IsLocked(path.c_str(), &err, nullptr));
  EXPECT_EQ(err, 0);

  FileLockToken *s = FileLock_Lock(path.c_str(), true, 0, &err, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(TryInChild(path, true), 1);
  EXPECT_EQ(TryInChild(path, false), 0);
  EXPECT_TRUE(FileLock_Unlock(s, nullptr, nullptr));

  // A refusal says why in the caller's messages.
  x = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
  MsgList *msgs = nullptr;
  ASSERT_EQ(FileLock_Lock(path.c_str(), false, 0, &err, &msgs), nullptr);
  ASSERT_NE(msgs, nullptr);
  EXPECT_STREQ(msgs->id, "msg.fileLock.posix");
  MsgList_Free(msgs);
  FileLock_Unlock(x, nullptr, nullptr);
}

TEST(FileLockTest, WaiterGetsTheLockWhenTheHolderLetsGo) {
  TempDir tmp;
  std::string path = tmp / "data";
  FileLockToken *held = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
  ASSERT_NE(held, nullptr);
  pid_t waiter = Spawn([&] {
    FileLockToken *t = FileLock_Lock(path.c_str(), false, FILELOCK_INFINITE_WAIT, nullptr, nullptr);
    return t != nullptr && FileLock_Unlock(t, nullptr, nullptr) ? 0 : 1;
  });
  // The waiter has published its member and stands behind ours.
  EXPECT_TRUE(PollUntil([&] { return Members(path + ".lck").size() == 2; }));
  FileLock_Unlock(held, nullptr, nullptr);
  EXPECT_EQ(Reap(waiter), 0);
  EXPECT_FALSE(Exists(path + ".lck"));
}

// Without the lock the read-modify-write cycles of the children would lose
// updates.
TEST(FileLockTest, ContendingProcessesNeverOverlap) {
  TempDir tmp;
  std::string path = tmp / "counter";
  ASSERT_TRUE(WriteFile(path, "0"));
  constexpr int kChildren = 3;
  constexpr int kRounds = 3;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; c++) {
    children.push_back(Spawn([&] {
      for (int round = 0; round < kRounds; round++) {
        FileLockToken *t =
            FileLock_Lock(path.c_str(), false, FILELOCK_INFINITE_WAIT, nullptr, nullptr);
        if (t == nullptr) return 1;
        int value = std::stoi(ReadFile(path));
        std::this_thread::yield();
        if (!WriteFile(path, std::to_string(value + 1))) return 1;
        if (!FileLock_Unlock(t, nullptr, nullptr)) return 1;
      }
      return 0;
    }));
  }
  for (pid_t child : children) {
    EXPECT_EQ(Reap(child), 0);
  }
  EXPECT_EQ(ReadFile(path), std::to_string(kChildren * kRounds));
}

TEST(FileLockTest, DebrisOfDeadProcessesAndStrangersIsCleared) {
  TempDir tmp;
  std::string path = tmp / "data";
  std::string lockDir = path + ".lck";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = Spawn([&] {
    FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
    char c = t != nullptr ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    return 0;
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(TryInChild(path, false), 0);
  kill(holder, SIGKILL);
  Reap(holder);
  ASSERT_EQ(Members(lockDir).size(), 1u);

  // A member of the wrong size, a stranger's name and a link under a
  // member's name go too; the link's target stays.
  ASSERT_TRUE(WriteFile(lockDir + "/M00001.lck", "short"));
  ASSERT_TRUE(WriteFile(lockDir + "/stray", ""));
  ASSERT_TRUE(WriteFile(tmp / "victim", std::string(512, 'v')));
  ASSERT_EQ(symlink((tmp / "victim").c_str(), (lockDir + "/M00002.lck").c_str()), 0);

  int err = -1;
  FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, &err, nullptr);
  ASSERT_NE(t, nullptr) << err;
  EXPECT_EQ(List(lockDir).size(), 1u);
  EXPECT_EQ(ReadFile(tmp / "victim"), std::string(512, 'v'));
  FileLock_Unlock(t, nullptr, nullptr);
  close(ready[0]);
  close(ready[1]);
}

// A member file as another contender writes it, padded to its fixed size.
bool PlantMember(const std::string &lockDir, const std::string &name, const std::string &text) {
  std::string content = text;
  content.resize(512, '\0');
  return WriteFile(lockDir + "/" + name, content);
}

// Members of other hosts are waited for, never judged by local process
// ids; the older layout without start times is still understood; members
// with malformed fields are removed.
TEST(FileLockTest, ForeignAndOlderMembersCountMalformedOnesGo) {
  TempDir tmp;
  std::string path = tmp / "data";
  std::string lockDir = path + ".lck";
  ASSERT_EQ(mkdir(lockDir.c_str(), 0777), 0);
  pid_t dead = Spawn([] { return 0; });
  Reap(dead);
  std::string here = FileLockGetMachineID();
  ASSERT_TRUE(PlantMember(lockDir, "M00011.lck",
                          "otherhostAAAAAAA " + std::to_string(dead) + "-7(x) 1 X 7 lc=1"));
  int err = -1;
  EXPECT_EQ(FileLock_Lock(path.c_str(), false, 0, &err, nullptr), nullptr);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(unlink((lockDir + "/M00011.lck").c_str()), 0);

  // The older layout gives the start time only in its fifth field: the
  // same process id with another start time is a dead process's member.
  std::unique_ptr<char, decltype(&free)> own(FileLockProcessExecutionID(getpid()), free);
  std::string started = strchr(own.get(), '-') + 1;
  started.resize(started.find('('));
  for (const std::string &start : {started, std::string("1")}) {
    ASSERT_TRUE(PlantMember(lockDir, "M00012.lck",
                            here + " " + std::to_string(getpid()) + " 1 X " + start + " lc=1"));
    FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, &err, nullptr);
    EXPECT_EQ(t != nullptr, start == "1") << start;
    FileLock_Unlock(t, nullptr, nullptr);
    unlink((lockDir + "/M00012.lck").c_str());
    mkdir(lockDir.c_str(), 0777);
  }

  for (const char *fields : {" 1 Q 0", " one X 0", " 1 X 0 novalue", " 1 X"}) {
    ASSERT_TRUE(PlantMember(lockDir, "M00013.lck", here + " " + std::to_string(getpid()) + fields));
    FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, &err, nullptr);
    EXPECT_NE(t, nullptr) << fields;
    EXPECT_FALSE(Exists(lockDir + "/M00013.lck")) << fields;
    FileLock_Unlock(t, nullptr, nullptr);
    ASSERT_EQ(mkdir(lockDir.c_str(), 0777), 0);
  }
}

// Links planted where the lock directory goes are removed, never followed
// (a dangling one too); a regular file there is an older kind of lock.
TEST(FileLockTest, LinksInPlaceOfTheLockDirectoryAreReplaced) {
  TempDir tmp;
  std::string path = tmp / "data";
  std::string elsewhere = tmp / "elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  for (const std::string &target : {elsewhere, tmp / "missing"}) {
    ASSERT_EQ(symlink(target.c_str(), (path + ".lck").c_str()), 0);
    FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
    ASSERT_NE(t, nullptr) << target;
    struct stat st;
    EXPECT_TRUE(lstat((path + ".lck").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_TRUE(List(elsewhere).empty());
    FileLock_Unlock(t, nullptr, nullptr);
  }
  ASSERT_TRUE(WriteFile(path + ".lck", "old"));
  int err = 0;
  EXPECT_EQ(FileLock_Lock(path.c_str(), false, 0, &err, nullptr), nullptr);
  EXPECT_EQ(err, EBUSY);
}

// The lock directory gets its mode by chmod, whatever the umask, so every
// contender can enter; a failed wait leaves nothing behind.
TEST(FileLockTest, LockDirectoryIsOpenToAllAndTimeoutsLeaveNoMember) {
  TempDir tmp;
  std::string path = tmp / "data";
  mode_t old = umask(077);
  FileLockToken *t = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
  umask(old);
  ASSERT_NE(t, nullptr);
  struct stat st;
  ASSERT_EQ(stat((path + ".lck").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  ASSERT_EQ(stat((path + ".lck/" + Members(path + ".lck")[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  int err = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FileLock_Lock(path.c_str(), false, 300, &err, nullptr), nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(List(path + ".lck").size(), 1u);
  FileLock_Unlock(t, nullptr, nullptr);
}

// A member removed by someone else while we waited means nobody sees our
// claim: the lock is not held.
TEST(FileLockTest, MemberRemovedWhileWaitingMeansNoLock) {
  TempDir tmp;
  std::string path = tmp / "data";
  std::string lockDir = path + ".lck";
  FileLockToken *held = FileLock_Lock(path.c_str(), false, 0, nullptr, nullptr);
  ASSERT_NE(held, nullptr);
  std::string mine = Members(lockDir)[0];
  pid_t waiter = Spawn([&] {
    int err = -1;
    FileLockToken *t = FileLock_Lock(path.c_str(), false, FILELOCK_INFINITE_WAIT, &err, nullptr);
    return t == nullptr && err == 0 ? 0 : 1;
  });
  ASSERT_TRUE(PollUntil([&] { return Members(lockDir).size() == 2; }));
  for (const std::string &m : Members(lockDir)) {
    if (m != mine) unlink((lockDir + "/" + m).c_str());
  }
  FileLock_Unlock(held, nullptr, nullptr);
  EXPECT_EQ(Reap(waiter), 0);
}

// Where no lock can be written, a shared lock is granted without files and
// an exclusive one refused; "/x" is locked in "/", not in the current
// directory.
TEST(FileLockTest, UnwritablePlacesGiveImplicitSharedLocksOnly) {
  TempDir tmp;
  std::string ro = tmp / "ro";
  ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
  EXPECT_CHILD_PASSED(RunInChild([&] {
    CHILD_CHECK(testsupport::BecomeOrdinaryUser());
    CHILD_CHECK(chdir(tmp.path().c_str()) == 0);
    for (std::string path : {ro + "/data", std::string("/brellis-lock-test")}) {
      int err = -1;
      FileLockToken *s = FileLock_Lock(path.c_str(), true, 0, &err, nullptr);
      CHILD_CHECK(s != nullptr && err == 0);
      CHILD_CHECK(FileLock_Unlock(s, &err, nullptr));
      CHILD_CHECK(FileLock_Lock(path.c_str(), false, 0, &err, nullptr) == nullptr);
      CHILD_CHECK(err == EACCES);
    }
    CHILD_CHECK(access("brellis-lock-test.lck", F_OK) != 0);
    return 0;
  }));
}

TEST(FileLockTest, ExecutionIdsTellLiveFromDeadProcesses) {
  std::unique_ptr<char, decltype(&free)> own(FileLockProcessExecutionID(getpid()), free);
  std::string mine = own.get();
  EXPECT_TRUE(mine.starts_with(std::to_string(getpid()) + "-")) << mine;
  EXPECT_NE(mine.find('('), std::string::npos);
  EXPECT_TRUE(FileLockValidExecutionID(mine.c_str()));
  EXPECT_TRUE(FileLockValidExecutionID(std::to_string(getpid()).c_str()));
  // The same process id with another start time is a different process.
  EXPECT_FALSE(FileLockValidExecutionID((std::to_string(getpid()) + "-1(x)").c_str()));
  pid_t dead = Spawn([] { return 0; });
  Reap(dead);
  own.reset(FileLockProcessExecutionID(dead));
  EXPECT_EQ(own, nullptr);
  EXPECT_FALSE(FileLockValidExecutionID((std::to_string(dead) + "-5(x)").c_str()));
  EXPECT_TRUE(FileLockValidExecutionID("garbage"));  // unparsable: assumed alive

  std::string id = FileLockGetMachineID();
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(id.find('/'), std::string::npos);
  EXPECT_TRUE(FileLockMachineIDMatch(id.c_str(), id.c_str()));
  EXPECT_FALSE(FileLockMachineIDMatch(id.c_str(), ("uuid=" + id).c_str()));
}

TEST(FileLockDeviceTest, HeldByTheLivingTakenOverFromTheDead) {
  TempDir tmp;
  const char *dir = tmp.path().c_str();
  ASSERT_EQ(FileLockDeviceIn(dir, "ttyS0"), 1);
  EXPECT_EQ(ReadFile(tmp / "LCK..ttyS0"),
            std::to_string(getpid()) + " " + FileLockGetMachineID() + "\n");
  EXPECT_EQ(Reap(Spawn([&] { return FileLockDeviceIn(dir, "ttyS0"); })), 0);
  EXPECT_EQ(Reap(Spawn([&] { return FileUnlockDeviceIn(dir, "ttyS0") ? 1 : 0; })), 0);
  EXPECT_TRUE(FileUnlockDeviceIn(dir, "ttyS0"));
  EXPECT_EQ(List(tmp.path()).size(), 0u);

  pid_t dead = Spawn([] { return 0; });
  Reap(dead);
  ASSERT_TRUE(
      WriteFile(tmp / "LCK..ttyS1", std::to_string(dead) + " " + FileLockGetMachineID() + "\n"));
  EXPECT_EQ(FileLockDeviceIn(dir, "ttyS1"), 1);
  ASSERT_TRUE(WriteFile(tmp / "LCK..ttyS2", std::to_string(dead) + " elsewhere\n"));
  EXPECT_EQ(FileLockDeviceIn(dir, "ttyS2"), 0);

  // Links planted at the temporary name or the lock name are never written
  // through.
  ASSERT_TRUE(WriteFile(tmp / "victim", "keep"));
  char temp[64];
  snprintf(temp, sizeof temp, "%s/LTMP..ttyS3.t%05d", dir, static_cast<int>(getpid()));
  ASSERT_EQ(symlink((tmp / "victim").c_str(), temp), 0);
  EXPECT_EQ(FileLockDeviceIn(dir, "ttyS3"), 1);
  ASSERT_EQ(symlink((tmp / "victim").c_str(), (tmp / "LCK..ttyS4").c_str()), 0);
  EXPECT_EQ(FileLockDeviceIn(dir, "ttyS4"), -1);
  EXPECT_EQ(ReadFile(tmp / "victim"), "keep");
}

}  // namespace
