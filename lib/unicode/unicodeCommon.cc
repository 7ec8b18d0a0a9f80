// Lists of Unicode strings, and the layer's one-time initialisation.

#include <brellis/codeset.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <time.h>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> initLock{0};
bool initialized;

ptrdiff_t CountList(const void *const *list, ptrdiff_t count) {
  if (count >= 0) return count;
  ptrdiff_t n = 0;
  while (list[n] != nullptr) n++;
  return n;
}

// A new list of the converted strings, always followed by a NULL; a counted
// list may hold NULL entries (argv[argc]), which stay NULL.
char **AllocList(const void *const *srcArray, ptrdiff_t count, int encoding) {
  if (srcArray == nullptr) return nullptr;
  ptrdiff_t n = CountList(srcArray, count);
  auto **out = static_cast<char **>(
      Util_SafeMalloc(-1, (static_cast<size_t>(n) + 1) * sizeof(char *), __FILE__, __LINE__));
  for (ptrdiff_t i = 0; i < n; i++) {
    out[i] = Unicode_AllocWithLength(srcArray[i], -1, encoding);
  }
  out[n] = nullptr;
  return out;
}

[[noreturn]] void InitFailed(const char *fmt, const char *arg) {
  char msg[1024];
  Str_Snprintf(msg, sizeof msg, fmt, arg);
  initLock.store(0);
  Panic("%s", msg);
}

void Init(int argc, void ***argv, void ***envp, const char *icuDataDir, bool wide) {
  int expected = 0;
  while (!initLock.compare_exchange_strong(expected, 1)) {
    expected = 0;
    struct timespec pause = {0, 250 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (initialized) {
    initLock.store(0);
    return;
  }
  if (!CodeSet_Init(icuDataDir)) {
    InitFailed("Failed to initialize codeset.\n", "");
  }
  // An unsupported character set from the environment is taken as UTF-8
  // (logged) rather than refused: the process must still start.
  int encoding = Unicode_GetCurrentEncoding();
  if (encoding < 0 || encoding > STRING_ENCODING_MAX_SPECIFIED) {
    InitFailed("Unsupported local character encoding \"%s\".\n", CodeSet_GetCurrentCodeSet());
  }
  int from = wide ? STRING_ENCODING_UTF16_LE : STRING_ENCODING_DEFAULT;
  if (argv != nullptr) {
    char **list = AllocList(*argv, argc + 1, from);
    if (list == nullptr) {
      InitFailed(wide ? "Unicode_AllocList1 failed.\n" : "Unicode_AllocList2 failed.\n", "");
    }
    *argv = reinterpret_cast<void **>(list);
  }
  if (envp != nullptr) {
    char **list = AllocList(*envp, -1, from);
    if (list == nullptr) {
      InitFailed(wide ? "Unicode_AllocList3 failed.\n" : "Unicode_AllocList4 failed.\n", "");
    }
    *envp = reinterpret_cast<void **>(list);
  }
  initialized = true;
  initLock.store(0);
}

}  // namespace

extern "C" {

char **Unicode_AllocList(char **srcArray, ptrdiff_t length, int encoding) {
  return AllocList(reinterpret_cast<const void *const *>(srcArray), length, encoding);
}

char **Unicode_GetAllocList(char *const *srcArray, ptrdiff_t length, int encoding) {
  if (srcArray == nullptr) return nullptr;
  ptrdiff_t n = CountList(reinterpret_cast<const void *const *>(srcArray), length);
  auto **out = static_cast<char **>(
      Util_SafeMalloc(-1, (static_cast<size_t>(n) + 1) * sizeof(char *), __FILE__, __LINE__));
  for (ptrdiff_t i = 0; i < n; i++) {
    out[i] = Unicode_GetAllocBytes(srcArray[i], encoding, -1, nullptr);
    if (out[i] == nullptr && srcArray[i] != nullptr) {
      Unicode_FreeList(out, i);
      return nullptr;
    }
  }
  out[n] = nullptr;
  return out;
}

void Unicode_FreeList(char **list, ptrdiff_t length) {
  if (list == nullptr) return;
  ptrdiff_t n = CountList(reinterpret_cast<const void *const *>(list), length);
  for (ptrdiff_t i = 0; i < n; i++) {
    free(list[i]);
  }
  free(list);
}

void Unicode_Init(int argc, char ***argv, char ***envp) {
  Init(argc, reinterpret_cast<void ***>(argv), reinterpret_cast<void ***>(envp), nullptr, false);
}

void Unicode_InitEx(int argc, char ***argv, char ***envp, const char *icuDataDir) {
  Init(argc, reinterpret_cast<void ***>(argv), reinterpret_cast<void ***>(envp), icuDataDir, false);
}

void Unicode_InitW(int argc, uint16_t **wargv, uint16_t **wenvp, char ***argv, char ***envp) {
  void **wa = reinterpret_cast<void **>(wargv);
  void **we = reinterpret_cast<void **>(wenvp);
  Init(argc, wargv != nullptr ? &wa : nullptr, wenvp != nullptr ? &we : nullptr, nullptr, true);
  if (argv != nullptr) *argv = reinterpret_cast<char **>(wa);
  if (envp != nullptr) *envp = reinterpret_cast<char **>(we);
}

}  // extern "C"
