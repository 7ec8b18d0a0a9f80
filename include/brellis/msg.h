/*
 * Messages meant for a user, and lists of them.
 *
 * A localisable text starts with "@&!*@*@(", its id and ")", followed by the
 * English default text, which is a format for Str_Asprintf. A text without
 * that marker is kept as the literal message "msg.literal" with the text
 * as it stands (its '%' sequences are not interpreted).
 *
 * This is the messages layer in its first shape: a message keeps its id and
 * its default text already formatted with the arguments; there are no
 * message catalogues or translations, no posting, questions, hints or
 * progress, and no callbacks yet. Every message appended to the calling
 * thread's pending list is also written to the log as "[id] text".
 */
#ifndef BRELLIS_MSG_H
#define BRELLIS_MSG_H

#include <stdarg.h>
#include <stdbool.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A list is a pointer to its newest message; NULL is the empty list. */
typedef struct MsgList MsgList;

/*
 * Append one message at the head of *list. A NULL list pointer discards the
 * message without building it.
 */
void MsgList_Append(MsgList **list, const char *format, ...) BRELLIS_PRINTF(2, 3);
void MsgList_VAppend(MsgList **list, const char *format, va_list args) BRELLIS_PRINTF(2, 0);
/* A localisable string becomes a message as it stands, any other the literal. */
void MsgList_AppendStr(MsgList **list, const char *string);
void MsgList_Free(MsgList *list);
/* The id of a message ("msg.literal" for literal ones) and its text. */
const char *MsgList_GetId(const MsgList *message);
const char *MsgList_GetText(const MsgList *message);
const MsgList *MsgList_Next(const MsgList *message);
/* Every text, newest first, each ending in "\n"; the caller frees it. */
char *MsgList_ToString(const MsgList *list);
/* One log line "[id] text" per message, newest first. */
void MsgList_Log(const MsgList *list);

/* The calling thread's pending messages, kept oldest first. */
void Msg_Append(const char *format, ...) BRELLIS_PRINTF(1, 2);
void Msg_AppendStr(const char *string);
bool Msg_Present(void);
/* Frees the pending messages; with log true they are logged first. */
void Msg_Reset(bool log);
/*
 * The pending messages as one text, oldest first, each ending in "\n". The
 * text belongs to the calling thread and stays valid until its next call of
 * either function. The second also frees the pending messages.
 */
const char *Msg_GetMessages(void);
const char *Msg_GetMessagesAndReset(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_MSG_H */
