// Pieces of the string module shared between its source files.

#ifndef BRELLIS_LIB_STRING_STRINT_H
#define BRELLIS_LIB_STRING_STRINT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The formatter behind bsd_vsnprintf. Also reports through written how many
// bytes actually went into the caller's buffer (not counting the NUL), which
// the overflow cut of Str_Vsnprintf needs after a failure part-way.
int StrFormat(char **out, size_t size, const char *format, va_list ap, size_t *written);

// What a conversion needs from a position when the values come from a
// caller's table instead of an argument list.
enum class StrArgClass { kInt32, kInt64, kPointer, kDouble, kString, kWideString, kOther };

struct StrArgValue {
  uint64_t u;  // integers (sign-extended), pointers and strings
  double d;
};

// Gives the value of position (from 1) for a conversion of class cls; false
// when there is none that fits, which fails the call.
using StrArgFetch = bool (*)(void *context, int position, StrArgClass cls, StrArgValue *value);

// StrFormat with every conversion, sequential or positional, reading its
// value through fetch. A position used with two classes fails the call.
int StrFormatFromArgs(char **out, size_t size, const char *format, StrArgFetch fetch, void *context,
                      size_t *written);

// Of the first keep bytes of text, how many to keep so that the kept bytes
// do not end inside a UTF-8 sequence. Reads only text[0..keep).
size_t StrUtf8Cut(const char *text, size_t keep);

#endif  // BRELLIS_LIB_STRING_STRINT_H
