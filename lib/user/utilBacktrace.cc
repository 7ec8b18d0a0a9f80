// Backtraces along the frame-pointer chain, named by the dynamic loader.
//
// A backtrace is taken when something has already gone wrong, often in the
// panic path, so the walk trusts nothing it reads: every frame pointer must
// lie inside the thread's own stack, above the previous one and aligned
// before it is dereferenced.

#include <brellis/log.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace {

constexpr int kMaxFrames = 256;
constexpr uintptr_t kMaxFrameSize = 0x8000;

struct StackBounds {
  uintptr_t low = 0;
  uintptr_t high = 0;  // exclusive
};

// The calling thread's stack; empty when the system cannot tell.
StackBounds ThreadStack() {
  StackBounds b;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) {
    return b;
  }
  void *addr = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
    b.low = reinterpret_cast<uintptr_t>(addr);
    b.high = b.low + size;
  }
  pthread_attr_destroy(&attr);
  return b;
}

bool IsFrame(const StackBounds &b, uintptr_t fp) {
  return fp % alignof(uintptr_t) == 0 && fp >= b.low && b.high >= 2 * sizeof(uintptr_t) &&
         fp <= b.high - 2 * sizeof(uintptr_t);
}

struct Frame {
  uintptr_t savedFp;
  uintptr_t returnAddress;
};

// The frames from start, each {saved frame pointer, return address}.
int Walk(uintptr_t start, Frame *frames) {
  StackBounds b = ThreadStack();
  int n = 0;
  uintptr_t fp = start;
  while (n < kMaxFrames && IsFrame(b, fp)) {
    const auto *record = reinterpret_cast<const uintptr_t *>(fp);
    frames[n++] = {record[0], record[1]};
    uintptr_t next = record[0];
    if (next <= fp || next - fp > kMaxFrameSize) {
      break;
    }
    fp = next;
  }
  return n;
}

void Print(const Frame *frames, int n, Util_OutputFunc out, void *data) {
  for (int i = 0; i < n; i++) {
    out(data, "Backtrace[%d] %#018" PRIxPTR " eip %#018" PRIxPTR " \n", i, frames[i].savedFp,
        frames[i].returnAddress);
  }
  for (int i = 0; i < n; i++) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(frames[i].returnAddress), &info) != 0 &&
        info.dli_fname != nullptr) {
      out(data,
          "SymBacktrace[%d] %#018" PRIxPTR " eip %#018" PRIxPTR
          " in function %s in object %s loaded at %#018" PRIxPTR "\n",
          i, frames[i].savedFp, frames[i].returnAddress,
          info.dli_sname != nullptr ? info.dli_sname : "??", info.dli_fname,
          reinterpret_cast<uintptr_t>(info.dli_fbase));
    } else {
      out(data, "SymBacktrace[%d] %#018" PRIxPTR " eip %#018" PRIxPTR " \n", i, frames[i].savedFp,
          frames[i].returnAddress);
    }
  }
}

void ToLog(void *, const char *format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  Str_Vsnprintf(line, 509, format, ap);
  va_end(ap);
  size_t len = strlen(line);
  if (len == 0 || line[len - 1] != '\n') {
    line[len++] = '\n';
    line[len] = '\0';
  }
  Log_Info("%s", line);
}

}  // namespace

extern "C" {

__attribute__((noinline)) void Util_BacktraceWithFunc(int bugNr, Util_OutputFunc outFunc,
                                                      void *outFuncData) {
  if (bugNr == 0) {
    outFunc(outFuncData, "Backtrace:\n");
  } else {
    outFunc(outFuncData, "Backtrace for bugNr=%d\n", bugNr);
  }
  Frame frames[kMaxFrames];
  int n = Walk(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), frames);
  Print(frames, n, outFunc, outFuncData);
}

void Util_Backtrace(int bugNr) {
  Util_BacktraceWithFunc(bugNr, ToLog, nullptr);
}

void Util_BacktraceFromPointerWithFunc(uintptr_t *basePtr, Util_OutputFunc outFunc,
                                       void *outFuncData) {
  Frame frames[kMaxFrames];
  int n = Walk(reinterpret_cast<uintptr_t>(basePtr), frames);
  Print(frames, n, outFunc, outFuncData);
}

void Util_BacktraceFromPointer(uintptr_t *basePtr) {
  Util_BacktraceFromPointerWithFunc(basePtr, ToLog, nullptr);
}

}  // extern "C"
