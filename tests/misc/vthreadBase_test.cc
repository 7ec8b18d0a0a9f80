#include <brellis/log.h>
#include <brellis/vthreadBase.h>

#include <gtest/gtest.h>
#include <support/tempDir.h>
#include <support/together.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// The process's very first request for an identity, made before main.
struct FirstAsker {
  uint32_t id;
  std::string name;
  FirstAsker() : id(VThreadBase_CurID()), name(VThreadBase_CurName()) {}
};
const FirstAsker firstAsker;

// Runs body in a child process whose log goes to a file; returns the log.
std::string LogOfChild(const std::function<void()> &body) {
  testsupport::TempDir dir;
  std::string path = dir / "child.log";
  pid_t pid = fork();
  if (pid == 0) {
    Log_InitWithFile(path.c_str(), "vthreadBaseTest");
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return testsupport::ReadFile(path);
}

TEST(VThreadBaseTest, TheFirstThreadToAskGetsIdentityZero) {
  EXPECT_EQ(firstAsker.id, 0u);
  EXPECT_EQ(firstAsker.name, "vthread-0");
  EXPECT_EQ(VThreadBase_CurID(), 0u);  // the main thread keeps it
}

TEST(VThreadBaseTest, IdentitiesOfEndedThreadsAreReused) {
  uint32_t first = 0;
  std::thread([&] { first = VThreadBase_CurID(); }).join();
  uint32_t second = 0;
  std::string name;
  std::thread([&] {
    second = VThreadBase_CurID();
    name = VThreadBase_CurName();
  }).join();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 1u);
  EXPECT_EQ(name, "vthread-1");
}

TEST(VThreadBaseTest, ConcurrentThreadsGetDenseDistinctIdentities) {
  for (int round = 0; round < 3; round++) {
    std::vector<uint32_t> ids = testsupport::RunTogether(6, [](int) {
      uint32_t id = VThreadBase_CurID();
      EXPECT_EQ(VThreadBase_CurID(), id);  // stable within the thread
      return id;
    });
    std::set<uint32_t> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique, (std::set<uint32_t>{1, 2, 3, 4, 5, 6})) << "round " << round;
  }
}

TEST(VThreadBaseTest, NamesKeepAtMost31Bytes) {
  std::thread([] {
    VThreadBase_SetName("0123456789012345678901234567890123456789");
    EXPECT_STREQ(VThreadBase_CurName(), "0123456789012345678901234567890");
    VThreadBase_SetName("short");
    EXPECT_STREQ(VThreadBase_CurName(), "short");
    VThreadBase_SetName("");
    EXPECT_STREQ(VThreadBase_CurName(), "");
  }).join();
}

TEST(VThreadBaseTest, ForgetSelfFreesTheIdentity) {
  std::thread([] {
    uint32_t id = VThreadBase_CurID();
    VThreadBase_SetName("named");
    VThreadBase_ForgetSelf();
    VThreadBase_ForgetSelf();  // nothing left to forget
    EXPECT_EQ(VThreadBase_CurID(), id);
    EXPECT_EQ(std::string(VThreadBase_CurName()), "vthread-" + std::to_string(id));
  }).join();
}

TEST(VThreadBaseTest, SignalNestingCountsOnlyOnAnExistingRecord) {
  std::thread([] {
    // No record yet: nothing is made, nothing is counted.
    VThreadBase_SetIsInSignal(0, true);
    EXPECT_FALSE(VThreadBase_IsInSignal());
    uint32_t id = VThreadBase_CurID();
    EXPECT_FALSE(VThreadBase_IsInSignal());
    VThreadBase_SetIsInSignal(id, true);
    VThreadBase_SetIsInSignal(id, true);
    EXPECT_TRUE(VThreadBase_IsInSignal());
    VThreadBase_SetIsInSignal(id, false);
    EXPECT_TRUE(VThreadBase_IsInSignal());
    VThreadBase_SetIsInSignal(id, false);
    EXPECT_FALSE(VThreadBase_IsInSignal());
    VThreadBase_SetIsInSignal(id, false);  // never below zero
    VThreadBase_SetIsInSignal(id, true);
    EXPECT_TRUE(VThreadBase_IsInSignal());
  }).join();
}

TEST(VThreadBaseTest, InstallingASecondRecordLogsAndKeepsTheFirst) {
  std::string log = LogOfChild([] {
    std::thread([] {
      auto *first = static_cast<VThreadBaseData *>(calloc(1, sizeof(VThreadBaseData)));
      first->id = 40;
      strcpy(first->name, "installed");
      VThreadBaseData second = {};
      second.id = 41;
      strcpy(second.name, "intruder");
      if (!VThreadBase_InitWithTLS(first) || VThreadBase_InitWithTLS(&second) ||
          VThreadBase_CurID() != 40 || strcmp(VThreadBase_CurName(), "installed") != 0) {
        _exit(3);
      }
    }).join();
  });
  EXPECT_NE(log.find("VThreadBase reinitialization, old: 40 installed, new: 41 intruder.\n"),
            std::string::npos)
      << log;
}

// The report is made once per process, so the case runs in a fresh one.
TEST(VThreadBaseDeathTest, MultipleThreadsAreReportedOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool once = false;
        {
          testsupport::TempDir dir;
          std::string path = dir / "child.log";
          Log_InitWithFile(path.c_str(), "vthreadBaseTest");
          VThreadBase_CurID();
          for (int i = 0; i < 3; i++) {
            std::thread([] { VThreadBase_CurID(); }).join();
          }
          std::string log = testsupport::ReadFile(path);
          const std::string line = "VThreadBase detected multiple threads.\n";
          size_t first = log.find(line);
          once = first != std::string::npos && log.find(line, first + 1) == std::string::npos;
          fputs(log.c_str(), stderr);
        }
        _exit(once ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "VThreadBase detected multiple threads");
}

}  // namespace
