/*
 * Per-thread identity: a small number and a name of at most 31 characters.
 *
 * Identities are dense: the first thread to ask gets 0, and the identity of
 * a thread that has ended is handed to the next new thread. They never
 * depend on the platform's thread handles. A thread's record is made on its
 * first request and released when the thread ends.
 */
#ifndef BRELLIS_VTHREADBASE_H
#define BRELLIS_VTHREADBASE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VTHREADBASE_MAX_NAME 32
#define VTHREADBASE_INVALID_ID 0xFFFFFFFFu

/* One thread's record. */
typedef struct VThreadBaseData {
  uint32_t id;
  char name[VTHREADBASE_MAX_NAME];
  int32_t signalNestCount; /* changed atomically */
} VThreadBaseData;

uint32_t VThreadBase_CurID(void);
/* The calling thread's name; valid while the thread lives. */
const char *VThreadBase_CurName(void);
/* Keeps at most 31 characters of name. */
void VThreadBase_SetName(const char *name);

/*
 * Raise (isInSignal true) or lower the calling thread's signal-nesting count,
 * and test it. Safe in a signal handler: only an existing record is touched,
 * nothing is allocated; a thread without a record is never in a signal.
 * threadId is the caller's own identity.
 */
void VThreadBase_SetIsInSignal(uint32_t threadId, bool isInSignal);
bool VThreadBase_IsInSignal(void);

/*
 * Installs record (allocated with malloc) as the calling thread's. True when
 * the thread had none: the record then belongs to the thread and is freed
 * when it ends. False, with a log line, when the thread already has one; the
 * old one is kept and record stays the caller's.
 */
bool VThreadBase_InitWithTLS(VThreadBaseData *record);

/* Detaches the calling thread's record and releases it as if the thread had
 * ended: its identity becomes free for reuse. */
void VThreadBase_ForgetSelf(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_VTHREADBASE_H */
