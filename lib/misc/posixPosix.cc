// System calls on UTF-8 paths: convert, call, hand back.
//
// Conversions run on iconv, strictly: a character the current encoding
// cannot hold fails the call with EINVAL rather than reaching the system as
// some other name.

#include <brellis/codeset.h>
#include <brellis/internal/freeDeleter.h>
#include <brellis/internal/pathEncoding.h>
#include <brellis/posix.h>
#include <brellis/util.h>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using brellis::UniqueChars;

// True when the current code set is a spelling of UTF-8 (case, '-' and '_'
// aside): conversions are then plain copies. The code set is chosen once per
// process, and so is this answer.
bool CurrentIsUtf8() {
  static const bool isUtf8 = [] {
    const char *want = "utf8";
    for (const char *p = CodeSet_GetCurrentCodeSet(); *p != '\0'; p++) {
      if (*p == '-' || *p == '_') {
        continue;
      }
      char lower = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
      if (*want == '\0' || lower != *want) {
        return false;
      }
      want++;
    }
    return *want == '\0';
  }();
  return isUtf8;
}

bool IsValidUtf8(const char *text, size_t length) {
  const char *end = text + length;
  for (const char *p = text; p < end;) {
    int len = CodeSet_GetUtf8(p, end, nullptr);
    if (len == 0) {
      return false;
    }
    p += len;
  }
  return true;
}

// Converts length bytes from one encoding to another, strictly; nullptr
// when any input byte cannot be converted. The result is NUL-terminated.
char *Convert(const char *from, const char *to, const char *in, size_t length) {
  char *out = nullptr;
  size_t outLength = 0;
  if (!CodeSet_GenericToGeneric(from, in, length, to, 0, &out, &outLength)) {
    return nullptr;
  }
  if (memchr(out, '\0', outLength) != nullptr) {
    free(out);
    return nullptr;  // an embedded NUL would silently shorten the name
  }
  return out;
}

// Runs call with the converted text, or fails it with EINVAL.
template <typename Result, typename Call>
Result WithPath(const char *path, Result failure, Call call) {
  int savedErrno = errno;
  UniqueChars local(PosixToCurrent(path));
  if (path != nullptr && local == nullptr) {
    errno = EINVAL;
    return failure;
  }
  errno = savedErrno;
  return call(local.get());
}

template <typename Result, typename Call>
Result WithPaths(const char *path1, const char *path2, Result failure, Call call) {
  int savedErrno = errno;
  UniqueChars local1(PosixToCurrent(path1));
  UniqueChars local2(PosixToCurrent(path2));
  if ((path1 != nullptr && local1 == nullptr) || (path2 != nullptr && local2 == nullptr)) {
    errno = EINVAL;
    return failure;
  }
  errno = savedErrno;
  return call(local1.get(), local2.get());
}

}  // namespace

char *PosixToCurrent(const char *text) {
  if (text == nullptr) {
    return nullptr;
  }
  int savedErrno = errno;
  char *result = CurrentIsUtf8()
                     ? Util_SafeStrdup(-1, text, __FILE__, __LINE__)
                     : Convert("UTF-8", CodeSet_GetCurrentCodeSet(), text, strlen(text));
  errno = result == nullptr ? EINVAL : savedErrno;
  return result;
}

char *PosixFromCurrent(const char *bytes, size_t length) {
  int savedErrno = errno;
  char *result = nullptr;
  if (CurrentIsUtf8()) {
    if (IsValidUtf8(bytes, length)) {
      result = Util_SafeStrndup(-1, bytes, length, __FILE__, __LINE__);
    }
  } else {
    result = Convert(CodeSet_GetCurrentCodeSet(), "UTF-8", bytes, length);
  }
  errno = result == nullptr ? EINVAL : savedErrno;
  return result;
}

extern "C" {

int Posix_Open(const char *pathName, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  return WithPath(pathName, -1, [&](const char *p) { return open(p, flags, mode); });
}

FILE *Posix_Fopen(const char *pathName, const char *mode) {
  return WithPath(pathName, static_cast<FILE *>(nullptr),
                  [&](const char *p) { return fopen(p, mode); });
}

int Posix_Unlink(const char *pathName) {
  return WithPath(pathName, -1, [](const char *p) { return unlink(p); });
}

int Posix_Rename(const char *fromPathName, const char *toPathName) {
  return WithPaths(fromPathName, toPathName, -1,
                   [](const char *a, const char *b) { return rename(a, b); });
}

int Posix_Symlink(const char *target, const char *linkPathName) {
  return WithPaths(target, linkPathName, -1,
                   [](const char *a, const char *b) { return symlink(a, b); });
}

int Posix_Link(const char *target, const char *linkPathName) {
  return WithPaths(target, linkPathName, -1,
                   [](const char *a, const char *b) { return link(a, b); });
}

int Posix_Chmod(const char *pathName, mode_t mode) {
  return WithPath(pathName, -1, [&](const char *p) { return chmod(p, mode); });
}

int Posix_Mkdir(const char *pathName, mode_t mode) {
  return WithPath(pathName, -1, [&](const char *p) { return mkdir(p, mode); });
}

int Posix_Rmdir(const char *pathName) {
  return WithPath(pathName, -1, [](const char *p) { return rmdir(p); });
}

int Posix_Stat(const char *pathName, struct stat *statBuf) {
  return WithPath(pathName, -1, [&](const char *p) { return stat(p, statBuf); });
}

int Posix_Lstat(const char *pathName, struct stat *statBuf) {
  return WithPath(pathName, -1, [&](const char *p) { return lstat(p, statBuf); });
}

int Posix_Statfs(const char *pathName, struct statfs *statfsBuf) {
  return WithPath(pathName, -1, [&](const char *p) { return statfs(p, statfsBuf); });
}

DIR *Posix_OpenDir(const char *pathName) {
  return WithPath(pathName, static_cast<DIR *>(nullptr), [](const char *p) { return opendir(p); });
}

int Posix_Access(const char *pathName, int mode) {
  return WithPath(pathName, -1, [&](const char *p) { return access(p, mode); });
}

int Posix_EuidAccess(const char *pathName, int mode) {
  return WithPath(pathName, -1, [&](const char *p) { return euidaccess(p, mode); });
}

int Posix_Utimes(const char *pathName, const struct timeval *times) {
  return WithPath(pathName, -1, [&](const char *p) { return utimes(p, times); });
}

char *Posix_ReadLink(const char *pathName) {
  return WithPath(pathName, static_cast<char *>(nullptr), [](const char *p) -> char * {
    char buf[4096];
    ssize_t n = readlink(p, buf, sizeof buf - 1);
    if (n == -1) {
      return nullptr;
    }
    return PosixFromCurrent(buf, static_cast<size_t>(n));
  });
}

char *Posix_RealPath(const char *pathName) {
  return WithPath(pathName, static_cast<char *>(nullptr), [](const char *p) -> char * {
    UniqueChars resolved(realpath(p, nullptr));
    if (resolved == nullptr) {
      return nullptr;
    }
    return PosixFromCurrent(resolved.get(), strlen(resolved.get()));
  });
}

}  // extern "C"
