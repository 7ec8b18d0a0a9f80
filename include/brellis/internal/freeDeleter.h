// Why this header exists: the library hands out and takes in malloc()ed
// memory at its C interface, and every module that holds such memory for a
// while ties it to a scope the same way. It is C++, so it cannot be in a
// public header. Internal to the library; not installed. In namespace
// brellis so that a program's own helper of the same name never meets it.
#ifndef BRELLIS_INTERNAL_FREEDELETER_H
#define BRELLIS_INTERNAL_FREEDELETER_H

#include <cstdlib>
#include <memory>

namespace brellis {

// Frees with free(): for std::unique_ptr over memory from malloc(), strdup()
// and the library's own allocation wrappers.
struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

// A string from malloc() owned by a scope.
using UniqueChars = std::unique_ptr<char, FreeDeleter>;

}  // namespace brellis

#endif
