// Why this header exists: the log and the configuration layer both gather
// messages newest first (the order MsgList_Append keeps) and must report
// them oldest first. A reversed list breaks the newest-first order that
// <brellis/msgList.h> promises, so only code that consumes the list at once
// may reverse it, and programs are not handed the tool. Internal to the
// library; not installed.
#ifndef BRELLIS_INTERNAL_MSGLISTORDER_H
#define BRELLIS_INTERNAL_MSGLISTORDER_H

#include <brellis/msgList.h>

// Reverses list in place and returns its new head.
MsgList *MsgListReverse(MsgList *list);

#endif
