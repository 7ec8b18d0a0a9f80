// Uniquely named temporary files, the per-user safe temporary directory,
// and the file layer's random numbers.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/log.h>
#include <brellis/posix.h>
#include <brellis/preference.h>
#include <brellis/random.h>
#include <brellis/str.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kMaxAttempts = 0x3FFFFFFF;
constexpr int kSafeTmpDirAttempts = 251;
constexpr MX_Rank kSafeTmpDirRank = 0xF0007020;

using brellis::UniqueChars;

MXUserExclLock *safeTmpDirLock;
char *safeTmpDirCache;  // guarded by safeTmpDirLock; lives for the process

// A directory is the user's own when it was made just now, or when it is a
// real directory (a link to one could be swapped) of the user that nobody
// else may enter or change.
bool FileAcceptableSafeTmpDir(const char *path, uid_t uid) {
  if (Posix_Mkdir(path, 0700) == 0) {
    return true;
  }
  if (errno != EEXIST) {
    return false;
  }
  struct stat st;
  return Posix_Lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
         (st.st_mode & 07777 & ~static_cast<mode_t>(S_ISGID)) == 0700;
}

UniqueChars WritableExpanded(const char *candidate) {
  if (candidate == nullptr) {
    return nullptr;
  }
  UniqueChars path(Util_ExpandString(candidate));
  return path != nullptr && File_IsWritableDir(path.get()) ? std::move(path) : nullptr;
}

UniqueChars FileGetTmpDir(bool useConf) {
  if (useConf) {
    UniqueChars configured(Config_GetString(nullptr, "tmpDirectory"));
    if (UniqueChars dir = WritableExpanded(configured.get())) {
      return dir;
    }
  }
  for (const char *candidate : {static_cast<const char *>(getenv("TMPDIR")), "/tmp", "~"}) {
    if (UniqueChars dir = WritableExpanded(candidate)) {
      return dir;
    }
  }
  UniqueChars cwd(File_Cwd(nullptr));
  if (UniqueChars dir = WritableExpanded(cwd.get())) {
    return dir;
  }
  if (UniqueChars dir = WritableExpanded("/")) {
    return dir;
  }
  Log_Warning("%s: Couldn't get a temporary directory\n", "FileGetTmpDir");
  return nullptr;
}

UniqueChars FileGetUserName(uid_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd *result = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr ||
      result->pw_name == nullptr || result->pw_name[0] == '\0') {
    Log_Warning("%s: Unable to retrieve the username associated with user ID %u.\n",
                "FileGetUserName", static_cast<unsigned>(uid));
    return nullptr;
  }
  return UniqueChars(Util_SafeStrdup(-1, result->pw_name, __FILE__, __LINE__));
}

// The first directory of base named "brellis-user-..." that is acceptable.
UniqueChars FileFindSafeTmpDir(const char *base, const char *user, uid_t uid) {
  char **names = nullptr;
  int count = File_ListDirectory(base, &names);
  UniqueChars found;
  UniqueChars prefix(Str_SafeAsprintf(nullptr, "%s-%s-", "brellis", user));
  size_t prefixLength = strlen(prefix.get());
  for (int i = 0; i < count; i++) {
    if (found == nullptr && strncmp(names[i], prefix.get(), prefixLength) == 0) {
      UniqueChars path(Str_SafeAsprintf(nullptr, "%s/%s", base, names[i]));
      if (File_IsDirectory(path.get()) && FileAcceptableSafeTmpDir(path.get(), uid)) {
        found = std::move(path);
      }
    }
    free(names[i]);
  }
  free(names);
  return found;
}

