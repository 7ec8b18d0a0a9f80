/*
 * The one way the system gives up.
 */
#ifndef BRELLIS_PANIC_H
#define BRELLIS_PANIC_H

#include <stdarg.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reports the formatted reason on standard error and in the log, then ends
 * the process. Never returns. */
void Panic(const char *format, ...) BRELLIS_PRINTF(1, 2) __attribute__((noreturn));
void Panic_Panic(const char *format, va_list ap) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_PANIC_H */
