/*
 * Message-format argument scanning: the arguments of a printf-style format
 * captured into typed records, so that the message can be formatted later,
 * possibly from another format (a translation) that names the same
 * arguments by position.
 *
 * Formats are checked strictly: every conversion is positional ("%2$s") or
 * every one is sequential ("%s"), the positions leave no gap, a position is
 * not used with two incompatible types, and there is no %n or '*'.
 */
#ifndef BRELLIS_MSGFMT_H
#define BRELLIS_MSGFMT_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Record types. */
#define MSGFMT_ARG_INVALID 0  /* a position no conversion uses */
#define MSGFMT_ARG_INT32 1    /* no length, h, hh; also %c */
#define MSGFMT_ARG_INT64 2    /* l, ll, L, q, j, z, t, I, I64 */
#define MSGFMT_ARG_PTR 3      /* %p, the whole pointer */
#define MSGFMT_ARG_PTR32 4    /* a 32-bit value in the 64-bit slot; never scanned */
#define MSGFMT_ARG_FLOAT64 5  /* every floating-point conversion but L and j */
#define MSGFMT_ARG_STRING8 6  /* %s: an owned copy, or NULL */
#define MSGFMT_ARG_STRING16 7 /* never scanned; cannot be copied */
#define MSGFMT_ARG_STRING32 8 /* %ls, %S: an owned copy of the wide string */
#define MSGFMT_ARG_ERRSTR 9   /* %s of a text of Err_Errno2String: a system error */

/* Kinds of system error a MSGFMT_ARG_ERRSTR record carries. */
#define MSGFMT_ERROR_NONE 0
#define MSGFMT_ERROR_ERRNO 1   /* errorNumber is an errno value */
#define MSGFMT_ERROR_WINDOWS 2 /* a foreign system's code; never scanned here */

/* One argument, 32 bytes; position n is element n - 1. */
typedef struct MsgFmt_Arg {
  int32_t type;
  int32_t errorKind; /* MSGFMT_ARG_ERRSTR: MSGFMT_ERROR_*; 0 otherwise */
  union {
    int32_t signed32;
    uint32_t unsigned32;
    int64_t signed64;
    uint64_t unsigned64;
    double float64;
    void *ptr;
    char *string8;
    wchar_t *string32;
    int64_t offset; /* while swizzled */
  } v;
  int64_t errorNumber; /* MSGFMT_ARG_ERRSTR: the error number */
  union {
    int32_t precision; /* while scanning only */
    char *localString; /* a text to print instead of string8; not owned */
  } p;
} MsgFmt_Arg;

/*
 * Scans format and captures its arguments from va. On success returns true,
 * *error NULL, and the records in *args and their count in *numArgs when
 * those are not NULL; without args the captured values are freed again. Strings are
 * copied, at most up to a conversion's precision (cut at a whole UTF-8
 * sequence). On failure returns false with a message in *error.
 *
 * Without a buffer (buf NULL) the array and the message are allocated: free
 * the array with MsgFmt_FreeArgs and the message with free. With a buffer of
 * *bufSize bytes, the records, their strings and any message are placed in
 * it instead, nothing is allocated, and *bufSize receives the bytes used; a
 * buffer too small for the records fails with the out-of-memory message.
 */
bool MsgFmt_GetArgs(const char *format, va_list va, MsgFmt_Arg **args, int *numArgs, char **error,
                    void *buf, size_t *bufSize);

/* Frees the string copies and the array. NULL is ignored. */
void MsgFmt_FreeArgs(MsgFmt_Arg *args, int numArgs);

/*
 * A deep copy (strings duplicated, substitute texts dropped), or NULL for no
 * records. A MSGFMT_ARG_STRING16 record ends the process.
 */
MsgFmt_Arg *MsgFmt_CopyArgs(const MsgFmt_Arg *args, int numArgs);

/*
 * For moving a block that holds the records followed by their strings:
 * string pointers become offsets from args and back. A NULL string becomes
 * offset 0. Unswizzling accepts an offset only when it lies after the
 * records and before blockEnd and its text is NUL-terminated before
 * blockEnd; any other becomes NULL and the call returns -1 (0 otherwise).
 */
void MsgFmt_SwizzleArgs(MsgFmt_Arg *args, int numArgs);
int MsgFmt_UnswizzleArgs(MsgFmt_Arg *args, int numArgs, const void *blockEnd);

/*
 * The system's formatter (see str.h) with each conversion's value taken from
 * the record at its position. A position beyond numArgs, or a record whose
 * type does not fit the conversion, fails the call (-1 / NULL). %s takes
 * string records: their substitute text when set, else the string without
 * a leading message id ("@&!*@*@(id)"), "(null)" for NULL.
 * MsgFmt_Snprintf follows bsd_vsnprintf: with *outbuf NULL it allocates.
 */
int MsgFmt_Snprintf(char **outbuf, size_t bufSize, const char *format, const MsgFmt_Arg *args,
                    int numArgs);
char *MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args, int numArgs);

/*
 * The scanner the calls above rest on. Literal text goes to litFunc (when
 * not NULL; "%%" arrives as "%"); each conversion to specFunc with its
 * position as decimal text (sequential conversions are numbered 1, 2, ...)
 * and its specification from after the '%' or "N$" to the conversion
 * character. A negative callback result ends the scan with that status.
 * Returns 0, the callback's status, or -2 for a malformed format.
 */
typedef int MsgFmt_LitFunc(void *clientData, const char *buf, int bufSize);
typedef int MsgFmt_SpecFunc(void *clientData, const char *pos, unsigned int posSize,
                            const char *type, unsigned int typeSize);
int MsgFmt_ParseWithCallbacks(MsgFmt_LitFunc *litFunc, MsgFmt_SpecFunc *specFunc, void *clientData,
                              const char *format);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_MSGFMT_H */
