// Allocation wrappers: callers never check for NULL, so exhaustion ends the
// process here, naming the caller.

#include <brellis/panic.h>
#include <brellis/util.h>

#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void AllocationFailed(int bugNr, const char *file, int lineno) {
  if (bugNr == -1) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", file, lineno);
  }
  Panic("Unrecoverable memory allocation failure at %s:%d.  Bug number: %d\n", file, lineno,
        bugNr);
}

}  // namespace

extern "C" {

void *Util_SafeMalloc(int bugNr, size_t size, const char *file, int lineno) {
  void *p = malloc(size);
  if (p == nullptr && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

void *Util_SafeCalloc(int bugNr, size_t count, size_t size, const char *file, int lineno) {
  void *p = calloc(count, size);
  if (p == nullptr && count != 0 && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

void *Util_SafeRealloc(int bugNr, void *ptr, size_t size, const char *file, int lineno) {
  void *p = realloc(ptr, size);
  if (p == nullptr && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

char *Util_SafeStrdup(int bugNr, const char *s, const char *file, int lineno) {
  if (s == nullptr) {
    return nullptr;
  }
  char *p = strdup(s);
  if (p == nullptr) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

char *Util_SafeStrndup(int bugNr, const char *s, size_t maxLen, const char *file, int lineno) {
  if (s == nullptr) {
    return nullptr;
  }
  char *p = strndup(s, maxLen);
  if (p == nullptr) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

}  // extern "C"
