// The signal dispatcher: one handler for every signal it takes over, routing
// each delivery by the signal's entry in the table.
//
// SigDispatch runs in signal context, on whatever the interrupted code left
// half done. It reads the table, writes the queue pipe and the saved crash
// context, and logs (the log only tries its lock in a handler). The table
// is written with every signal blocked, so a handler never sees an entry
// half made by its own thread.

#include <brellis/err.h>
#include <brellis/internal/threadId.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/sig.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <fcntl.h>
#include <setjmp.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <type_traits>

#include "sig/sigInt.h"

// The header promises callers that sigsetjmp and siglongjmp take the entry's
// buffer as it is.
static_assert(std::is_same_v<jmp_buf, sigjmp_buf>, "the crash catcher's buffer is a sigjmp_buf");
static_assert(sizeof(SigCrashCatcherEntry) == 208 && sizeof SigCrashCatcher == 96 * 208,
              "the header documents the crash catchers' layout");

extern "C" {
SigCrashCatcherEntry SigCrashCatcher[SIG_CRASH_CATCHER_ENTRIES];
}
mcontext_t sigCrashContext;

namespace {

constexpr size_t kQueueRecordSize = 128;
static_assert(sizeof(siginfo_t) == kQueueRecordSize, "one queued signal is one kernel siginfo");

struct SigHandlerEntry {
  int32_t type = 0;
  std::atomic<bool> busy{false};
  bool chain = false;
  bool prevSiginfo = false;
  SigCallbackFunc callback = nullptr;
  void *clientData = nullptr;
  struct sigaction previous = {};
};

SigHandlerEntry sigHandlers[SIG_NUM_SIGNALS];
std::atomic<bool> sigInitDone{false};
std::atomic<int> queueRead{-1};
std::atomic<int> queueWrite{-1};
std::atomic<SigCallbackFunc> crashCallback{nullptr};

// How deep default handling is nested.
std::atomic<int32_t> sigNestCount{0};

constexpr int kDispatched[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGABRT, SIGBUS,    SIGFPE,
                               SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM,   SIGTERM, SIGSTKFLT, SIGTSTP,
                               SIGURG,  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGIO};

bool IsCrash(int signo) {
  return signo == SIGILL || signo == SIGABRT || signo == SIGBUS || signo == SIGSEGV;
}

[[noreturn]] void Unimplemented(int line) {
  Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, line);
}

void SigMask(int how, const sigset_t *set, sigset_t *old) {
  int rc = pthread_sigmask(how, set, old);
  if (rc != 0) {
    Log_Warning("SIG pthread_sigmask failed: %s\n", Err_Errno2String(rc));
    Unimplemented(__LINE__);
  }
}

// Every signal blocked for a scope: the table changes so, and a thread's own
// handler cannot interrupt the change.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    SigMask(SIG_BLOCK, &all, &old_);
  }
  ~AllSignalsBlocked() { SigMask(SIG_SETMASK, &old_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked &) = delete;
  AllSignalsBlocked &operator=(const AllSignalsBlocked &) = delete;

 private:
  sigset_t old_;
};

// The thread's identity without allocating one: a thread that has none
// cannot be given one in a handler.
uint32_t CurIdInSignal() {
  VThreadBaseData *record = vthreadBaseCurRecord;
  return record != nullptr ? record->id : VTHREADBASE_INVALID_ID;
}

uint64_t Reg(const ucontext_t *uc, int reg) {
  return uc != nullptr ? static_cast<uint64_t>(uc->uc_mcontext.gregs[reg]) : 0;
}

// Calls the handler that was there before Sig_Init; false when that was the
// default action, which cannot be called.
bool CallPrevious(int signo, siginfo_t *info, void *context) {
  const struct sigaction &prev = sigHandlers[signo].previous;
  if (sigHandlers[signo].prevSiginfo) {
    prev.sa_sigaction(signo, info, context);
    return true;
  }
  if (prev.sa_handler == SIG_DFL) {
    return false;
  }
  if (prev.sa_handler != SIG_IGN) {
    prev.sa_handler(signo);
  }
  return true;
}

void QueueSignal(int signo, const siginfo_t *info) {
  // Pipe writes of this size are atomic: a record is whole or absent.
  if (write(queueWrite.load(std::memory_order_relaxed), info, kQueueRecordSize) < 0) {
    if (errno == EAGAIN) {
      Log_Warning("Too many signals queued, this shouldn't happen\n");
    } else {
      Log_Warning("Could not queue signal %d (error %d)\n", signo, errno);
    }
  }
}

