/*
 * Raw conversions between named character encodings.
 *
 * Conversions run on the platform's iconv until CodeSet_Init selects ICU
 * (when the library was built with it). Buffers returned are new, owned by
 * the caller, and followed by four zero bytes so that they are terminated
 * for any code unit width; the reported size excludes them.
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
 * Selects the conversion engine; always true. With icuDataDir, ICU when
 * icuDataDir/icudt44l.dat exists, else iconv. With NULL, ICU: on the data
 * in /etc/brellis/icu when icudt44l.dat is there, else on ICU's own data.
 * Without ICU in the build, always iconv. Each call decides afresh; call it
 * before other threads convert.
 */
bool CodeSet_Init(const char *icuDataDir);

#define CSGTG_NORMAL 0   /* strict: any invalid or unrepresentable input fails */
#define CSGTG_TRANSLIT 1 /* lenient: substitute and go on */
#define CSGTG_IGNORE 2   /* lenient (ICU: skip what does not convert) */

/*
 * Converts sizeIn bytes from encoding codeIn to codeOut. With flags 0 any
 * invalid or unrepresentable input fails. Other flags are lenient: input
 * that does not decode becomes U+FFFD and a character the target cannot
 * hold is transliterated, or becomes U+FFFD or "?" (the ICU engine gives
 * its converters' own substitutes, and skips them with CSGTG_IGNORE); the
 * conversion always runs to the end. A stateful target is returned to its
 * initial state. True with *bufOut set (and *sizeOut when not NULL), or
 * false.
 */
bool CodeSet_GenericToGeneric(const char *codeIn, const void *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int flags, char **bufOut,
                              size_t *sizeOut);

/* True when buf[0..size) is valid in encoding code (UTF-8 as RFC 3629
 * defines it). */
bool CodeSet_Validate(const void *buf, size_t size, const char *code);

/* UTF-8 to UTF-16LE and back, strictly (no surrogates encoded in UTF-8, no
 * lone or reversed surrogates, nothing above U+10FFFF). True and a new
 * buffer (four zero bytes appended), or false. */
bool CodeSet_Utf8ToUtf16le(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut);
bool CodeSet_Utf16leToUtf8(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut);

/* A NUL-terminated UTF-8 string to a new zero-terminated array of code
 * points and back; NULL in, NULL out. False for invalid input (a value
 * above U+10FFFF on the way back). */
bool CodeSet_Utf8ToUtf32(const char *utf8, uint32_t **utf32);
bool CodeSet_Utf32ToUtf8(const uint32_t *utf32, char **utf8);

/*
 * The length (1-4) of the UTF-8 sequence at string, which must end before
 * end, with its code point in *uchar when uchar is not NULL; 0 when the
 * sequence is invalid (overlong, truncated, bad lead or trail byte, above
 * U+10FFFF). Surrogate values are accepted.
 */
int CodeSet_GetUtf8(const char *string, const char *end, uint32_t *uchar);

/* Code points in a NUL-terminated UTF-8 string; -1 when it is invalid. */
int CodeSet_LengthInCodePoints(const char *utf8);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_CODESET_H */
