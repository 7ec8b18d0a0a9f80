// Core dumps of the running process through a child, and the name of the
// core file the kernel writes.
//
// The child is forked with the raw system call, so no fork handler of the
// C library or of a program runs: the process may be panicking with any
// lock held. After the fork the child does only what is safe in a child of
// a threaded process (no allocation, no lock, no log) before it kills
// itself with SIGABRT.

#include <brellis/err.h>
#include <brellis/log.h>
#include <brellis/sig.h>
#include <brellis/str.h>

#include <fcntl.h>
#include <glob.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include "sig/sigInt.h"

namespace {

// The callback's argument is stored before the callback and read after it,
// so the child, which may not take a lock, sees a pair that was set.
std::atomic<SigCoreDumpFunc> coreDumpFunc{nullptr};
std::atomic<void *> coreDumpData{nullptr};

// Where the kernel's core settings are read; tests point elsewhere.
std::atomic<const char *> corePatternPath{"/proc/sys/kernel/core_pattern"};
std::atomic<const char *> coreUsesPidPath{"/proc/sys/kernel/core_uses_pid"};

constexpr size_t kCoreNameSize = 4196;
constexpr size_t kExpansionMax = 64;
// The kernel keeps a pattern of up to 127 bytes.
constexpr size_t kPatternMax = 127;

// A small file's text without one trailing line end; false when unreadable.
bool ReadSetting(const char *path, size_t max, std::string *text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char buf[256];
  ssize_t n = read(fd, buf, std::min(max, sizeof buf));
  close(fd);
  if (n < 0) {
    return false;
  }
  text->assign(buf, static_cast<size_t>(n));
  if (!text->empty() && text->back() == '\n') {
    text->pop_back();
  }
  return true;
}

// Gives signo its default action, keeping the one it had in *old.
void SetDefaultAction(int signo, struct sigaction *old) {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, old);
}

[[noreturn]] void DumpInChild(const SigCoreRegion *regions, size_t regionCount) {
  SigCoreDumpFunc func = coreDumpFunc.load(std::memory_order_acquire);
  if (func != nullptr) {
    func(coreDumpData.load(std::memory_order_relaxed));
  }
  SigCoreRegionsApply(regions, regionCount);
  uid_t real = getuid();
  if (geteuid() != real) {
    // The kernel writes no core of a process whose ids differ.
    setresuid(static_cast<uid_t>(-1), real, static_cast<uid_t>(-1));
  }
  struct sigaction old;
  SetDefaultAction(SIGABRT, &old);
  // The C library's idea of the process id is the parent's: ask the kernel.
  kill(static_cast<pid_t>(syscall(SYS_getpid)), SIGABRT);
  sigset_t abrt;
  sigemptyset(&abrt);
  sigaddset(&abrt, SIGABRT);
  sigprocmask(SIG_UNBLOCK, &abrt, nullptr);
  sigaction(SIGABRT, &old, nullptr);
  _exit(1);
}

// Forks the child that dumps and waits for it: its process id when it left
// a core, -1 otherwise.
pid_t SigCoreDumpViaChild() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_CORE, &limit) != 0) {
    Log_Warning("\nAttempting a core dump using an unknown size limit: %s\n",
                Err_Errno2String(errno));
  } else if (limit.rlim_cur == 0) {
    Log_Warning("\nThe core dump limit is set to ZERO; no core dump should be expected\n");
  } else if (limit.rlim_cur == RLIM_INFINITY) {
    Log_Warning("\nAttempting a core dump using %s size limit\n", "an unlimited");
  } else {
    char size[64];
    Str_Sprintf(size, sizeof size, "a %lu KB", static_cast<unsigned long>(limit.rlim_cur / 1024));
    Log_Warning("\nAttempting a core dump using %s size limit\n", size);
  }

  // The parent waits for its child, which a process that ignores SIGCHLD
  // could not do: its children would be reaped unseen.
  struct sigaction oldChld;
  SetDefaultAction(SIGCHLD, &oldChld);
  sigset_t prof;
  sigset_t oldMask;
  sigemptyset(&prof);
  sigaddset(&prof, SIGPROF);
  pthread_sigmask(SIG_BLOCK, &prof, &oldMask);
  size_t regionCount = 0;
  const SigCoreRegion *regions = SigCoreRegionsCollect(&regionCount);
  auto pid = static_cast<pid_t>(syscall(SYS_fork));
  if (pid == 0) {
    DumpInChild(regions, regionCount);
  }
  int forkErrno = errno;
  SigCoreRegionsRelease();
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  pid_t result = -1;
  if (pid < 0) {
    Log_Warning("Fork failed: %s\n", Err_Errno2String(forkErrno));
  } else {
    // Looked at often, so a quick dump is reported at once; the rules of
    // waiting count whole seconds.
    constexpr int kPollsPerSecond = 100;
    int status = 0;
    for (int poll = 1;; poll++) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w < 0) {
        Log_Warning("Failed to wait for child process %d: %s.\n", pid, Err_Errno2String(errno));
        break;
      }
      if (w != 0 && w != pid) {
        Log_Warning("Wait for child process %d returned %d.\n", pid, w);
        break;
      }
      if (w == pid) {
        if (WCOREDUMP(status)) {
          Log_Warning("Core dumped.\n");
          result = pid;
        } else {
          Log_Warning("Child process %d failed to dump core (status %#x).\n", pid, status);
        }
        break;
      }
      int seconds = poll / kPollsPerSecond;
      if (poll % kPollsPerSecond == 0 && seconds > 10) {
        Log_Warning("Waiting for child process %d to dump core...\n", pid);
      }
      if (seconds >= 120) {
        Log_Warning("Timed out waiting for child process %d.\n", pid);
        break;
      }
      struct timespec pause = {0, 1'000'000'000 / kPollsPerSecond};
      nanosleep(&pause, nullptr);
    }
  }
  sigaction(SIGCHLD, &oldChld, nullptr);
  return result;
}

}  // namespace

