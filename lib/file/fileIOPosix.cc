// File handles on POSIX descriptors.
//
// Covers the open actions, reads, writes, seeks and closes the collector and
// the log rely on. Advisory lock files, privileged opens, preallocation and
// the atomic replacement sequence come with the lock-file layer; until then
// a locked open reports that no lock could be taken.

#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/util.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kActionFlags[] = {
    0,                  // FILEIO_OPEN
    O_TRUNC,            // FILEIO_OPEN_EMPTY
    O_CREAT,            // FILEIO_OPEN_CREATE
    O_CREAT | O_EXCL,   // FILEIO_OPEN_CREATE_SAFE
    O_CREAT | O_TRUNC,  // FILEIO_OPEN_CREATE_EMPTY
};

uint32_t ResolveLockBits(uint32_t access) {
  if (access & FILEIO_OPEN_LOCK_MANDATORY) {
    access = (access & ~FILEIO_OPEN_LOCK_MANDATORY) | FILEIO_OPEN_LOCK_ENFORCED;
  }
  if (access & FILEIO_OPEN_LOCKED) {
    access = (access & ~FILEIO_OPEN_LOCKED) | FILEIO_OPEN_LOCK_ADVISORY;
  }
  return access;
}

int OpenFlags(uint32_t access, FileIOOpenAction action) {
  int flags;
  if ((access & FILEIO_OPEN_ACCESS_READ) && (access & FILEIO_OPEN_ACCESS_WRITE)) {
    flags = O_RDWR;
  } else if (access & FILEIO_OPEN_ACCESS_WRITE) {
    flags = O_WRONLY;
  } else {
    flags = O_RDONLY;
  }
  if (access & FILEIO_OPEN_SYNC) flags |= O_SYNC;
  if (access & FILEIO_OPEN_UNBUFFERED) flags |= O_DIRECT;
  if (access & FILEIO_OPEN_NONBLOCK) flags |= O_NONBLOCK;
  if (access & FILEIO_OPEN_APPEND) flags |= O_APPEND;
  if (access & FILEIO_OPEN_ACCESS_NOFOLLOW) flags |= O_NOFOLLOW;
  if ((access & FILEIO_OPEN_EXCLUSIVE_READ) && (access & FILEIO_OPEN_EXCLUSIVE_WRITE)) {
    flags |= O_EXCL;
  }
  // Handles never leak into programs the process starts.
  return flags | kActionFlags[action] | O_CLOEXEC;
}

void ReleaseName(FileIODescriptor *fd) {
  free(fd->fileName);
  fd->fileName = nullptr;
}

}  // namespace

