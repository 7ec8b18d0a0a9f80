// Lines logged by a signal handler while the log's lock is held: by the
// interrupted code of the same thread, or by another thread that waits for
// the handler. Either way the handler must not wait, and its line must not
// be lost.

#include "log/logChild.h"

#include <brellis/sig.h>
#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

void LogFromHandler(int32_t, void *, void *, void *) {
  Log_Info("line from the handler\n");
}

TEST(LogInSignal, AHandlerWritesToStandardErrorWhenTheLockIsHeld) {
  logtest::ChildResult r = logtest::InChild([](const std::string &logPath) {
    CHILD_CHECK(Log_InitWithFile(logPath.c_str(), "sig"));
    CHILD_CHECK(Sig_Init());
    Sig_Callback(SIGUSR1, SIG_TYPE_IMMEDIATE, LogFromHandler, nullptr);
    MXUser_AcquireRecLock(LogLock());
    raise(SIGUSR1);
    MXUser_ReleaseRecLock(LogLock());

    // The holder lets go only once the handler has logged: a handler that
    // waited for the lock would never get it.
    std::atomic<int> step{0};
    bool handlerDone = false;
    std::thread holder([&] {
      MXUser_AcquireRecLock(LogLock());
      step = 1;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (step.load() != 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      handlerDone = step.load() == 2;
      MXUser_ReleaseRecLock(LogLock());
    });
    while (step.load() != 1) {
      std::this_thread::yield();
    }
    raise(SIGUSR1);
    step = 2;
    holder.join();
    CHILD_CHECK(handlerDone);
    Log_Info("after\n");
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.status << r.err;
  size_t first = r.err.find("line from the handler\n");
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line from the handler\n", first + 1), std::string::npos) << r.err;
  // Not also stored for the file, where it would land out of order.
  EXPECT_FALSE(r.LogHas("line from the handler")) << r.log;
  EXPECT_TRUE(r.LogHas("after\n")) << r.log;
}

}  // namespace