// The 32 words above the interrupted stack pointer, copied through the
// kernel: a broken stack pointer (the fault being reported, maybe) then
// gives an error instead of a second fault.
void LogStack(uint64_t sp) {
  uint64_t words[32];
  struct iovec local = {words, sizeof words};
  struct iovec remote = {reinterpret_cast<void *>(sp), sizeof words};
  auto self = static_cast<pid_t>(syscall(SYS_getpid));
  if (syscall(SYS_process_vm_readv, self, &local, 1, &remote, 1, 0) !=
      static_cast<long>(sizeof words)) {
    return;
  }
  for (size_t i = 0; i < 32; i += 4) {
    Log_Info("SIGNAL: stack %p : 0x%016lx 0x%016lx 0x%016lx 0x%016lx\n",
             reinterpret_cast<void *>(sp + i * sizeof(uint64_t)),
             static_cast<unsigned long>(words[i]), static_cast<unsigned long>(words[i + 1]),
             static_cast<unsigned long>(words[i + 2]), static_cast<unsigned long>(words[i + 3]));
  }
}

// A signal nobody handles: the termination signals end (or stop) the
// process as themselves; any other is a crash, reported and then a panic.
void DefaultHandling(int signo, const ucontext_t *uc, uint32_t tid) {
  // No core or file of a setuid process is made as root on its behalf.
  uid_t euid = geteuid();
  uid_t ruid = getuid();
  bool dropped = euid == 0 && ruid != 0 &&
                 setresuid(static_cast<uid_t>(-1), ruid, static_cast<uid_t>(-1)) == 0;
  auto tidText = static_cast<unsigned long>(tid);
  int32_t nest = sigNestCount.fetch_add(1) + 1;
  if (nest == 2) {
    Panic("Loop on signal %d -- tid %lu at 0x%016lx.\n", signo, tidText,
          static_cast<unsigned long>(Reg(uc, REG_RIP)));
  }
  if (nest > 2) {
    _exit(1);
  }
  if (uc != nullptr) {
    memcpy(&sigCrashContext, &uc->uc_mcontext, sizeof sigCrashContext);
  }

  if (signo == SIGHUP || signo == SIGINT || signo == SIGTERM || signo == SIGTSTP) {
    Log_Warning("Caught signal %d -- tid %lu (rip 0x%016lx)\n", signo, tidText,
                static_cast<unsigned long>(Reg(uc, REG_RIP)));
    struct sigaction dfl;
    struct sigaction ours;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, &ours);
    // The handler runs with the signal blocked: unblocked, the raised one
    // is delivered at once with the default action, so the process ends or
    // stops by it, as its parent expects.
    sigset_t one;
    sigset_t oldMask;
    sigemptyset(&one);
    sigaddset(&one, signo);
    SigMask(SIG_UNBLOCK, &one, &oldMask);
    raise(signo);
    // Continued after a stop: block it again before the handler is back.
    SigMask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(signo, &ours, nullptr);
    if (dropped) {
      setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1));
    }
    sigNestCount.store(0);
    return;
  }

  Log_DisableThrottling();
  Log_Warning("Caught signal %d -- tid %lu\n", signo, tidText);
  if (uc != nullptr) {
    Log_Info("SIGNAL: rip 0x%016lx rsp 0x%016lx rbp 0x%016lx\n",
             static_cast<unsigned long>(Reg(uc, REG_RIP)),
             static_cast<unsigned long>(Reg(uc, REG_RSP)),
             static_cast<unsigned long>(Reg(uc, REG_RBP)));
    Log_Info(
        "SIGNAL: rax 0x%016lx rbx 0x%016lx rcx 0x%016lx rdx 0x%016lx rsi 0x%016lx "
        "rdi 0x%016lx\n",
        static_cast<unsigned long>(Reg(uc, REG_RAX)), static_cast<unsigned long>(Reg(uc, REG_RBX)),
        static_cast<unsigned long>(Reg(uc, REG_RCX)), static_cast<unsigned long>(Reg(uc, REG_RDX)),
        static_cast<unsigned long>(Reg(uc, REG_RSI)), static_cast<unsigned long>(Reg(uc, REG_RDI)));
    LogStack(Reg(uc, REG_RSP));
  }
  Util_Backtrace(0);
  sigset_t profiling;
  sigemptyset(&profiling);
  sigaddset(&profiling, SIGPROF);
  sigaddset(&profiling, SIGVTALRM);
  SigMask(SIG_BLOCK, &profiling, nullptr);
  Panic("Unexpected signal: %d.\n", signo);
}

