// Bounded string operations.
//
// Formatting currently goes through the platform's vsnprintf; the system's
// own formatter replaces it behind these same entry points. What is already
// this module's own is the overflow policy: the UTF-8 boundary cut and the
// panics.

#include <brellis/panic.h>
#include <brellis/str.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Length of the longest prefix of text[0..keep) that does not end inside a
// UTF-8 sequence. Looks only at bytes before keep and the byte at keep.
size_t Utf8BoundaryCut(const char *text, size_t keep) {
  auto isContinuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
  size_t k = keep;
  while (k > 0 && isContinuation(text[k])) {
    --k;
  }
  return k;
}

[[noreturn]] void BufferTooSmall(int line, const void *caller) {
  Panic("%s:%d Buffer too small 0x%lx\n", __FILE__, line,
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(caller)));
}

}  // namespace

extern "C" {

int Str_Vsnprintf(char *buf, size_t size, const char *format, va_list ap) {
  if (size == 0) {
    return -1;
  }
  va_list aq;
  va_copy(aq, ap);
  int n = vsnprintf(buf, size, format, aq);
  va_end(aq);
  if (n < 0) {
    buf[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(n) < size) {
    return n;
  }
  // The byte just past the cut decides whether the cut splits a UTF-8
  // sequence, and vsnprintf did not keep it: format the whole text once more.
  size_t keep = 0;
  char *full = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (full != nullptr) {
    va_copy(aq, ap);
    vsnprintf(full, static_cast<size_t>(n) + 1, format, aq);
    va_end(aq);
    keep = Utf8BoundaryCut(full, size - 1);
    free(full);
  }
  buf[keep] = '\0';
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
  if (dlen + slen < dlen || dlen + slen >= size) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  memcpy(dst + dlen, src, slen + 1);
  return dst;
}

char *Str_Strncat(char *dst, size_t size, const char *src, size_t n) {
  size_t dlen = strlen(dst);
  size_t slen = strlen(src);
  bool countFits = n < size && dlen < size - n;
  bool sourceFits = slen < size && dlen < size - slen;
  if (!countFits && !sourceFits) {
    BufferTooSmall(__LINE__, __builtin_return_address(0));
  }
  return strncat(dst, src, n);
}

size_t Str_Strlen(const char *s, size_t n) {
  const void *end = memchr(s, '\0', n);
  return end == nullptr ? n : static_cast<size_t>(static_cast<const char *>(end) - s);
}

char *Str_Strnstr(const char *s, const char *what, size_t n) {
  size_t wlen = strlen(what);
  if (wlen == 0) {
    return const_cast<char *>(s);
  }
  size_t slen = Str_Strlen(s, n);
  for (size_t i = 0; i + wlen <= slen; ++i) {
    if (memcmp(s + i, what, wlen) == 0) {
      return const_cast<char *>(s + i);
    }
  }
  return nullptr;
}

char *Str_Vasprintf(size_t *length, const char *format, va_list ap) {
  va_list aq;
  va_copy(aq, ap);
  int n = vsnprintf(nullptr, 0, format, aq);
  va_end(aq);
  if (n < 0) {
    return nullptr;
  }
  char *out = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (out == nullptr) {
    return nullptr;
  }
  va_copy(aq, ap);
  vsnprintf(out, static_cast<size_t>(n) + 1, format, aq);
  va_end(aq);
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