UniqueChars FileCreateSafeTmpDir(const char *base, const char *user, uid_t uid) {
  UniqueChars path;
  for (int attempt = 0; attempt < kSafeTmpDirAttempts; attempt++) {
    uint32_t suffix;
    if (!Random_Crypto(sizeof suffix, &suffix)) {
      Log_Warning("%s: Call to Random_Crypto failed.\n", "FileCreateSafeTmpDir");
      return nullptr;
    }
    path.reset(Str_SafeAsprintf(nullptr, "%s/%s-%s-%u", base, "brellis", user, suffix));
    if (FileAcceptableSafeTmpDir(path.get(), uid)) {
      return path;
    }
  }
  Log_Warning(
      "%s: Failed to create a safe temporary directory, path \"%s\". The maximum number of "
      "attempts was exceeded.\n",
      "FileCreateSafeTmpDir", path.get());
  return nullptr;
}

}  // namespace

uint32_t FileSimpleRandom() {
  static std::mutex *lock = new std::mutex;  // never destroyed: usable at exit
  static RandomQuickState *state = nullptr;
  std::lock_guard<std::mutex> guard(*lock);
  if (state == nullptr) {
    state = Random_QuickSeed(static_cast<uint32_t>(getpid()));
    if (state == nullptr) {
      return static_cast<uint32_t>(getpid());  // memory is short; any value serves
    }
  }
  return Random_Quick(state);
}

extern "C" {

char *File_GetSafeTmpDir(bool useConf) {
  MXUserExclLock *lock =
      MXUser_CreateSingletonExclLock(&safeTmpDirLock, "getSafeTmpDirLock", kSafeTmpDirRank);
  uid_t uid = geteuid();
  MXUser_AcquireExclLock(lock);
  UniqueChars result;
  // The cached directory is checked again: it may have been removed (then
  // it is made anew) or replaced by someone else's in the meantime.
  if (safeTmpDirCache != nullptr && FileAcceptableSafeTmpDir(safeTmpDirCache, uid)) {
    result.reset(Util_SafeStrdup(-1, safeTmpDirCache, __FILE__, __LINE__));
  } else if (UniqueChars base = FileGetTmpDir(useConf); base == nullptr) {
    Log_Warning("%s: FileGetTmpDir failed.\n", "File_GetSafeTmpDir");
  } else {
    UniqueChars user = FileGetUserName(uid);
    if (user == nullptr) {
      Log_Warning("%s: FileGetUserName failed, using numeric ID as username instead.\n",
                  "File_GetSafeTmpDir");
      user.reset(Str_SafeAsprintf(nullptr, "uid-%d", static_cast<int>(uid)));
    }
    UniqueChars path(Str_SafeAsprintf(nullptr, "%s/%s-%s", base.get(), "brellis", user.get()));
    if (!FileAcceptableSafeTmpDir(path.get(), uid)) {
      path = FileFindSafeTmpDir(base.get(), user.get(), uid);
      if (path == nullptr) {
        path = FileCreateSafeTmpDir(base.get(), user.get(), uid);
      }
    }
    if (path != nullptr) {
      free(safeTmpDirCache);
      safeTmpDirCache = Util_SafeStrdup(-1, path.get(), __FILE__, __LINE__);
      result = std::move(path);
    }
  }
  MXUser_ReleaseExclLock(lock);
  return result.release();
}

int File_MakeTempEx(const char *dir, const char *stem, char **presult) {
  if (dir == nullptr || stem == nullptr || presult == nullptr) {
    errno = EFAULT;
    return -1;
  }
  *presult = nullptr;
  uint32_t var = 0;
  for (uint32_t attempt = 0; attempt < kMaxAttempts; attempt++) {
    // File numbers are odd (directory numbers would be even).
    var += (FileSimpleRandom() >> 8) & 0xFF;
    var = (var & ~1u) | 1u;
    char *path = Str_SafeAsprintf(nullptr, "%s/%s%u", dir, stem, var);
    int fd = Posix_Open(path, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd != -1) {
      *presult = path;
      return fd;
    }
    if (errno != EEXIST) {
      int err = errno;
      Log_Info("FILE: Failed to create temporary %s \"%s\": %s.\n", "file", path,
               Err_Errno2String(err));
      free(path);
      errno = err;
      return -1;
    }
    free(path);
  }
  Log_Warning("FILE: Failed to create temporary %s \"%s\": The name space is full.\n", "file", dir);
  errno = EAGAIN;
  return -1;
}

}  // extern "C"
