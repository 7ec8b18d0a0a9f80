// Why this header exists: the path wrappers (<brellis/posix.h>) and the file
// layer both hand names to the system in the process's current encoding and
// take names back from it; the file layer makes calls the wrappers do not
// cover (directory listings, the mount table). Programs go through the
// wrappers, which keep UTF-8 at the interface. Internal to the library; not
// installed.
#ifndef BRELLIS_INTERNAL_PATHENCODING_H
#define BRELLIS_INTERNAL_PATHENCODING_H

#include <cstddef>

// A new string (free()) holding text in the current encoding, or nullptr
// with errno EINVAL when text cannot be represented. nullptr in, nullptr out
// (errno untouched). A successful conversion leaves errno as it found it.
char *PosixToCurrent(const char *text);

// A new UTF-8 string (free()) from length bytes in the current encoding, or
// nullptr with errno EINVAL when they are not valid there.
char *PosixFromCurrent(const char *bytes, size_t length);

#endif
