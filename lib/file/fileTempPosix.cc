// Uniquely named temporary files, and the file layer's random numbers.
//
// The per-user safe temporary directory is not in this build yet; callers
// name the directory themselves.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/log.h>
#include <brellis/posix.h>
#include <brellis/random.h>
#include <brellis/str.h>

#include "file/fileInt.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

constexpr uint32_t kMaxAttempts = 0x3FFFFFFF;

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