void SigDispatch(int signo, siginfo_t *info, void *context) {
  int savedErrno = errno;
  uint32_t tid = CurIdInSignal();
  VThreadBase_SetIsInSignal(tid, true);
  auto *uc = static_cast<ucontext_t *>(context);

  if (IsCrash(signo)) {
    if (tid < SIG_CRASH_CATCHER_ENTRIES && SigCrashCatcher[tid].armed != 0) {
      SigCrashCatcherEntry &entry = SigCrashCatcher[tid];
      entry.armed = 0;
      if (uc != nullptr) {
        SigMask(SIG_SETMASK, &uc->uc_sigmask, nullptr);
      }
      VThreadBase_SetIsInSignal(tid, false);
      errno = savedErrno;
      siglongjmp(entry.jmpBuf, signo);
    }
    SigCallbackFunc crash = crashCallback.load();
    if (crash != nullptr) {
      crash(signo, info, context, nullptr);
    }
  }

  SigHandlerEntry &entry = sigHandlers[signo];
  switch (entry.type) {
    case SIG_TYPE_QUEUED:
      // No poll loop runs callbacks here: every queued delivery waits in
      // the pipe for SigReadQueue.
      QueueSignal(signo, info);
      break;
    case SIG_TYPE_IMMEDIATE:
      if (entry.chain) {
        CallPrevious(signo, info, context);
      }
      if (entry.callback != nullptr) {
        entry.callback(signo, info, context, entry.clientData);
      }
      break;
    case SIG_TYPE_IGNORED:
      break;
    case SIG_TYPE_DEFAULT:
      if (!entry.chain || !CallPrevious(signo, info, context)) {
        DefaultHandling(signo, uc, tid);
      }
      break;
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  VThreadBase_SetIsInSignal(tid, false);
  errno = savedErrno;
}

// Puts the dispatcher (or, for type 0, the ignore disposition, which no
// callback can then change) on signo and records what was there.
void Install(int signo, int32_t type) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  struct sigaction old;
  memset(&old, 0, sizeof old);
  if (type == 0) {
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
  } else {
    action.sa_sigaction = SigDispatch;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    // A fault in the handler itself must reach it again (the nesting
    // check ends the loop) instead of killing the process silently.
    for (int fault : {SIGBUS, SIGSEGV, SIGILL}) {
      sigdelset(&action.sa_mask, fault);
    }
    if (signo == SIGILL || signo == SIGBUS || signo == SIGSEGV) {
      action.sa_flags |= SA_NODEFER;
    }
  }
  if (sigaction(signo, &action, &old) != 0) {
    Log_Warning("SIG sigaction failed on signal %d: %s\n", signo, Err_Errno2String(errno));
    Unimplemented(__LINE__);
  }
  SigHandlerEntry &entry = sigHandlers[signo];
  entry.type = type;
  entry.previous = old;
  entry.prevSiginfo = (old.sa_flags & SA_SIGINFO) != 0;
}

}  // namespace

extern "C" {

bool Sig_Init(void) {
  if (sigInitDone.exchange(true)) {
    Log_Info("Sig_Init already initialized \n");
    return true;
  }
  // The identity is made here, outside any handler, so that the handlers
  // of this thread find it.
  (void)VThreadBase_CurID();
  sigset_t all;
  sigset_t oldMask;
  sigfillset(&all);
  SigMask(SIG_BLOCK, &all, &oldMask);
  for (int signo : kDispatched) {
    Install(signo, SIG_TYPE_DEFAULT);
  }
  Install(SIGCHLD, SIG_TYPE_IGNORED);
  for (int signo : {SIGPIPE, SIGTTIN, SIGTTOU}) {
    Install(signo, 0);
  }
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    Unimplemented(__LINE__);
  }
  queueRead.store(fds[0]);
  queueWrite.store(fds[1]);
  SigMask(SIG_SETMASK, &oldMask, nullptr);
  if (!Config_GetBool(false, "signal.dontUnmap")) {
    SigCoreRegionsCreate();
  }
  return true;
}

