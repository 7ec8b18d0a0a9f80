// System calls on UTF-8 paths: convert, call, hand back.
//
// Conversions are strict: a character the current encoding cannot hold
// fails the call with EINVAL rather than reaching the system as some other
// name, and bytes from the system that do not decode fail it the same way.

#include <brellis/codeset.h>
#include <brellis/hashTable.h>
#include <brellis/internal/freeDeleter.h>
#include <brellis/internal/pathEncoding.h>
#include <brellis/posix.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <atomic>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using brellis::UniqueChars;

// Text results of Posix_Getpwuid_r and Posix_Getmntent_r: packs each
// converted field into buf, one after another, and points the
// field there. False when they do not fit or one does not decode.
class Packer {
 public:
  Packer(char *buf, size_t size) : buf_(buf), size_(size) {}
  // First pass: convert each field on the heap (the system's text sits in
  // buf and must survive until every field is converted).
  bool Convert(char **field) {
    if (*field == nullptr) {
      fields_[count_++] = {field, nullptr};
      return true;
    }
    char *utf8 = PosixFromCurrent(*field, strlen(*field));
    if (utf8 == nullptr) return false;
    fields_[count_++] = {field, UniqueChars(utf8)};
    return true;
  }
  bool Pack() {
    size_t used = 0;
    for (size_t i = 0; i < count_; i++) {
      if (fields_[i].text == nullptr) continue;
      size_t len = strlen(fields_[i].text.get()) + 1;
      if (len > size_ - used) return false;
      used += len;
    }
    used = 0;
    for (size_t i = 0; i < count_; i++) {
      if (fields_[i].text == nullptr) continue;
      size_t len = strlen(fields_[i].text.get()) + 1;
      memcpy(buf_ + used, fields_[i].text.get(), len);
      *fields_[i].field = buf_ + used;
      used += len;
    }
    return true;
  }

 private:
  struct Field {
    char **field;
    UniqueChars text;
  };
  char *buf_;
  size_t size_;
  Field fields_[5];
  size_t count_ = 0;
};

// Posix_Getenv hands out pointers that callers never free, so a value once
// handed out must stay readable for the life of the process: each variable
// keeps every distinct value it has been seen with, in a list that only
// grows by compare-and-swap at its head. Values repeat in practice, so the
// lists stay short.
struct EnvValue {
  char *value;
  EnvValue *next;
};

struct EnvEntry {
  std::atomic<EnvValue *> head{nullptr};
};

HashTable *envTable;

const char *InternEnvValue(const char *name, char *value) {
  HashTable *table = HashTable_AllocOnce(
      &envTable, 128, HASH_STRING_KEY | HASH_FLAG_ATOMIC | HASH_FLAG_COPYKEY, nullptr);
  void *found = nullptr;
  if (!HashTable_Lookup(table, name, &found)) {
    auto *fresh = new EnvEntry;
    found = HashTable_LookupOrInsert(table, name, fresh);
    if (found != fresh) delete fresh;
  }
  auto *entry = static_cast<EnvEntry *>(found);
  auto *node = new EnvValue{value, nullptr};
  EnvValue *head = entry->head.load(std::memory_order_acquire);
  for (;;) {
    for (EnvValue *v = head; v != nullptr; v = v->next) {
      if (strcmp(v->value, value) == 0) {
        free(value);
        delete node;
        return v->value;
      }
    }
    node->next = head;
    if (entry->head.compare_exchange_weak(head, node, std::memory_order_acq_rel)) {
      return value;
    }
  }
}

struct passwd pwRecord;

void FreePwRecord() {
  free(pwRecord.pw_name);
  free(pwRecord.pw_passwd);
  free(pwRecord.pw_gecos);
  free(pwRecord.pw_dir);
  free(pwRecord.pw_shell);
  memset(&pwRecord, 0, sizeof pwRecord);
}

char *FieldFromCurrent(const char *text, bool *ok) {
  if (text == nullptr) return nullptr;
  char *out = PosixFromCurrent(text, strlen(text));
  *ok = *ok && out != nullptr;
  return out;
}

