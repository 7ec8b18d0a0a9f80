// Message-list internals shared with the layers that collect messages.
#ifndef LIB_MISC_MSGLISTINT_H
#define LIB_MISC_MSGLISTINT_H

#include <brellis/msgList.h>

// Reverses list in place and returns its new head: collectors gather the
// newest message first and report them oldest first.
MsgList *MsgListReverse(MsgList *list);

#endif
