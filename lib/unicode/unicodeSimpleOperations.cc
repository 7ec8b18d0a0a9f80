// Operations on Unicode strings that count in code points.
//
// Each decodes its UTF-8 input to code points first; a string that does not
// decode is a caller's broken invariant and ends the process.

#include <brellis/codeset.h>
#include <brellis/internal/freeDeleter.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "unicodeCaseFoldInt.h"

namespace {

struct CodePoints {
  std::unique_ptr<uint32_t, brellis::FreeDeleter> data;
  ptrdiff_t length = 0;
  std::span<const uint32_t> range(ptrdiff_t start, ptrdiff_t len) const {
    return {data.get() + start, static_cast<size_t>(len)};
  }
};

CodePoints Decode(const char *str, const char *operation) {
  uint32_t *points = nullptr;
  if (!CodeSet_Utf8ToUtf32(str, &points)) {
    Panic("%s: invalid UTF8 string @ %p\n", operation, static_cast<const void *>(str));
  }
  CodePoints cp;
  cp.data.reset(points);
  while (points[cp.length] != 0) cp.length++;
  return cp;
}

// Clamps [start, start + length) to [0, n): a start outside the string is
// its end, and a negative or overlong length runs to the end.
void Clamp(ptrdiff_t n, ptrdiff_t *start, ptrdiff_t *length) {
  if (*start < 0 || *start > n) *start = n;
  if (*length < 0 || *start + *length > n) *length = n - *start;
}

char *Encode(std::span<const uint32_t> points) {
  std::unique_ptr<uint32_t, brellis::FreeDeleter> copy(static_cast<uint32_t *>(
      Util_SafeMalloc(-1, (points.size() + 1) * sizeof(uint32_t), __FILE__, __LINE__)));
  std::copy(points.begin(), points.end(), copy.get());
  copy.get()[points.size()] = 0;
  char *out = nullptr;
  if (!CodeSet_Utf32ToUtf8(copy.get(), &out)) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  return out;
}

ptrdiff_t Find(const char *str, ptrdiff_t strStart, ptrdiff_t strLength, const char *strToFind,
               ptrdiff_t findStart, ptrdiff_t findLength, bool last, const char *operation) {
  if (str == nullptr || strToFind == nullptr) return -1;
  CodePoints hay = Decode(str, operation);
  CodePoints needle = Decode(strToFind, operation);
  Clamp(hay.length, &strStart, &strLength);
  Clamp(needle.length, &findStart, &findLength);
  if (findLength > strLength) return -1;
  if (findLength == 0) return strStart;
  auto sought = needle.range(findStart, findLength);
  ptrdiff_t lastPos = strStart + strLength - findLength;
  for (ptrdiff_t i = 0; i <= lastPos - strStart; i++) {
    ptrdiff_t pos = last ? lastPos - i : strStart + i;
    auto here = hay.range(pos, findLength);
    if (std::equal(here.begin(), here.end(), sought.begin())) return pos;
  }
  return -1;
}

// The code point at units[i] of a UTF-16LE buffer, combining a surrogate
// with the neighbour it pairs with.
uint32_t CodePointAt(const uint16_t *units, size_t i, size_t count) {
  uint32_t u = units[i];
  if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
      units[i + 1] <= 0xDFFF) {
    return 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
  }
  if (u >= 0xDC00 && u <= 0xDFFF && i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF) {
    return 0x10000 + ((units[i - 1] - 0xD800) << 10) + (u - 0xDC00);
  }
  return u;
}

std::unique_ptr<uint16_t, brellis::FreeDeleter> ToUtf16(const char *str, size_t *count) {
  char *out = nullptr;
  size_t bytes = 0;
  if (!CodeSet_Utf8ToUtf16le(str, strlen(str), &out, &bytes)) return nullptr;
  *count = bytes / 2;
  auto *units = reinterpret_cast<uint16_t *>(out);
  for (size_t i = 0; i < *count; i++) {  // the buffer is little-endian
    auto *b = reinterpret_cast<unsigned char *>(units + i);
    units[i] = static_cast<uint16_t>(b[0] | b[1] << 8);
  }
  return std::unique_ptr<uint16_t, brellis::FreeDeleter>(units);
}

}  // namespace

