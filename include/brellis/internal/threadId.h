// Why this header exists: the read-write locks ask for the calling thread's
// identity on every acquisition and release, and a call into the thread
// layer per ask shows in their cost; the signal dispatcher must learn it in
// a handler, where a thread without a record cannot be given one. This
// exposes the thread layer's per-thread record so both can read it inline;
// programs use VThreadBase_CurID. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_THREADID_H
#define BRELLIS_INTERNAL_THREADID_H

#include <brellis/vthreadBase.h>

// The calling thread's record as last installed, or null. Plain __thread
// storage (constant-initialised) is reached without a call from any unit.
extern __thread VThreadBaseData *vthreadBaseCurRecord;

// VThreadBase_CurID without the call once the thread has its record.
inline uint32_t VThreadBaseCurID() {
  VThreadBaseData *record = vthreadBaseCurRecord;
  return __builtin_expect(record != nullptr, 1) ? record->id : VThreadBase_CurID();
}

#endif
