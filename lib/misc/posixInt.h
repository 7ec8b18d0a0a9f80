// Conversions between UTF-8 and the process's current encoding, shared by
// the path wrappers and the file layer.
#ifndef LIB_MISC_POSIXINT_H
#define LIB_MISC_POSIXINT_H

#include <cstddef>

// The current encoding's name as iconv knows it; chosen once per process.
const char *PosixCurrentCodeSet();

// True when the current encoding is UTF-8 (conversions are copies then).
bool PosixCurrentIsUtf8();

// A new string (free()) holding text in the current encoding, or nullptr
// with errno EINVAL when text cannot be represented. nullptr in, nullptr out
// (errno untouched). A successful conversion leaves errno as it found it.
char *PosixToCurrent(const char *text);

// A new UTF-8 string (free()) from length bytes in the current encoding, or
// nullptr with errno EINVAL when they are not valid there.
char *PosixFromCurrent(const char *bytes, size_t length);

// True when the length bytes at text form valid UTF-8.
bool PosixIsValidUtf8(const char *text, size_t length);

#endif
