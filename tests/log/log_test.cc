#include "logChild.h"

#include <brellis/vthreadBase.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

namespace {

using logtest::Body;
using logtest::ChildResult;
using logtest::InChild;
using logtest::InitLog;
using logtest::Parse;
using logtest::Parsed;
using testsupport::SplitLines;

std::string Repeat(const std::string &piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; i++) {
    out += piece;
  }
  return out;
}

bool ValidUtf8(const std::string &s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (i + n > s.size()) {
      return false;
    }
    for (size_t k = 1; k < n; k++) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += n;
  }
  return true;
}

TEST(LogLineShape, PrefixHeaderAndZone) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("TZ", "UTC", 1);
    tzset();
    VThreadBase_SetName("shape");
    CHILD_CHECK(InitLog(path));
    Log_Info("hello %d\n", 42);
    Log_Warning("careful\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> lines = SplitLines(r.log);
  ASSERT_EQ(lines.size(), 6u) << r.log;
  // The header block comes first (its content is the lifecycle's tests'),
  // each line with a level-120 prefix.
  for (size_t i = 0; i < 4; i++) {
    Parsed h = Parse(lines[i]);
    ASSERT_TRUE(h.ok) << lines[i];
    EXPECT_EQ(h.designator, "I120");
  }
  EXPECT_TRUE(Parse(lines[0]).text.starts_with("Log for brellis-tarnwell pid="));
  EXPECT_TRUE(Parse(lines[3]).text.starts_with("Host is "));
  Parsed a = Parse(lines[4]);
  ASSERT_TRUE(a.ok) << lines[4];
  EXPECT_EQ(a.zone, "Z");
  EXPECT_EQ(a.stamp.size(), strlen("2026-03-07T09:05:00.123Z"));
  EXPECT_EQ(a.thread, "shape");
  EXPECT_EQ(a.designator, "I120");
  EXPECT_EQ(a.separator, ':');
  EXPECT_EQ(a.text, "hello 42");
  EXPECT_EQ(Parse(lines[5]).designator, "W110");
}

// The zone is the offset in force, so daylight-saving time shows: with a
// rule that keeps summer time all year, five hours west shows as -04:00.
TEST(LogLineShape, ZoneIsTheOffsetInForce) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("TZ", "EST5EDT,0/0,J365/25", 1);
    tzset();
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    CHILD_CHECK(tm.tm_isdst > 0 && tm.tm_gmtoff == -4 * 3600);
    CHILD_CHECK(InitLog(path));
    Log_Info("summer\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  ASSERT_EQ(body.size(), 1u) << r.log;
  EXPECT_EQ(Parse(body[0]).zone, "-04:00");
}

TEST(LogLineShape, SplittingContinuationAndPartialLines) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path));
    Log_Info("first\nsecond\n");
    Log_Info("x");
    Log_Info("y\n");
    Log_Info("p\nq");
    Log_Info("r\n");
    Log_Info("blank\n\n");
    Log_Info("%s", "");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  std::vector<std::pair<char, std::string>> expected = {
      {':', "first"}, {'+', "second"}, {':', "xy"}, {':', "p"},
      {'+', "qr"},    {':', "blank"},  {':', ""},
  };
  ASSERT_EQ(body.size(), expected.size()) << r.log;
  for (size_t i = 0; i < expected.size(); i++) {
    Parsed p = Parse(body[i]);
    ASSERT_TRUE(p.ok) << body[i];
    EXPECT_EQ(p.separator, expected[i].first) << body[i];
    EXPECT_EQ(p.text, expected[i].second);
  }
}

TEST(LogLevels, FilterAlwaysLevelAndUnknownLevels) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) { p.logMinLevel = 100; }));
    Log_Info("dropped\n");
    Log_Level(LOG_LEVEL_ALWAYS, "always\n");
    Log_Level(0xC0000000u | 100, "flags masked\n");
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) { p.logMinLevel = 145; }));
    Log_Level(999, "too verbose\n");
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) { p.logMinLevel = 1000; }));
    Log_Level(999, "shown as 120\n");
    Log_Level(137, "debug\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  ASSERT_EQ(body.size(), 4u) << r.log;
  EXPECT_EQ(Parse(body[0]).designator + Parse(body[0]).text, "A115always");
  EXPECT_EQ(Parse(body[1]).designator + Parse(body[1]).text, "E100flags masked");
  EXPECT_EQ(Parse(body[2]).designator + Parse(body[2]).text, "I120shown as 120");
  EXPECT_EQ(Parse(body[3]).designator, "D137");
}

