// File handles: result codes, open actions and flags, transfers, sizes,
// and the failures the system reports (checked in children where they need
// another user, a limit or a private mount).

#include <brellis/file.h>
#include <brellis/fileIO.h>

#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

using filetest::ChildResult;
using filetest::RunInChild;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr uint32_t kRW = FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE;

FileIODescriptor Invalid() {
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  return fd;
}

void ExpectInvalidAndEmpty(const FileIODescriptor &fd) {
  EXPECT_EQ(fd.posix, -1);
  EXPECT_EQ(fd.flags, 0u);
  EXPECT_EQ(fd.fileName, nullptr);
  EXPECT_EQ(fd.lockToken, nullptr);
}

int OpenFlagsOf(const FileIODescriptor &fd) {
  return fcntl(fd.posix, F_GETFL);
}

TEST(FileIOResultTest, EveryCodeHasItsTextAndEnglishStripsTheId) {
  const char *expected[] = {
      "@&!*@*@(msg.fileio.success)Success",
      "@&!*@*@(msg.fileio.cancel)The operation was canceled by the user",
      "@&!*@*@(msg.fileio.generic)Error",
      "@&!*@*@(msg.fileio.exists)The file already exists",
      "@&!*@*@(msg.fileio.lock)Failed to lock the file",
      "@&!*@*@(msg.fileio.eof)Tried to read beyond the end of the file",
      "@&!*@*@(msg.fileio.notfound)Could not find the file",
      "@&!*@*@(msg.fileio.noPerm)Insufficient permission to access the file",
      "@&!*@*@(msg.fileio.namelong)The file name is too long",
      "@&!*@*@(msg.fileio.fBig)The file is too large",
      "@&!*@*@(msg.fileio.noSpc)There is no space left on the device",
      "@&!*@*@(msg.fileio.dQuot)There is no space left on the device",
  };
  for (int code = 0; code < FILEIO_ERROR_LAST; code++) {
    auto status = static_cast<FileIOResult>(code);
    EXPECT_STREQ(FileIO_MsgError(status), expected[code]) << code;
    EXPECT_STREQ(FileIO_ErrorEnglish(status), strchr(expected[code], ')') + 1) << code;
  }
  EXPECT_STREQ(FileIO_MsgError(static_cast<FileIOResult>(13)),
               "@&!*@*@(msg.fileio.unknown)Unknown error");
  EXPECT_STREQ(FileIO_ErrorEnglish(static_cast<FileIOResult>(-1)), "Unknown error");
}

TEST(FileIOResultDeathTest, TheCountIsNotACode) {
  EXPECT_DEATH(FileIO_MsgError(FILEIO_ERROR_LAST), "NOT_IMPLEMENTED .*fileIO.cc");
}

TEST(FileIOResultTest, ErrnoMapping) {
  EXPECT_EQ(FileIOErrno2Result(ENOENT), FILEIO_FILE_NOT_FOUND);
  EXPECT_EQ(FileIOErrno2Result(EACCES), FILEIO_NO_PERMISSION);
  EXPECT_EQ(FileIOErrno2Result(EEXIST), FILEIO_OPEN_ERROR_EXIST);
  EXPECT_EQ(FileIOErrno2Result(EFBIG), FILEIO_WRITE_ERROR_FBIG);
  EXPECT_EQ(FileIOErrno2Result(ENOSPC), FILEIO_WRITE_ERROR_NOSPC);
  EXPECT_EQ(FileIOErrno2Result(ENAMETOOLONG), FILEIO_FILE_NAME_TOO_LONG);
  EXPECT_EQ(FileIOErrno2Result(EDQUOT), FILEIO_WRITE_ERROR_DQUOT);
  EXPECT_EQ(FileIOErrno2Result(EPERM), FILEIO_ERROR);
  EXPECT_EQ(FileIOErrno2Result(EROFS), FILEIO_ERROR);
}

