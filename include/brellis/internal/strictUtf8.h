// Why this header exists: the code-set layer and the Unicode strings both
// decide whether bytes are UTF-8 in the strict sense, whatever conversion
// engine is selected, and must agree byte for byte. Internal to the
// library; not installed.
#ifndef BRELLIS_INTERNAL_STRICTUTF8_H
#define BRELLIS_INTERNAL_STRICTUTF8_H

#include <brellis/codeset.h>

#include <cstddef>
#include <cstdint>

namespace brellis {

// True when size bytes at buf are UTF-8 as RFC 3629 defines it: shortest
// forms only, nothing above U+10FFFF, no surrogates.
inline bool IsStrictUtf8(const char *buf, size_t size) {
  const char *end = buf + size;
  for (const char *p = buf; p < end;) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      p++;
      continue;
    }
    uint32_t c;
    int n = CodeSet_GetUtf8(p, end, &c);
    if (n == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    p += n;
  }
  return true;
}

}  // namespace brellis

#endif
