// Thread identity for the library's own hot paths.
#ifndef LIB_MISC_VTHREADBASEINT_H
#define LIB_MISC_VTHREADBASEINT_H

#include <brellis/vthreadBase.h>

// The calling thread's record as last installed, or null. Plain __thread
// storage (constant-initialised) is reached without a call from any unit.
extern __thread VThreadBaseData *vthreadBaseCurRecord;

// VThreadBase_CurID without the call once the thread has its record (the
// read-write locks ask on every acquisition and release).
inline uint32_t VThreadBaseCurID() {
  VThreadBaseData *record = vthreadBaseCurRecord;
  return __builtin_expect(record != nullptr, 1) ? record->id : VThreadBase_CurID();
}

#endif