TEST(FileIOOpenTest, CollectorCreateMakesAReadOnlyFileTheHandleMayStillWrite) {
  TempDir tmp;
  std::string path = tmp / "dump";
  mode_t old = umask(022);
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Create(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE_SAFE, 0555), FILEIO_SUCCESS);
  umask(old);
  EXPECT_TRUE(FileIO_IsValid(&fd));
  EXPECT_STREQ(FileIO_Filename(&fd), path.c_str());
  EXPECT_EQ(fd.flags, kRW);
  EXPECT_NE(fcntl(fd.posix, F_GETFD) & FD_CLOEXEC, 0);
  size_t written = 0;
  EXPECT_EQ(FileIO_Write(&fd, "core", 4, &written), FILEIO_SUCCESS);
  EXPECT_EQ(written, 4u);
  EXPECT_FALSE(FileIO_Close(&fd));
  ExpectInvalidAndEmpty(fd);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  EXPECT_EQ(ReadFile(path), "core");

  // The name is taken now: exactly FILEIO_OPEN_ERROR_EXIST, nothing kept.
  EXPECT_EQ(FileIO_Create(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE_SAFE, 0555),
            FILEIO_OPEN_ERROR_EXIST);
  EXPECT_EQ(errno, EEXIST);
  ExpectInvalidAndEmpty(fd);
}

TEST(FileIOOpenTest, ActionsOpenEmptyAndCreate) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  EXPECT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN), FILEIO_FILE_NOT_FOUND);
  ExpectInvalidAndEmpty(fd);
  EXPECT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_EMPTY), FILEIO_FILE_NOT_FOUND);

  mode_t old = umask(0);
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  umask(old);
  struct stat st;
  fstat(fd.posix, &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  FileIO_Write(&fd, "abcdef", 6, nullptr);
  FileIO_Close(&fd);

  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_GetSize(&fd), 6);  // CREATE keeps what is there
  FileIO_Close(&fd);
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE_EMPTY), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_GetSize(&fd), 0);
  FileIO_Close(&fd);
  WriteFile(path, "xyz");
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), FILEIO_OPEN_ACCESS_WRITE, FILEIO_OPEN_EMPTY),
            FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_GetSize(&fd), 0);
  EXPECT_EQ(OpenFlagsOf(fd) & O_ACCMODE, O_WRONLY);
  FileIO_Close(&fd);

  EXPECT_EQ(FileIO_Open(&fd, nullptr, kRW, FILEIO_OPEN), FILEIO_ERROR);
  EXPECT_EQ(errno, EFAULT);
}

TEST(FileIOOpenTest, AccessFlagsBecomeOpenFlags) {
  TempDir tmp;
  std::string path = tmp / "f";
  WriteFile(path, "data");
  FileIODescriptor fd = Invalid();

  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN), FILEIO_SUCCESS);
  EXPECT_EQ(OpenFlagsOf(fd) & O_ACCMODE, O_RDONLY);
  FileIO_Close(&fd);

  uint32_t many = kRW | FILEIO_OPEN_SYNC | FILEIO_OPEN_APPEND | FILEIO_OPEN_NONBLOCK;
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), many, FILEIO_OPEN), FILEIO_SUCCESS);
  int flags = OpenFlagsOf(fd);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  EXPECT_EQ(flags & O_SYNC, O_SYNC);
  EXPECT_NE(flags & O_APPEND, 0);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  EXPECT_EQ(fd.flags, many);
  FileIO_Close(&fd);

  // One exclusive bit adds nothing; both together make the create exclusive.
  EXPECT_EQ(FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_EXCLUSIVE_READ, FILEIO_OPEN_CREATE),
            FILEIO_SUCCESS);
  FileIO_Close(&fd);
  EXPECT_EQ(FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_EXCLUSIVE_WRITE, FILEIO_OPEN_CREATE),
            FILEIO_SUCCESS);
  FileIO_Close(&fd);
  EXPECT_EQ(
      FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_EXCLUSIVE_READ | FILEIO_OPEN_EXCLUSIVE_WRITE,
                  FILEIO_OPEN_CREATE),
      FILEIO_OPEN_ERROR_EXIST);

  std::string link = tmp / "link";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(FileIO_Open(&fd, link.c_str(), kRW | FILEIO_OPEN_ACCESS_NOFOLLOW, FILEIO_OPEN),
            FILEIO_ERROR);
  EXPECT_EQ(errno, ELOOP);
  ExpectInvalidAndEmpty(fd);
}