extern "C" {

ptrdiff_t Unicode_LengthInCodePoints(const char *str) {
  return str == nullptr ? -1 : CodeSet_LengthInCodePoints(str);
}

char *Unicode_Substr(const char *str, ptrdiff_t start, ptrdiff_t length) {
  if (str == nullptr) return nullptr;
  CodePoints cp = Decode(str, "Unicode_Substr");
  Clamp(cp.length, &start, &length);
  return Encode(cp.range(start, length));
}

char *Unicode_ReplaceRange(const char *destination, ptrdiff_t destinationStart,
                           ptrdiff_t destinationLength, const char *source, ptrdiff_t sourceStart,
                           ptrdiff_t sourceLength) {
  if (destination == nullptr || source == nullptr) return nullptr;
  CodePoints dst = Decode(destination, "Unicode_ReplaceRange");
  CodePoints src = Decode(source, "Unicode_ReplaceRange");
  Clamp(dst.length, &destinationStart, &destinationLength);
  Clamp(src.length, &sourceStart, &sourceLength);
  std::vector<uint32_t> out(dst.data.get(), dst.data.get() + destinationStart);
  auto middle = src.range(sourceStart, sourceLength);
  out.insert(out.end(), middle.begin(), middle.end());
  out.insert(out.end(), dst.data.get() + destinationStart + destinationLength,
             dst.data.get() + dst.length);
  return Encode(out);
}

ptrdiff_t Unicode_FindSubstrInRange(const char *str, ptrdiff_t strStart, ptrdiff_t strLength,
                                    const char *strToFind, ptrdiff_t strToFindStart,
                                    ptrdiff_t strToFindLength) {
  return Find(str, strStart, strLength, strToFind, strToFindStart, strToFindLength, false,
              "Unicode_FindSubstrInRange");
}

ptrdiff_t Unicode_FindLastSubstrInRange(const char *str, ptrdiff_t strStart, ptrdiff_t strLength,
                                        const char *strToFind, ptrdiff_t strToFindStart,
                                        ptrdiff_t strToFindLength) {
  return Find(str, strStart, strLength, strToFind, strToFindStart, strToFindLength, true,
              "Unicode_FindLastSubstrInRange");
}

int Unicode_CompareRange(const char *str1, ptrdiff_t str1Start, ptrdiff_t str1Length,
                         const char *str2, ptrdiff_t str2Start, ptrdiff_t str2Length,
                         bool ignoreCase) {
  uint32_t *cp1 = nullptr;
  uint32_t *cp2 = nullptr;
  bool ok1 = CodeSet_Utf8ToUtf32(str1, &cp1);
  bool ok2 = CodeSet_Utf8ToUtf32(str2, &cp2);
  free(cp1);
  free(cp2);
  if (!ok1 || !ok2 || str1 == nullptr || str2 == nullptr) return -1;
  brellis::UniqueChars sub1(Unicode_Substr(str1, str1Start, str1Length));
  brellis::UniqueChars sub2(Unicode_Substr(str2, str2Start, str2Length));
  size_t n1 = 0;
  size_t n2 = 0;
  auto u1 = ToUtf16(sub1.get(), &n1);
  auto u2 = ToUtf16(sub2.get(), &n2);
  if (u1 == nullptr || u2 == nullptr) return -1;
  for (size_t i = 0;; i++) {
    uint16_t a = i < n1 ? u1.get()[i] : 0;
    uint16_t b = i < n2 ? u2.get()[i] : 0;
    if (ignoreCase) {
      a = brellis::unicode::FoldCase(a);
      b = brellis::unicode::FoldCase(b);
    }
    if (a != b) {
      // Surrogates sort by the code point they make, not by their units.
      uint32_t ca = i < n1 ? CodePointAt(u1.get(), i, n1) : 0;
      uint32_t cb = i < n2 ? CodePointAt(u2.get(), i, n2) : 0;
      if (ignoreCase) {
        ca = ca <= 0xFFFF ? brellis::unicode::FoldCase(static_cast<uint16_t>(ca)) : ca;
        cb = cb <= 0xFFFF ? brellis::unicode::FoldCase(static_cast<uint16_t>(cb)) : cb;
      }
      return ca < cb ? -1 : 1;
    }
    if (a == 0) return 0;
  }
}

char *Unicode_Join(const char *first, ...) {
  if (first == nullptr) return nullptr;
  std::string out(first);
  va_list ap;
  va_start(ap, first);
  for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *)) {
    out += s;
  }
  va_end(ap);
  return Util_SafeStrdup(-1, out.c_str(), __FILE__, __LINE__);
}

char *Unicode_Format(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *out = Str_Vasprintf(nullptr, fmt, ap);
  va_end(ap);
  return out;
}

}  // extern "C"
