// Whether another thread gets a lock at once (it gives it back if so).
#ifndef TESTS_LOCK_OTHERTHREAD_H
#define TESTS_LOCK_OTHERTHREAD_H

#include <brellis/userlock.h>

#include <thread>

namespace locktest {

template <typename Lock>
bool TryFromOtherThread(Lock *lock, bool (*tryAcquire)(Lock *), void (*release)(Lock *)) {
  bool got = false;
  std::thread([&] {
    got = tryAcquire(lock);
    if (got) {
      release(lock);
    }
  }).join();
  return got;
}

inline bool TryFromOtherThread(MXUserExclLock *lock) {
  return TryFromOtherThread(lock, MXUser_TryAcquireExclLock, MXUser_ReleaseExclLock);
}

inline bool TryFromOtherThread(MXUserRecLock *lock) {
  return TryFromOtherThread(lock, MXUser_TryAcquireRecLock, MXUser_ReleaseRecLock);
}

}  // namespace locktest

#endif
