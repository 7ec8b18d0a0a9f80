// File handles on POSIX descriptors: opening, transfers, positions, sizes
// and preallocation.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/posix.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

using fileint::UniqueChars;

namespace {

constexpr int kActionFlags[] = {
    0,                  // FILEIO_OPEN
    O_TRUNC,            // FILEIO_OPEN_EMPTY
    O_CREAT,            // FILEIO_OPEN_CREATE
    O_CREAT | O_EXCL,   // FILEIO_OPEN_CREATE_SAFE
    O_CREAT | O_TRUNC,  // FILEIO_OPEN_CREATE_EMPTY
};

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

// Undoes a failed open: lock released, name freed, handle invalid, errno
// kept.
void Abandon(FileIODescriptor *fd) {
  int savedErrno = errno;
  FileIO_Unlock(fd);
  free(fd->fileName);
  FileIO_Invalidate(fd);
  errno = savedErrno;
}

int OpenRetrying(const char *pathName, int flags, int mode) {
  int posix;
  do {
    posix = (flags & O_CREAT) ? Posix_Open(pathName, flags, mode) : Posix_Open(pathName, flags);
  } while (posix == -1 && errno == EINTR);
  return posix;
}

// Opens with effective user id 0 for the duration of the call; the open's
// errno survives the switch back.
int OpenPrivileged(const char *pathName, int flags, int mode) {
  uid_t euid = geteuid();
  if (euid == 0) {
    return OpenRetrying(pathName, flags, mode);
  }
  if (setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) {
    return -1;
  }
  int posix = OpenRetrying(pathName, flags, mode);
  int savedErrno = errno;
  if (setresuid(static_cast<uid_t>(-1), euid, static_cast<uid_t>(-1)) != 0) {
    // Carrying on as root where the caller asked for an ordinary user
    // would be worse than any failure.
    Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  errno = savedErrno;
  return posix;
}

// The running kernel's version as one ordered triple.
bool KernelAtLeast(int major, int minor, int patch) {
  struct utsname u;
  if (uname(&u) != 0) {
    return false;
  }
  int v[3] = {0, 0, 0};
  if (sscanf(u.release, "%d.%d.%d", &v[0], &v[1], &v[2]) < 2) {
    return false;
  }
  if (v[0] != major) return v[0] > major;
  if (v[1] != minor) return v[1] > minor;
  return v[2] >= patch;
}

// Moves requested bytes at the current position, call after call, until
// all are moved or the file ends (a read) or a call moves nothing (a write,
// which would otherwise spin for ever). Interrupted calls are repeated.
template <bool isWrite>
FileIOResult Transfer(int posix, std::conditional_t<isWrite, const char, char> *p, size_t requested,
                      size_t *actual) {
  size_t done = 0;
  FileIOResult result = FILEIO_SUCCESS;
  while (done < requested) {
    ssize_t n;
    if constexpr (isWrite) {
      n = write(posix, p + done, requested - done);
    } else {
      n = read(posix, p + done, requested - done);
    }
    if (n == -1) {
      if (errno == EINTR) continue;
      int err = errno;
      result = FileIOErrno2Result(err);
      if (!isWrite && result == FILEIO_ERROR) {
        Log_Info("read failed, errno=%d, %s\n", err, Err_Errno2String(err));
      }
      errno = err;
      break;
    }
    if (n == 0) {
      result = isWrite ? FILEIO_WRITE_ERROR_NOSPC : FILEIO_READ_ERROR_EOF;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (actual != nullptr) *actual = done;
  return result;
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
  FileIO_Invalidate(fd);
  access = FileIOResolveLockBits(access);
  fd->fileName = Util_SafeStrdup(-1, pathName, __FILE__, __LINE__);

  if (access & FILEIO_OPEN_LOCK_ADVISORY) {
    FileIOResult lockResult = FileIO_Lock(fd, static_cast<int>(access));
    if (lockResult != FILEIO_SUCCESS) {
      Abandon(fd);
      return lockResult;
    }
  }

  int flags = OpenFlags(access, action);
  fd->flags = access;
  int posix = (access & FILEIO_OPEN_PRIVILEGED) ? OpenPrivileged(pathName, flags, mode)
                                                : OpenRetrying(pathName, flags, mode);
  if (posix == -1) {
    FileIOResult result = FileIOErrno2Result(errno);
    Abandon(fd);
    return result;
  }
  if ((access & FILEIO_OPEN_DELETE_ASAP) && Posix_Unlink(pathName) != 0) {
    int savedErrno = errno;
    FileIOResult result = FileIOErrno2Result(savedErrno);
    close(posix);
    errno = savedErrno;
    Abandon(fd);
    return result;
  }
  fd->posix = posix;
  return FILEIO_SUCCESS;
}

bool FileIO_Close(FileIODescriptor *fd) {
  int err = close(fd->posix) == -1 ? errno : 0;
  FileIO_Unlock(fd);
  free(fd->fileName);
  FileIO_Invalidate(fd);
  errno = err;
  return err != 0;
}

FileIOResult FileIO_Read(FileIODescriptor *fd, void *buf, size_t requested, size_t *actual) {
  return Transfer<false>(fd->posix, static_cast<char *>(buf), requested, actual);
}

FileIOResult FileIO_Write(FileIODescriptor *fd, const void *buf, size_t requested, size_t *actual) {
  return Transfer<true>(fd->posix, static_cast<const char *>(buf), requested, actual);
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
  return Posix_Stat(pathName, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

FileIOResult FileIO_GetAllocSize(const FileIODescriptor *fd, uint64_t *logicalBytes,
                                 uint64_t *allocedBytes) {
  struct stat st;
  if (fstat(fd->posix, &st) != 0) {
    return FileIOErrno2Result(errno);
  }
  if (logicalBytes != nullptr) *logicalBytes = static_cast<uint64_t>(st.st_size);
  if (allocedBytes != nullptr) *allocedBytes = static_cast<uint64_t>(st.st_blocks) * 512;
  return FILEIO_SUCCESS;
}

bool FileIO_SetAllocSize(const FileIODescriptor *fd, uint64_t size) {
  uint64_t allocated;
  if (FileIO_GetAllocSize(fd, nullptr, &allocated) != FILEIO_SUCCESS) {
    return false;
  }
  if (size < allocated) {
    errno = EINVAL;
    return false;
  }
  if (size == allocated) {
    return true;  // fallocate refuses an empty range; nothing is missing
  }
  return fallocate(fd->posix, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(allocated),
                   static_cast<off_t>(size - allocated)) == 0;
}

bool FileIO_SupportsPrealloc(const char *pathName, bool checkFileSystem) {
  if (!KernelAtLeast(2, 6, 23)) {
    return false;
  }
  if (!checkFileSystem) {
    return true;
  }
  if (pathName == nullptr) {
    return false;
  }
  UniqueChars full(File_FullPath(pathName));
  struct statfs sfs;
  return full != nullptr && Posix_Statfs(full.get(), &sfs) == 0 && sfs.f_type == EXT4_SUPER_MAGIC;
}

int FileIO_Sync(const FileIODescriptor *fd) {
  return fsync(fd->posix);
}

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
  return Posix_Access(pathName, mode) == 0 ? FILEIO_SUCCESS : FILEIO_ERROR;
}

FILE *FileIO_DescriptorToStream(FileIODescriptor *fd, bool) {
  // The duplicate stays close-on-exec like the handle itself.
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
  // O_SYNC shares a bit with O_DSYNC: only the whole of it means SYNC.
  if ((flags & O_SYNC) == O_SYNC) fd.flags |= FILEIO_OPEN_SYNC;
  if (flags & O_APPEND) fd.flags |= FILEIO_OPEN_APPEND;
  fd.posix = posixFd;
  return fd;
}

}  // extern "C"