void SigSetCoreSettingsPaths(const char *patternPath, const char *usesPidPath) {
  corePatternPath.store(patternPath != nullptr ? patternPath : "/proc/sys/kernel/core_pattern");
  coreUsesPidPath.store(usesPidPath != nullptr ? usesPidPath : "/proc/sys/kernel/core_uses_pid");
}

bool SigGetCoreFileName(pid_t pid, std::string *name, bool *wildcard) {
  std::string usesPidText;
  bool usesPid = false;
  if (ReadSetting(coreUsesPidPath.load(), 32, &usesPidText) && !usesPidText.empty() &&
      usesPidText.find_first_not_of("0123456789") == std::string::npos) {
    usesPid = usesPidText.find_first_not_of('0') != std::string::npos;
  }
  std::string pattern;
  if (!ReadSetting(corePatternPath.load(), kPatternMax, &pattern) || pattern.empty()) {
    pattern = "core";
  }
  if (pattern[0] == '|') {
    Log_Info("Core dump pipes to process %s, core file unreliable\n", pattern.c_str() + 1);
    pattern = "core";
  }

  std::string out;
  if (pattern[0] != '/') {
    char cwd[kCoreNameSize];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
      out = cwd;
      if (out.back() != '/') {
        out += '/';
      }
    }
  }
  const size_t limit = std::min(out.size() + kExpansionMax, kCoreNameSize - 1);
  *wildcard = false;
  bool pidPresent = false;
  // What does not fit makes no name at all: a shortened one would name
  // another file.
  auto put = [&](const std::string &piece) {
    if (out.size() + piece.size() > limit) {
      return false;
    }
    out += piece;
    return true;
  };
  for (size_t i = 0; i < pattern.size(); i++) {
    std::string piece(1, pattern[i]);
    if (pattern[i] == '%') {
      if (++i == pattern.size()) {
        break;  // a '%' at the end ends the pattern
      }
      switch (pattern[i]) {
        case '%':
          piece = "%";
          break;
        case 'p':
          piece = std::to_string(pid);
          pidPresent = true;
          break;
        case 'u':
          piece = std::to_string(getuid());
          break;
        case 'g':
          piece = std::to_string(getgid());
          break;
        case 's':
          piece = std::to_string(SIGABRT);
          break;
        case 'h': {
          struct utsname u;
          if (uname(&u) == 0) {
            piece = u.nodename;
          } else {
            piece = "*";
            *wildcard = true;
          }
          break;
        }
        default:
          // The program's name, the time and whatever else the kernel
          // knows better than we do match anything.
          piece = "*";
          *wildcard = true;
          break;
      }
    }
    if (!put(piece)) {
      return false;
    }
  }
  if (usesPid && !pidPresent && !put("." + std::to_string(pid))) {
    return false;
  }
  *name = out;
  return true;
}

extern "C" {

void Sig_SetCoreDumpCallback(SigCoreDumpFunc func, void *clientData) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  coreDumpFunc.store(nullptr, std::memory_order_release);
  coreDumpData.store(func != nullptr ? clientData : nullptr, std::memory_order_relaxed);
  coreDumpFunc.store(func, std::memory_order_release);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int Sig_CoreDump(void) {
  pid_t pid = SigCoreDumpViaChild();
  if (pid < 0) {
    return 0;
  }
  std::string name;
  bool wildcard = false;
  bool named = SigGetCoreFileName(pid, &name, &wildcard);
  if (named && wildcard) {
    glob_t matches;
    int rc = glob(name.c_str(), GLOB_NOCHECK, nullptr, &matches);
    if (rc == 0 && matches.gl_pathc == 1) {
      name = matches.gl_pathv[0];
    } else if (rc == 0) {
      named = false;  // several files could be the one
    }
    if (rc == 0 || rc == GLOB_NOMATCH) {
      globfree(&matches);
    }
  }
  if (named) {
    Log_Warning("A core file is available in \"%s\"\n", name.c_str());
  } else {
    Log_Info("%s: SigGetCoreFileName failure", "Sig_CoreDump");
  }
  return 0;
}

}  // extern "C"
