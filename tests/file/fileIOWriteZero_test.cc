// A write the system accepts no byte of must end the loop, not spin in it.
// No real file system does that on demand, so this test program supplies
// its own write(), which the library's static code binds to, and makes it
// return 0 for one chosen descriptor.

#include <brellis/fileIO.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> stalledFd{-1};
std::atomic<int> calls{0};

}  // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t count) {
  if (fd == stalledFd.load()) {
    calls++;
    return 0;
  }
  return syscall(SYS_write, fd, buf, count);
}

namespace {

TEST(FileIOWriteZeroTest, NoProgressEndsWithNoSpace) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FileIODescriptor fd = FileIO_CreateFDPosix(fds[1], O_WRONLY);
  stalledFd = fds[1];
  size_t written = 99;
  EXPECT_EQ(FileIO_Write(&fd, "abc", 3, &written), FILEIO_WRITE_ERROR_NOSPC);
  stalledFd = -1;
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(calls.load(), 1);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
