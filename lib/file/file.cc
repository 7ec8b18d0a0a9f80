// Directory creation over the POSIX primitives.

#include <brellis/file.h>
#include <brellis/util.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {

bool File_EnsureDirectory(const char *pathName) {
  // Success means a directory is there in the end, not merely some entry.
  return File_CreateDirectory(pathName) || (errno == EEXIST && File_IsDirectory(pathName));
}

bool File_CreateDirectoryHierarchy(const char *pathName, char **topmostCreated) {
  if (topmostCreated != nullptr) {
    *topmostCreated = nullptr;
  }
  if (pathName == nullptr || *pathName == '\0') {
    return true;
  }
  std::string path(pathName);
  size_t index = 0;
  for (;;) {
    size_t slash = path.find('/', index + 1);
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && !File_IsDirectory(prefix.c_str())) {
      if (!File_CreateDirectory(prefix.c_str())) {
        // Another creator may have won the race: what counts is the result.
        if (errno != EEXIST || !File_IsDirectory(prefix.c_str())) {
          return false;
        }
      } else if (topmostCreated != nullptr && *topmostCreated == nullptr) {
        *topmostCreated = Util_SafeStrdup(-1, prefix.c_str(), __FILE__, __LINE__);
      }
    }
    if (slash == std::string::npos) {
      return true;
    }
    index = slash;
  }
}

}  // extern "C"
