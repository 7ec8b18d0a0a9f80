// Path operations on POSIX.

#include <brellis/file.h>
#include <brellis/fileIO.h>

#include <cerrno>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The engine behind the unlink calls: 0 or an errno value, also left in errno.
int FileDeletion(const char *pathName, bool handleLink) {
  if (pathName == nullptr) {
    errno = EFAULT;
    return EFAULT;
  }
  if (handleLink) {
    struct stat st;
    if (lstat(pathName, &st) == -1) {
      return errno;
    }
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
      ssize_t n = readlink(pathName, target.data(), target.size());
      if (n == -1) {
        return errno;
      }
      if (static_cast<size_t>(n) != static_cast<size_t>(st.st_size)) {
        errno = EIO;  // the link changed under us
        return EIO;
      }
      target.resize(static_cast<size_t>(n));
      // A relative target is relative to the link's own directory.
      std::string path(pathName);
      if (target[0] != '/') {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
          target = path.substr(0, slash + 1) + target;
        }
      }
      if (unlink(target.c_str()) == -1 && errno != ENOENT) {
        return errno;
      }
    }
  }
  if (unlink(pathName) == -1) {
    return errno;
  }
  return 0;
}

}  // namespace

extern "C" {

bool File_CreateDirectory(const char *pathName) { return mkdir(pathName, 0777) == 0; }

bool File_IsDirectory(const char *pathName) {
  struct stat st;
  return stat(pathName, &st) == 0 && S_ISDIR(st.st_mode);
}

bool File_Exists(const char *pathName) {
  return FileIO_Access(pathName, FILEIO_ACCESS_EXISTS) == FILEIO_SUCCESS;
}

int File_Unlink(const char *pathName) { return FileDeletion(pathName, true) == 0 ? 0 : -1; }

int File_UnlinkNoFollow(const char *pathName) {
  return FileDeletion(pathName, false) == 0 ? 0 : -1;
}

int File_UnlinkIfExists(const char *pathName) {
  int err = FileDeletion(pathName, true);
  if (err == ENOENT) {
    errno = 0;
    return 0;
  }
  return err == 0 ? 0 : -1;
}

}  // extern "C"
