// Bounded string operations: the overflow policies around the formatter,
// and copying and searching that never run past a buffer.

#include <brellis/panic.h>
#include <brellis/str.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "strInt.h"

namespace {

[[noreturn]] void BufferTooSmall(int line, const void *caller) {
  Panic("%s:%d Buffer too small 0x%lx\n", __FILE__, line,
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(caller)));
}

}  // namespace

extern "C" {

int Str_Vsnprintf(char *buf, size_t size, const char *format, va_list ap) {
  if (size == 0 || buf == nullptr) {
    return -1;
  }
  char *out = buf;
  size_t written = 0;
  int n = StrFormat(&out, size, format, ap, &written);
  if (n >= 0 && static_cast<size_t>(n) < size) {
    return n;
  }
  // Too long, or the formatter gave up: keep what was written, without a
  // partial UTF-8 sequence at its end.
  buf[StrUtf8Cut(buf, written)] = '\0';
  return -1;
}

int Str_Snprintf(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = Str_Vsnprintf(buf, size, format, ap);
  va_end(ap);
  return n;
}

int Str_Sprintf(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = Str_Vsnprintf(buf, size, format, ap);
  va_end(ap);
  if (n < 0) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  return n;
}

char *Str_Strcpy(char *dst, const char *src, size_t size) {
  size_t len = strlen(src);
  if (len >= size) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  return static_cast<char *>(memcpy(dst, src, len + 1));
}

char *Str_Strcat(char *dst, const char *src, size_t size) {
  size_t dlen = strlen(dst);
  size_t slen = strlen(src);
  if (slen >= size || dlen >= size - slen) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  memcpy(dst + dlen, src, slen + 1);
  return dst;
}

char *Str_Strncat(char *dst, size_t size, const char *src, size_t n) {
  size_t dlen = strlen(dst);
  // Compared by subtraction: a count near SIZE_MAX must not wrap into "fits".
  bool countFits = n < size && dlen < size - n;
  bool sourceFits = false;
  if (!countFits) {
    size_t slen = strlen(src);
    sourceFits = slen < size && dlen < size - slen;
  }
  if (!countFits && !sourceFits) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  return strncat(dst, src, n);
}

size_t Str_Strlen(const char *s, size_t n) {
  return strnlen(s, n);
}

char *Str_Strnstr(const char *s, const char *what, size_t n) {
  size_t wlen = strlen(what);
  if (wlen == 0) {
    return const_cast<char *>(s);
  }
  size_t slen = strnlen(s, n);
  return static_cast<char *>(memmem(s, slen, what, wlen));
}

char *Str_Vasprintf(size_t *length, const char *format, va_list ap) {
  char *out = nullptr;
  int n = StrFormat(&out, 0, format, ap, nullptr);
  if (n < 0) {
    return nullptr;
  }
  if (length != nullptr) {
    *length = static_cast<size_t>(n);
  }
  return out;
}

char *Str_Asprintf(size_t *length, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *out = Str_Vasprintf(length, format, ap);
  va_end(ap);
  return out;
}

char *Str_SafeVasprintf(size_t *length, const char *format, va_list ap) {
  char *out = Str_Vasprintf(length, format, ap);
  if (out == nullptr) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  return out;
}

char *Str_SafeAsprintf(size_t *length, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *out = Str_SafeVasprintf(length, format, ap);
  va_end(ap);
  return out;
}

char *Str_ToLower(char *s) {
  for (char *p = s; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') {
      *p = static_cast<char>(*p - 'A' + 'a');
    }
  }
  return s;
}

char *Str_ToUpper(char *s) {
  for (char *p = s; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') {
      *p = static_cast<char>(*p - 'a' + 'A');
    }
  }
  return s;
}

}  // extern "C"
