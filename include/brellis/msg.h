/*
 * Messages meant for a user: the calling thread's pending messages.
 * Lists of messages are in msgList.h.
 *
 * A localisable text starts with "@&!*@*@(", its id and ")", followed by the
 * English default text, which is a format for Str_Asprintf. A text without
 * that marker is kept as the literal message "msg.literal" with the text
 * as it stands (its '%' sequences are not interpreted).
 *
 * A message keeps its id, its arguments and its default text formatted with
 * them. Whatever shows a message (posts, questions, hints, progress,
 * Msg_GetMessages, Msg_GetString, Msg_Format) renders it in the user's
 * language: the text for its id from the message catalogue of the locale
 * set with Msg_SetLocale, else the default text. Without a locale every
 * message reads in English. Every message appended to the calling thread's
 * pending list is also written to the log as "[id] text". A thread's
 * pending messages are discarded when the thread ends.
 */
#ifndef BRELLIS_MSG_H
#define BRELLIS_MSG_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#include <brellis/msgList.h>
#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Severities of a post; Msg_Severities holds their titles. */
typedef enum MsgSeverity {
  MSG_INFO = 0,
  MSG_INFO_TIMEOUT = 1,
  MSG_WARNING = 2,
  MSG_ERROR = 3,
  MSG_CONFIG_EDITOR = 4,
  MSG_WEB_LINK_HOME_PAGE_INFO = 8,
  MSG_NUM_SEVERITIES
} MsgSeverity;

/* Null-terminated button lists; the severity titles, NULL where unused. */
extern const char *const Msg_OKButtons[];
extern const char *const Msg_OKCancelButtons[];
extern const char *const Msg_Severities[MSG_NUM_SEVERITIES];

/*
 * How messages reach a person. A NULL slot is skipped. The process-wide
 * table starts with the console callbacks in post (standard error),
 * question and hint (standard output and input); a thread's own table
 * starts empty, and its non-NULL slots override the process-wide ones for
 * that thread until it ends. The console's progress callback writes one
 * line to standard error per call; the lazy progress slots have no
 * built-in callback, and lazyProgressEnd is never called by this layer.
 */
typedef struct MsgCallback {
  void (*post)(MsgSeverity severity, const char *msgID, const char *text);
  int (*question)(char const *const *names, int defaultAnswer, const char *msgID, const char *text);
  int (*progress)(const char *msgID, const char *text, int percent, bool cancelButton);
  int (*hint)(int buttonKind, const char *msgID, const char *text);
  void *(*lazyProgressStart)(const char *msgID, const char *text, bool allowCancel);
  bool (*lazyProgress)(void *handle, const char *msgID, const char *text, bool allowCancel,
                       int percent);
  void (*lazyProgressEnd)(void *handle);
  void (*postList)(MsgSeverity severity, MsgList *messages);
  int (*questionList)(char const *const *names, int defaultAnswer, MsgList *messages);
  int (*progressList)(MsgList *messages, int percent, bool cancelButton);
  int (*hintList)(int buttonKind, MsgList *messages);
  void *(*lazyProgressStartList)(MsgList *messages);
  void (*forceUnblock)(void); /* called by the panic path before its post */
} MsgCallback;

void Msg_SetCallbacks(const MsgCallback *callbacks);
void Msg_GetCallbacks(MsgCallback *callbacks);
void Msg_SetThreadCallbacks(const MsgCallback *callbacks);
void Msg_GetThreadCallbacks(MsgCallback *callbacks);

/*
 * Appends the message to the calling thread's pending messages, logs them
 * all ("Msg_Post: <title>", one line each, a line of dashes) and shows
 * them, then discards them. They are not shown when the configuration
 * answers the message ("answer.<id>" naming OK, or "msg.autoAnswer"), nor,
 * below MSG_ERROR, when "msg.noOK" is set: then they are logged once more
 * as a warning "MSG: <text>" unless "msg.noOKnoWarning" is set too.
 */
void Msg_Post(MsgSeverity severity, const char *format, ...) BRELLIS_PRINTF(2, 3);

