/*
 * The one way the system gives up.
 *
 * Panic reports the formatted reason on standard error (written directly,
 * never buffered) and in the log, logs a backtrace, keeps the log file,
 * writes a core dump, posts the reason to the user through the message
 * layer and ends the process with exit status 255. Any thread may panic;
 * only the first panic runs that path. A panic raised in the same thread
 * while it runs (a fault in the path itself) writes "Panic loop" and ends the
 * process at once with status 1. A panic raised meanwhile in another thread
 * waits for the first to end the process, and ends it itself if that takes
 * too long.
 */
#ifndef BRELLIS_PANIC_H
#define BRELLIS_PANIC_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Never return. A message longer than 1023 bytes is cut. */
void Panic(const char *format, ...) BRELLIS_PRINTF(1, 2) __attribute__((noreturn));
void Panic_Panic(const char *format, va_list ap) BRELLIS_PRINTF(1, 0) __attribute__((noreturn));

/*
 * Reads "coreDumpOnPanic" (default true), "panic.loopOnPanic" (false),
 * "panic.breakOnPanic" (0) and "coreDumpFlags" (0) into the settings below.
 * Without it a process panics with those defaults.
 */
void Panic_LoadSettings(void);

/* Whether the reason is posted to the user (default true). */
void Panic_SetPostMessage(bool postMessage);
/* Whether a core dump is written (default true). */
void Panic_SetCoreDumpOnPanic(bool dumpCore);
bool Panic_GetCoreDumpOnPanic(void);
/* Kept for the core dump; not interpreted by the panic path. */
void Panic_SetCoreDumpFlags(int32_t flags);
int32_t Panic_GetCoreDumpFlags(void);
/* Kept only; this platform's panic path does not break into a debugger. */
void Panic_SetBreakOnPanic(bool breakOnPanic);
bool Panic_GetBreakOnPanic(void);
/* A copy is kept (NULL clears it); the result stays owned by the panic module
 * until the next call of the setter. */
void Panic_SetCoreDumpFileName(const char *fileName);
const char *Panic_GetCoreDumpFileName(void);

/*
 * Reserves "panic.addrSpaceReservedKB" kilobytes (at most 20480) of
 * inaccessible address space, released for the core dump of a panic so that
 * it has room even when the process ran out of address space. 0 reserves
 * nothing; a failed reservation is ignored. Always true.
 */
bool Panic_ReserveAddressSpace(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_PANIC_H */
