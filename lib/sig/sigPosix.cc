// The core dump of the panic path, through a child: the kernel writes the
// image of a process that dies of SIGABRT, and a forked child has the same
// memory as the panicking process, so the process itself goes on to report.

#include <brellis/err.h>
#include <brellis/log.h>
#include <brellis/sig.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// False when the limit forbids a core file: then there is no point in a
// child.
bool ReportLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_CORE, &limit) != 0) {
    Log_Warning("\nAttempting a core dump using an unknown size limit: %s\n", Err_ErrString());
    return true;
  }
  if (limit.rlim_cur == 0) {
    Log_Warning("\nThe core dump limit is set to ZERO; no core dump should be expected\n");
    return false;
  }
  if (limit.rlim_cur == RLIM_INFINITY) {
    Log_Warning("\nAttempting a core dump using %s size limit\n", "an unlimited");
  } else {
    Log_Warning("\nAttempting a core dump using a %lu KB size limit\n",
                static_cast<unsigned long>(limit.rlim_cur / 1024));
  }
  return true;
}

// Runs in the child: only calls that are safe after a fork of a threaded
// process.
[[noreturn]] void DieWithCore() {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGABRT, &dfl, nullptr);
  sigset_t abrt;
  sigemptyset(&abrt);
  sigaddset(&abrt, SIGABRT);
  kill(getpid(), SIGABRT);
  pthread_sigmask(SIG_UNBLOCK, &abrt, nullptr);
  _exit(1);
}

}  // namespace

extern "C" int Sig_CoreDump(void) {
  int savedErrno = errno;
  if (!ReportLimit()) {
    errno = savedErrno;
    return 0;
  }
  sigset_t prof;
  sigset_t old;
  sigemptyset(&prof);
  sigaddset(&prof, SIGPROF);
  pthread_sigmask(SIG_BLOCK, &prof, &old);
  // The raw call: fork handlers of the program must not run in a panic.
  pid_t child = static_cast<pid_t>(syscall(SYS_fork));
  if (child == 0) {
    DieWithCore();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (child < 0) {
    Log_Warning("Fork failed: %s\n", Err_ErrString());
  } else {
    int status = 0;
    pid_t waited;
    do {
      waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
      Log_Warning("Failed to wait for child process %d: %s.\n", child, Err_ErrString());
    } else if (WIFSIGNALED(status) && WCOREDUMP(status)) {
      Log_Warning("Core dumped.\n");
    } else {
      Log_Warning("Child process %d failed to dump core (status %#x).\n", child,
                  static_cast<unsigned>(status));
    }
  }
  errno = savedErrno;
  return 0;
}
