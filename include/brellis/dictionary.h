/*
 * Dictionaries: ordered sets of named, typed entries read from and written
 * to dictionary text files.
 *
 * Names are compared without regard to letter case. Entries read from a file
 * are untyped text until the first typed read or write gives them a type;
 * every read supplies a default, so a missing or malformed setting always
 * yields a usable value. Writing a dictionary back keeps every comment and
 * every untouched line byte for byte and rewrites changed entries in the
 * canonical form `name = "value"`.
 *
 * Values are UTF-8 in memory; the dictionary's encoding applies only to the
 * bytes of its file. Messages for the user go to a caller's message list
 * (which may be NULL to discard them). A dictionary has no lock: callers
 * serialise their use of it.
 */
#ifndef BRELLIS_DICTIONARY_H
#define BRELLIS_DICTIONARY_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <brellis/fileIO.h>
#include <brellis/msgList.h>
#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Dictionary Dictionary;

/* Value types: the low 12 bits of the type-and-flags word. */
#define DICT_TYPE_UNTYPED 0  /* text as read; typed by the first typed access */
#define DICT_TYPE_STRING 1   /* char * (may be NULL) */
#define DICT_TYPE_BOOL 2     /* bool */
#define DICT_TYPE_INT32 3    /* int32_t */
#define DICT_TYPE_DOUBLE 4   /* double */
#define DICT_TYPE_TRISTATE 5 /* int32_t: 0 false, 1 true, -1 default */
#define DICT_TYPE_INT64 6    /* int64_t */
#define DICT_TYPE_MASK 0xFFF
/* A write does not by itself mark the entry modified. */
#define DICT_FLAG_QUIET 0x1000
/* Writes mark the entry plain; in an unlocked encrypted dictionary plain
 * entries are seen only by accesses that carry this flag. */
#define DICT_FLAG_PLAIN 0x2000

Dictionary *Dictionary_Create(void);
/* Frees every entry (string values zeroed first). NULL is ignored. */
void Dictionary_Free(Dictionary *dict);

/*
 * Reads name as type. defaultValue points to a value of the type (for
 * strings and untyped text, to a char * that may be NULL). A missing name
 * gets an entry holding a copy of the default, which later reads find; an
 * untyped entry is converted (a malformed text yields the default). Returns
 * a pointer to the value, valid until the entry changes or goes away. An
 * entry that holds another type is never reinterpreted: the read returns
 * defaultValue itself (and logs the mismatch once per name).
 */
void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int typeAndFlags,
                     const char *name);

/*
 * Stores a copy of the value under name. A typed entry written with another
 * type takes the value through its text form. Names the file format cannot
 * read back (empty, or holding a blank, "#", "=" or a line end) are refused
 * with a message (logged by Dictionary_Set, appended by the list variant);
 * the result is false then. Conversion warnings go to the list.
 */
bool Dictionary_Set(Dictionary *dict, const void *value, int typeAndFlags, const char *name);
bool Dictionary_SetWithMsgList(Dictionary *dict, const void *value, int typeAndFlags,
                               const char *name, MsgList **messages);

/* A visible entry exists, defaults included. */
bool Dictionary_IsDefined(Dictionary *dict, const char *name);
/* No visible entry, or only a default. */
bool Dictionary_NotSet(Dictionary *dict, const char *name);
/* Removes the entry and its line. */
void Dictionary_Unset(Dictionary *dict, const char *name);
/* Some entry differs from the file it came from. */
bool Dictionary_IsModified(Dictionary *dict);
/* The dictionary holds a key safe, or both "encryption.data" and
 * "encryption.keySafe" entries. */
bool Dictionary_IsEncrypted(Dictionary *dict);
/*
 * Unlocks an encrypted dictionary. A dictionary without an
 * "encryption.keySafe" entry is plain and counts as unlocked; one with it
 * cannot be unlocked by this library and yields false.
 */
bool Dictionary_Unlock(Dictionary *dict, void *keyLocator, void *credentials);

/* The value as text ("true", "42", "0.5", "default", the string itself), or
 * NULL when there is no visible entry. The text stays valid until the next
 * call for the same entry or a change of it. */
const char *Dictionary_GetAsString(Dictionary *dict, const char *name);

/* A new copy of the allowed value that matches the entry's text without
 * regard to case, or of the default (NULL stays NULL). */
char *Dictionary_GetStringEnum(Dictionary *dict, const char *defaultValue, const char **choices,
                               const char *fmt, ...) BRELLIS_PRINTF(4, 5);

/*
 * Adds "name=value" (the value is everything after the first "="). A new
 * name becomes untyped text; an existing one is refused when strict (with a
 * message), else it takes the text as a write would. markModified marks the
 * entry modified. False when the text was refused.
 */
bool Dictionary_AddFromString(Dictionary *dict, const char *string, bool strict, bool markModified,
                              MsgList **messages);

/* Copies source's entries into target, in source order. Entries both hold
 * with different types are skipped (logged). */
void Dictionary_Merge(Dictionary *target, Dictionary *source);

typedef void (*DictionaryIterateCallback)(const char *name, const char *value, int index,
                                          void *userData);
