// Device locks: "LCK..<device>" files holding the owner's process id and
// machine id, the convention serial-line programs share. Where the file
// system supports hard links the lock appears atomically, complete, by
// linking a temporary file that was written first.

#include <brellis/err.h>
#include <brellis/fileLock.h>
#include <brellis/log.h>
#include <brellis/posix.h>
#include <brellis/str.h>

#include "file/fileInt.h"
#include "file/fileLockInt.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *kDeviceLockDir = "/var/lock";

#ifndef XFS_SUPER_MAGIC
#define XFS_SUPER_MAGIC 0x58465342
#endif

// File systems where link() is atomic and dependable.
bool SupportsLinks(long type) {
  switch (type) {
    case EXT2_SUPER_MAGIC:  // also ext3 and ext4
    case TMPFS_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case REISERFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// Writes "pid machine-id\n" into a file created new, never through a link.
int CreateOwned(const std::string &path) {
  int fd = Posix_Open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) {
    int err = errno;
    if (err != EEXIST) {
      Log_Info("FILE: Failed to create new lock file %s (%s).\n", path.c_str(),
               Err_Errno2String(err));
    }
    return err;
  }
  char line[256];
  int length = Str_Snprintf(line, sizeof line, "%d %s\n", static_cast<int>(getpid()),
                            FileLockGetMachineID());
  int err = 0;
  if (length < 0 || write(fd, line, static_cast<size_t>(length)) != length) {
    err = errno != 0 ? errno : EIO;
    Log_Warning("FILE: Failed to write to new lock file %s (%s).\n", path.c_str(),
                Err_Errno2String(err));
  }
  close(fd);
  if (err != 0) {
    Posix_Unlink(path.c_str());
  }
  return err;
}

// 1: the lock names a live process or another host; 0: no lock there (a
// stale one of this host was removed); -1 with errno on failure.
int CheckExisting(const std::string &lockPath) {
  int fd = Posix_Open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    int err = errno;
    if (err == ENOENT) {
      return 0;
    }
    Log_Warning("FILE: Failed to open existing lock file %s (%s).\n", lockPath.c_str(),
                Err_Errno2String(err));
    errno = err;
    return -1;
  }
  char buffer[1100] = {};
  ssize_t got = read(fd, buffer, sizeof buffer - 1);
  int readErr = errno;
  close(fd);
  if (got < 0) {
    Log_Warning("FILE: Failed to read line from lock file %s (%s).\n", lockPath.c_str(),
                Err_Errno2String(readErr));
    errno = readErr;
    return -1;
  }
  int pid;
  char machineID[1000];
  if (sscanf(buffer, "%d %999s", &pid, machineID) != 2 || pid <= 0) {
    Log_Warning("FILE: Badly formatted lock file %s.\n", lockPath.c_str());
    errno = EINVAL;
    return -1;
  }
  if (!FileLockMachineIDMatch(FileLockGetMachineID(), machineID) ||
      !(kill(pid, 0) == -1 && errno == ESRCH)) {
    return 1;
  }
  Log_Info("FILE: Found a previous instance of lock file '%s'. It will be removed automatically.\n",
           lockPath.c_str());
  if (Posix_Unlink(lockPath.c_str()) == -1 && errno != ENOENT) {
    int err = errno;
    Log_Warning("FILE: Failed to remove stale lock file %s (%s).\n", lockPath.c_str(),
                Err_Errno2String(err));
    errno = err;
    return -1;
  }
  return 0;
}

}  // namespace

int FileLockDeviceIn(const char *dir, const char *deviceName) {
  if (dir == nullptr || deviceName == nullptr || strchr(deviceName, '/') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string lockPath = std::string(dir) + "/LCK.." + deviceName;
  char tempName[64];
  Str_Sprintf(tempName, sizeof tempName, ".t%05d", static_cast<int>(getpid()));
  std::string tempPath = std::string(dir) + "/LTMP.." + deviceName + tempName;

  struct statfs sfs;
  if (Posix_Statfs(dir, &sfs) == -1) {
    int err = errno;
    Log_Info("FILE: Bad statfs using %s (%s).\n", dir, Err_Errno2String(err));
    errno = err;
    return -1;
  }
  bool linking = SupportsLinks(static_cast<long>(sfs.f_type));
  if (!linking) {
    Log_Warning("FILE: Unknown filesystem 0x%x. Using non-linking locking.\n",
                static_cast<unsigned>(sfs.f_type));
  }
  // A stale lock removed gives one more try; losing that race to another
  // taker is an ordinary "held".
  for (int attempt = 0; attempt < 2; attempt++) {
    int existing = CheckExisting(lockPath);
    if (existing != 0) {
      return existing == 1 ? 0 : -1;
    }
    if (!linking) {
      int err = CreateOwned(lockPath);
      if (err == 0) {
        return 1;
      }
      if (err != EEXIST) {
        errno = err;
        return -1;
      }
      continue;
    }
    Posix_Unlink(tempPath.c_str());  // our own leftover from an earlier crash
    int err = CreateOwned(tempPath);
    if (err != 0) {
      errno = err;
      return -1;
    }
    int linked = Posix_Link(tempPath.c_str(), lockPath.c_str());
    int linkErr = errno;
    if (Posix_Unlink(tempPath.c_str()) == -1) {
      Log_Warning("FILE: Failed to remove temporary lock file %s (%s).\n", tempPath.c_str(),
                  Err_Errno2String(errno));
    }
    if (linked == 0) {
      return 1;
    }
    if (linkErr != EEXIST) {
      Log_Info("FILE: Failed to create new lock file %s (%s).\n", lockPath.c_str(),
               Err_Errno2String(linkErr));
      errno = linkErr;
      return -1;
    }
  }
  return 0;
}

bool FileUnlockDeviceIn(const char *dir, const char *deviceName) {
  if (dir == nullptr || deviceName == nullptr || strchr(deviceName, '/') != nullptr) {
    errno = EINVAL;
    return false;
  }
  std::string lockPath = std::string(dir) + "/LCK.." + deviceName;
  // Only our own lock is ours to remove.
  int fd = Posix_Open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  char buffer[64] = {};
  ssize_t got = fd == -1 ? -1 : read(fd, buffer, sizeof buffer - 1);
  int pid = 0;
  if (fd != -1) {
    close(fd);
  }
  if (got <= 0 || sscanf(buffer, "%d", &pid) != 1 || pid != getpid()) {
    int err = got < 0 ? errno : EPERM;
    Log_Info("FILE: Cannot remove lock file %s (%s).\n", lockPath.c_str(), Err_Errno2String(err));
    errno = err;
    return false;
  }
  if (Posix_Unlink(lockPath.c_str()) == -1) {
    int err = errno;
    Log_Info("FILE: Cannot remove lock file %s (%s).\n", lockPath.c_str(), Err_Errno2String(err));
    errno = err;
    return false;
  }
  return true;
}

extern "C" {

int FileLock_LockDevice(const char *deviceName) {
  return FileLockDeviceIn(kDeviceLockDir, deviceName);
}

bool FileLock_UnlockDevice(const char *deviceName) {
  return FileUnlockDeviceIn(kDeviceLockDir, deviceName);
}

}  // extern "C"
