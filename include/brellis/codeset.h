/*
 * Raw conversions between named character encodings.
 *
 * Conversions run on the platform's iconv. Buffers returned are new, owned
 * by the caller, and followed by four zero bytes so that they are
 * terminated for any code unit width; the reported size excludes them.
 */
#ifndef BRELLIS_CODESET_H
#define BRELLIS_CODESET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The process's current character set name (kept for the life of the
 * process): G_FILENAME_ENCODING up to its first ',' ("@locale" meaning the
 * locale's), the locale's when G_BROKEN_FILENAMES is set, else "UTF-8". */
const char *CodeSet_GetCurrentCodeSet(void);

/*
 * Converts sizeIn bytes from encoding codeIn to codeOut. flags 0 is strict
 * (any invalid or unrepresentable input fails); other flags are lenient
 * (transliterate where possible, stop quietly at invalid input). True with
 * *bufOut set (and *sizeOut when not NULL), or false.
 */
bool CodeSet_GenericToGeneric(const char *codeIn, const void *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int flags, char **bufOut,
                              size_t *sizeOut);

/* True when buf[0..size) is valid in encoding code. */
bool CodeSet_Validate(const void *buf, size_t size, const char *code);

/*
 * The length (1-4) of the UTF-8 sequence at string, which must end before
 * end, with its code point in *uchar when uchar is not NULL; 0 when the
 * sequence is invalid (overlong, truncated, bad lead or trail byte).
 * Surrogate values are accepted.
 */
int CodeSet_GetUtf8(const char *string, const char *end, uint32_t *uchar);

/* Code points in a NUL-terminated UTF-8 string; -1 when it is invalid. */
int CodeSet_LengthInCodePoints(const char *utf8);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_CODESET_H */
