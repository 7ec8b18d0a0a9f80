// System calls on UTF-8 paths: convert, call, hand back.
//
// Conversions run on iconv, strictly: a character the current encoding
// cannot hold fails the call with EINVAL rather than reaching the system as
// some other name.

#include <brellis/posix.h>
#include <brellis/util.h>

#include "misc/posixInt.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
using UniqueChars = std::unique_ptr<char, FreeDeleter>;

std::string LocaleCodeSet() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", nullptr);
  if (loc == nullptr) {
    loc = newlocale(LC_CTYPE_MASK, "C", nullptr);
  }
  if (loc == nullptr) {
    return "ANSI_X3.4-1968";
  }
  std::string name = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return name;
}

std::string ChooseCodeSet() {
  const char *named = getenv("G_FILENAME_ENCODING");
  if (named != nullptr && *named != '\0') {
    std::string first(named, strcspn(named, ","));
    return first == "@locale" ? LocaleCodeSet() : first;
  }
  if (getenv("G_BROKEN_FILENAMES") != nullptr) {
    return LocaleCodeSet();
  }
  return "UTF-8";
}

bool IsUtf8Name(const std::string &name) {
  std::string folded;
  for (char c : name) {
    if (c != '-' && c != '_') {
      folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  return folded == "utf8";
}

// Converts length bytes from one encoding to another, strictly; nullptr
// when any input byte cannot be converted. The result is NUL-terminated.
char *Convert(const char *from, const char *to, const char *in, size_t length) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return nullptr;
  }
  std::string out(length * 4 + 16, '\0');
  char *inPtr = const_cast<char *>(in);
  size_t inLeft = length;
  size_t used = 0;
  bool ok = true;
  bool flushed = false;
  while (!flushed) {
    char *outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    // Once the input is consumed, one more call writes any closing shift
    // sequence a stateful encoding needs.
    bool flushing = inLeft == 0;
    size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                         : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<size_t>(-1)) {
      flushed = flushing;
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    ok = false;
    break;
  }
  iconv_close(cd);
  if (!ok) {
    return nullptr;
  }
  out.resize(used);
  if (memchr(out.data(), '\0', out.size()) != nullptr) {
    return nullptr;  // an embedded NUL would silently shorten the name
  }
  return Util_SafeStrdup(-1, out.c_str(), __FILE__, __LINE__);
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

const char *PosixCurrentCodeSet() {
  static std::atomic<const char *> cached{nullptr};
  const char *name = cached.load(std::memory_order_acquire);
  if (name == nullptr) {
    char *fresh = Util_SafeStrdup(-1, ChooseCodeSet().c_str(), __FILE__, __LINE__);
    const char *expected = nullptr;
    if (cached.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
      name = fresh;
    } else {
      free(fresh);  // another thread chose first; both chose the same
      name = expected;
    }
  }
  return name;
}

bool PosixCurrentIsUtf8() {
  return IsUtf8Name(PosixCurrentCodeSet());
}

bool PosixIsValidUtf8(const char *text, size_t length) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t i = 0;
  while (i < length) {
    unsigned char c = p[i];
    size_t need;
    uint32_t cp;
    if (c < 0x80) {
      i++;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (length - i - 1 < need) {
      return false;
    }
    for (size_t k = 1; k <= need; k++) {
      if ((p[i + k] & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;  // overlong, or beyond the last code point
    }
    i += need + 1;
  }
  return true;
}

char *PosixToCurrent(const char *text) {
  if (text == nullptr) {
    return nullptr;
  }
  int savedErrno = errno;
  char *result = PosixCurrentIsUtf8() ? Util_SafeStrdup(-1, text, __FILE__, __LINE__)
                                      : Convert("UTF-8", PosixCurrentCodeSet(), text, strlen(text));
  errno = result == nullptr ? EINVAL : savedErrno;
  return result;
}

char *PosixFromCurrent(const char *bytes, size_t length) {
  int savedErrno = errno;
  char *result = nullptr;
  if (PosixCurrentIsUtf8()) {
    if (PosixIsValidUtf8(bytes, length)) {
      result = Util_SafeStrndup(-1, bytes, length, __FILE__, __LINE__);
    }
  } else {
    result = Convert(PosixCurrentCodeSet(), "UTF-8", bytes, length);
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
