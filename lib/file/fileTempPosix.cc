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
#include <vector>

namespace {

constexpr uint32_t kMaxAttempts = 0x3FFFFFFF;
constexpr int kSafeTmpDirAttempts = 251;
constexpr MX_Rank kSafeTmpDirRank = 0xF0007020;
constexpr MX_Rank kSimpleRandomRank = 0xFF000000;

using brellis::UniqueChars;

MXUserExclLock *safeTmpDirLock;
MXUserExclLock *simpleRandomLock;
char *safeTmpDirCache;  // guarded by safeTmpDirLock; lives for the process

// A directory is the user's own when it is a real directory (a link to one
// could be swapped) of the user that nobody else may enter or change. One
// made just now gets its mode set explicitly, since the umask may have
// taken away the owner's own rights; it is then checked like any other, in
// case it was replaced in between.
bool FileAcceptableSafeTmpDir(const char *path, uid_t uid) {
  if (Posix_Mkdir(path, 0700) == 0) {
    if (Posix_Chmod(path, 0700) != 0) {
      return false;
    }
  } else if (errno != EEXIST) {
    return false;
  }
  struct stat st;
  return Posix_Lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
         (st.st_mode & 07777 & ~static_cast<mode_t>(S_ISGID)) == 0700;
}

// Anyone who may write to a directory without the sticky bit may rename or
// remove what others made in it, and so swap our private directory for one
// of their own between our check and our use.
bool SharedWithoutSticky(const char *dir) {
  struct stat st;
  if (Posix_Stat(dir, &st) != 0) {
    return true;
  }
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
}

UniqueChars WritableExpanded(const char *candidate) {
  if (candidate == nullptr) {
    return nullptr;
  }
  UniqueChars path(Util_ExpandString(candidate));
  if (path == nullptr || !File_IsWritableDir(path.get())) {
    return nullptr;
  }
  if (SharedWithoutSticky(path.get())) {
    Log_Info("%s: Skipping '%s': others may write to it and it has no sticky bit.\n",
             "FileGetTmpDir", path.get());
    return nullptr;
  }
  return path;
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

// The name in the password entry of uid, or null. The buffer grows for
// entries larger than the system suggests (long member lists, say).
UniqueChars FileGetUserName(uid_t uid) {
  constexpr size_t kMaxBuffer = 1 << 20;
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (suggested <= 0) {
    Log_Warning("%s: sysconf(_SC_GETPW_R_SIZE_MAX) failed.\n", "FileGetUserName");
    suggested = 1024;
  }
  std::vector<char> buf(static_cast<size_t>(suggested));
  struct passwd pw;
  struct passwd *result = nullptr;
  int err;
  while ((err = getpwuid_r(uid, &pw, buf.data(), buf.size(), &result)) == ERANGE &&
         buf.size() < kMaxBuffer) {
    buf.resize(buf.size() * 2);
  }
  if (err == ENOMEM) {
    Log_Warning("%s: Not enough memory.\n", "FileGetUserName");
    return nullptr;
  }
  if (err != 0 || result == nullptr || result->pw_name == nullptr || result->pw_name[0] == '\0') {
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

char *StemAndNumber(uint32_t number, void *stem) {
  return Str_Asprintf(nullptr, "%s%u", static_cast<const char *>(stem), number);
}

}  // namespace

uint32_t FileSimpleRandom() {
  static RandomQuickState *state = nullptr;  // guarded by simpleRandomLock
  static pid_t seededFor = 0;
  MXUserExclLock *lock =
      MXUser_CreateSingletonExclLock(&simpleRandomLock, "fileSimpleRandomLock", kSimpleRandomRank);
  MXUser_AcquireExclLock(lock);
  // A forked child reseeds: repeating its parent's numbers would make the
  // two collide on every temporary and lock-entry name they draw.
  pid_t pid = getpid();
  if (state == nullptr || seededFor != pid) {
    free(state);
    state = Random_QuickSeed(static_cast<uint32_t>(pid));
    seededFor = pid;
  }
  uint32_t value = state != nullptr ? Random_Quick(state) : static_cast<uint32_t>(pid);
  MXUser_ReleaseExclLock(lock);
  return value;
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
  if (stem == nullptr) {
    errno = EFAULT;
    return -1;
  }
  return FileMakeTempEx2(dir, true, StemAndNumber, const_cast<char *>(stem), presult);
}

int File_MakeTemp(const char *tag, char **presult) {
  UniqueChars dir;
  UniqueChars stem;
  if (tag != nullptr && File_IsFullPath(tag)) {
    char *d = nullptr;
    char *b = nullptr;
    File_GetPathName(tag, &d, &b);
    dir.reset(d);
    stem.reset(b);
    if (dir != nullptr && dir.get()[0] == '\0') {
      dir.reset(Util_SafeStrdup(-1, "/", __FILE__, __LINE__));  // a tag right under the root
    }
  } else {
    dir.reset(File_GetSafeTmpDir(true));
    if (dir == nullptr) {
      Log_Warning("%s: Failed to get a temporary directory.\n", "File_MakeTemp");
      errno = EINVAL;
      return -1;
    }
    stem.reset(Util_SafeStrdup(-1, tag != nullptr ? tag : "brellis", __FILE__, __LINE__));
  }
  return File_MakeTempEx(dir.get(), stem.get(), presult);
}

}  // extern "C"

int FileMakeTempEx2(const char *dir, bool createFile, FileMakeTempNameFunc *createNameFunc,
                    void *createNameFuncData, char **presult) {
  if (dir == nullptr || createNameFunc == nullptr || presult == nullptr) {
    errno = EFAULT;
    return -1;
  }
  *presult = nullptr;
  const char *what = createFile ? "file" : "directory";
  uint32_t var = 0;
  for (uint32_t attempt = 0; attempt < kMaxAttempts; attempt++) {
    // File numbers are odd and directory numbers even, so the two kinds
    // never compete for a name.
    var += (FileSimpleRandom() >> 8) & 0xFF;
    var = (var & ~1u) | (createFile ? 1u : 0u);
    UniqueChars name(createNameFunc(var, createNameFuncData));
    if (name == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    UniqueChars path(Str_SafeAsprintf(nullptr, "%s/%s", dir, name.get()));
    int result = createFile ? Posix_Open(path.get(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600)
                            : Posix_Mkdir(path.get(), 0700);
    if (result != -1) {
      *presult = path.release();
      return result;
    }
    if (errno != EEXIST) {
      int err = errno;
      Log_Info("FILE: Failed to create temporary %s \"%s\": %s.\n", what, path.get(),
               Err_Errno2String(err));
      errno = err;
      return -1;
    }
  }
  Log_Warning("FILE: Failed to create temporary %s \"%s\": The name space is full.\n", what, dir);
  errno = EAGAIN;
  return -1;
}
