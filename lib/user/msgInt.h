// What the panic path needs of the message layer beyond its interface.

#ifndef BRELLIS_LIB_USER_MSGINT_H
#define BRELLIS_LIB_USER_MSGINT_H

// The product name shown in front of posts and in the panic message.
const char *MsgProductName();

// Calls the effective forceUnblock callback, if any, so that a program can
// let go of whatever would keep the panic post from being shown.
void MsgCallPanicCallback();

#endif  // BRELLIS_LIB_USER_MSGINT_H
