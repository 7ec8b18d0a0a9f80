/*
 * Allocation wrappers. They never return NULL for a non-zero request: when
 * memory runs out the process ends through Panic naming the caller's source
 * file and line (and the bug number unless it is -1). The caller owns and
 * frees what they return.
 */
#ifndef BRELLIS_UTIL_H
#define BRELLIS_UTIL_H

#include <stddef.h>

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

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_UTIL_H */
