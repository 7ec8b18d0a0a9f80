// The formatter into a caller's buffer, for the string tests.
#ifndef TESTS_STRING_FORMATINTO_H
#define TESTS_STRING_FORMATINTO_H

#include <brellis/str.h>

#include <cstdarg>
#include <cstddef>

namespace stringtest {

// bsd_vsnprintf into buf of the given size, without the compiler's format
// check, so that generated and deliberately odd formats can be handed over.
inline int FormatInto(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = bsd_vsnprintf(&buf, size, format, ap);
  va_end(ap);
  return n;
}

}  // namespace stringtest

#endif