TEST(FileIOOpenTest, DeleteAsapLeavesOnlyTheDescriptor) {
  TempDir tmp;
  std::string path = tmp / "scratch";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Create(&fd, path.c_str(), kRW | FILEIO_OPEN_DELETE_ASAP, FILEIO_OPEN_CREATE_SAFE,
                          0600),
            FILEIO_SUCCESS);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(FileIO_Write(&fd, "abc", 3, nullptr), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_GetSize(&fd), 3);
  FileIO_Close(&fd);
}

TEST(FileIOOpenTest, LockRequests) {
  TempDir tmp;
  std::string path = tmp / "locked";
  WriteFile(path, "x");
  FileIODescriptor fd = Invalid();

  // A mandatory lock alone does not exist here: the file opens unlocked.
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_LOCK_MANDATORY, FILEIO_OPEN),
            FILEIO_SUCCESS);
  EXPECT_EQ(fd.flags, kRW | FILEIO_OPEN_LOCK_ENFORCED);
  EXPECT_EQ(fd.lockToken, nullptr);
  FileIO_Close(&fd);

  // Together with an advisory lock the open fails before anything happens.
  EXPECT_EQ(FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_LOCK_MANDATORY | FILEIO_OPEN_LOCKED,
                        FILEIO_OPEN),
            FILEIO_LOCK_FAILED);
  ExpectInvalidAndEmpty(fd);
  EXPECT_NE(access((path + ".lck").c_str(), F_OK), 0);

  // An advisory lock is held for as long as the handle is open: another
  // process cannot open the file locked for writing meanwhile.
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW | FILEIO_OPEN_LOCKED, FILEIO_OPEN), FILEIO_SUCCESS);
  EXPECT_EQ(fd.flags, kRW | FILEIO_OPEN_LOCK_ADVISORY);
  EXPECT_NE(fd.lockToken, nullptr);
  ChildResult other = RunInChild([&] {
    FileIODescriptor second = Invalid();
    CHILD_CHECK(FileIO_Open(&second, path.c_str(), FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_LOCKED,
                            FILEIO_OPEN) == FILEIO_LOCK_FAILED);
    CHILD_CHECK(second.posix == -1 && second.fileName == nullptr && second.lockToken == nullptr);
    return 0;
  });
  EXPECT_TRUE(other.Passed()) << other.err;
  FileIO_Close(&fd);
  EXPECT_NE(access((path + ".lck").c_str(), F_OK), 0);

  FileIODescriptor plain = Invalid();
  ASSERT_EQ(FileIO_Open(&plain, path.c_str(), kRW, FILEIO_OPEN), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Lock(&plain, FILEIO_OPEN_ACCESS_READ), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Lock(&plain, FILEIO_OPEN_LOCK_MANDATORY), FILEIO_LOCK_FAILED);
  EXPECT_EQ(FileIO_Unlock(&plain), FILEIO_SUCCESS);
  FileIO_Close(&plain);
}

TEST(FileIOOpenTest, FailedCloseStillReleasesTheHandle) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  close(fd.posix);  // behind the handle's back
  EXPECT_TRUE(FileIO_Close(&fd));
  EXPECT_EQ(errno, EBADF);
  ExpectInvalidAndEmpty(fd);
}

TEST(FileIOOpenTest, CloseAndUnlinkRemovesTheFile) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_FALSE(FileIO_CloseAndUnlink(&fd));
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  ExpectInvalidAndEmpty(fd);
}

