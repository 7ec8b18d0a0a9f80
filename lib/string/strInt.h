// Pieces of the string module shared between its source files.

#ifndef BRELLIS_LIB_STRING_STRINT_H
#define BRELLIS_LIB_STRING_STRINT_H

#include <cstdarg>
#include <cstddef>

// The formatter behind bsd_vsnprintf. Also reports through written how many
// bytes actually went into the caller's buffer (not counting the NUL), which
// the overflow cut of Str_Vsnprintf needs after a failure part-way.
int StrFormat(char **out, size_t size, const char *format, va_list ap, size_t *written);

// Of the first keep bytes of text, how many to keep so that the kept bytes
// do not end inside a UTF-8 sequence. Reads only text[0..keep).
size_t StrUtf8Cut(const char *text, size_t keep);

#endif  // BRELLIS_LIB_STRING_STRINT_H
