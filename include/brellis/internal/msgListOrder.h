// Why this header exists: the log and the configuration layer both gather
// messages newest first (the order MsgList_Append keeps) and must report
// them oldest first. Reversing in place is a liberty with the list's
// documented order that programs should not rely on, so it stays out of
// <brellis/msgList.h>. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_MSGLISTORDER_H
#define BRELLIS_INTERNAL_MSGLISTORDER_H

#include <brellis/msgList.h>

// Reverses list in place and returns its new head.
MsgList *MsgListReverse(MsgList *list);

#endif
