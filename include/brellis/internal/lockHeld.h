// Why this header exists: modules outside the lock layer (the log, the
// configuration, the file layer's buffer pool) hold its locks for a scope,
// and <brellis/userlock.h>, being C, cannot tie a release to a scope.
// Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_LOCKHELD_H
#define BRELLIS_INTERNAL_LOCKHELD_H

#include <brellis/userlock.h>

namespace brellis {

// Holds an exclusive or a recursive lock from construction to the end of
// the scope.
template <typename Lock>
class LockHeld {
 public:
  explicit LockHeld(Lock *lock) : lock_(lock) { Acquire(lock_); }
  ~LockHeld() { Release(lock_); }
  LockHeld(const LockHeld &) = delete;
  LockHeld &operator=(const LockHeld &) = delete;

 private:
  static void Acquire(MXUserExclLock *lock) { MXUser_AcquireExclLock(lock); }
  static void Acquire(MXUserRecLock *lock) { MXUser_AcquireRecLock(lock); }
  static void Release(MXUserExclLock *lock) { MXUser_ReleaseExclLock(lock); }
  static void Release(MXUserRecLock *lock) { MXUser_ReleaseRecLock(lock); }

  Lock *lock_;
};

}  // namespace brellis

#endif