extern "C" {

FileIOResult FileIO_Create(FileIODescriptor *fd, const char *pathName, uint32_t access,
                           FileIOOpenAction action, int mode) {
  if (pathName == nullptr) {
    errno = EFAULT;
    return FILEIO_ERROR;
  }
  if (static_cast<unsigned>(action) > FILEIO_OPEN_CREATE_EMPTY) {
    errno = EINVAL;
    return FILEIO_ERROR;
  }
  access = ResolveLockBits(access);
  fd->fileName = Util_SafeStrdup(-1, pathName, __FILE__, __LINE__);
  if (access & FILEIO_OPEN_LOCK_ADVISORY) {
    FileIOResult lockResult = FileIO_Lock(fd, static_cast<int>(access));
    if (lockResult != FILEIO_SUCCESS) {
      int savedErrno = errno;
      ReleaseName(fd);
      FileIO_Invalidate(fd);
      errno = savedErrno;
      return lockResult;
    }
  }
  if ((access & FILEIO_OPEN_LOCK_ENFORCED) && (access & FILEIO_OPEN_LOCK_ADVISORY)) {
    ReleaseName(fd);
    FileIO_Invalidate(fd);
    return FILEIO_LOCK_FAILED;
  }
  int posix;
  do {
    posix = open(pathName, OpenFlags(access, action), mode);
  } while (posix == -1 && errno == EINTR);
  if (posix == -1) {
    int savedErrno = errno;
    ReleaseName(fd);
    FileIO_Invalidate(fd);
    errno = savedErrno;
    return FileIOErrno2Result(savedErrno);
  }
  if (access & FILEIO_OPEN_DELETE_ASAP) {
    unlink(pathName);
  }
  fd->posix = posix;
  fd->flags = access;
  return FILEIO_SUCCESS;
}

FileIOResult FileIO_Open(FileIODescriptor *fd, const char *pathName, uint32_t access,
                         FileIOOpenAction action) {
  return FileIO_Create(fd, pathName, access, action, 0600);
}

bool FileIO_Close(FileIODescriptor *fd) {
  int err = close(fd->posix) == -1 ? errno : 0;
  FileIO_Unlock(fd);
  ReleaseName(fd);
  FileIO_Invalidate(fd);
  errno = err;
  return err != 0;
}

bool FileIO_CloseAndUnlink(FileIODescriptor *fd) {
  char *name = fd->fileName;
  fd->fileName = nullptr;
  bool failed = FileIO_Close(fd);
  if (name != nullptr) {
    failed = File_Unlink(name) != 0 || failed;
    free(name);
  }
  return failed;
}

FileIOResult FileIO_Read(FileIODescriptor *fd, void *buf, size_t requested, size_t *actual) {
  auto *p = static_cast<char *>(buf);
  size_t done = 0;
  FileIOResult result = FILEIO_SUCCESS;
  while (done < requested) {
    ssize_t n = read(fd->posix, p + done, requested - done);
    if (n == -1) {
      if (errno == EINTR) continue;
      result = FileIOErrno2Result(errno);
      break;
    }
    if (n == 0) {
      result = FILEIO_READ_ERROR_EOF;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (actual != nullptr) *actual = done;
  return result;
}

FileIOResult FileIO_Write(FileIODescriptor *fd, const void *buf, size_t requested,
                          size_t *actual) {
  const auto *p = static_cast<const char *>(buf);
  size_t done = 0;
  FileIOResult result = FILEIO_SUCCESS;
  while (done < requested) {
    ssize_t n = write(fd->posix, p + done, requested - done);
    if (n == -1) {
      if (errno == EINTR) continue;
      result = FileIOErrno2Result(errno);
      break;
    }
    if (n == 0) {
      // A write that makes no progress would otherwise spin for ever.
      result = FILEIO_WRITE_ERROR_NOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (actual != nullptr) *actual = done;
  return result;
}

int64_t FileIO_Seek(const FileIODescriptor *fd, int64_t distance, FileIOSeekOrigin origin) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (static_cast<unsigned>(origin) > FILEIO_SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  return lseek(fd->posix, static_cast<off_t>(distance), kWhence[origin]);
}

int64_t FileIO_GetSize(const FileIODescriptor *fd) {
  struct stat st;
  return fstat(fd->posix, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t FileIO_GetSizeByPath(const char *pathName) {
  struct stat st;
  return stat(pathName, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int FileIO_Sync(const FileIODescriptor *fd) { return fsync(fd->posix); }

bool FileIO_Truncate(FileIODescriptor *fd, uint64_t newSize) {
  return ftruncate(fd->posix, static_cast<off_t>(newSize)) == 0;
}

FileIOResult FileIO_Access(const char *pathName, int accessMode) {
  if (pathName == nullptr) {
    errno = EFAULT;
    return FILEIO_ERROR;
  }
  int mode = 0;
  if (accessMode & FILEIO_ACCESS_READ) mode |= R_OK;
  if (accessMode & FILEIO_ACCESS_WRITE) mode |= W_OK;
  if (accessMode & FILEIO_ACCESS_EXEC) mode |= X_OK;
  return access(pathName, mode) == 0 ? FILEIO_SUCCESS : FILEIO_ERROR;
}

FILE *FileIO_DescriptorToStream(FileIODescriptor *fd, bool) {
  int dupFd = fcntl(fd->posix, F_DUPFD_CLOEXEC, 0);
  if (dupFd == -1) {
    return nullptr;
  }
  const char *mode = "r";
  if ((fd->flags & FILEIO_OPEN_ACCESS_READ) && (fd->flags & FILEIO_OPEN_ACCESS_WRITE)) {
    mode = "r+";
  } else if (fd->flags & FILEIO_OPEN_ACCESS_WRITE) {
    mode = "w";
  }
  FILE *stream = fdopen(dupFd, mode);
  if (stream == nullptr) {
    int savedErrno = errno;
    close(dupFd);
    errno = savedErrno;
  }
  return stream;
}

FileIODescriptor FileIO_CreateFDPosix(int posixFd, int flags) {
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  switch (flags & O_ACCMODE) {
    case O_RDWR:
      fd.flags = FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE;
      break;
    case O_WRONLY:
      fd.flags = FILEIO_OPEN_ACCESS_WRITE;
      break;
    default:
      fd.flags = FILEIO_OPEN_ACCESS_READ;
      break;
  }
  if ((flags & O_SYNC) == O_SYNC) fd.flags |= FILEIO_OPEN_SYNC;
  if (flags & O_APPEND) fd.flags |= FILEIO_OPEN_APPEND;
  fd.posix = posixFd;
  return fd;
}

FileIOResult FileIO_Lock(FileIODescriptor *fd, int access) {
  if (access & FILEIO_OPEN_LOCK_ADVISORY) {
    // No lock-file layer yet: say honestly that no lock was taken.
    (void)fd;
    errno = ENOSYS;
    return FILEIO_LOCK_FAILED;
  }
  return FILEIO_SUCCESS;
}

FileIOResult FileIO_Unlock(FileIODescriptor *fd) {
  fd->lockToken = nullptr;
  return FILEIO_SUCCESS;
}

}  // extern "C"