TEST(LogLevels, StandardErrorGetsTheTextUnchangedAndErrnoIsKept) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.stderrMinLevel = 110;
      p.logMinLevel = 100;
    }));
    errno = 1234;
    Log_Warning("to stderr %s\n", "only");
    CHILD_CHECK(errno == 1234);
    Log_Info("filtered\n");
    CHILD_CHECK(errno == 1234);
    Log_Level(115, "%s\n", std::string(50000, 'z').c_str());
    CHILD_CHECK(errno == 1234);
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  EXPECT_EQ(r.err, "to stderr only\n");
  std::vector<std::string> body = Body(r.log);
  ASSERT_EQ(body.size(), 1u);
  EXPECT_EQ(Parse(body[0]).designator, "A115");
}

TEST(LogLongLines, SpareBufferThenTruncationAtACharacter) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path));
    std::string mid = Repeat("é", 200);  // 400 bytes: the spare buffer takes it
    Log_Info("%s\n", mid.c_str());
    std::string huge = Repeat("ü", 20000);  // 40,000 bytes: more than any buffer
    Log_Info("%s", huge.c_str());
    Log_Info("after huge\n");
    // Without the spare buffers the 320-byte stack buffer is all there is.
    char *a = logState.spare[kLogSpareFormatA].exchange(nullptr);
    char *b = logState.spare[kLogSpareFormatB].exchange(nullptr);
    Log_Info("x%s", mid.c_str());
    Log_Info("after stack\n");
    logState.spare[kLogSpareFormatA] = a;
    logState.spare[kLogSpareFormatB] = b;
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  ASSERT_EQ(body.size(), 5u) << r.log.substr(0, 2000);
  EXPECT_EQ(Parse(body[0]).text, Repeat("é", 200));
  for (size_t i : {1, 3}) {
    Parsed p = Parse(body[i]);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(ValidUtf8(p.text));
    EXPECT_LT(p.text.size(), i == 1 ? 32768u : 320u);
    EXPECT_GT(p.text.size(), i == 1 ? 32000u : 250u);
  }
  EXPECT_EQ(Parse(body[2]).text, "after huge");
  EXPECT_EQ(Parse(body[4]).text, "after stack");
}

// Lines logged before the log is opened wait and are written, with the
// prefix of when and where they were produced, before the first line after.
TEST(LogRing, LinesBeforeInitialisationWaitWithTheirPrefix) {
  ChildResult r = InChild([](const std::string &path) {
    VThreadBase_SetName("early");
    Log_Info("before %d\n", 1);
    Log_Info("partial ");
    CHILD_CHECK(InitLog(path));
    CHILD_CHECK(testsupport::SplitLines(testsupport::ReadFile(path)).empty());
    VThreadBase_SetName("late");
    Log_Info("after\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> lines = SplitLines(r.log);
  ASSERT_EQ(lines.size(), 7u) << r.log;
  EXPECT_TRUE(Parse(lines[0]).text.starts_with("Log for "));
  EXPECT_EQ(Parse(lines[4]).thread + Parse(lines[4]).text, "earlybefore 1");
  // The open line was closed when the log was opened.
  EXPECT_EQ(Parse(lines[5]).thread + Parse(lines[5]).text, "earlypartial ");
  EXPECT_EQ(Parse(lines[6]).thread + Parse(lines[6]).text, "lateafter");
}

// The ring keeps the newest lines that fit; a line longer than the ring is
// cut to whole characters and ended, and storing never loops.
TEST(LogRing, OverflowDropsTheOldestWholeLines) {
  ChildResult r = InChild([](const std::string &path) {
    for (int i = 0; i < 1000; i++) {
      Log_Info("line %04d %s\n", i, std::string(100, 'r').c_str());
    }
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.throttleThreshold = 0;
      p.throttleBytesPerSec = 0;
    }));
    Log_Info("throttled from here\n");
    Log_Info("%s", Repeat("€", 10000).c_str());  // 30,000 bytes, no line end
    Log_Info("%s\n", Repeat("€", 10000).c_str());
    Log_DisableThrottling();
    Log_Info("free again\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  ASSERT_GE(body.size(), 3u);
  EXPECT_EQ(Parse(body[0]).text, "<<< Log Throttled >>>");
  // Each line is whole, every prefix in place and the newest survive.
  for (const std::string &line : body) {
    EXPECT_TRUE(Parse(line).ok) << line.substr(0, 200);
  }
  EXPECT_EQ(Parse(body.back()).text, "free again");
  std::string last = Parse(body[body.size() - 2]).text;
  EXPECT_TRUE(ValidUtf8(last));
  EXPECT_GT(last.size(), 20000u);
  EXPECT_EQ(r.log.find("line 0000"), std::string::npos);
}

TEST(LogThrottle, StopAfterThresholdWritesOneNotice) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.throttleThreshold = 1000;
      p.throttleBytesPerSec = 0;
    }));
    for (int i = 0; i < 30; i++) {
      Log_Info("%02d %s\n", i, std::string(96, 't').c_str());  // 100 bytes each
    }
    CHILD_CHECK(logState.throttle.throttled);
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  // Lines 0 to 8 bring the count to 900; line 9 reaches 1,000.
  ASSERT_EQ(body.size(), 10u) << r.log;
  EXPECT_TRUE(Parse(body[8]).text.starts_with("08 "));
  EXPECT_EQ(Parse(body[9]).text, "<<< Log Throttled >>>");
}

