// Why this header exists: the dictionary readers cut whole files into lines
// themselves and parse each line in place, keeping the name as a span to
// copy once into its entry, while the line layer owns the grammar and the
// unescaping. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_DICTLINEPARSE_H
#define BRELLIS_INTERNAL_DICTLINEPARSE_H

#include <cstddef>

namespace brellis {

// Where an assignment's name and (still escaped) value lie within its line.
struct DictLineSpans {
  const char *name;
  size_t nameLen;
  const char *value;
  size_t valueLen;
};

// True when the NUL-terminated line is an assignment; *spans then points
// into line.
bool DictLineParse(const char *line, DictLineSpans *spans);

// The value's len bytes at value, unescaped, in a new string the caller
// frees. Ends the process when memory runs out.
char *DictLineUnescape(const char *value, size_t len);

}  // namespace brellis

#endif
