// What the units of the message layer share, and what the panic path needs
// of it beyond its interface.

#ifndef BRELLIS_LIB_USER_MSGINT_H
#define BRELLIS_LIB_USER_MSGINT_H

#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/userlock.h>

#include <cstddef>
#include <string>

// The built-in console callbacks: the process-wide table's first contents.
extern const MsgCallback msgConsoleCallbacks;

// "msgLock", made on first use; guards the process-wide state.
MXUserRecLock *MsgLock();

// A copy of the process-wide callback table.
MsgCallback MsgProcessCallbacks();

// The text of a localisable string in the user's language: its catalogue
// translation, else its default text. Any other string is returned as it
// is. An id of 128 bytes or more ends the process.
std::string MsgLookUp(const char *string);

// The messages, oldest first, in the user's language, each ending in "\n".
std::string MsgRenderList(const MsgList *oldestFirst);

// The severity's title in the user's language, into buf (cut to size).
// Allocates only the first time the titles are needed.
void MsgSeverityTitle(MsgSeverity severity, char *buf, size_t size);

// Frees the process-wide state and destroys the message lock.
void MsgExitState();

// Calls the effective forceUnblock callback, if any, so that a program can
// let go of whatever would keep the panic post from being shown.
void MsgCallPanicCallback();

#endif  // BRELLIS_LIB_USER_MSGINT_H
