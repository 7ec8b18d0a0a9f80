/*
 * Unicode strings: NUL-terminated UTF-8 byte strings, and the conversions
 * at the borders where text enters or leaves in another encoding.
 *
 * Encodings are numbered: STRING_ENCODING_DEFAULT (-1) is the process's
 * current encoding, STRING_ENCODING_UNKNOWN (-2) an encoding that is not
 * known or not supported. Strings returned are new and freed by the caller.
 *
 * Numbers 0 to 323 name the rows of the encoding table; only the rows
 * marked supported are handed out by the lookups.
 */
#ifndef BRELLIS_UNICODE_H
#define BRELLIS_UNICODE_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <brellis/str.h>

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
#define STRING_ENCODING_UCS2 133
#define STRING_ENCODING_UCS4 134
#define STRING_ENCODING_MAX_SPECIFIED 323

/* The preferred name of encoding (-1 allowed). A number no row carries ends
 * the process. */
const char *Unicode_EncodingEnumToName(int encoding);
/*
 * The number of the first row that carries encodingName: "windows-NNN" by
 * its code page, then by an exact name, then compared without regard to
 * case or punctuation. STRING_ENCODING_UNKNOWN when that row is not
 * supported, or when no row carries the name (logged). The first answer
 * for a name is kept for every later lookup of it in any letter case.
 */
int UnicodeIANALookup(const char *encodingName);
/* The same as UnicodeIANALookup. */
int Unicode_EncodingNameToEnum(const char *encodingName);
/* The current encoding's number (cached). A current character set that no
 * supported row names is taken as UTF-8 (logged once). */
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

/*
 * New array of new strings, each as by Unicode_AllocWithLength(..., -1,
 * encoding). A negative length means the array is NULL-terminated, and so
 * is the result; a counted array may hold NULL entries, kept as NULL.
 */
char **Unicode_AllocList(char **srcArray, ptrdiff_t length, int encoding);
/* New array of the strings converted as by Unicode_GetAllocBytes; NULL
 * (nothing left allocated) when any of them cannot be represented. */
char **Unicode_GetAllocList(char *const *srcArray, ptrdiff_t length, int encoding);
/* Frees each element (length < 0: up to the first NULL) and the array. */
void Unicode_FreeList(char **list, ptrdiff_t length);

/*
 * Code-point operations. Starts and lengths count code points; a start
 * outside the string means its end and a negative length means "to the
 * end". Strings that are not valid UTF-8 end the process.
 */
/* Code points in str; -1 when it is not valid UTF-8. */
ptrdiff_t Unicode_LengthInCodePoints(const char *str);
char *Unicode_Substr(const char *str, ptrdiff_t start, ptrdiff_t length);
/* destination's code points before destinationStart, the source range, then
 * destination's code points from destinationStart + destinationLength. */
char *Unicode_ReplaceRange(const char *destination, ptrdiff_t destinationStart,
                           ptrdiff_t destinationLength, const char *source, ptrdiff_t sourceStart,
                           ptrdiff_t sourceLength);
/* The index of the first (last) occurrence of the sought range within the
 * searched range, or -1; an empty sought range is found at the range's
 * start. */
ptrdiff_t Unicode_FindSubstrInRange(const char *str, ptrdiff_t strStart, ptrdiff_t strLength,
                                    const char *strToFind, ptrdiff_t strToFindStart,
                                    ptrdiff_t strToFindLength);
ptrdiff_t Unicode_FindLastSubstrInRange(const char *str, ptrdiff_t strStart, ptrdiff_t strLength,
                                        const char *strToFind, ptrdiff_t strToFindStart,
                                        ptrdiff_t strToFindLength);
/* -1, 0 or 1 as the first range sorts before, equal to or after the second,
 * by UTF-16 units with surrogate pairs taken as their code points; with
 * ignoreCase each unit is simply case-folded first. -1 when either string
 * is NULL or not valid UTF-8. */
int Unicode_CompareRange(const char *str1, ptrdiff_t str1Start, ptrdiff_t str1Length,
                         const char *str2, ptrdiff_t str2Start, ptrdiff_t str2Length,
                         bool ignoreCase);
/* The concatenation of first and the further strings up to a NULL; NULL
 * when first is NULL. */
char *Unicode_Join(const char *first, ...);
/* A new string formatted as by Str_Vasprintf; NULL on failure. */
char *Unicode_Format(const char *fmt, ...) BRELLIS_PRINTF(1, 2);

char *Unicode_Duplicate(const char *str);
void Unicode_Free(char *str);

/*
 * Initialises the layer once per process: selects the conversion engine
 * (CodeSet_Init with icuDataDir, or NULL), checks that the current
 * character set is known, and replaces *argv (argc entries and the NULL
 * after them) and *envp (NULL-terminated) by new UTF-8 copies when they are
 * not NULL. Failure ends the process. Unicode_InitW takes UTF-16LE argument
 * and environment lists and hands the UTF-8 copies back in *argv, *envp.
 */
void Unicode_Init(int argc, char ***argv, char ***envp);
void Unicode_InitEx(int argc, char ***argv, char ***envp, const char *icuDataDir);
void Unicode_InitW(int argc, uint16_t **wargv, uint16_t **wenvp, char ***argv, char ***envp);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_UNICODE_H */
