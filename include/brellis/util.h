/*
 * Allocation wrappers. They never return NULL for a non-zero request: when
 * memory runs out the process ends through Panic naming the caller's source
 * file and line (and the bug number unless it is -1). The caller owns and
 * frees what they return.
 */
#ifndef BRELLIS_UTIL_H
#define BRELLIS_UTIL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void *Util_SafeMalloc(int bugNr, size_t size, const char *file, int lineno);
void *Util_SafeCalloc(int bugNr, size_t count, size_t size, const char *file, int lineno);
void *Util_SafeRealloc(int bugNr, void *ptr, size_t size, const char *file, int lineno);
/* NULL for a NULL string. */
char *Util_SafeStrdup(int bugNr, const char *s, const char *file, int lineno);
/* Copies up to maxLen bytes or the first NUL, and terminates the copy. */
char *Util_SafeStrndup(int bugNr, const char *s, size_t maxLen, const char *file, int lineno);

/*
 * A new copy of fileName with a leading "~" (the value of HOME) or "~user"
 * (that user's home directory) and every "$NAME" (the environment variable;
 * PID and USER have fallbacks, other unset ones expand to nothing) replaced.
 * What cannot be expanded is kept literally. NULL for a NULL string or one
 * of more than 100 pieces. The caller frees the result.
 */
char *Util_ExpandString(const char *fileName);

/*
 * Backtraces of the calling thread, walked along the frame pointers (the
 * library is built with them, and programs should be too, with their
 * symbols exported, so that frames are named). Each frame gives one line
 * "Backtrace[i] <frame> eip <return address>", then a second pass one line
 * "SymBacktrace[i] ..." naming the function and object the dynamic loader
 * finds for the return address. The walk stays within the thread's stack,
 * stops at a frame pointer that does not grow, is misaligned or jumps more
 * than 32 KiB, and after 256 frames, so a corrupt chain ends it early but
 * never faults. Addresses print at their full width.
 *
 * outFunc receives each line as a format and its arguments.
 */
typedef void (*Util_OutputFunc)(void *data, const char *format, ...);

/* To the log, one Log_Info line each (at most 508 characters). */
void Util_Backtrace(int bugNr);
/* Starts with the caller of Util_BacktraceWithFunc. The heading line names
 * bugNr unless it is 0. */
void Util_BacktraceWithFunc(int bugNr, Util_OutputFunc outFunc, void *outFuncData);
/* From a frame record of the calling thread's stack: {saved frame pointer,
 * return address}. A pointer outside the stack gives no frames. */
void Util_BacktraceFromPointer(uintptr_t *basePtr);
void Util_BacktraceFromPointerWithFunc(uintptr_t *basePtr, Util_OutputFunc outFunc,
                                       void *outFuncData);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_UTIL_H */
