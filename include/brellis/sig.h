/*
 * Signals and core dumps.
 *
 * For now this holds only the core dump of the panic path, and only in part:
 * a child of the process kills itself with SIGABRT so that the kernel writes
 * its image, and the outcome is logged. Not yet done: the core-dump callback
 * and the table of memory regions to keep or drop, the name of the core file
 * (from the kernel's core_pattern), the bounded wait for the child, and the
 * signal dispatcher. The full signal layer replaces this later.
 */
#ifndef BRELLIS_SIG_H
#define BRELLIS_SIG_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Leaves a core file of the running process without ending it, and logs how
 * that went. Does nothing but log when the core size limit is 0. Never fails
 * its caller: returns 0.
 */
int Sig_CoreDump(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_SIG_H */
