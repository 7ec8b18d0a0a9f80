// The signal dispatcher, driven by real signals in forked children (it
// takes over the process's handlers), and the core-dump region table.

#include <gtest/gtest.h>

#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/sig.h>
#include <brellis/vthreadBase.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <string>

#include "sig/sigInt.h"
#include "support/childProcess.h"
#include "support/tempDir.h"

namespace {

using testsupport::ChildResult;
using testsupport::RunInChild;

// Runs body in a child with a log and the dispatcher installed; a panic
// there neither dumps core nor posts.
ChildResult InDispatcherChild(const std::function<int()> &body) {
  return RunInChild([&](const std::string &logPath) {
    if (!Log_InitWithFile(logPath.c_str(), "sig")) {
      return 90;
    }
    Panic_SetCoreDumpOnPanic(false);
    Panic_SetPostMessage(false);
    if (!Sig_Init()) {
      return 91;
    }
    return body();
  });
}

// A page any access to which faults.
volatile char *FaultingPage() {
  void *p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return static_cast<volatile char *>(p);
}

bool Readable(int fd) {
  struct pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, 0) == 1;
}

struct Seen {
  int calls = 0;
  int order = 0;  // 1 when the previous handler ran before the callback
  bool hadContext = false;
  int infoSigno = 0;
  void *clientData = nullptr;
};
Seen seen;
std::atomic<int> previousCalls{0};

void Record(int32_t signo, void *info, void *context, void *clientData) {
  seen.calls++;
  seen.order = previousCalls.load() == 1 ? 1 : 0;
  seen.hadContext = context != nullptr;
  seen.infoSigno = info != nullptr ? static_cast<siginfo_t *>(info)->si_signo : 0;
  seen.clientData = clientData;
  (void)signo;
  errno = EIO;  // the dispatcher must hand the interrupted code its own
}

void Previous(int, siginfo_t *, void *) {
  previousCalls++;
}