uint64_t fakeNow = 0;
uint64_t FakeTimer() {
  return fakeNow;
}

// The rate is measured over at least 5 seconds while free and 60 seconds
// while throttled, on the monotonic timer.
TEST(LogThrottle, RateMeasuredOnTheMonotonicTimer) {
  ChildResult r = InChild([](const std::string &path) {
    constexpr uint64_t kSecond = 1000000000;
    LogSetTimerHook(FakeTimer);
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.throttleThreshold = 0;
      p.throttleBytesPerSec = 1000;
    }));
    std::string kb(9999, 'k');
    fakeNow = 1000 * kSecond;
    Log_Info("%s\n", kb.c_str());  // 10,000 bytes over 1000 s: free
    fakeNow += 5 * kSecond;
    Log_Info("%s\n", kb.c_str());  // not past 5 s: no new measure
    Log_Info("%s\n", kb.c_str());
    CHILD_CHECK(!logState.throttle.throttled);
    fakeNow += 1 * kSecond;
    Log_Info("burst\n");  // 20,006 bytes over 6 s: throttled
    CHILD_CHECK(logState.throttle.throttled);
    fakeNow += 60 * kSecond;
    Log_Info("held\n");  // not past 60 s: still throttled
    CHILD_CHECK(logState.throttle.throttled);
    fakeNow += 1 * kSecond;
    Log_Info("calm\n");  // 11 bytes over 61 s: free, and the ring follows
    CHILD_CHECK(!logState.throttle.throttled);
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  std::vector<std::string> texts;
  for (const std::string &line : body) {
    texts.push_back(Parse(line).text.substr(0, 5));
  }
  std::vector<std::string> expected = {"kkkkk", "kkkkk", "kkkkk", "<<< L", "burst", "held", "calm"};
  EXPECT_EQ(texts, expected);
}

// Bytes that cannot be written are counted and reported in the file by the
// next write that succeeds.
TEST(LogFileWrite, DiscardedBytesAreReported) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog("/dev/full"));
    Log_Info("lost one\n");
    Log_Info("lost two\n");
    uint64_t lost = logState.discardedBytes;
    CHILD_CHECK(lost > 2 * strlen("lost one\n"));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    CHILD_CHECK(dup2(fd, logState.fd) == logState.fd);
    Log_Info("kept\n");
    CHILD_CHECK(logState.discardedBytes == 0);
    fprintf(stderr, "%llu", static_cast<unsigned long long>(lost));
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body = Body(r.log);
  ASSERT_EQ(body.size(), 2u) << r.log;
  EXPECT_EQ(Parse(body[0]).text,
            ">>> Error writing log, " + r.err + " bytes discarded. Disk full?");
  EXPECT_EQ(Parse(body[1]).text, "kept");
}

