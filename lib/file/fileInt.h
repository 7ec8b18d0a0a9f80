// Internals shared by the units of the file layer.
#ifndef LIB_FILE_FILEINT_H
#define LIB_FILE_FILEINT_H

#include <brellis/fileIO.h>
#include <brellis/internal/freeDeleter.h>
#include <brellis/msg.h>
#include <brellis/util.h>

#include <cstdint>
#include <string_view>

namespace fileint {

using brellis::UniqueChars;

// A new NUL-terminated copy of s for the caller to free(); running out of
// memory ends the process, as with every allocation wrapper.
inline char *Dup(std::string_view s) {
  return Util_SafeStrndup(-1, s.data(), s.size(), __FILE__, __LINE__);
}

}  // namespace fileint

// The engine behind the unlink calls: 0 or an errno value, also left in
// errno. With handleLink a symbolic link's target is deleted first.
int FileDeletion(const char *pathName, bool handleLink);

// FILEIO_OPEN_LOCK_MANDATORY becomes FILEIO_OPEN_LOCK_ENFORCED, then
// FILEIO_OPEN_LOCKED becomes FILEIO_OPEN_LOCK_ADVISORY.
uint32_t FileIOResolveLockBits(uint32_t access);

// The file layer's own 32-bit pseudo-random value (not for secrets).
uint32_t FileSimpleRandom();

// Creates a new file (O_EXCL, mode 0600, close-on-exec; the descriptor is
// returned) or directory (mode 0700 before the umask; 0 is returned) in dir,
// named by createNameFunc from a number (odd for files, even for
// directories) and the caller's data; the function returns a malloc()ed
// name or null. *presult receives the new path. -1 with errno on failure
// (EFAULT for a null dir or function, EAGAIN when every name is taken).
typedef char *FileMakeTempNameFunc(uint32_t number, void *data);
int FileMakeTempEx2(const char *dir, bool createFile, FileMakeTempNameFunc *createNameFunc,
                    void *createNameFuncData, char **presult);

// The clock the aligned pool ages idle blocks by (monotonic nanoseconds);
// tests substitute their own. Null restores the system timer. Returns the
// previous clock.
typedef uint64_t (*FileIOTimerFunc)(void);
FileIOTimerFunc FileIOAligned_SetPoolTimer(FileIOTimerFunc timer);
// The pool's allocated and busy block counts (0 when there is no pool).
void FileIOAligned_PoolCounts(int *allocated, int *busy);

#endif
