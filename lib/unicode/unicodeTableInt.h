// The encoding table shared by the lookups and the tests that check it.
#ifndef BRELLIS_UNICODE_UNICODETABLEINT_H
#define BRELLIS_UNICODE_UNICODETABLEINT_H

#include <cstddef>

namespace brellis::unicode {

struct EncodingRow {
  int winCodePage;  // -1 when the character set has no Windows code page
  int encoding;
  bool supported;
  int preferredName;      // index into names
  const char *names[22];  // NULL-terminated
};

extern const EncodingRow kEncodingTable[];
extern const size_t kEncodingTableSize;

// Units of a raw buffer in encoding (already resolved): 1, 2 or 4 bytes.
size_t UnitWidth(int encoding);

}  // namespace brellis::unicode

#endif