std::atomic<int> signalsSeen{0};
void NoteSignal(int) {
  signalsSeen++;
}

template <typename Pred>
bool WaitFor(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

// A write interrupted by a signal is carried on, not counted as lost.
TEST(LogFileWrite, InterruptedWriteIsRetried) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path));
    Log_Info("header first\n");
    int fds[2];
    CHILD_CHECK(pipe(fds) == 0);
    // Fill the pipe so the next write blocks until it is drained.
    int flags = fcntl(fds[1], F_GETFL);
    fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
    char junk[4096] = {};
    size_t filled = 0;
    ssize_t n;
    while ((n = write(fds[1], junk, sizeof junk)) > 0) {
      filled += static_cast<size_t>(n);
    }
    fcntl(fds[1], F_SETFL, flags);
    struct sigaction sa = {};
    sa.sa_handler = NoteSignal;  // no SA_RESTART: write fails with EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    dup2(fds[1], logState.fd);
    pthread_t writer = pthread_self();
    std::string syscallFile = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
    bool interrupted = true;
    std::thread helper([&] {
      for (int k = 0; k < 3 && interrupted; k++) {
        // Signal only once the writer sits in write (system call 1).
        interrupted = WaitFor([&] { return testsupport::ReadFile(syscallFile).starts_with("1 "); });
        int before = signalsSeen;
        pthread_kill(writer, SIGUSR1);
        interrupted = interrupted && WaitFor([&] { return signalsSeen > before; });
      }
      std::string drained;
      char buf[4096];
      while (drained.find("through\n") == std::string::npos) {
        ssize_t got = read(fds[0], buf, sizeof buf);
        if (got <= 0) {
          break;
        }
        drained.append(buf, static_cast<size_t>(got));
      }
      fprintf(stderr, "%s", drained.substr(filled).c_str());
    });
    Log_Info("through\n");
    helper.join();
    CHILD_CHECK(interrupted);
    CHILD_CHECK(logState.discardedBytes == 0);
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  EXPECT_EQ(Parse(r.err).text, "through") << r.err;
}

// Lines from several threads at once never mix within a line.
TEST(LogConcurrency, LinesOfThreadsAreNotInterleaved) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path));
    Log_Info("start\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
      threads.emplace_back([t] {
        char name[16];
        snprintf(name, sizeof name, "worker%d", t);
        VThreadBase_SetName(name);
        std::string payload(40 + t * 150, static_cast<char>('a' + t));
        for (int i = 0; i < 300; i++) {
          Log_Info("%d %d %s\n", t, i, payload.c_str());
        }
      });
    }
    for (std::thread &th : threads) {
      th.join();
    }
    Log_Info("end\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  int counts[4] = {};
  for (const std::string &line : Body(r.log)) {
    Parsed p = Parse(line);
    ASSERT_TRUE(p.ok) << line;
    int t = -1;
    int i = -1;
    char payload[1024];
    if (sscanf(p.text.c_str(), "%d %d %1023s", &t, &i, payload) == 3) {
      ASSERT_TRUE(t >= 0 && t < 4);
      EXPECT_EQ(std::string(payload), std::string(40 + t * 150, static_cast<char>('a' + t)));
      EXPECT_EQ(p.thread, "worker" + std::to_string(t));
      EXPECT_EQ(i, counts[t]++);
    }
  }
  for (int count : counts) {
    EXPECT_EQ(count, 300);
  }
}

// A line logged from within the log waits in the ring instead of recursing
// into the file, and is written with the next line.
TEST(LogConcurrency, LinesLoggedFromWithinTheLogWait) {
  ChildResult r = InChild([](const std::string &path) {
    VThreadBase_SetName("main");
    CHILD_CHECK(InitLog(path));
    Log_Info("one\n");
    // The new thread's first name lookup happens inside the log and reports
    // that the process now has several threads.
    std::thread([] { Log_Info("from thread\n"); }).join();
    Log_Info("two\n");
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> texts;
  for (const std::string &line : Body(r.log)) {
    texts.push_back(Parse(line).text);
  }
  std::vector<std::string> expected = {"one", "from thread",
                                       "VThreadBase detected multiple threads.", "two"};
  EXPECT_EQ(texts, expected);
}

}  // namespace