TEST(FileIOTransferTest, ReadReportsEndOfFileWithThePartialCount) {
  TempDir tmp;
  std::string path = tmp / "f";
  WriteFile(path, "0123456789");
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN), FILEIO_SUCCESS);
  char buf[32];
  size_t got = 99;
  EXPECT_EQ(FileIO_Read(&fd, buf, 4, &got), FILEIO_SUCCESS);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(FileIO_Read(&fd, buf, sizeof buf, &got), FILEIO_READ_ERROR_EOF);
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(FileIO_Read(&fd, buf, 0, &got), FILEIO_SUCCESS);
  EXPECT_EQ(got, 0u);
  // Writing on a read-only handle maps EBADF to the generic error.
  EXPECT_EQ(FileIO_Write(&fd, "x", 1, &got), FILEIO_ERROR);
  EXPECT_EQ(got, 0u);
  FileIO_Close(&fd);
}

void NoteSignal(int) {}

TEST(FileIOTransferTest, InterruptedTransfersContinueWhereTheyStopped) {
  // Signals without SA_RESTART make blocked pipe reads and writes fail with
  // EINTR; the loops must resume without losing or repeating bytes.
  struct sigaction sa = {};
  sa.sa_handler = NoteSignal;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FileIODescriptor reader = FileIO_CreateFDPosix(fds[0], O_RDONLY);
  FileIODescriptor writer = FileIO_CreateFDPosix(fds[1], O_WRONLY);

  std::string payload(256 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<char>(i * 7);
  std::atomic<bool> done{false};
  FileIOResult writeResult = FILEIO_ERROR;
  size_t written = 0;
  std::thread w(
      [&] { writeResult = FileIO_Write(&writer, payload.data(), payload.size(), &written); });
  // Taken here, before anyone signals it; valid until the thread is joined,
  // which happens only after the pestering has stopped.
  pthread_t writerThread = w.native_handle();
  pthread_t readerThread = pthread_self();
  std::thread pester([&] {
    while (!done.load()) {
      pthread_kill(readerThread, SIGUSR1);
      pthread_kill(writerThread, SIGUSR1);
      std::this_thread::yield();
    }
  });
  std::string got(payload.size(), '\0');
  size_t n = 0;
  FileIOResult readResult = FileIO_Read(&reader, got.data(), got.size(), &n);
  done = true;
  pester.join();
  w.join();
  sigaction(SIGUSR1, &old, nullptr);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(readResult, FILEIO_SUCCESS);
  EXPECT_EQ(writeResult, FILEIO_SUCCESS);
  EXPECT_EQ(n, payload.size());
  EXPECT_EQ(written, payload.size());
  EXPECT_TRUE(got == payload);
}

TEST(FileIOTransferTest, SeekSizesTruncateAndSync) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Seek(&fd, 100, FILEIO_SEEK_BEGIN), 100);
  EXPECT_EQ(FileIO_Write(&fd, "z", 1, nullptr), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Seek(&fd, -1, FILEIO_SEEK_CURRENT), 100);
  EXPECT_EQ(FileIO_Seek(&fd, 0, FILEIO_SEEK_END), 101);
  EXPECT_EQ(FileIO_Seek(&fd, -5, FILEIO_SEEK_BEGIN), -1);
  EXPECT_EQ(FileIO_GetSize(&fd), 101);
  EXPECT_EQ(FileIO_GetSizeByPath(path.c_str()), 101);
  EXPECT_EQ(FileIO_GetSizeByPath((tmp / "missing").c_str()), -1);
  EXPECT_TRUE(FileIO_Truncate(&fd, 10));
  EXPECT_EQ(FileIO_GetSize(&fd), 10);
  EXPECT_EQ(FileIO_Sync(&fd), 0);

  // Beyond 4 GiB offsets stay exact; the position is left where it was.
  FileIO_Seek(&fd, 3, FILEIO_SEEK_BEGIN);
  EXPECT_TRUE(FileIO_SupportsFileSize(&fd, UINT64_C(5) << 30));
  EXPECT_EQ(FileIO_Seek(&fd, 0, FILEIO_SEEK_CURRENT), 3);
  FileIO_Close(&fd);
}