/* Visits entries in creation order (defaults only when asked) and returns
 * the number of visits. */
int Dictionary_Iterate(Dictionary *dict, DictionaryIterateCallback callback, void *userData,
                       bool includeDefaults);

/* One "DICT" log line per entry that is not a default. */
void Dictionary_Log(Dictionary *dict);

/*
 * Typed shorthands. Names are printf-style formats expanded into 1024
 * bytes; a name that does not fit yields the default and creates nothing
 * (a set is refused). String getters return a new copy (caller frees).
 */
char *Dictionary_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
char *Dictionary_GetStringPlain(Dictionary *dict, const char *defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_GetBool(Dictionary *dict, bool defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_GetBoolPlain(Dictionary *dict, bool defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
int32_t Dictionary_GetInt32(Dictionary *dict, int32_t defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
int32_t Dictionary_GetInt32Plain(Dictionary *dict, int32_t defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
int64_t Dictionary_GetInt64(Dictionary *dict, int64_t defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
int64_t Dictionary_GetInt64Plain(Dictionary *dict, int64_t defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
double Dictionary_GetDouble(Dictionary *dict, double defaultValue, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetString(Dictionary *dict, const char *value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetStringPlain(Dictionary *dict, const char *value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetBool(Dictionary *dict, bool value, const char *fmt, ...) BRELLIS_PRINTF(3, 4);
bool Dictionary_SetBoolPlain(Dictionary *dict, bool value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetInt32(Dictionary *dict, int32_t value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetInt32Plain(Dictionary *dict, int32_t value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetInt64(Dictionary *dict, int64_t value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetInt64Plain(Dictionary *dict, int64_t value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
bool Dictionary_SetDouble(Dictionary *dict, double value, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);
/* Stores text as a file line would (converted when the entry is typed). */
bool Dictionary_SetUntyped(Dictionary *dict, const char *text, const char *fmt, ...)
    BRELLIS_PRINTF(3, 4);

/*
 * Reading. defaultEncoding (-1: the process's current encoding) decodes a
 * file that names no encoding; a file that starts with a UTF-8 byte-order
 * mark is tried as UTF-8 first. The result is true only when every line was
 * accepted and every value decoded; whatever was read stays in the
 * dictionary either way (the first definition of a name wins).
 *
 * Dictionary_Load: path "-" is standard input; a NULL path only clears
 * (when asked) and succeeds. A file that cannot be opened leaves the
 * dictionary untouched.
 */
bool Dictionary_Load(Dictionary *dict, const char *path, bool clearFirst, int defaultEncoding,
                     MsgList **messages);
/* Reads through an open handle from its start, leaving it at offset 0. */
bool Dictionary_LoadFile(Dictionary *dict, FileIODescriptor *fd, bool clearFirst,
                         int defaultEncoding, MsgList **messages);
/* Reads NUL-terminated text; clears the dictionary first unless append. */
bool Dictionary_LoadFromBuffer(Dictionary *dict, const char *text, bool append, int defaultEncoding,
                               MsgList **messages);
/*
 * Convenience loads that log their messages: clearing with the process's
 * encoding as default; clearing with a given default; adding without
 * clearing.
 */
bool Dictionary_LoadAndClear(Dictionary *dict, const char *path);
bool Dictionary_LoadWithDefaultEncoding(Dictionary *dict, const char *path, int defaultEncoding);
bool Dictionary_Append(Dictionary *dict, const char *path);

/*
 * Writing. The buffer is NUL-terminated; *size counts the NUL; the caller
 * frees it. A dictionary without a key safe is written in clear also when
 * encrypt is true. A value the dictionary's encoding cannot represent
 * switches the dictionary to UTF-8.
 */
bool Dictionary_WriteToBuffer(Dictionary *dict, bool encrypt, char **buffer, size_t *size);
/*
 * Writes the file at path (created with mode 0754 when missing) through a
 * temporary sibling that replaces it, so a failed write leaves the old file
 * as it was. Failures are logged.
 */
bool Dictionary_Write(Dictionary *dict, const char *path);
/* The same through an open handle; tempFd (may be NULL) is a temporary file
 * to use instead of a new sibling. */
bool Dictionary_WriteFile(Dictionary *dict, FileIODescriptor *fd, FileIODescriptor *tempFd);

/* Makes lines (NULL-terminated) the first lines of the file, unless they
 * already are. */
void Dictionary_SetHeader(Dictionary *dict, const char *const *lines);
/* Inserts "#!" + path as the first line; false when there is one already. */
bool Dictionary_SetInterpreter(Dictionary *dict, const char *path);
/* Adds the execute bit wherever the read bit is set; false on failure. */
bool Dictionary_MakeExecutable(const char *path);
/* Changes the encoding the file is written in; false when the encoding is
 * not supported or some value cannot be represented in it. */
bool Dictionary_ChangeEncoding(Dictionary *dict, int encoding);
/* The dictionary's encoding number, or -2 while none is set. */
int Dictionary_GetEncoding(Dictionary *dict);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_DICTIONARY_H */
