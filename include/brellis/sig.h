/*
 * Signals and core dumps.
 *
 * Sig_CoreDump leaves a core file of the running process without ending
 * it: a child of the process kills itself with SIGABRT, so the kernel
 * writes the child's image, and the parent logs the size limit, the outcome
 * and the file's name as the kernel's naming rules (core_pattern,
 * core_uses_pid) give it. The panic path calls it. Regions registered with
 * Sig_SetCoreDumpRegion are left out of that image, or forced into it.
 *
 * The dispatcher (Sig_Init) takes over the process's signals and routes
 * each to a callback: at once in signal context (immediate), later through
 * a pipe (queued), or not at all (ignored). A signal left to default
 * handling ends the process as the signal would (SIGHUP, SIGINT, SIGTERM,
 * SIGTSTP: by that very signal), or, for the others, with a crash report in
 * the log followed by a panic. There is no poll loop in this system: a
 * program that queues signals watches Sig_QueueFd itself and calls
 * SigReadQueue when it is readable.
 *
 * Misuse (an unknown handler type, a change the entry's state forbids, a
 * failing system call while setting up) ends the process through Panic.
 */
#ifndef BRELLIS_SIG_H
#define BRELLIS_SIG_H

#include <setjmp.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called in the core-dump child just before it dumps; it must only do what
 * is safe in a child forked from a threaded process. */
typedef void (*SigCoreDumpFunc)(void *clientData);

/* Dumps core through a child and logs where the file is. Always 0: every
 * problem is logged and the caller goes on. */
int Sig_CoreDump(void);
/* Sets (or, with NULL, clears) the callback run in the core-dump child. */
void Sig_SetCoreDumpCallback(SigCoreDumpFunc func, void *clientData);

/*
 * Marks [start, start + length) for the next core dumps: with add false the
 * region is forgotten. A dropped region (drop true) is unmapped in the
 * dumping child, so its contents never reach the core; a kept one is made
 * private, anonymous and writable there page by page, so that the kernel
 * writes it even when it would skip it (a shared or read-only mapping).
 * start should be page-aligned; the length is rounded up to whole 4096-byte
 * pages. Does nothing while the table does not exist: Sig_Init creates it
 * unless the setting "signal.dontUnmap" is true, Sig_Exit destroys it.
 */
void Sig_SetCoreDumpRegion(bool add, bool drop, uintptr_t start, uint64_t length);

/* Handler types of Sig_Callback. */
#define SIG_TYPE_DEFAULT 1       /* default handling (the initial type) */
#define SIG_TYPE_QUEUED 2        /* written to the queue pipe, run by SigReadQueue */
#define SIG_TYPE_NOT_SUPPORTED 3 /* refused: ends the process */
#define SIG_TYPE_IMMEDIATE 4     /* run in signal context */
#define SIG_TYPE_IGNORED 5       /* nothing happens */
/* Or'ed into the type: first call the handler that was installed before
 * Sig_Init (it must have been an SA_SIGINFO one, or the default or ignore
 * disposition, which are not called). */
#define SIG_TYPE_CHAIN 0x10

/* The per-signal table covers signals 1 to SIG_NUM_SIGNALS - 1. */
#define SIG_NUM_SIGNALS 65

/*
 * A signal callback. info is the kernel's siginfo_t of the delivery and
 * context its ucontext_t (NULL for a queued signal, which runs outside
 * signal context). Queued signals are not delivered again to their callback
 * until it calls Sig_Continue.
 */
typedef void (*SigCallbackFunc)(int32_t signo, void *info, void *context, void *clientData);

/*
 * Installs the dispatcher on SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT,
 * SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
 * SIGTSTP, SIGURG, SIGXCPU, SIGXFSZ, SIGVTALRM and SIGIO (default handling)
 * and SIGCHLD (ignored), ignores SIGPIPE, SIGTTIN and SIGTTOU, and records
 * each previous handler for chaining. Creates the queue pipe and the
 * core-dump region table. A second call only logs. Always true; a failing
 * system call ends the process.
 */
bool Sig_Init(void);
/* Closes the queue pipe and destroys the region table. The handlers stay,
 * and a later Sig_Init only logs: queued signals are then lost. */
void Sig_Exit(void);

/*
 * Sets the handler of signo (1 to SIG_NUM_SIGNALS - 1): a type above, with
 * SIG_TYPE_CHAIN or'ed in to call the previous handler first. Going back to
 * SIG_TYPE_DEFAULT is allowed from queued or immediate and forgets the
 * callback; any other type only from default or ignored. A signal number
 * outside the table, SIG_TYPE_NOT_SUPPORTED, an unknown type, a change the
 * current type forbids, or chaining to a previous handler that was not an
 * SA_SIGINFO one ends the process through Panic.
 */
void Sig_Callback(int32_t signo, int32_t type, SigCallbackFunc callback, void *clientData);
/* Lets the next delivery of a queued signal reach its callback again. */
void Sig_Continue(int32_t signo);
/* A ready-made callback: logs "Ignored signal ..." (clientData, when given,
 * is a text naming why) and calls Sig_Continue. */
void Sig_IgnoreHandler(int32_t signo, void *info, void *context, void *clientData);

/*
 * The read end of the queue pipe (non-blocking), -1 before Sig_Init and
 * after Sig_Exit. Each queued delivery is one 128-byte siginfo_t record.
 */
int Sig_QueueFd(void);
/*
 * Reads one record from the queue pipe and runs its signal's callback
 * outside signal context. A record whose callback is still busy (no
 * Sig_Continue yet) is written back to the pipe for later, so the pipe then
 * stays readable: a loop should service other work before calling again.
 * Returns at once when the pipe is empty.
 */
void SigReadQueue(void);

/*
 * Called first on SIGILL, SIGABRT, SIGBUS and SIGSEGV unless the thread's
 * crash catcher is armed, in signal context, with NULL client data; NULL
 * clears it.
 */
void Sig_SetCrashCallback(SigCallbackFunc callback);

/*
 * Crash catchers: one entry per thread identity below
 * SIG_CRASH_CATCHER_ENTRIES (VThreadBase_CurID). When SIGILL, SIGABRT,
 * SIGBUS or SIGSEGV arrives in a thread whose entry is armed, the
 * dispatcher disarms it, restores the interrupted signal mask and
 * siglongjmps to jmpBuf with the signal number. jmpBuf is the host's jump
 * buffer (on this platform jmp_buf and sigjmp_buf are one type): a thread
 * arms its entry with
 *
 *   SigCrashCatcherEntry *e = Sig_CrashCatcherEntry();
 *   if (e != NULL) {
 *     int signo = sigsetjmp(e->jmpBuf, 1);
 *     if (signo == 0) {
 *       e->armed = 1;
 *       ... code that may fault ...
 *       e->armed = 0;
 *     } else {
 *       ... signo caught, entry already disarmed ...
 *     }
 *   }
 *
 * Threads whose identity is too large have no entry and are never caught.
 * On x86_64 an entry is the 200-byte buffer, then the armed byte, padded to
 * 208 bytes: the array is 19968 bytes.
 */
#define SIG_CRASH_CATCHER_ENTRIES 96
typedef struct SigCrashCatcherEntry {
  jmp_buf jmpBuf;
  volatile uint8_t armed;
} SigCrashCatcherEntry;
extern SigCrashCatcherEntry SigCrashCatcher[SIG_CRASH_CATCHER_ENTRIES];
/* The calling thread's entry, or NULL when its identity has none. */
SigCrashCatcherEntry *Sig_CrashCatcherEntry(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_SIG_H */
