/*
 * Unicode strings: NUL-terminated UTF-8 byte strings, and the conversions
 * at the borders where text enters or leaves in another encoding.
 *
 * Encodings are numbered: STRING_ENCODING_DEFAULT (-1) is the process's
 * current encoding, STRING_ENCODING_UNKNOWN (-2) an encoding that is not
 * known or not supported. Strings returned are new and freed by the caller.
 *
 * The encoding table here is partial: the Unicode encodings, US-ASCII, the
 * ISO-8859 family, Shift_JIS and the windows-125x code pages.
 */
#ifndef BRELLIS_UNICODE_H
#define BRELLIS_UNICODE_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STRING_ENCODING_UNKNOWN (-2)
#define STRING_ENCODING_DEFAULT (-1)
#define STRING_ENCODING_UTF8 0
#define STRING_ENCODING_UTF16_LE 1
#define STRING_ENCODING_UTF16_BE 2
#define STRING_ENCODING_UTF16 3
#define STRING_ENCODING_UTF32_LE 4
#define STRING_ENCODING_UTF32_BE 5
#define STRING_ENCODING_UTF32 6
#define STRING_ENCODING_US_ASCII 7
#define STRING_ENCODING_ISO_8859_1 8
#define STRING_ENCODING_WINDOWS_1252 35

/* The preferred name of encoding (-1 allowed). A number no row carries ends
 * the process. */
const char *Unicode_EncodingEnumToName(int encoding);
/* The number of the encoding that carries encodingName among its names
 * (compared without regard to case or punctuation), or
 * STRING_ENCODING_UNKNOWN when it is not supported (logged when no row
 * carries the name at all). */
int Unicode_EncodingNameToEnum(const char *encodingName);
/* The current encoding's number (cached); STRING_ENCODING_UNKNOWN when the
 * current character set is not supported. */
int Unicode_GetCurrentEncoding(void);
/* encoding itself, or the current encoding for STRING_ENCODING_DEFAULT. */
int Unicode_ResolveEncoding(int encoding);

/*
 * True when the buffer is valid in encoding; true for NULL. length -1
 * counts code units up to a zero unit.
 */
bool Unicode_IsBufferValid(const void *buffer, ptrdiff_t length, int encoding);
/*
 * A new UTF-8 string from length bytes (-1: up to a zero code unit) in
 * encoding; NULL for a NULL buffer. Invalid input ends the process: check
 * it first with Unicode_IsBufferValid.
 */
char *Unicode_AllocWithLength(const void *buffer, ptrdiff_t length, int encoding);
/*
 * The string converted to encoding, terminated by four zero bytes (one for
 * UTF-8 and US-ASCII), its length in *retLength when not NULL; NULL for a
 * NULL string or when the text cannot be represented.
 */
char *Unicode_GetAllocBytes(const char *str, int encoding, ptrdiff_t lengthInBytes,
                            size_t *retLength);
/* The buffer with every byte below 0x20, '\\' and every byte from 0x7F
 * written as "\\x" and two upper-case hex digits. */
char *Unicode_EscapeBuffer(const void *buffer, ptrdiff_t lengthInBytes, int encoding);

char *Unicode_Duplicate(const char *str);
void Unicode_Free(char *str);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_UNICODE_H */
