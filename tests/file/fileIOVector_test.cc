// Positional and vectored transfers. The test program supplies its own
// pread() and pwrite(), which the library binds to, so that interrupted,
// partial and stalled calls can be scripted for one chosen descriptor and
// the calls the library makes can be counted.

#include <brellis/fileIO.h>

#include "file/fileInt.h"

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
std::vector<size_t> preadSizes;    // sizes asked of pread on scriptedFd
std::vector<size_t> pwriteSizes;   // and of pwrite
std::vector<size_t> readvCounts;   // entry counts given to readv on scriptedFd
std::vector<size_t> writevCounts;  // and to writev

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

extern "C" ssize_t readv(int fd, const struct iovec *iov, int iovcnt) {
  size_t n = static_cast<size_t>(iovcnt);
  ssize_t r;
  if (Scripted(fd, &n, &r, readvCounts)) return r;
  return syscall(SYS_readv, fd, iov, iovcnt);
}

extern "C" ssize_t writev(int fd, const struct iovec *iov, int iovcnt) {
  size_t n = static_cast<size_t>(iovcnt);
  ssize_t r;
  if (Scripted(fd, &n, &r, writevCounts)) return r;
  return syscall(SYS_writev, fd, iov, iovcnt);
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
      readvCounts.clear();
      writevCounts.clear();
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
  std::vector<size_t> ReadvCounts() {
    std::lock_guard<std::mutex> g(scriptMutex);
    return readvCounts;
  }
  std::vector<size_t> WritevCounts() {
    std::lock_guard<std::mutex> g(scriptMutex);
    return writevCounts;
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

// count pieces of `each` bytes, piece i filled with the letter 'a' + i.
struct Pieces {
  Pieces(int count, size_t each) : data(static_cast<size_t>(count), std::string()) {
    for (int i = 0; i < count; i++) {
      data[static_cast<size_t>(i)].assign(each, static_cast<char>('a' + i));
      list.push_back({data[static_cast<size_t>(i)].data(), each});
    }
  }
  std::string Joined() const {
    std::string all;
    for (const auto &d : data) all += d;
    return all;
  }
  size_t Total() const { return data.empty() ? 0 : data.size() * data[0].size(); }
  int Count() const { return static_cast<int>(list.size()); }
  std::vector<std::string> data;
  std::vector<struct iovec> list;
};

TEST_F(FileIOVectorTest, PositionalListsAreOneTransferThroughABounceBuffer) {
  Pieces out(10, 100);
  ASSERT_EQ(FileIO_Pwritev(&fd_, out.list.data(), out.Count(), 5, out.Total()), FILEIO_SUCCESS);
  EXPECT_EQ(PwriteSizes(), (std::vector<size_t>{1000}));
  EXPECT_EQ(ReadFile(path_), std::string(5, '\0') + out.Joined());

  Pieces in(10, 100);
  for (auto &d : in.data) d.assign(d.size(), '?');
  ASSERT_EQ(FileIO_Preadv(&fd_, in.list.data(), in.Count(), 5, in.Total()), FILEIO_SUCCESS);
  EXPECT_EQ(PreadSizes(), (std::vector<size_t>{1000}));
  EXPECT_EQ(in.Joined(), out.Joined());
  EXPECT_EQ(FileIO_Seek(&fd_, 0, FILEIO_SEEK_CURRENT), 0);
}

TEST_F(FileIOVectorTest, PositionalListReadPastTheEndStillHandsBackWhatWasRead) {
  ASSERT_TRUE(WriteFile(path_, "abcdefg"));
  Pieces in(3, 4);
  for (auto &d : in.data) d.assign(d.size(), '?');
  EXPECT_EQ(FileIO_Preadv(&fd_, in.list.data(), in.Count(), 0, in.Total()), FILEIO_READ_ERROR_EOF);
  EXPECT_EQ(in.Joined(), "abcdefg?????");
}

TEST_F(FileIOVectorTest, CurrentPositionCoalescesOnlyManySmallEntries) {
  Pieces five(5, 10), six(6, 10), large(6, 16384);
  size_t done = 0;
  ASSERT_EQ(FileIO_Writev(&fd_, five.list.data(), five.Count(), five.Total(), &done),
            FILEIO_SUCCESS);
  EXPECT_EQ(done, 50u);
  ASSERT_EQ(FileIO_Writev(&fd_, six.list.data(), six.Count(), six.Total(), &done), FILEIO_SUCCESS);
  EXPECT_EQ(done, 60u);
  ASSERT_EQ(FileIO_Writev(&fd_, large.list.data(), large.Count(), large.Total(), &done),
            FILEIO_SUCCESS);
  EXPECT_EQ(WritevCounts(), (std::vector<size_t>{5, 1, 6}));
  EXPECT_EQ(ReadFile(path_), five.Joined() + six.Joined() + large.Joined());

  ASSERT_EQ(FileIO_Seek(&fd_, 50, FILEIO_SEEK_BEGIN), 50);
  Pieces back(6, 10);
  for (auto &d : back.data) d.assign(d.size(), '?');
  ASSERT_EQ(FileIO_Readv(&fd_, back.list.data(), back.Count(), back.Total(), &done),
            FILEIO_SUCCESS);
  EXPECT_EQ(back.Joined(), six.Joined());
  EXPECT_EQ(ReadvCounts(), (std::vector<size_t>{1}));
}

TEST_F(FileIOVectorTest, CurrentPositionFailuresAndShortTransfers) {
  Pieces p(2, 4);
  size_t done = 7;
  EXPECT_EQ(FileIO_Writev(&fd_, p.list.data(), 0, 0, &done), FILEIO_ERROR);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(FileIO_Readv(&fd_, p.list.data(), -1, 0, &done), FILEIO_ERROR);

  // An interrupted write is a failure; an interrupted read is retried.
  Script({{Step::kEintr}});
  EXPECT_EQ(FileIO_Writev(&fd_, p.list.data(), p.Count(), p.Total(), &done), FILEIO_ERROR);
  EXPECT_EQ(done, 0u);
  ASSERT_TRUE(WriteFile(path_, "xyz"));
  Script({{Step::kEintr}});
  EXPECT_EQ(FileIO_Readv(&fd_, p.list.data(), p.Count(), p.Total(), &done), FILEIO_READ_ERROR_EOF);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(p.data[0], "xyza");
  EXPECT_EQ(ReadvCounts().size(), 2u);

  Script({{Step::kZero}});
  EXPECT_EQ(FileIO_Writev(&fd_, p.list.data(), p.Count(), p.Total(), &done),
            FILEIO_WRITE_ERROR_NOSPC);
  EXPECT_EQ(done, 0u);
}

uint64_t fakeNow = 0;
uint64_t FakeTimer() {
  return fakeNow;
}

class FileIOAlignedPoolTest : public FileIOVectorTest {
 protected:
  void SetUp() override {
    FileIOVectorTest::SetUp();
    // The pool comes into being with the first gathered transfer.
    Pieces p(2, 1);
    ASSERT_EQ(FileIO_Pwritev(&fd_, p.list.data(), p.Count(), 0, p.Total()), FILEIO_SUCCESS);
    fakeNow = 0;
    previous_ = FileIOAligned_SetPoolTimer(FakeTimer);
  }
  void TearDown() override {
    FileIOAligned_SetPoolTimer(previous_);
    FileIOAligned_PoolExit();
    FileIOVectorTest::TearDown();
  }
  std::pair<int, int> Counts() {
    int allocated, busy;
    FileIOAligned_PoolCounts(&allocated, &busy);
    return {allocated, busy};
  }
  FileIOTimerFunc previous_ = nullptr;
};

TEST_F(FileIOAlignedPoolTest, ThirtyBlocksAtMostAndFullPoolFallsBack) {
  EXPECT_EQ(FileIOAligned_PoolMalloc(0x100001), nullptr);
  std::vector<void *> blocks;
  for (int i = 0; i < 30; i++) {
    void *b = FileIOAligned_PoolMalloc(0x100000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 4096, 0u);
    memset(b, 0, 0x100000);
    blocks.push_back(b);
  }
  EXPECT_EQ(FileIOAligned_PoolMalloc(10), nullptr);
  EXPECT_EQ(Counts(), std::make_pair(30, 30));

  // An unbuffered transfer now takes its buffer from outside the pool and
  // gives it back there.
  fd_.flags |= FILEIO_OPEN_UNBUFFERED;
  Pieces p(8, 3);
  ASSERT_EQ(FileIO_Pwritev(&fd_, p.list.data(), p.Count(), 0, p.Total()), FILEIO_SUCCESS);
  EXPECT_EQ(ReadFile(path_), p.Joined());
  EXPECT_EQ(Counts(), std::make_pair(30, 30));

  void *foreign = malloc(16);
  EXPECT_FALSE(FileIOAligned_PoolFree(foreign));
  free(foreign);
  for (void *b : blocks) EXPECT_TRUE(FileIOAligned_PoolFree(b));
  EXPECT_FALSE(FileIOAligned_PoolFree(blocks[0]));  // already idle
  EXPECT_EQ(Counts(), std::make_pair(30, 0));
}

TEST_F(FileIOAlignedPoolTest, UnbufferedTransfersRecycleOneBlock) {
  fd_.flags |= FILEIO_OPEN_UNBUFFERED;
  Pieces p(3, 5);
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(FileIO_Pwritev(&fd_, p.list.data(), p.Count(), 0, p.Total()), FILEIO_SUCCESS);
  }
  EXPECT_EQ(Counts(), std::make_pair(1, 0));
}

TEST_F(FileIOAlignedPoolTest, BlocksIdleOverASecondGoBackOnTheNextRelease) {
  void *a = FileIOAligned_PoolMalloc(100);
  void *b = FileIOAligned_PoolMalloc(100);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(FileIOAligned_PoolFree(a));
  fakeNow = 500000000;
  EXPECT_TRUE(FileIOAligned_PoolFree(b));
  EXPECT_EQ(Counts(), std::make_pair(2, 0));  // a has been idle only half a second
  fakeNow = 1000000000;
  // The most recently released block is handed out first.
  EXPECT_EQ(FileIOAligned_PoolMalloc(100), b);
  EXPECT_TRUE(FileIOAligned_PoolFree(b));
  EXPECT_EQ(Counts(), std::make_pair(2, 0));  // exactly a second is not over it
  fakeNow = 1000000001;
  void *c = FileIOAligned_PoolMalloc(100);
  EXPECT_TRUE(FileIOAligned_PoolFree(c));
  EXPECT_EQ(Counts(), std::make_pair(1, 0));
}

TEST_F(FileIOAlignedPoolTest, ExitLeavesHandedOutBlocksUsable) {
  void *busy = FileIOAligned_PoolMalloc(100);
  void *idle = FileIOAligned_PoolMalloc(100);
  ASSERT_NE(busy, nullptr);
  ASSERT_TRUE(FileIOAligned_PoolFree(idle));
  FileIOAligned_PoolExit();
  EXPECT_EQ(Counts(), std::make_pair(0, 0));
  memset(busy, 1, 0x100000);
  EXPECT_FALSE(FileIOAligned_PoolFree(busy));
  EXPECT_EQ(FileIOAligned_PoolMalloc(100), nullptr);
  free(busy);
}

}  // namespace