/*
 * Asks the question, with the pending messages in front of it, and returns
 * the index of the chosen button (names is NULL-terminated; at most 9 are
 * offered). The configuration may answer ("answer.<id>" naming a button's
 * default text, without regard to case or mnemonics; or "msg.autoAnswer",
 * which takes defaultAnswer). The console callback asks on standard
 * output and reads standard input; at its end it takes defaultAnswer.
 */
int Msg_Question(const char *const *names, int defaultAnswer, const char *format, ...)
    BRELLIS_PRINTF(3, 4);

/*
 * A hint with OK (buttonKind 0) or OK and Cancel (1): the chosen button's
 * index, or 2 when it was not shown ("msg.noOK", "msg.autoAnswer" or no
 * callback).
 */
int Msg_Hint(int buttonKind, const char *format, ...) BRELLIS_PRINTF(2, 3);

/*
 * Texts, each a new string for the caller to free, in the user's language.
 * Msg_GetString and Msg_GetStringSafe give the text of a string (the
 * latter accepts plain ones too, which come back as they are);
 * Msg_StripMnemonic drops every '_' but keeps one of "__"; Msg_Format
 * formats the text of a localisable format (a translation that does not
 * fit the arguments falls back to the default text); Msg_FormatSizeInBytes
 * gives a size such as "1.5 KB" or "1 byte". An id of 128 bytes or more
 * ends the process.
 */
char *Msg_GetString(const char *idString);
char *Msg_GetStringSafe(const char *string);
char *Msg_StripMnemonic(const char *string);
char *Msg_Format(const char *idFormat, ...) BRELLIS_PRINTF(1, 2);
char *Msg_FormatSizeInBytes(uint64_t size);

/*
 * Progress, handed to the progress callbacks only (neither pending nor
 * logged). format may be NULL: the callbacks then get an empty text (and a
 * NULL list). A localisable format whose arguments do not parse ends the
 * process.
 *
 * Msg_Progress returns the callbacks' answer (the list callback's when it
 * is set), 0 without one; a non-zero answer means the user cancelled.
 */
int Msg_Progress(int percent, bool cancelButton, const char *format, ...) BRELLIS_PRINTF(3, 4);
/* Starts a progress display that is updated later; its handle, NULL
 * without a callback. */
void *Msg_LazyProgressStart(bool allowCancel, const char *format, ...) BRELLIS_PRINTF(2, 3);
/* Updates the display started with Msg_LazyProgressStart; false when the
 * user cancelled, true without a callback. */
bool Msg_LazyProgress(void *handle, bool allowCancel, int percent, const char *format, ...)
    BRELLIS_PRINTF(4, 5);

/*
 * Sets the locale whose catalogue renders messages: the dictionary file
 * <directory>/messages/<locale>/<programName>.qmsg, where directory NULL
 * means the "libdir" setting (default /usr/lib/brellis). A catalogue that
 * cannot be found or read leaves the current one in place, with a warning
 * in the log unless the locale starts with "en". A NULL locale removes the
 * catalogue: messages read in English again.
 */
void Msg_SetLocaleEx(const char *locale, const char *programName, const char *directory);
/* Msg_SetLocaleEx without a directory. */
void Msg_SetLocale(const char *locale, const char *programName);
/*
 * Adds the entries of the dictionary file at path to the current catalogue,
 * or, without one, makes it the catalogue of locale. False, with a warning
 * in the log, when the file cannot be read whole.
 */
bool Msg_LoadMessageFile(const char *locale, const char *path);
/* A new copy of the current locale's name (caller frees); NULL when no
 * catalogue is set. */
char *Msg_GetLocale(void);

/*
 * Frees everything this layer keeps: every thread's pending messages and
 * callbacks, the catalogue, the locale, the callbacks and the lock. The
 * caller makes sure no other thread uses the layer meanwhile. A later use
 * starts afresh, with the console callbacks and no catalogue.
 */
void Msg_Exit(void);

/* The calling thread's pending messages, kept oldest first. */
void Msg_Append(const char *format, ...) BRELLIS_PRINTF(1, 2);
void Msg_AppendStr(const char *string);
bool Msg_Present(void);
/* Appends copies of list's messages, oldest first. */
void Msg_AppendMsgList(const MsgList *list);
/* Frees the pending messages; with log true they are logged first. */
void Msg_Reset(bool log);
/* Logs the pending messages, one "[id] text" line each, and frees them. */
void Msg_LogAndReset(void);
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
