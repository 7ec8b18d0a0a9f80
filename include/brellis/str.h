/*
 * Bounded string operations and formatting.
 *
 * Every text the system keeps is formatted through these calls, never through
 * the platform's printf family. Two overflow policies exist: the caller learns
 * of overflow from the result (Str_Snprintf, Str_Vsnprintf, Str_Asprintf,
 * Str_Vasprintf), or the process ends through Panic (Str_Sprintf, Str_Strcpy,
 * Str_Strcat, Str_Strncat, Str_SafeAsprintf, Str_SafeVasprintf). Output cut
 * short never ends in a partial UTF-8 sequence.
 *
 * The formatter follows the POSIX printf conventions, with these particulars:
 *   - %p prints the whole pointer in upper-case hexadecimal, without "0x";
 *   - %s with a precision never splits a UTF-8 sequence; NULL prints "(null)"
 *     (cut to the precision like any other string);
 *   - %S and %ls convert wide strings to UTF-8 whatever the locale; %C and %lc
 *     convert one wide character to the locale's multibyte form;
 *   - positional arguments (%2$s, %1$*2$d) may be mixed with sequential ones;
 *   - D, U and O are %ld, %lu and %lo; the length prefixes "I64" (64-bit),
 *     "I32" (int) and "I" (size_t) are accepted besides the standard ones,
 *     and 'q' is "ll";
 *   - floating-point output has at most 17 significant digits (%e, %g) or 17
 *     digits after the point (%f); further digits print as '0'; infinities and
 *     NaNs print as "inf"/"nan" (upper case for E, F, G), '-' being the only
 *     sign they take; %a and %A are not supported and print as themselves;
 *   - '%' and any unknown conversion character print as themselves, padded
 *     to the width like a one-character string, consuming no argument;
 *   - the '\'' flag groups decimal digits with the locale's separator, read
 *     from the calling thread's locale at every call;
 *   - padding with '0' applies to numeric conversions only;
 *   - widths, precisions, positions or a total length beyond INT_MAX make the
 *     call fail.
 */
#ifndef BRELLIS_STR_H
#define BRELLIS_STR_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Lets the compiler check callers' formats. The checker knows everything the
 * formatter accepts except D, U, O and the "I64"/"I32" prefixes; use the
 * standard spellings (%ld, %lu, %lo, %lld / PRId64, %d) in checked calls.
 */
#if defined(__GNUC__)
#define BRELLIS_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#else
#define BRELLIS_PRINTF(fmtIndex, argIndex)
#endif

/* "0123456789abcdef?" and "0123456789ABCDEF?", 17 bytes each, no NUL. */
extern const char xdigs_lower[17];
extern const char xdigs_upper[17];
/* 16 spaces and 16 '0' characters, no NUL: the padding the formatter emits. */
extern const char blanks[16];
extern const char zeroes[16];

/*
 * The formatter. With *outbuf not NULL it writes into *outbuf, whose capacity
 * is bufSize bytes: as much of the output as fits, always NUL-terminated when
 * bufSize > 0. With *outbuf NULL it allocates the buffer itself (bufSize is
 * ignored) and on success stores it in *outbuf for the caller to free; on
 * failure *outbuf stays NULL.
 * Returns the length of the complete output (without the NUL), whether or not
 * it fitted, or -1 on failure (a wide character the locale cannot represent,
 * memory exhaustion in allocation mode, a malformed or oversized width,
 * precision or position, or output longer than INT_MAX). After a failure the
 * caller's buffer holds the output produced before it, NUL-terminated.
 */
int bsd_vsnprintf(char **outbuf, size_t bufSize, const char *fmt0, va_list ap) BRELLIS_PRINTF(3, 0);

/*
 * Formats into buf. Returns the length when the whole output fits in size
 * bytes (NUL included); otherwise (too long, or the formatter failed) -1, and
 * when size > 0 buf holds the longest prefix of the output produced that ends
 * on a whole UTF-8 sequence, NUL-terminated. size 0 leaves buf untouched.
 */
int Str_Vsnprintf(char *buf, size_t size, const char *format, va_list ap) BRELLIS_PRINTF(3, 0);
int Str_Snprintf(char *buf, size_t size, const char *format, ...) BRELLIS_PRINTF(3, 4);

/* As Str_Snprintf, but an overflow ends the process. Returns the length. */
int Str_Sprintf(char *buf, size_t size, const char *format, ...) BRELLIS_PRINTF(3, 4);

/*
 * Copy and concatenation into a buffer of size bytes that end the process
 * rather than overflow it. They return dst. Str_Strncat appends at most n
 * bytes of src and a NUL, and proceeds when either n or the whole of src fits.
 */
char *Str_Strcpy(char *dst, const char *src, size_t size);
char *Str_Strcat(char *dst, const char *src, size_t size);
char *Str_Strncat(char *dst, size_t size, const char *src, size_t n);

/* Length of s, looking at no more than n bytes. */
size_t Str_Strlen(const char *s, size_t n);

/*
 * First occurrence of what lying wholly within the first n bytes of s and
 * before its NUL; s itself when what is empty; NULL when there is none.
 */
char *Str_Strnstr(const char *s, const char *what, size_t n);

/*
 * Allocating formatters. The caller frees the result with free(). The length
 * is stored through length when it is not NULL. The plain variants return
 * NULL on failure and store nothing; the Safe variants end the process
 * instead.
 */
char *Str_Vasprintf(size_t *length, const char *format, va_list ap) BRELLIS_PRINTF(2, 0);
char *Str_Asprintf(size_t *length, const char *format, ...) BRELLIS_PRINTF(2, 3);
char *Str_SafeVasprintf(size_t *length, const char *format, va_list ap) BRELLIS_PRINTF(2, 0);
char *Str_SafeAsprintf(size_t *length, const char *format, ...) BRELLIS_PRINTF(2, 3);

/* ASCII case changes in place; other bytes are left alone. Return s. */
char *Str_ToLower(char *s);
char *Str_ToUpper(char *s);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_STR_H */
