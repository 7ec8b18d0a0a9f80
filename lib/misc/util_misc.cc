// Allocation wrappers: callers never check for NULL, so exhaustion ends the
// process here, naming the caller. The same rule covers what the standard
// library allocates for the modules, through a new-handler that panics.

#include <brellis/internal/newHandler.h>
#include <brellis/panic.h>
#include <brellis/util.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Whether UtilInstallNewHandler has run. Constant-initialised: installing
// from a global constructor would be a side effect of merely linking the
// library.
std::atomic<bool> newHandlerChecked{false};

[[noreturn]] void PanicOnExhaustion() {
  Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
}

[[noreturn]] void AllocationFailed(int bugNr, const char *file, int lineno) {
  if (bugNr == -1) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", file, lineno);
  }
  Panic("Unrecoverable memory allocation failure at %s:%d.  Bug number: %d\n", file, lineno, bugNr);
}

}  // namespace

// There is no global constructor to install the handler from, and a static
// library cannot know which of its calls a program makes first. So the
// start-up calls programs make first (Log_Init*, Preference_Init) install
// it, and so does every allocation wrapper, which nearly every library
// operation reaches before or while it allocates; after the first call the
// cost is one atomic load. A handler the program installed itself is kept:
// the process's policy for exhaustion is the program's to choose, and a C++
// program that chose one has taken that on.
void UtilInstallNewHandler() {
  if (newHandlerChecked.load(std::memory_order_acquire)) {
    return;
  }
  if (std::get_new_handler() == nullptr) {
    std::set_new_handler(PanicOnExhaustion);
  }
  newHandlerChecked.store(true, std::memory_order_release);
}

extern "C" {

void *Util_SafeMalloc(int bugNr, size_t size, const char *file, int lineno) {
  UtilInstallNewHandler();
  void *p = malloc(size);
  if (p == nullptr && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

void *Util_SafeCalloc(int bugNr, size_t count, size_t size, const char *file, int lineno) {
  UtilInstallNewHandler();
  void *p = calloc(count, size);
  if (p == nullptr && count != 0 && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

void *Util_SafeRealloc(int bugNr, void *ptr, size_t size, const char *file, int lineno) {
  UtilInstallNewHandler();
  void *p = realloc(ptr, size);
  if (p == nullptr && size != 0) {
    AllocationFailed(bugNr, file, lineno);
  }
  return p;
}

char *Util_SafeStrdup(int bugNr, const char *s, const char *file, int lineno) {
  UtilInstallNewHandler();
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
  UtilInstallNewHandler();
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