TEST(SigDispatch, ImmediateCallbackRunsInSignalContextAfterThePreviousHandler) {
  ChildResult r = RunInChild([](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "sig");
    struct sigaction prev = {};
    prev.sa_sigaction = Previous;
    prev.sa_flags = SA_SIGINFO;
    sigaction(SIGUSR1, &prev, nullptr);
    Sig_Init();
    int tag = 0;
    Sig_Callback(SIGUSR1, SIG_TYPE_IMMEDIATE | SIG_TYPE_CHAIN, Record, &tag);
    errno = 1234;
    raise(SIGUSR1);
    int kept = errno;
    if (seen.calls != 1 || seen.order != 1 || !seen.hadContext || seen.infoSigno != SIGUSR1 ||
        seen.clientData != &tag) {
      return 1;
    }
    return kept == 1234 ? 0 : 2;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err << r.log;
}

TEST(SigDispatch, QueuedSignalsWaitInThePipeUntilReadAndUntilContinued) {
  ChildResult r = InDispatcherChild([] {
    Sig_Callback(SIGUSR2, SIG_TYPE_QUEUED, Record, nullptr);
    int fd = Sig_QueueFd();
    raise(SIGUSR2);
    raise(SIGUSR2);
    if (seen.calls != 0 || fd < 0 || !Readable(fd)) {
      return 1;
    }
    SigReadQueue();
    if (seen.calls != 1 || seen.hadContext || seen.infoSigno != SIGUSR2) {
      return 2;
    }
    SigReadQueue();  // busy: the second delivery goes back into the pipe
    if (seen.calls != 1 || !Readable(fd)) {
      return 3;
    }
    Sig_Continue(SIGUSR2);
    SigReadQueue();
    if (seen.calls != 2 || Readable(fd)) {
      return 4;
    }
    SigReadQueue();  // an empty pipe returns at once
    // A delivery still queued when its signal goes back to default
    // handling is dropped, not run.
    Sig_Continue(SIGUSR2);
    raise(SIGUSR2);
    Sig_Callback(SIGUSR2, SIG_TYPE_DEFAULT, nullptr, nullptr);
    SigReadQueue();
    Sig_IgnoreHandler(SIGUSR2, nullptr, nullptr, const_cast<char *>("test"));
    Sig_Exit();
    return seen.calls == 2 && Sig_QueueFd() == -1 ? 0 : 5;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err << r.log;
  EXPECT_TRUE(r.LogHas("Dropping unhandled signal 12.\n")) << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("Ignored signal 12 -- tid \\d+ \\(test\\)\\.\n")))
      << r.log;
}

TEST(SigDispatch, TerminationSignalsEndTheProcessAsThemselves) {
  ChildResult r = InDispatcherChild([] {
    raise(SIGTERM);
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(r.status)) << r.status << r.err;
  EXPECT_EQ(WTERMSIG(r.status), SIGTERM);
  EXPECT_TRUE(std::regex_search(r.log, std::regex("Caught signal 15 -- tid \\d+ \\(rip "
                                                  "0x[0-9a-f]{16}\\)\n")))
      << r.log;
}

TEST(SigDispatch, AStoppedProcessContinuesWithTheDispatcherBack) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, which the kernel does not keep from stopping
    Sig_Init();
    raise(SIGTSTP);
    struct sigaction now;
    sigaction(SIGTSTP, nullptr, &now);
    _exit((now.sa_flags & SA_SIGINFO) != 0 ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  EXPECT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) << status;
  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

void CrashMark(int32_t signo, void *, void *context, void *clientData) {
  char line[64];
  int n = snprintf(line, sizeof line, "crash callback %d %d %d\n", signo, context != nullptr,
                   clientData == nullptr);
  (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
}

TEST(SigDispatch, AFaultIsReportedWithRegistersStackAndBacktraceThenPanics) {
  ChildResult r = InDispatcherChild([] {
    Sig_SetCrashCallback(CrashMark);
    FaultingPage()[8] = 1;
    return 0;
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status << r.err;
  EXPECT_NE(r.err.find("crash callback 11 1 1\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Unexpected signal: 11.\n"), std::string::npos) << r.err;
  EXPECT_TRUE(std::regex_search(r.log, std::regex("Caught signal 11 -- tid \\d+\n"))) << r.log;
  const std::string word = "0x[0-9a-f]{16}";
  EXPECT_TRUE(std::regex_search(
      r.log, std::regex("SIGNAL: rip " + word + " rsp " + word + " rbp " + word + "\n")))
      << r.log;
  EXPECT_TRUE(
      std::regex_search(r.log, std::regex("SIGNAL: rax " + word + " rbx " + word + " rcx " + word +
                                          " rdx " + word + " rsi " + word + " rdi " + word + "\n")))
      << r.log;
  std::smatch m;
  std::string rest = r.log;
  int stackLines = 0;
  std::regex stack("SIGNAL: stack [0-9A-F]+ :( " + word + "){4}\n");
  while (std::regex_search(rest, m, stack)) {
    stackLines++;
    rest = m.suffix();
  }
  EXPECT_EQ(stackLines, 8) << r.log;
  size_t backtrace = r.log.find("Backtrace[0]");
  EXPECT_NE(backtrace, std::string::npos) << r.log;
  EXPECT_GT(r.log.find("Unexpected signal: 11.\n"), backtrace) << r.log;
}

TEST(SigDispatch, ArmedCrashCatcherJumpsBackWithTheSignal) {
  ChildResult r = InDispatcherChild([] {
    SigCrashCatcherEntry *entry = Sig_CrashCatcherEntry();
    if (entry == nullptr || entry != &SigCrashCatcher[VThreadBase_CurID()]) {
      return 1;
    }
    volatile char *page = FaultingPage();
    int signo = sigsetjmp(entry->jmpBuf, 1);
    if (signo == 0) {
      entry->armed = 1;
      page[0] = 1;
      return 2;
    }
    if (signo != SIGSEGV || entry->armed != 0) {
      return 3;
    }
    // Disarmed, the next fault is a crash again.
    page[0] = 1;
    return 4;
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status << r.err;
  EXPECT_TRUE(r.LogHas("Unexpected signal: 11.\n")) << r.log;
}

TEST(SigDispatch, CallbackChangesTheEntryForbidsEndTheProcess) {
  struct Case {
    int32_t signo;
    int32_t type;
    const char *text;
  };
  const Case cases[] = {
      {0, SIG_TYPE_IMMEDIATE, "ASSERT "},
      {SIG_NUM_SIGNALS, SIG_TYPE_IMMEDIATE, "ASSERT "},
      {SIGUSR1, SIG_TYPE_NOT_SUPPORTED, "NOT_IMPLEMENTED "},
      {SIGUSR1, SIG_TYPE_DEFAULT, "NOT_REACHED "},  // already default
      {SIGPIPE, SIG_TYPE_IMMEDIATE, "ASSERT "},     // left ignored
      {SIGUSR2, SIG_TYPE_IMMEDIATE, "ASSERT "},     // set twice, below
      {SIGHUP, SIG_TYPE_IMMEDIATE | SIG_TYPE_CHAIN, "NOT_IMPLEMENTED "},
  };
  for (const Case &c : cases) {
    ChildResult r = RunInChild([&](const std::string &) {
      Panic_SetCoreDumpOnPanic(false);
      Panic_SetPostMessage(false);
      signal(SIGHUP, [](int) {});  // a previous handler without SA_SIGINFO
      Sig_Init();
      Sig_Callback(SIGUSR2, SIG_TYPE_IMMEDIATE, Record, nullptr);
      Sig_Callback(c.signo, c.type, Record, nullptr);
      return 0;
    });
    EXPECT_TRUE(r.ExitedWith(255)) << c.signo << " " << c.type << " " << r.status;
    EXPECT_EQ(r.err.rfind(std::string(c.text) + "lib/sig/sigPosix.cc:", 0), 0u) << r.err;
  }
}

TEST(SigCoreRegions, TableKeepsPageRoundedLengthsAndTheKeepBit) {
  size_t count = 99;
  Sig_SetCoreDumpRegion(true, false, 0x10000, 1);  // no table: nothing happens
  EXPECT_EQ(SigCoreRegionsCollect(&count), nullptr);
  EXPECT_EQ(count, 0u);
  SigCoreRegionsRelease();

  SigCoreRegionsCreate();
  Sig_SetCoreDumpRegion(true, false, 0x10000, 1);
  Sig_SetCoreDumpRegion(true, true, 0x20000, 8192);
  Sig_SetCoreDumpRegion(true, false, 0x30000, 8193);
  Sig_SetCoreDumpRegion(true, true, 0x10000, 4097);  // replaces
  Sig_SetCoreDumpRegion(false, false, 0x20000, 0);
  const SigCoreRegion *regions = SigCoreRegionsCollect(&count);
  std::map<uintptr_t, uint64_t> got;
  for (size_t i = 0; i < count; i++) {
    got[regions[i].start] = regions[i].value;
  }
  SigCoreRegionsRelease();
  EXPECT_EQ(got, (std::map<uintptr_t, uint64_t>{{0x10000, 8192}, {0x30000, 12288 | 1}}));
  SigCoreRegionsDestroy();
  EXPECT_EQ(SigCoreRegionsCollect(&count), nullptr);
  SigCoreRegionsRelease();

  // Sig_Init leaves the table out when told not to unmap.
  ChildResult r = RunInChild([](const std::string &) {
    Preference_Init();
    Preference_SetFromString("signal.dontUnmap=TRUE", true);
    Sig_Init();
    size_t n = 0;
    Sig_SetCoreDumpRegion(true, true, 0x10000, 4096);
    bool none = SigCoreRegionsCollect(&n) == nullptr;
    SigCoreRegionsRelease();
    return none ? 0 : 1;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err;
}

// A page of bytes that appear nowhere else: computed in place, never copied.
void FillPattern(volatile unsigned char *page, unsigned seed) {
  for (unsigned i = 0; i < 4096; i++) {
    page[i] = static_cast<unsigned char>((i * 131u + seed) ^ (i >> 3) ^ (seed >> 8));
  }
}

std::string Pattern(unsigned seed) {
  std::string s(64, '\0');
  for (unsigned i = 1000; i < 1064; i++) {
    s[i - 1000] = static_cast<char>((i * 131u + seed) ^ (i >> 3) ^ (seed >> 8));
  }
  return s;
}

// A read-only private file mapping of one page holding the pattern: the
// kernel leaves such mappings out of a core.
void *FileMapping(const std::string &path, unsigned seed) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, 4096) != 0) {
    return MAP_FAILED;
  }
  void *shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (shared == MAP_FAILED) {
    return MAP_FAILED;
  }
  FillPattern(static_cast<unsigned char *>(shared), seed);
  munmap(shared, 4096);
  void *p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  return p;
}

TEST(SigCoreRegions, ACoreHoldsKeptRegionsAndNotDroppedOnes) {
  testsupport::TempDir tmp;
  const unsigned kKept = 0x5a17, kDropped = 0x3c91, kUnmarked = 0x7e42;
  ChildResult r = RunInChild([&](const std::string &logPath) {
    if (!Log_InitWithFile(logPath.c_str(), "core") || chdir(tmp.path().c_str()) != 0) {
      return 10;
    }
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited);
    Sig_Init();
    void *kept = FileMapping(tmp / "kept", kKept);
    void *unmarked = FileMapping(tmp / "unmarked", kUnmarked);
    void *dropped = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (kept == MAP_FAILED || unmarked == MAP_FAILED || dropped == MAP_FAILED) {
      return 11;
    }
    FillPattern(static_cast<unsigned char *>(dropped), kDropped);
    Sig_SetCoreDumpRegion(true, false, reinterpret_cast<uintptr_t>(kept), 4096);
    Sig_SetCoreDumpRegion(true, true, reinterpret_cast<uintptr_t>(dropped), 4096);
    return Sig_CoreDump();
  });
  ASSERT_TRUE(r.ExitedWith(0)) << r.status << r.err << r.log;
  if (r.LogHas("pipes to process") || !r.LogHas("Core dumped.\n")) {
    GTEST_SKIP() << "this process cannot leave a core file here";
  }
  size_t at = r.log.find("A core file is available in \"");
  ASSERT_NE(at, std::string::npos) << r.log;
  at += strlen("A core file is available in \"");
  std::string core = testsupport::ReadFile(r.log.substr(at, r.log.find('"', at) - at));
  ASSERT_FALSE(core.empty());
  EXPECT_NE(core.find(Pattern(kKept)), std::string::npos);
  EXPECT_EQ(core.find(Pattern(kDropped)), std::string::npos);
  EXPECT_EQ(core.find(Pattern(kUnmarked)), std::string::npos);
}

}  // namespace
