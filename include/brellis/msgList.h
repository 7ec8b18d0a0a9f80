/*
 * Message lists: user-visible problems collected by library operations.
 *
 * A localisable text starts with "@&!*@*@(", its dotted id and ")", then the
 * default English text, a format for Str_Asprintf. A list is a pointer to
 * its newest message (NULL when empty); appending puts the new message at
 * the head. The caller owns a list and frees it with MsgList_Free.
 *
 * A message keeps its arguments as captured by MsgFmt_GetArgs (strings
 * copied), so that it can be formatted again from a translation, and its
 * default text already formatted with them. The functions here read the
 * default texts; the message layer (msg.h) renders translations.
 */
#ifndef BRELLIS_MSGLIST_H
#define BRELLIS_MSGLIST_H

#include <stdarg.h>

#include <brellis/msgfmt.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MsgList {
  struct MsgList *next;
  char *id;     /* "msg.literal" for a text without the marker */
  char *format; /* the default text before formatting */
  char *text;   /* the default text formatted with the arguments */
  MsgFmt_Arg *args;
  int numArgs;
} MsgList;

/*
 * Appends one message at the head of *list. A NULL list discards the
 * message without building it. A format without the marker is stored as the
 * literal message: its own '%' sequences are not interpreted. A localisable
 * format whose arguments MsgFmt_GetArgs refuses ends the process.
 */
void MsgList_Append(MsgList **list, const char *format, ...) BRELLIS_PRINTF(2, 3);
void MsgList_VAppend(MsgList **list, const char *format, va_list ap) BRELLIS_PRINTF(2, 0);
/* A localisable string becomes a message without arguments; any other the
 * literal message. */
void MsgList_AppendStr(MsgList **list, const char *string);
/* New one-message lists. */
MsgList *MsgList_Create(const char *format, ...) BRELLIS_PRINTF(1, 2);
MsgList *MsgList_CreateStr(const char *string);
/* Deep copy in the same order. */
MsgList *MsgList_Copy(const MsgList *list);
void MsgList_Free(MsgList *list);
/* A message's id ("msg.literal" for literal ones), its text, the next one. */
const char *MsgList_GetId(const MsgList *message);
const char *MsgList_GetText(const MsgList *message);
const MsgList *MsgList_Next(const MsgList *message);
/* Every message's text, newest first, each ending in "\n"; caller frees. */
char *MsgList_ToString(const MsgList *list);
/* One Log_Info line "[id] text" per message, newest first. */
void MsgList_Log(const MsgList *list);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_MSGLIST_H */