void Sig_Exit(void) {
  int readEnd = queueRead.exchange(-1);
  int writeEnd = queueWrite.exchange(-1);
  if (readEnd >= 0) {
    close(readEnd);
  }
  if (writeEnd >= 0) {
    close(writeEnd);
  }
  SigCoreRegionsDestroy();
}

void Sig_Callback(int32_t signo, int32_t type, SigCallbackFunc callback, void *clientData) {
  if (signo < 1 || signo >= SIG_NUM_SIGNALS) {
    Panic("ASSERT %s:%d bugNr=%d\n", __FILE__, __LINE__, 0);
  }
  SigHandlerEntry &entry = sigHandlers[signo];
  bool chain = (type & SIG_TYPE_CHAIN) != 0;
  type &= ~SIG_TYPE_CHAIN;
  if (chain && !entry.prevSiginfo && entry.previous.sa_handler != SIG_DFL &&
      entry.previous.sa_handler != SIG_IGN) {
    Unimplemented(__LINE__);
  }
  if (type == SIG_TYPE_DEFAULT) {
    if (entry.type != SIG_TYPE_QUEUED && entry.type != SIG_TYPE_IMMEDIATE) {
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
    }
    callback = nullptr;
    clientData = nullptr;
  } else if (entry.type != SIG_TYPE_DEFAULT && entry.type != SIG_TYPE_IGNORED) {
    Panic("ASSERT %s:%d bugNr=%d\n", __FILE__, __LINE__, 0);
  }
  if (type == SIG_TYPE_NOT_SUPPORTED) {
    Unimplemented(__LINE__);
  }
  if (type < SIG_TYPE_DEFAULT || type > SIG_TYPE_IGNORED) {
    Panic("ASSERT %s:%d bugNr=%d\n", __FILE__, __LINE__, 0);
  }
  AllSignalsBlocked blocked;
  entry.type = type;
  entry.chain = chain;
  entry.callback = callback;
  entry.clientData = clientData;
  entry.busy.store(false);
}

void Sig_Continue(int32_t signo) {
  if (signo >= 1 && signo < SIG_NUM_SIGNALS) {
    sigHandlers[signo].busy.store(false);
  }
}

void Sig_IgnoreHandler(int32_t signo, void *, void *, void *clientData) {
  auto tid = static_cast<unsigned long>(VThreadBaseCurID());
  if (clientData != nullptr) {
    Log_Info("Ignored signal %d -- tid %lu (%s).\n", signo, tid,
             static_cast<const char *>(clientData));
  } else {
    Log_Info("Ignored signal %d -- tid %lu.\n", signo, tid);
  }
  Sig_Continue(signo);
}

int Sig_QueueFd(void) {
  return queueRead.load();
}

void SigReadQueue(void) {
  int fd = queueRead.load();
  if (fd < 0) {
    return;
  }
  siginfo_t info;
  ssize_t n = read(fd, &info, kQueueRecordSize);
  if (n != static_cast<ssize_t>(kQueueRecordSize)) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return;
    }
    Log_Warning("Could not read siginfo: %d\n", n < 0 ? errno : static_cast<int>(n));
    Unimplemented(__LINE__);
  }
  int signo = info.si_signo;
  if (signo < 1 || signo >= SIG_NUM_SIGNALS) {
    Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  SigHandlerEntry &entry = sigHandlers[signo];
  if (entry.type == SIG_TYPE_DEFAULT) {
    Log_Info("Dropping unhandled signal %d.\n", signo);
    return;
  }
  if (entry.busy.exchange(true)) {
    // Its callback has not called Sig_Continue yet: the delivery waits.
    QueueSignal(signo, &info);
    return;
  }
  if (entry.callback != nullptr) {
    entry.callback(signo, &info, nullptr, entry.clientData);
  }
}

void Sig_SetCrashCallback(SigCallbackFunc callback) {
  crashCallback.store(callback);
}

SigCrashCatcherEntry *Sig_CrashCatcherEntry(void) {
  uint32_t id = VThreadBase_CurID();
  return id < SIG_CRASH_CATCHER_ENTRIES ? &SigCrashCatcher[id] : nullptr;
}

}  // extern "C"
