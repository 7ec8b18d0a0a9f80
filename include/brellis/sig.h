/*
 * Signals and core dumps.
 *
 * Sig_CoreDump leaves a core file of the running process without ending
 * it: a child of the process kills itself with SIGABRT, so the kernel
 * writes the child's image, and the parent logs the size limit, the outcome
 * and the file's name as the kernel's naming rules (core_pattern,
 * core_uses_pid) give it. The panic path calls it.
 *
 * The signal dispatcher and the table of regions to keep or leave out of a
 * core are not built yet: until they are, a core holds the whole process.
 */
#ifndef BRELLIS_SIG_H
#define BRELLIS_SIG_H

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

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_SIG_H */
