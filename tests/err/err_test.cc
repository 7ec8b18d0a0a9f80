// The cached error texts: one address per number for the life of the
// process, found again from that address, errno untouched throughout.

#include <brellis/err.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ErrTextTest, OneCachedTextPerNumberFoundAgainByItsAddress) {
  errno = EINTR;
  const char *text = Err_Errno2String(ENOENT);
  EXPECT_EQ(errno, EINTR);
  EXPECT_STREQ(text, strerror(ENOENT));
  EXPECT_EQ(Err_Errno2String(ENOENT), text);
  EXPECT_EQ(Err_String2Errno(text), ENOENT);
  EXPECT_EQ(errno, EINTR);

  // Only the cached address counts, not an equal text elsewhere.
  std::string copy(text);
  EXPECT_EQ(Err_String2Errno(copy.c_str()), -1);
  EXPECT_EQ(Err_String2Errno(nullptr), -1);

  errno = EACCES;
  EXPECT_EQ(Err_ErrString(), Err_Errno2String(EACCES));
  EXPECT_EQ(errno, EACCES);
}

TEST(ErrTextTest, UnknownNumbersGetATextToo) {
  const char *text = Err_Errno2String(123456);
  EXPECT_NE(std::string(text).find("123456"), std::string::npos);
  EXPECT_EQ(Err_String2Errno(text), 123456);
}

TEST(ErrTextTest, RacingThreadsAgreeOnTheAddress) {
  constexpr int kThreads = 4;
  std::vector<const char *> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++) {
    threads.emplace_back([&seen, i] { seen[i] = Err_Errno2String(EXDEV); });
  }
  for (auto &t : threads) {
    t.join();
  }
  for (const char *s : seen) {
    EXPECT_EQ(s, seen[0]);
  }
  EXPECT_EQ(Err_String2Errno(seen[0]), EXDEV);
}

}  // namespace
