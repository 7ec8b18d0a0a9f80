// Positional and vectored transfers. The test program supplies its own
// pread() and pwrite(), which the library binds to, so that interrupted,
// partial and stalled calls can be scripted for one chosen descriptor and
// the calls the library makes can be counted.

#include <brellis/fileIO.h>

#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// What the next call on the scripted descriptor does: fail with EINTR,
// transfer at most `limit` bytes, or return 0.
struct Step {
  enum Kind { kEintr, kLimit, kZero } kind;
  size_t limit = 0;
};

std::mutex scriptMutex;
int scriptedFd = -1;
std::deque<Step> script;
std::vector<size_t> preadSizes;   // sizes asked of pread on scriptedFd
std::vector<size_t> pwriteSizes;  // and of pwrite

// Applies the next step to count; true with *result set when the call is
// answered without reaching the system.
bool Scripted(int fd, size_t *count, ssize_t *result, std::vector<size_t> &sizes) {
  std::lock_guard<std::mutex> g(scriptMutex);
  if (fd != scriptedFd) return false;
  sizes.push_back(*count);
  if (script.empty()) return false;
  Step s = script.front();
  script.pop_front();
  switch (s.kind) {
    case Step::kEintr:
      errno = EINTR;
      *result = -1;
      return true;
    case Step::kZero:
      *result = 0;
      return true;
    case Step::kLimit:
      if (*count > s.limit) *count = s.limit;
      return false;
  }
  return false;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset) {
  ssize_t r;
  if (Scripted(fd, &count, &r, pwriteSizes)) return r;
  return syscall(SYS_pwrite64, fd, buf, count, offset);
}

extern "C" ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
  ssize_t r;
  if (Scripted(fd, &count, &r, preadSizes)) return r;
  return syscall(SYS_pread64, fd, buf, count, offset);
}

namespace {

class FileIOVectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileIO_Invalidate(&fd_);
    path_ = dir_ / "data";
    ASSERT_EQ(FileIO_Open(&fd_, path_.c_str(), FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE,
                          FILEIO_OPEN_CREATE_EMPTY),
              FILEIO_SUCCESS);
    std::lock_guard<std::mutex> g(scriptMutex);
    scriptedFd = fd_.posix;
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> g(scriptMutex);
      scriptedFd = -1;
      script.clear();
      preadSizes.clear();
      pwriteSizes.clear();
    }
    if (FileIO_IsValid(&fd_)) FileIO_Close(&fd_);
  }
  void Script(std::initializer_list<Step> steps) {
    std::lock_guard<std::mutex> g(scriptMutex);
    script.assign(steps);
  }
  std::vector<size_t> PwriteSizes() {
    std::lock_guard<std::mutex> g(scriptMutex);
    return pwriteSizes;
  }
  std::vector<size_t> PreadSizes() {
    std::lock_guard<std::mutex> g(scriptMutex);
    return preadSizes;
  }

  TempDir dir_;
  std::string path_;
  FileIODescriptor fd_;
};

TEST_F(FileIOVectorTest, PwriteAtOffsetLeavesPositionAndFillsGap) {
  ASSERT_EQ(FileIO_Pwrite(&fd_, "head", 4, 0), FILEIO_SUCCESS);
  ASSERT_EQ(FileIO_Pwrite(&fd_, "tail", 4, 8), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Seek(&fd_, 0, FILEIO_SEEK_CURRENT), 0);
  EXPECT_EQ(ReadFile(path_), std::string("head\0\0\0\0tail", 12));

  char buf[4] = {};
  EXPECT_EQ(FileIO_Pread(&fd_, buf, 4, 8), FILEIO_SUCCESS);
  EXPECT_EQ(std::string(buf, 4), "tail");
  EXPECT_EQ(FileIO_Pread(&fd_, buf, 4, 10), FILEIO_READ_ERROR_EOF);
  EXPECT_EQ(FileIO_Seek(&fd_, 0, FILEIO_SEEK_CURRENT), 0);
}

TEST_F(FileIOVectorTest, PwriteBeyondFourGiBUsesWideOffset) {
  constexpr uint64_t kFar = (uint64_t{1} << 32) + 3;
  if (FileIO_Pwrite(&fd_, "x", 1, kFar) != FILEIO_SUCCESS) {
    GTEST_SKIP() << "the file system refuses sparse files this large";
  }
  EXPECT_EQ(FileIO_GetSize(&fd_), static_cast<int64_t>(kFar + 1));
  char c = 0;
  EXPECT_EQ(FileIO_Pread(&fd_, &c, 1, kFar), FILEIO_SUCCESS);
  EXPECT_EQ(c, 'x');
}

TEST_F(FileIOVectorTest, PwriteRetriesInterruptedAndPartialCalls) {
  Script({{Step::kEintr}, {Step::kLimit, 3}, {Step::kEintr}});
  ASSERT_EQ(FileIO_Pwrite(&fd_, "abcdefgh", 8, 2), FILEIO_SUCCESS);
  EXPECT_EQ(ReadFile(path_), std::string("\0\0abcdefgh", 10));
  // The remainder is asked for at the advanced offset after the short write.
  EXPECT_EQ(PwriteSizes(), (std::vector<size_t>{8, 8, 5, 5}));
}

TEST_F(FileIOVectorTest, PwriteThatAcceptsNothingEndsWithNoSpace) {
  Script({{Step::kLimit, 2}, {Step::kZero}});
  EXPECT_EQ(FileIO_Pwrite(&fd_, "abcdef", 6, 0), FILEIO_WRITE_ERROR_NOSPC);
  EXPECT_EQ(PwriteSizes().size(), 2u);
  EXPECT_EQ(ReadFile(path_), "ab");
}

TEST_F(FileIOVectorTest, PwriteFailureMapsErrno) {
  FileIODescriptor ro;
  FileIO_Invalidate(&ro);
  ASSERT_EQ(FileIO_Open(&ro, path_.c_str(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN), FILEIO_SUCCESS);
  errno = 0;
  EXPECT_EQ(FileIO_Pwrite(&ro, "a", 1, 0), FILEIO_ERROR);
  EXPECT_EQ(errno, EBADF);
  FileIO_Close(&ro);
}

TEST_F(FileIOVectorTest, PreadRetriesInterruptedAndShortReads) {
  ASSERT_TRUE(WriteFile(path_, "0123456789"));
  Script({{Step::kEintr}, {Step::kLimit, 4}});
  char buf[6] = {};
  ASSERT_EQ(FileIO_Pread(&fd_, buf, 6, 2), FILEIO_SUCCESS);
  EXPECT_EQ(std::string(buf, 6), "234567");
  EXPECT_EQ(PreadSizes(), (std::vector<size_t>{6, 6, 2}));
}

TEST_F(FileIOVectorTest, ListsThatDoNotAddUpAreRefused) {
  char a[4] = {}, b[4] = {};
  struct iovec v[2] = {{a, 4}, {b, 4}};
  errno = 0;
  EXPECT_EQ(FileIO_Pwritev(&fd_, v, 2, 0, 6), FILEIO_ERROR);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(FileIO_Preadv(&fd_, v, 2, 0, 10), FILEIO_ERROR);
  EXPECT_EQ(FileIO_Preadv(&fd_, v, -1, 0, 0), FILEIO_ERROR);
  EXPECT_TRUE(PwriteSizes().empty());
  EXPECT_TRUE(PreadSizes().empty());
}

}  // namespace
