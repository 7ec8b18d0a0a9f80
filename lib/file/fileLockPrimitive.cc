// Lock files: the calls the file handles make to take and release them.
//
// The lock-file protocol itself (lock directories, member files, tickets)
// is not in this build yet. Until it is, no lock is ever granted: taking one
// answers as a lock held by others whose wait ran out (a null token with
// error 0), so FILEIO_OPEN_LOCKED opens fail with FILEIO_LOCK_FAILED rather
// than pretending to hold a lock nobody else can see.

#include <brellis/err.h>
#include <brellis/msg.h>

#include "file/fileInt.h"

#include <cerrno>

namespace {

void AppendLockMessage(MsgList **messages, int error) {
  int shown = error == 0 ? EAGAIN : error;
  MsgList_Append(messages, "@&!*@*@(msg.fileLock.posix)A file locking error (%d) has occurred: %s.",
                 shown, Err_Errno2String(shown));
}

}  // namespace

FileLockToken *FileLock_Lock(const char *pathName, bool, uint32_t, int *error, MsgList **messages) {
  int err = pathName == nullptr ? EFAULT : 0;
  if (error != nullptr) {
    *error = err;
  }
  AppendLockMessage(messages, err);
  return nullptr;
}

bool FileLock_Unlock(FileLockToken *token, int *error, MsgList **messages) {
  // No token is ever handed out, so there is nothing that could be released.
  int err = token == nullptr ? EINVAL : 0;
  if (error != nullptr) {
    *error = err;
  }
  if (err != 0) {
    AppendLockMessage(messages, err);
  }
  return err == 0;
}

bool FileLock_IsLocked(const char *pathName, int *error, MsgList **) {
  if (error != nullptr) {
    *error = pathName == nullptr ? EFAULT : 0;
  }
  return false;
}
