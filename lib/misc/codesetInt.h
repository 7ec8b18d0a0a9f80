// The two conversion engines behind CodeSet_GenericToGeneric and
// CodeSet_Validate. Both append their output to a DynBuf and leave the
// terminating zero bytes to the caller.
#ifndef BRELLIS_MISC_CODESETINT_H
#define BRELLIS_MISC_CODESETINT_H

#include <brellis/dynbuf.h>
#include <brellis/internal/strictUtf8.h>

#include <cstddef>

namespace brellis::codeset {

// Grows b so that at least `room` bytes are free past b->size, doubling the
// allocation so that a long run of large output units cannot stall.
bool Reserve(DynBuf *b, size_t room);

using brellis::IsStrictUtf8;

// True when name is a spelling of UTF-8 (letter case and punctuation aside).
bool IsUtf8Name(const char *name);

bool IconvConvert(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
                  unsigned int flags, DynBuf *out);

#ifdef BRELLIS_HAVE_ICU
bool IcuConvert(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
                unsigned int flags, DynBuf *out);
bool IcuValidate(const char *buf, size_t size, const char *code);
// Points ICU at dataDir (nullptr: its built-in data).
void IcuSetDataDirectory(const char *dataDir);
#endif

}  // namespace brellis::codeset

#endif
