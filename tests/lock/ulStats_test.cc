#include <brellis/str.h>
#include <brellis/userlock.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines;

void Collect(void *context, const char *format, va_list ap) {
  EXPECT_EQ(context, &lines);
  char buf[4096];
  Str_Vsnprintf(buf, sizeof buf, format, ap);
  lines.emplace_back(buf);
}

int CountMatching(const std::string &pattern) {
  std::regex re(pattern);
  int n = 0;
  for (const std::string &l : lines) {
    n += std::regex_match(l, re) ? 1 : 0;
  }
  return n;
}

// Statistics are process-wide, so this binary holds all their cases, in one
// order.
TEST(LockStatsTest, LocksMadeWhileStatisticsAreOnReportThroughTheSink) {
  MXUserExclLock *before = MXUser_CreateExclLock("before", 1);
  MXUser_PerLockData();  // off: nothing to report
  EXPECT_TRUE(lines.empty());

  MXUser_SetStatsFunc(&lines, 256, Collect);
  MXUserExclLock *excl = MXUser_CreateExclLock("statsExcl", 0x10);
  MXUserRecLock *rec = MXUser_CreateRecLock("statsRec", 0x20);
  MXUserRecLock *silent = MXUser_CreateRecLockSilent("statsSilent", 0x30);
  MXUserRWLock *rw = MXUser_CreateRWLock("statsRW", 0x40);
  for (int i = 0; i < 3; i++) {
    MXUser_AcquireExclLock(excl);
    MXUser_ReleaseExclLock(excl);
    MXUser_AcquireRecLock(rec);
    MXUser_AcquireRecLock(rec);
    MXUser_ReleaseRecLock(rec);
    MXUser_ReleaseRecLock(rec);
    MXUser_AcquireRecLock(silent);
    MXUser_ReleaseRecLock(silent);
    MXUser_AcquireForRead(rw);
    MXUser_ReleaseRWLock(rw);
  }
  EXPECT_TRUE(MXUser_TryAcquireExclLock(excl));
  MXUser_ReleaseExclLock(excl);

  MXUser_PerLockData();
  for (const char *name : {"before", "statsExcl", "statsRec", "statsSilent", "statsRW"}) {
    EXPECT_EQ(CountMatching(std::string("MXUser: n n=") + name + " l=[0-9]+ r=0x[0-9a-f]+\n"), 1)
        << name;
  }
  EXPECT_EQ(CountMatching("MXUser: n n=statsRW l=[0-9]+ r=0x40\n"), 1);
  // Acquisition and hold records for the three locks with statistics only.
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=a c=[0-9]+ min=[0-9]+ max=[0-9]+ mean=[0-9]+ "
                          "sd=[0-9]+\n"),
            3);
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=h c=[0-9]+ .*\n"), 3);
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=a c=4 .*\n"), 1);  // exclusive: 3 + 1 try
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=a c=6 .*\n"), 1);  // recursive: every level
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=h c=4 .*\n"), 1);
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=h c=3 .*\n"), 2);  // outermost holds only
  EXPECT_EQ(CountMatching("MXUser: ce l=[0-9]+ a=4 s=4 sc=0 sct=0 t=0\n"), 1);
  EXPECT_EQ(CountMatching("MXUser: h l=[0-9]+ t=[ah] min=1 max=10000000000\n"), 6);
  EXPECT_EQ(CountMatching("MXUser: ht l=[0-9]+ t=[ah]\n"), 6);
  EXPECT_GE(CountMatching(" [0-9]+-[0-9]+\n"), 6);

  // A single sample has no spread (and no division by zero on the way).
  MXUserExclLock *once = MXUser_CreateExclLock("once", 0);
  MXUser_AcquireExclLock(once);
  MXUser_ReleaseExclLock(once);
  lines.clear();
  MXUser_PerLockData();
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=a c=1 min=([0-9]+) max=\\1 mean=\\1 sd=0\n"), 1);
  EXPECT_EQ(CountMatching("MXUser: e l=[0-9]+ t=h c=1 min=([0-9]+) max=\\1 mean=\\1 sd=0\n"), 1);
  MXUser_DestroyExclLock(once);

  // Names are reported once; the records every time.
  lines.clear();
  MXUser_PerLockData();
  EXPECT_EQ(CountMatching("MXUser: n .*\n"), 0);
  EXPECT_EQ(CountMatching("MXUser: e .*\n"), 6);

  // Lines are cut to the sink's buffer.
  MXUser_SetStatsFunc(&lines, 12, Collect);
  lines.clear();
  MXUser_PerLockData();
  ASSERT_FALSE(lines.empty());
  for (const std::string &l : lines) {
    EXPECT_LE(l.size(), 11u) << l;
  }

  MXUser_SetStatsFunc(nullptr, 0, nullptr);
  lines.clear();
  MXUser_PerLockData();
  EXPECT_TRUE(lines.empty());
  MXUser_DestroyExclLock(before);
  MXUser_DestroyExclLock(excl);
  MXUser_DestroyRecLock(rec);
  MXUser_DestroyRecLock(silent);
  MXUser_DestroyRWLock(rw);
}

}  // namespace
