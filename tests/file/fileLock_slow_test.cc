// Lock files left half-made by a contender that died while choosing its
// ticket: waiters give it time, then clear it away.

#include <brellis/fileLock.h>

#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>

using filetest::List;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TEST(FileLockSlowTest, AbandonedEntryIsClearedAfterItsGracePeriod) {
  TempDir tmp;
  std::string path = tmp / "data";
  std::string lockDir = path + ".lck";
  ASSERT_EQ(mkdir(lockDir.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((lockDir + "/D00007.lck").c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(lockDir + "/E00007.lck", ""));
  auto start = std::chrono::steady_clock::now();
  int err = -1;
  FileLockToken *t = FileLock_Lock(path.c_str(), false, FILELOCK_TRYLOCK_WAIT, &err, nullptr);
  ASSERT_NE(t, nullptr) << err;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  std::vector<std::string> left = List(lockDir);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0][0], 'M');
  FileLock_Unlock(t, nullptr, nullptr);
}

}  // namespace
