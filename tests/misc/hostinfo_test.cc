// Host, process and time facts, compared with the platform's own answers.

#include <gtest/gtest.h>

#include <brellis/hostinfo.h>
#include <brellis/id.h>
#include <brellis/timeutil.h>

#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "misc/hostinfoInt.h"
#include "support/childProcess.h"

namespace {

TEST(TimeUtil, TimeTextIsCtimeWithoutLineEnd) {
  const char *oldTz = getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  char *text = TimeUtil_GetTimeText(0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Thu Jan  1 00:00:00 1970");
  free(text);
  // A time the platform cannot render yields none.
  EXPECT_EQ(TimeUtil_GetTimeText(INT64_MAX), nullptr);
  if (oldTz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(TimeUtil, BrokenDownTimeAndTimeOfDayAgreeWithThePlatform) {
  TimeUtil_Date date;
  time_t before = time(nullptr);
  TimeUtil_GetBrokenDownTime(false, &date);
  struct tm tm;
  gmtime_r(&before, &tm);
  EXPECT_EQ(date.year, tm.tm_year + 1900);
  EXPECT_EQ(date.month, tm.tm_mon + 1);
  EXPECT_EQ(date.day, tm.tm_mday);

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  uint64_t micros;
  HostinfoGetTimeOfDayMicros(&micros);
  uint64_t platform = static_cast<uint64_t>(tv.tv_sec) * 1000000u + tv.tv_usec;
  EXPECT_GE(micros, platform);
  EXPECT_LT(micros - platform, 5'000'000u);
  TimeUtil_TimeOfDay tod;
  TimeUtil_GetTimeOfDay(&tod);
  EXPECT_GE(tod.seconds, tv.tv_sec);
  EXPECT_LT(tod.useconds, 1000000);
}

uint64_t fakeTimeOfDay;
uint64_t FakeTimeOfDay() {
  return fakeTimeOfDay;
}
bool NoMonotonicClock(struct timespec *) {
  errno = ENOSYS;
  return false;
}

TEST(HostinfoTimer, NeverGoesBackwardsEvenWhenTheWallClockDoes) {
  uint64_t a = HostinfoSystemTimerPosix();
  uint64_t b = HostinfoSystemTimerPosix();
  EXPECT_LE(a, b);

  HostinfoSetClockSource(NoMonotonicClock);
  HostinfoSetTimeOfDaySource(FakeTimeOfDay);
  HostinfoResetFallbackTimer();
  fakeTimeOfDay = 1'000'000'000;
  uint64_t t1 = HostinfoSystemTimerPosix();
  EXPECT_EQ(t1, uint64_t{1'000'000'000} * 1000);
  fakeTimeOfDay += 500;
  uint64_t t2 = HostinfoSystemTimerPosix();
  EXPECT_EQ(t2 - t1, 500'000u);
  fakeTimeOfDay -= 10'000'000;  // the wall clock is set back 10 s
  uint64_t t3 = HostinfoSystemTimerPosix();
  EXPECT_GT(t3, t2);
  fakeTimeOfDay += 2'000;  // and runs on from there
  uint64_t t4 = HostinfoSystemTimerPosix();
  EXPECT_EQ(t4 - t3, 2'000'000u);
  fakeTimeOfDay = 0;  // no time to be had
  EXPECT_GE(HostinfoSystemTimerPosix(), t4);

  HostinfoSetTimeOfDaySource(nullptr);
  HostinfoSetClockSource(nullptr);
  EXPECT_GT(HostinfoSystemTimerPosix(), 0u);
}

TEST(Hostinfo, ThreadIdsAreTheKernelsOwn) {
  EXPECT_EQ(Hostinfo_SystemThreadId(), static_cast<int32_t>(gettid()));
  int32_t other = 0;
  std::thread t([&] { other = Hostinfo_SystemThreadId(); });
  t.join();
  EXPECT_NE(other, Hostinfo_SystemThreadId());
  EXPECT_GT(other, 0);
}

TEST(Hostinfo, MachineIdHashesTheHostNameAndReadsEthHardware) {
  char *name = Hostinfo_HostName();
  struct utsname un;
  ASSERT_EQ(uname(&un), 0);
  ASSERT_NE(name, nullptr);
  // The canonical name starts with the node name's first label.
  std::string node = un.nodename;
  EXPECT_EQ(std::string(name).rfind(node.substr(0, node.find('.')), 0), 0u) << name;
  uint32_t expected = 5381;
  for (const char *p = name; *p; p++) expected = expected * 33 + static_cast<unsigned char>(*p);
  free(name);

  uint32_t hash;
  uint64_t hw;
  Hostinfo_MachineID(&hash, &hw);
  EXPECT_EQ(hash, expected);

  uint64_t expectedHw = 0;
  for (int i = 0; i < 8; i++) {
    std::ifstream in("/sys/class/net/eth" + std::to_string(i) + "/address");
    std::string mac;
    if (in >> mac) {
      uint8_t bytes[8] = {};
      for (int b = 0; b < 6; b++)
        bytes[b] = static_cast<uint8_t>(std::stoul(mac.substr(b * 3, 2), nullptr, 16));
      memcpy(&expectedHw, bytes, 8);
      break;
    }
  }
  EXPECT_EQ(hw, expectedHw);
  uint32_t hash2;
  uint64_t hw2;
  Hostinfo_MachineID(&hash2, &hw2);
  EXPECT_EQ(hash2, hash);
  EXPECT_EQ(hw2, hw);
}

// Runs body in a child and returns its exit status.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(Id, RaiseAndDropAroundOneCall) {
  SKIP_UNLESS_ROOT("drop to another user and become root again (setresuid)");
  // Already root: nothing changes, and the matching drop changes nothing.
  EXPECT_EQ(InChild([] {
              uid_t prev = Id_RaiseToSuperUser();
              if (prev != static_cast<uid_t>(-1)) return 1;
              Id_DropSuperUser(prev);
              return geteuid() == 0 ? 0 : 2;
            }),
            0);
  // Running as another user with root kept as the saved id.
  EXPECT_EQ(InChild([] {
              if (setresuid(65534, 65534, 0) != 0) return 10;
              uid_t prev = Id_RaiseToSuperUser();
              if (prev != 65534 || geteuid() != 0) return 1;
              Id_DropSuperUser(prev);
              return geteuid() == 65534 ? 0 : 2;
            }),
            0);
  // No way back to root: the raise reports failure with errno kept.
  EXPECT_EQ(InChild([] {
              if (setresuid(65534, 65534, 65534) != 0) return 10;
              uid_t prev = Id_RaiseToSuperUser();
              return prev == static_cast<uid_t>(-1) && errno == EPERM && geteuid() == 65534 ? 0 : 1;
            }),
            0);
}

}  // namespace
