// The panic path, in forked children: what reaches standard error and the
// log, the exit status, a panic inside a panic, and two threads panicking
// at once.

#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/panic.h>

#include <support/childProcess.h>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

using testsupport::ChildResult;

ChildResult PanicInChild(void (*body)()) {
  return testsupport::RunInChild([body](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "panicTest");
    Panic_SetCoreDumpOnPanic(false);
    body();
    return 0;
  });
}

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    n++;
  }
  return n;
}

TEST(PanicTest, OnePanicReportsEverywhereAndEndsWith255) {
  ChildResult r = PanicInChild([] {
    Msg_Append("@&!*@*@(msg.test.earlier)An earlier problem.\n");
    Panic("NOT_REACHED %s:%d\n", "here.cc", 12);
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status;
  EXPECT_EQ(r.err.rfind("NOT_REACHED here.cc:12\n", 0), 0u) << r.err;
  // The post: the earlier message, a blank line, the reason again, where
  // the log is, and the closing sentence, under the error title.
  EXPECT_NE(r.err.find("brellis-tarnwell Error:\nAn earlier problem.\n\nbrellis-tarnwell unrecoverable error: ("),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(")\nNOT_REACHED here.cc:12\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("A log file is available in \""), std::string::npos);
  EXPECT_NE(r.err.find("You can request support.  \nWe will respond on the basis of your support "
                       "entitlement.\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(r.LogHas("NOT_REACHED here.cc:12\n"));
  EXPECT_TRUE(r.LogHas("Backtrace:\n"));
  EXPECT_TRUE(r.LogHas("SymBacktrace[0]"));
  EXPECT_TRUE(r.LogHas("Msg_Post: Error\n"));
  EXPECT_TRUE(r.LogHas("Exiting\n"));
  EXPECT_FALSE(r.LogHas("Panic loop"));
}

TEST(PanicTest, ALongReasonIsCutAt1023Bytes) {
  ChildResult r = PanicInChild([] {
    Panic_SetPostMessage(false);
    Panic("%s", std::string(3000, 'x').c_str());
  });
  EXPECT_TRUE(r.ExitedWith(255));
  EXPECT_EQ(r.err, std::string(1023, 'x'));
}

TEST(PanicTest, APanicInsideThePanicPathIsAPanicLoop) {
  ChildResult r = PanicInChild([] {
    MsgCallback callbacks = {};
    callbacks.forceUnblock = [] { Panic("second %d\n", 2); };
    Msg_SetThreadCallbacks(&callbacks);
    Panic("first\n");
  });
  EXPECT_TRUE(r.ExitedWith(1)) << r.status;
  EXPECT_EQ(r.err, "first\nsecond 2\nPanic loop\n");
  EXPECT_TRUE(r.LogHas("second 2\n"));
  EXPECT_EQ(Count(r.log, "Panic loop\n"), 1u);
  EXPECT_FALSE(r.LogHas("Exiting"));
}

pid_t ThreadState(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  return close == std::string::npos || close + 2 >= all.size() ? 0 : all[close + 2];
}

std::atomic<pid_t> secondTid{0};

TEST(PanicTest, AConcurrentPanicWaitsForTheFirstToFinish) {
  ChildResult r = PanicInChild([] {
    MsgCallback callbacks = {};
    // While the first panic is about to post, a second thread panics; the
    // first waits until that one sleeps, then finishes its path.
    callbacks.forceUnblock = [] {
      std::thread([] {
        secondTid = static_cast<pid_t>(syscall(SYS_gettid));
        Panic("other thread\n");
      }).detach();
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (std::chrono::steady_clock::now() < deadline &&
             (secondTid == 0 || ThreadState(secondTid) != 'S')) {
        std::this_thread::yield();
      }
    };
    Msg_SetThreadCallbacks(&callbacks);
    Panic("first thread\n");
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status << r.err;
  EXPECT_NE(r.err.find("other thread\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Panic loop"), std::string::npos) << r.err;
  EXPECT_TRUE(r.LogHas("Exiting\n"));
}

TEST(PanicTest, TheCoreDumpStepReportsAZeroLimit) {
  ChildResult r = PanicInChild([] {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    Panic_SetCoreDumpOnPanic(true);
    Panic_SetPostMessage(false);
    Panic("dump\n");
  });
  EXPECT_TRUE(r.ExitedWith(255));
  EXPECT_TRUE(r.LogHas("The core dump limit is set to ZERO; no core dump should be expected\n"));
}

TEST(PanicSettingsTest, SettersKeepWhatTheyAreGiven) {
  Panic_SetBreakOnPanic(true);
  EXPECT_TRUE(Panic_GetBreakOnPanic());
  Panic_SetBreakOnPanic(false);
  EXPECT_FALSE(Panic_GetBreakOnPanic());
  std::string name = "core.1";
  Panic_SetCoreDumpFileName(name.c_str());
  name[0] = 'x';
  EXPECT_STREQ(Panic_GetCoreDumpFileName(), "core.1");
  Panic_SetCoreDumpFileName(nullptr);
  EXPECT_EQ(Panic_GetCoreDumpFileName(), nullptr);
  Panic_SetCoreDumpFlags(5);
  EXPECT_EQ(Panic_GetCoreDumpFlags(), 5);
  EXPECT_TRUE(Panic_ReserveAddressSpace());
}

}  // namespace