TEST(FileIOTransferTest, AllocationAndPreallocation) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  uint64_t logical = 1, allocated = 1;
  ASSERT_EQ(FileIO_GetAllocSize(&fd, &logical, &allocated), FILEIO_SUCCESS);
  EXPECT_EQ(logical, 0u);
  EXPECT_EQ(allocated, 0u);
  EXPECT_TRUE(FileIO_SupportsPrealloc(path.c_str(), false));
  EXPECT_FALSE(FileIO_SupportsPrealloc(nullptr, true));
  struct statfs sfs;
  ASSERT_EQ(statfs(tmp.path().c_str(), &sfs), 0);
  EXPECT_EQ(FileIO_SupportsPrealloc(path.c_str(), true), sfs.f_type == 0xEF53);

  if (FileIO_SetAllocSize(&fd, 1 << 20)) {
    ASSERT_EQ(FileIO_GetAllocSize(&fd, &logical, &allocated), FILEIO_SUCCESS);
    EXPECT_EQ(logical, 0u);  // keep size
    EXPECT_GE(allocated, 1u << 20);
    // Asking for exactly what is there is a success, not a refused call.
    EXPECT_TRUE(FileIO_SetAllocSize(&fd, allocated));
    EXPECT_FALSE(FileIO_SetAllocSize(&fd, 4096));
    EXPECT_EQ(errno, EINVAL);
  } else {
    EXPECT_EQ(errno, EOPNOTSUPP) << "only a file system without fallocate may refuse";
  }
  FileIO_Close(&fd);
}

TEST(FileIOStreamTest, StreamsAndForeignDescriptors) {
  TempDir tmp;
  std::string path = tmp / "f";
  FileIODescriptor fd = Invalid();
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  FILE *stream = FileIO_DescriptorToStream(&fd, false);
  ASSERT_NE(stream, nullptr);
  EXPECT_NE(fileno(stream), fd.posix);
  EXPECT_NE(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC, 0);
  fputs("hello", stream);
  fclose(stream);
  EXPECT_TRUE(FileIO_IsValid(&fd));  // the handle is independent of the stream
  EXPECT_EQ(FileIO_GetSize(&fd), 5);
  FileIO_Close(&fd);

  FileIODescriptor wrapped = FileIO_CreateFDPosix(7, O_RDWR | O_SYNC | O_APPEND);
  EXPECT_EQ(wrapped.posix, 7);
  EXPECT_EQ(wrapped.flags, kRW | FILEIO_OPEN_SYNC | FILEIO_OPEN_APPEND);
  EXPECT_EQ(wrapped.fileName, nullptr);
  // O_DSYNC is part of O_SYNC's bits, but not all of them.
  EXPECT_EQ(FileIO_CreateFDPosix(7, O_WRONLY | O_DSYNC).flags, FILEIO_OPEN_ACCESS_WRITE);
  EXPECT_EQ(FileIO_CreateFDPosix(7, O_RDONLY).flags, FILEIO_OPEN_ACCESS_READ);
}

TEST(FileIOAccessTest, AccessChecksBits) {
  TempDir tmp;
  std::string script = tmp / "script";
  WriteFile(script, "#!/bin/sh\n", 0755);
  std::string plain = tmp / "plain";
  WriteFile(plain, "", 0644);
  EXPECT_EQ(FileIO_Access(script.c_str(), FILEIO_ACCESS_EXEC), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Access(plain.c_str(), FILEIO_ACCESS_EXEC), FILEIO_ERROR);
  EXPECT_EQ(FileIO_Access(plain.c_str(), FILEIO_ACCESS_EXISTS), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_Access((tmp / "none").c_str(), FILEIO_ACCESS_EXISTS), FILEIO_ERROR);
  EXPECT_EQ(FileIO_Access(nullptr, FILEIO_ACCESS_READ), FILEIO_ERROR);
  EXPECT_EQ(errno, EFAULT);
}

