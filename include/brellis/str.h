/*
 * Bounded string operations and formatting.
 *
 * Every text the system keeps is formatted through these calls. Two overflow
 * policies exist: the caller learns of overflow from the result
 * (Str_Snprintf, Str_Vsnprintf, Str_Asprintf, Str_Vasprintf), or the process
 * ends through Panic (Str_Sprintf, Str_Strcpy, Str_Strcat, Str_Strncat,
 * Str_SafeAsprintf, Str_SafeVasprintf). Output cut short never ends in a
 * partial UTF-8 sequence.
 */
#ifndef BRELLIS_STR_H
#define BRELLIS_STR_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BRELLIS_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#else
#define BRELLIS_PRINTF(fmtIndex, argIndex)
#endif

/*
 * Formats into buf. Returns the length when the whole output fits in size
 * bytes (NUL included); otherwise -1, and when size > 0 buf holds the longest
 * prefix ending on a whole UTF-8 sequence, NUL-terminated. size 0 leaves buf
 * untouched.
 */
int Str_Vsnprintf(char *buf, size_t size, const char *format, va_list ap);
int Str_Snprintf(char *buf, size_t size, const char *format, ...) BRELLIS_PRINTF(3, 4);

/* As Str_Snprintf, but an overflow ends the process. Returns the length. */
int Str_Sprintf(char *buf, size_t size, const char *format, ...) BRELLIS_PRINTF(3, 4);

/* Copy and concatenation that end the process rather than overflow size. */
char *Str_Strcpy(char *dst, const char *src, size_t size);
char *Str_Strcat(char *dst, const char *src, size_t size);
char *Str_Strncat(char *dst, size_t size, const char *src, size_t n);

/* Length of s, looking at no more than n bytes. */
size_t Str_Strlen(const char *s, size_t n);

/* First occurrence of what lying wholly within the first n bytes of s. */
char *Str_Strnstr(const char *s, const char *what, size_t n);

/*
 * Allocating formatters. The caller frees the result with free(). The length
 * is stored through length when it is not NULL. The plain variants return
 * NULL on failure; the Safe variants end the process instead.
 */
char *Str_Vasprintf(size_t *length, const char *format, va_list ap);
char *Str_Asprintf(size_t *length, const char *format, ...) BRELLIS_PRINTF(2, 3);
char *Str_SafeVasprintf(size_t *length, const char *format, va_list ap);
char *Str_SafeAsprintf(size_t *length, const char *format, ...) BRELLIS_PRINTF(2, 3);

/* ASCII case changes in place; other bytes are left alone. Return s. */
char *Str_ToLower(char *s);
char *Str_ToUpper(char *s);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_STR_H */