struct passwd *CopyPwRecord(const struct passwd *pw) {
  int savedErrno = errno;
  FreePwRecord();
  if (pw == nullptr) return nullptr;
  bool ok = true;
  pwRecord.pw_name = FieldFromCurrent(pw->pw_name, &ok);
  pwRecord.pw_passwd = FieldFromCurrent(pw->pw_passwd, &ok);
  pwRecord.pw_gecos = FieldFromCurrent(pw->pw_gecos, &ok);
  pwRecord.pw_dir = FieldFromCurrent(pw->pw_dir, &ok);
  pwRecord.pw_shell = FieldFromCurrent(pw->pw_shell, &ok);
  pwRecord.pw_uid = pw->pw_uid;
  pwRecord.pw_gid = pw->pw_gid;
  if (!ok) {
    FreePwRecord();
    errno = EINVAL;
    return nullptr;
  }
  errno = savedErrno;
  return &pwRecord;
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
  char *result = Unicode_GetAllocBytes(text, STRING_ENCODING_DEFAULT, -1, nullptr);
  errno = result == nullptr ? EINVAL : savedErrno;
  return result;
}

char *PosixFromCurrent(const char *bytes, size_t length) {
  int savedErrno = errno;
  // Checked first: bytes that do not decode would otherwise end up as
  // U+FFFD in a name that then leads nowhere.
  if (!Unicode_IsBufferValid(bytes, static_cast<ptrdiff_t>(length), STRING_ENCODING_DEFAULT) ||
      memchr(bytes, '\0', length) != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  char *result =
      Unicode_AllocWithLength(bytes, static_cast<ptrdiff_t>(length), STRING_ENCODING_DEFAULT);
  errno = savedErrno;
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
    if (static_cast<size_t>(n) == sizeof buf - 1) {
      errno = ENAMETOOLONG;  // the text may go on past what was read
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

FILE *Posix_Popen(const char *command, const char *mode) {
  return WithPath(command, static_cast<FILE *>(nullptr),
                  [&](const char *c) { return popen(c, mode); });
}

int Posix_Execvp(const char *fileName, char *const argVal[]) {
  return WithPath(fileName, -1, [&](const char *f) {
    char **args = Unicode_GetAllocList(argVal, -1, STRING_ENCODING_DEFAULT);
    if (argVal != nullptr && args == nullptr) {
      errno = EINVAL;
      return -1;
    }
    execvp(f, args);
    int savedErrno = errno;
    Unicode_FreeList(args, -1);
    errno = savedErrno;
    return -1;
  });
}

const char *Posix_Getenv(const char *name) {
  return WithPath(name, static_cast<const char *>(nullptr), [&](const char *n) -> const char * {
    const char *raw = n == nullptr ? nullptr : getenv(n);
    if (raw == nullptr) {
      return nullptr;
    }
    char *value = PosixFromCurrent(raw, strlen(raw));
    if (value == nullptr) {
      return nullptr;
    }
    return InternEnvValue(name, value);
  });
}

struct passwd *Posix_Getpwnam(const char *name) {
  return WithPath(name, static_cast<struct passwd *>(nullptr),
                  [](const char *n) { return CopyPwRecord(getpwnam(n)); });
}

struct passwd *Posix_Getpwuid(uid_t uid) {
  return CopyPwRecord(getpwuid(uid));
}

int Posix_Getpwuid_r(uid_t uid, struct passwd *pw, char *buf, size_t size, struct passwd **result) {
  int err = getpwuid_r(uid, pw, buf, size, result);
  if (err != 0 || *result == nullptr) {
    return err;
  }
  Packer packer(buf, size);
  if (!packer.Convert(&pw->pw_name) || !packer.Convert(&pw->pw_passwd) ||
      !packer.Convert(&pw->pw_gecos) || !packer.Convert(&pw->pw_dir) ||
      !packer.Convert(&pw->pw_shell)) {
    *result = nullptr;
    return EINVAL;
  }
  if (!packer.Pack()) {
    *result = nullptr;
    return ENOMEM;
  }
  return 0;
}

struct mntent *Posix_Getmntent_r(FILE *fp, struct mntent *m, char *buf, int size) {
  if (getmntent_r(fp, m, buf, size) == nullptr) {
    return nullptr;
  }
  int savedErrno = errno;
  Packer packer(buf, static_cast<size_t>(size));
  if (!packer.Convert(&m->mnt_fsname) || !packer.Convert(&m->mnt_dir) ||
      !packer.Convert(&m->mnt_type) || !packer.Convert(&m->mnt_opts)) {
    errno = EINVAL;
    return nullptr;
  }
  if (!packer.Pack()) {
    errno = ENOMEM;
    return nullptr;
  }
  errno = savedErrno;
  return m;
}

}  // extern "C"
