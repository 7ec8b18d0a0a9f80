/*
 * Messages meant for a user: the calling thread's pending messages.
 * Lists of messages are in msgList.h.
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

#include <brellis/msgList.h>
#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

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