TEST(FileIOAtomicTest, TemporarySiblingReplacesTheFileThroughALink) {
  TempDir tmp;
  std::string real = tmp / "real.cfg";
  std::string link = tmp / "link.cfg";
  WriteFile(real, "old", 0640);
  ASSERT_EQ(symlink("real.cfg", link.c_str()), 0);

  FileIODescriptor current = Invalid();
  ASSERT_EQ(FileIO_Open(&current, link.c_str(), kRW, FILEIO_OPEN), FILEIO_SUCCESS);
  char *tempPath = FileIO_AtomicTempPath(link.c_str());
  ASSERT_NE(tempPath, nullptr);
  EXPECT_EQ(std::string(tempPath), real + "~");
  free(tempPath);

  FileIODescriptor temp = Invalid();
  ASSERT_EQ(FileIO_AtomicTempFile(&current, &temp), FILEIO_SUCCESS);
  struct stat st;
  ASSERT_EQ(fstat(temp.posix, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FileIO_Write(&temp, "new", 3, nullptr), FILEIO_SUCCESS);

  EXPECT_TRUE(FileIO_AtomicUpdate(&temp, &current));
  ExpectInvalidAndEmpty(temp);
  // The link survives and shows the new content; the handle reads it too.
  struct stat lst;
  ASSERT_EQ(lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_EQ(ReadFile(link), "new");
  EXPECT_EQ(access((real + "~").c_str(), F_OK), -1);
  EXPECT_STREQ(FileIO_Filename(&current), link.c_str());
  EXPECT_EQ(current.flags, kRW);
  char buf[8] = {};
  EXPECT_EQ(FileIO_Read(&current, buf, 3, nullptr), FILEIO_SUCCESS);
  EXPECT_STREQ(buf, "new");
  FileIO_Close(&current);
}

TEST(FileIOAtomicTest, LeftoverTemporaryFileIsReplaced) {
  TempDir tmp;
  std::string path = tmp / "d.cfg";
  WriteFile(path, "a", 0600);
  WriteFile(path + "~", "stale", 0600);
  FileIODescriptor current = Invalid(), temp = Invalid();
  ASSERT_EQ(FileIO_Open(&current, path.c_str(), kRW, FILEIO_OPEN), FILEIO_SUCCESS);
  ASSERT_EQ(FileIO_AtomicTempFile(&current, &temp), FILEIO_SUCCESS);
  EXPECT_EQ(FileIO_GetSize(&temp), 0);
  FileIO_CloseAndUnlink(&temp);
  FileIO_Close(&current);
}

// ---- Failures the system produces only under conditions set up in a child ----

TEST(FileIOFailureTest, PermissionDenied) {
  TempDir tmp;
  std::string secret = tmp / "secret";
  WriteFile(secret, "s", 0);
  chmod(tmp.path().c_str(), 0555);
  ChildResult r = RunInChild([&] {
    // As root: an ordinary effective user who may become root again, which
    // a plain open must not do.
    CHILD_CHECK(geteuid() != 0 || setresuid(0, testsupport::kNobody, 0) == 0);
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    CHILD_CHECK(FileIO_Open(&fd, secret.c_str(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN) ==
                FILEIO_NO_PERMISSION);
    CHILD_CHECK(errno == EACCES);
    CHILD_CHECK(fd.posix == -1 && fd.fileName == nullptr);
    CHILD_CHECK(FileIO_Open(&fd, (tmp / "new").c_str(), kRW, FILEIO_OPEN_CREATE) ==
                FILEIO_NO_PERMISSION);
    return 0;
  });
  chmod(tmp.path().c_str(), 0755);
  EXPECT_CHILD_PASSED(r);
}

TEST(FileIOFailureTest, PrivilegedOpen) {
  SKIP_UNLESS_ROOT("open as root from an ordinary effective user (setresuid)");
  TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  std::string secret = tmp / "secret";
  WriteFile(secret, "s", 0600);
  ChildResult r = RunInChild([&] {
    CHILD_CHECK(setresuid(0, testsupport::kNobody, 0) == 0);
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    CHILD_CHECK(FileIO_Open(&fd, secret.c_str(), FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_PRIVILEGED,
                            FILEIO_OPEN) == FILEIO_SUCCESS);
    CHILD_CHECK(geteuid() == testsupport::kNobody);  // back to the caller's user
    FileIO_Close(&fd);
    // A privileged open that fails keeps its errno across the switch back.
    CHILD_CHECK(FileIO_Open(&fd, (tmp / "none").c_str(),
                            FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_PRIVILEGED,
                            FILEIO_OPEN) == FILEIO_FILE_NOT_FOUND);
    CHILD_CHECK(errno == ENOENT && geteuid() == testsupport::kNobody);
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
}

TEST(FileIOFailureTest, NoSpaceOnATinyFileSystem) {
  SKIP_UNLESS_ROOT("mount a 64k tmpfs in a private mount namespace");
  TempDir tmp;
  ChildResult r = RunInChild([&] {
    if (!filetest::EnterPrivateMountNamespace() ||
        mount("tmpfs", tmp.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
      return filetest::Refused("mount a 64k tmpfs in a private mount namespace");
    }
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    CHILD_CHECK(FileIO_Open(&fd, (tmp / "big").c_str(), kRW, FILEIO_OPEN_CREATE) == FILEIO_SUCCESS);
    std::string block(1 << 20, 'x');
    size_t written = 0;
    CHILD_CHECK(FileIO_Write(&fd, block.data(), block.size(), &written) ==
                FILEIO_WRITE_ERROR_NOSPC);
    CHILD_CHECK(errno == ENOSPC);
    CHILD_CHECK(written > 0 && written < block.size());
    CHILD_CHECK(FileIO_GetSize(&fd) == static_cast<int64_t>(written));
    FileIO_Close(&fd);
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
}

TEST(FileIOFailureTest, ReadOnlyFileSystemIsTheGenericError) {
  SKIP_UNLESS_ROOT("bind-mount a directory read-only in a private mount namespace");
  TempDir tmp;
  ChildResult r = RunInChild([&] {
    if (!filetest::EnterPrivateMountNamespace() ||
        mount(tmp.path().c_str(), tmp.path().c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, tmp.path().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
            0) {
      return filetest::Refused("bind-mount a directory read-only in a private mount namespace");
    }
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    CHILD_CHECK(FileIO_Create(&fd, (tmp / "dump").c_str(), kRW, FILEIO_OPEN_CREATE_SAFE, 0555) ==
                FILEIO_ERROR);
    CHILD_CHECK(errno == EROFS);
    CHILD_CHECK(fd.posix == -1 && fd.fileName == nullptr);
    CHILD_CHECK(!File_CreateDirectoryHierarchy((tmp / "a/b").c_str(), nullptr));
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
  if (r.Passed()) {
    EXPECT_TRUE(r.LogHas("FileIOErrno2Result: Unexpected errno=30"));
  }
}

TEST(FileIOFailureTest, FileSizeLimitGivesFileTooLarge) {
  TempDir tmp;
  ChildResult r = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    CHILD_CHECK(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    CHILD_CHECK(FileIO_Open(&fd, (tmp / "f").c_str(), kRW, FILEIO_OPEN_CREATE) == FILEIO_SUCCESS);
    std::string block(8192, 'x');
    size_t written = 0;
    CHILD_CHECK(FileIO_Write(&fd, block.data(), block.size(), &written) == FILEIO_WRITE_ERROR_FBIG);
    CHILD_CHECK(written == 4096);
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
}

TEST(FileIOFailureTest, OverlongComponentGivesNameTooLong) {
  TempDir tmp;
  std::string path = tmp / std::string(256, 'n');
  FileIODescriptor fd = Invalid();
  EXPECT_EQ(FileIO_Create(&fd, path.c_str(), kRW, FILEIO_OPEN_CREATE_SAFE, 0555),
            FILEIO_FILE_NAME_TOO_LONG);
  ExpectInvalidAndEmpty(fd);
}

}  // namespace
