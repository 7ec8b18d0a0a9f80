// The portable half of the file handles: handle state, result texts, the
// errno mapping, lock-file use and the atomic replacement sequence.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/fileLock.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/posix.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstring>

using fileint::UniqueChars;

namespace {

constexpr std::array<const char *, FILEIO_ERROR_LAST> kMessages = {
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

constexpr uint32_t kLockBits =
    FILEIO_OPEN_LOCKED | FILEIO_OPEN_LOCK_ADVISORY | FILEIO_OPEN_LOCK_ENFORCED;

}  // namespace

uint32_t FileIOResolveLockBits(uint32_t access) {
  if (access & FILEIO_OPEN_LOCK_MANDATORY) {
    access = (access & ~FILEIO_OPEN_LOCK_MANDATORY) | FILEIO_OPEN_LOCK_ENFORCED;
  }
  if (access & FILEIO_OPEN_LOCKED) {
    access = (access & ~FILEIO_OPEN_LOCKED) | FILEIO_OPEN_LOCK_ADVISORY;
  }
  return access;
}

extern "C" {

void FileIO_Invalidate(FileIODescriptor *fd) {
  memset(fd, 0, sizeof *fd);
  fd->posix = -1;
}

bool FileIO_IsValid(const FileIODescriptor *fd) {
  return fd->posix != -1;
}

const char *FileIO_Filename(const FileIODescriptor *fd) {
  return fd->fileName;
}

FileIOResult FileIO_Open(FileIODescriptor *fd, const char *pathName, uint32_t access,
                         FileIOOpenAction action) {
  return FileIO_Create(fd, pathName, access, action, 0600);
}

bool FileIO_CloseAndUnlink(FileIODescriptor *fd) {
  UniqueChars name(Util_SafeStrdup(-1, fd->fileName, __FILE__, __LINE__));
  bool failed = FileIO_Close(fd);
  int savedErrno = errno;
  if (name != nullptr && File_Unlink(name.get()) != 0) {
    return true;  // errno from the unlink
  }
  errno = savedErrno;
  return failed;
}

const char *FileIO_MsgError(FileIOResult status) {
  int code = static_cast<int>(status);
  if (code == FILEIO_ERROR_LAST) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  if (code < 0 || code > FILEIO_ERROR_LAST) {
    Log_Warning("%s: bad code %d\n", "FileIO_MsgError", code);
    return "@&!*@*@(msg.fileio.unknown)Unknown error";
  }
  return kMessages[static_cast<size_t>(code)];
}

const char *FileIO_ErrorEnglish(FileIOResult status) {
  const char *text = FileIO_MsgError(status);
  if (strncmp(text, "@&!*@*@(", 8) == 0) {
    const char *close = strchr(text, ')');
    if (close != nullptr) {
      return close + 1;
    }
  }
  return text;
}

FileIOResult FileIOErrno2Result(int error) {
  switch (error) {
    case ENOENT:
      return FILEIO_FILE_NOT_FOUND;
    case EACCES:
      return FILEIO_NO_PERMISSION;
    case EEXIST:
      return FILEIO_OPEN_ERROR_EXIST;
    case EFBIG:
      return FILEIO_WRITE_ERROR_FBIG;
    case ENOSPC:
      return FILEIO_WRITE_ERROR_NOSPC;
    case ENAMETOOLONG:
      return FILEIO_FILE_NAME_TOO_LONG;
    case EDQUOT:
      return FILEIO_WRITE_ERROR_DQUOT;
    default:
      Log_Info("%s: Unexpected errno=%d, %s\n", "FileIOErrno2Result", error,
               Err_Errno2String(error));
      return FILEIO_ERROR;
  }
}

FileIOResult FileIO_Lock(FileIODescriptor *fd, int access) {
  uint32_t resolved = FileIOResolveLockBits(static_cast<uint32_t>(access));
  if (resolved & FILEIO_OPEN_LOCK_ENFORCED) {
    return FILEIO_LOCK_FAILED;  // there is no kernel-enforced lock here
  }
  if (!(resolved & FILEIO_OPEN_LOCK_ADVISORY)) {
    return FILEIO_SUCCESS;
  }
  int err = 0;
  bool readOnly = !(resolved & FILEIO_OPEN_ACCESS_WRITE);
  fd->lockToken = FileLock_Lock(fd->fileName, readOnly, 2500, &err, nullptr);
  if (fd->lockToken != nullptr) {
    return FILEIO_SUCCESS;
  }
  Log_Warning("FILE: %s on '%s' failed: %s\n", "FileIO_Lock", fd->fileName,
              err == 0 ? "Lock timed out" : Err_Errno2String(err));
  errno = err;
  switch (err) {
    case 0:
    case EROFS:
      return FILEIO_LOCK_FAILED;
    case ENOENT:
      return FILEIO_FILE_NOT_FOUND;
    case EACCES:
      return FILEIO_NO_PERMISSION;
    case ENAMETOOLONG:
      return FILEIO_FILE_NAME_TOO_LONG;
    default:
      return FILEIO_ERROR;
  }
}

FileIOResult FileIO_Unlock(FileIODescriptor *fd) {
  if (fd->lockToken == nullptr) {
    return FILEIO_SUCCESS;
  }
  int err = 0;
  bool ok = FileLock_Unlock(fd->lockToken, &err, nullptr);
  fd->lockToken = nullptr;
  if (!ok) {
    Log_Warning("FILE: %s on '%s' failed: %s\n", "FileIO_Unlock", fd->fileName,
                Err_Errno2String(err));
    errno = err;
    return FILEIO_ERROR;
  }
  return FILEIO_SUCCESS;
}

bool FileIO_SupportsFileSize(const FileIODescriptor *fd, uint64_t requestedSize) {
  int64_t saved = FileIO_Seek(fd, 0, FILEIO_SEEK_CURRENT);
  if (saved == -1) {
    return false;
  }
  int64_t reached = FileIO_Seek(fd, static_cast<int64_t>(requestedSize), FILEIO_SEEK_BEGIN);
  if (FileIO_Seek(fd, saved, FILEIO_SEEK_BEGIN) != saved) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  return reached >= 0 && static_cast<uint64_t>(reached) == requestedSize;
}

char *FileIO_AtomicTempPath(const char *pathName) {
  UniqueChars full(File_FullPath(pathName));
  if (full == nullptr) {
    Log_Info("%s: File_FullPath of '%s' failed.\n", "FileIO_AtomicTempPath", pathName);
    return nullptr;
  }
  return Str_SafeAsprintf(nullptr, "%s~", full.get());
}

FileIOResult FileIO_AtomicTempFile(FileIODescriptor *fileFD, FileIODescriptor *tempFD) {
  static constexpr const char *kFn = "FileIO_AtomicTempFile";
  UniqueChars tempPath(FileIO_AtomicTempPath(fileFD->fileName));
  if (tempPath == nullptr) {
    return FILEIO_ERROR;
  }
  struct stat st;
  if (fstat(fileFD->posix, &st) != 0) {
    Log_Info("%s: Failed to fstat '%s', errno: %d.\n", kFn, fileFD->fileName, errno);
    return FILEIO_ERROR;
  }
  if (Posix_Unlink(tempPath.get()) != 0 && errno != ENOENT) {
    Log_Info("%s: Failed to unlink temporary file, errno: %d\n", kFn, errno);
    // Not fatal: the exclusive create below tells whether the name is free.
  }
  FileIOResult status =
      FileIO_Create(tempFD, tempPath.get(), FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE,
                    FILEIO_OPEN_CREATE_SAFE, static_cast<int>(st.st_mode));
  if (status != FILEIO_SUCCESS) {
    Log_Info("%s: Failed to create temporary file, %s (%d). errno: %d\n", kFn,
             FileIO_ErrorEnglish(status), status, errno);
    return status;
  }
  bool ok = true;
  if (fchmod(tempFD->posix, st.st_mode) != 0) {
    Log_Info("%s: Failed to chmod temporary file, errno: %d\n", kFn, errno);
    ok = false;
  } else if (fchown(tempFD->posix, st.st_uid, st.st_gid) != 0) {
    Log_Info("%s: Failed to chown temporary file, errno: %d\n", kFn, errno);
    ok = false;
  }
  if (ok) {
    return FILEIO_SUCCESS;
  }
  int savedErrno = errno;
  FileIO_Close(tempFD);
  if (Posix_Unlink(tempPath.get()) != 0) {
    Log_Info("%s: Failed to clean up temporary file, errno: %d\n", kFn, errno);
  }
  errno = savedErrno;
  return FILEIO_ERROR;
}

bool FileIO_AtomicUpdate(FileIODescriptor *newFD, FileIODescriptor *currFD) {
  UniqueChars newName(Util_SafeStrdup(-1, newFD->fileName, __FILE__, __LINE__));
  UniqueChars currName(Util_SafeStrdup(-1, currFD->fileName, __FILE__, __LINE__));
  uint32_t savedAccess = currFD->flags;

  FileIO_Close(newFD);
  close(currFD->posix);
  currFD->posix = -1;

  // Renaming onto the resolved name replaces the file a symbolic link
  // points at instead of the link itself.
  UniqueChars target(File_FullPath(currName.get()));
  const char *destination = target != nullptr ? target.get() : currName.get();
  bool renamed = Posix_Rename(newName.get(), destination) == 0;
  int renameErrno = renamed ? 0 : errno;

  FileIODescriptor scratch;
  FileIO_Invalidate(&scratch);
  FileIOResult status =
      FileIO_Create(&scratch, currName.get(), savedAccess & ~kLockBits, FILEIO_OPEN, 0600);
  if (status != FILEIO_SUCCESS) {
    Panic("Failed to reopen dictionary after renaming \"%s\" to \"%s\": %s (%d)\n", newName.get(),
          currName.get(), FileIO_ErrorEnglish(status), status);
  }
  currFD->posix = scratch.posix;
  free(scratch.fileName);
  errno = renameErrno;
  return renamed;
}

}  // extern "C"
