// The panic path.
//
// Everything here may run with the process in a bad state: out of memory,
// a lock broken, another thread panicking at the same moment. So the reason
// reaches standard error first, by a plain write; the state is atomics that
// need no construction or destruction; and the steps that could fault run
// only once the path knows it is the only one running.

#include <brellis/internal/productInfo.h>
#include <brellis/internal/writeAll.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/sig.h>
#include <brellis/str.h>
#include <brellis/userlock.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "msgInt.h"

namespace {

constexpr size_t kMessageSize = 1024;
constexpr int32_t kMaxReservedKB = 20480;
// How long a second panicking thread waits for the first to end the process.
constexpr int kOtherPanicWaitSeconds = 60;

std::atomic<int32_t> panicCount{0};
std::atomic<pid_t> panicThread{0};  // the thread that runs the path
std::atomic<bool> postMessageOnPanic{true};
std::atomic<bool> coreDumpOnPanic{true};
std::atomic<bool> loopOnPanic{false};
std::atomic<int32_t> breakOnPanic{0};
std::atomic<int32_t> coreDumpFlags{0};
std::atomic<char *> coreDumpFileName{nullptr};
std::atomic<void *> reservedSpace{nullptr};
std::atomic<size_t> reservedLength{0};

void WriteStderr(const char *text, size_t len) {
  brellis::WriteAll(STDERR_FILENO, text, len);
}

void WriteStderr(const char *text) {
  WriteStderr(text, strlen(text));
}

void SleepSeconds(int seconds) {
  struct timespec ts = {seconds, 0};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void PanicLoop(int32_t previous, const char *message) {
  if (previous == 1) {
    Log_Info("%s", message);
    Log_Info("Panic loop\n");
  }
  WriteStderr("Panic loop\n");
  _exit(1);
}

// Another thread runs the path and will end the process; this one must not
// return, nor cut the other short.
[[noreturn]] void AwaitOtherPanic() {
  for (int waited = 0; waited < kOtherPanicWaitSeconds || loopOnPanic.load(); waited++) {
    SleepSeconds(1);
  }
  _exit(255);
}

void PostMessage(const char *format, va_list ap) {
  char message[kMessageSize];
  Str_Vsnprintf(message, sizeof message, format, ap);
  Msg_Append("@&!*@*@(msg.log.error.unrecoverable)%s%s unrecoverable error: (%s)\n%s",
             Msg_Present() ? "\n" : "", ProductInfoName(), VThreadBase_CurName(), message);
  const char *logFile = Log_GetFileName();
  if (logFile != nullptr) {
    Msg_Append("@&!*@*@(msg.panic.haveLog)A log file is available in \"%s\".  ", logFile);
  }
  Msg_Append("@&!*@*@(msg.panic.requestSupport.withoutLog)You can request support.  ");
  MsgCallPanicCallback();
  Msg_Post(MSG_ERROR,
           "@&!*@*@(msg.panic.response)We will respond on the basis of your support "
           "entitlement.\n");
}

}  // namespace

extern "C" {

void Panic_Panic(const char *format, va_list ap) {
  // Lock misuse checks must not recurse into a second panic while we report.
  MXUser_SetInPanic();
  va_list second;
  va_copy(second, ap);
  char message[kMessageSize];
  Str_Vsnprintf(message, sizeof message, format, ap);
  WriteStderr(message);
  Log_DisableThrottling();

  pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t owner = 0;
  if (!panicThread.compare_exchange_strong(owner, self)) {
    if (owner == self) {
      PanicLoop(panicCount.fetch_add(1), message);
    }
    AwaitOtherPanic();
  }
  panicCount.fetch_add(1);

  Log_Info("%s", message);
  Util_Backtrace(0);
  Log_SetKeep(true);
  if (coreDumpOnPanic.load()) {
    void *reserved = reservedSpace.exchange(nullptr);
    if (reserved != nullptr) {
      munmap(reserved, reservedLength.load());
    }
    Sig_CoreDump();
  }
  if (loopOnPanic.load()) {
    char line[64];
    Str_Snprintf(line, sizeof line, "Looping pid=%d\n", static_cast<int>(getpid()));
    WriteStderr(line);
    while (loopOnPanic.load()) {
      SleepSeconds(1);
    }
  }
  if (postMessageOnPanic.load()) {
    PostMessage(format, second);
  }
  va_end(second);
  Log_Info("Exiting\n");
  exit(-1);
}

void Panic(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Panic_Panic(format, ap);
}

void Panic_LoadSettings(void) {
  Panic_SetCoreDumpOnPanic(Config_GetBool(true, "coreDumpOnPanic"));
  loopOnPanic.store(Config_GetBool(false, "panic.loopOnPanic"));
  breakOnPanic.store(Config_GetLong(0, "panic.breakOnPanic"));
  Panic_SetCoreDumpFlags(Config_GetLong(0, "coreDumpFlags"));
}

void Panic_SetPostMessage(bool postMessage) {
  postMessageOnPanic.store(postMessage);
}

void Panic_SetCoreDumpOnPanic(bool dumpCore) {
  coreDumpOnPanic.store(dumpCore);
}

bool Panic_GetCoreDumpOnPanic(void) {
  return coreDumpOnPanic.load();
}

void Panic_SetCoreDumpFlags(int32_t flags) {
  coreDumpFlags.store(flags);
}

int32_t Panic_GetCoreDumpFlags(void) {
  return coreDumpFlags.load();
}

void Panic_SetBreakOnPanic(bool breakOn) {
  breakOnPanic.store(breakOn ? 2 : 0);
}

bool Panic_GetBreakOnPanic(void) {
  return breakOnPanic.load() > 1;
}

void Panic_SetCoreDumpFileName(const char *fileName) {
  char *copy = fileName != nullptr ? Util_SafeStrdup(-1, fileName, __FILE__, __LINE__) : nullptr;
  free(coreDumpFileName.exchange(copy));
}

const char *Panic_GetCoreDumpFileName(void) {
  return coreDumpFileName.load();
}

bool Panic_ReserveAddressSpace(void) {
  int32_t kb = Config_GetLong(0, "panic.addrSpaceReservedKB");
  if (kb <= 0 || reservedSpace.load() != nullptr) {
    return true;
  }
  if (kb > kMaxReservedKB) {
    kb = kMaxReservedKB;
  }
  size_t length = static_cast<size_t>(kb) * 1024;
  void *addr = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (addr == MAP_FAILED) {
    return true;
  }
  reservedLength.store(length);
  reservedSpace.store(addr);
  Log_Info("Reserved virtual address space for CoreDump(addr:%p, size:%zuKB)\n", addr,
           static_cast<size_t>(kb));
  return true;
}

}  // extern "C"
