// The simple case folding of 16-bit code units, generated from the Unicode
// data by scripts/gen-casefold.py.
#ifndef BRELLIS_UNICODE_UNICODECASEFOLDINT_H
#define BRELLIS_UNICODE_UNICODECASEFOLDINT_H

#include <cstdint>

namespace brellis::unicode {

// Indexed by the high byte; a null page leaves its units unchanged.
extern const uint16_t *const kCaseFoldPages[256];

inline uint16_t FoldCase(uint16_t unit) {
  const uint16_t *page = kCaseFoldPages[unit >> 8];
  return page == nullptr ? unit : page[unit & 0xFF];
}

}  // namespace brellis::unicode

#endif
