/*
 * User-level locks: exclusive, recursive and read-write locks and condition
 * variables, for POSIX threads. The locks keep their own lock words (the
 * kernel only puts waiters to sleep and wakes them), so creating a lock only
 * allocates: creation never fails, and memory exhaustion ends the process.
 * Locks are private to a process; a forked child finds them as they were.
 *
 * Every lock carries a self-describing header (signature, name, rank, serial
 * number) so that misuse can be reported with a dump of the lock in the log
 * before the process ends through Panic. Misuse is never returned to the
 * caller: destroying a held lock, releasing a lock the calling thread does
 * not hold, acquiring a read-write lock twice in one thread and waiting on a
 * condition variable with the wrong lock all end the process.
 *
 * Ranks are recorded and printed in dumps, never enforced. A NULL name gives
 * the lock a name made of a kind prefix ("X-", "R-", "RW-") and the address
 * of the code that asked for it.
 */
#ifndef BRELLIS_USERLOCK_H
#define BRELLIS_USERLOCK_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t MX_Rank;

typedef struct MXUserExclLock MXUserExclLock;
typedef struct MXUserRecLock MXUserRecLock;
typedef struct MXUserRWLock MXUserRWLock;
typedef struct MXUserCondVar MXUserCondVar;

/* An external recursive lock to which a bound recursive lock delegates. */
struct MX_MutexRec;

/*
 * Whether a load fence follows each atomic operation of the lock layer and
 * the atomic hash tables. Decided once, by Atomic_Init, before the first
 * thread identity or atomic table is made; atomicFenceInitialized records
 * that it was decided.
 */
extern bool AtomicUseFence;
extern bool atomicFenceInitialized;
void Atomic_Init(void);

/* Exclusive locks. Re-acquisition by the owner only raises its count. */
MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank);
/*
 * The lock in *lockStorage, created on first use and installed with
 * compare-and-swap (a losing creator destroys its own). Singletons are never
 * destroyed.
 */
MXUserExclLock *MXUser_CreateSingletonExclLock(MXUserExclLock **lockStorage, const char *name,
                                               MX_Rank rank);
void MXUser_AcquireExclLock(MXUserExclLock *lock);
bool MXUser_TryAcquireExclLock(MXUserExclLock *lock);
bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock);
void MXUser_ReleaseExclLock(MXUserExclLock *lock);
void MXUser_DestroyExclLock(MXUserExclLock *lock);

/* Recursive locks. */
MXUserRecLock *MXUser_CreateRecLock(const char *name, MX_Rank rank);
/* As MXUser_CreateRecLock, for the log's own lock: the lock takes no part in
 * statistics, which are reported through the log. */
MXUserRecLock *MXUser_CreateRecLockSilent(const char *name, MX_Rank rank);
MXUserRecLock *MXUser_CreateSingletonRecLock(MXUserRecLock **lockStorage, const char *name,
                                             MX_Rank rank);
/* The singleton form of MXUser_CreateRecLockSilent. */
MXUserRecLock *MXUser_CreateSingletonRecLockSilent(MXUserRecLock **lockStorage, const char *name,
                                                   MX_Rank rank);
void MXUser_AcquireRecLock(MXUserRecLock *lock);
bool MXUser_TryAcquireRecLock(MXUserRecLock *lock);
bool MXUser_IsCurThreadHoldingRecLock(MXUserRecLock *lock);
void MXUser_ReleaseRecLock(MXUserRecLock *lock);
void MXUser_DestroyRecLock(MXUserRecLock *lock);
/* Logs the lock's state with Log_Warning. */
void MXUser_DumpRecLock(MXUserRecLock *lock);
/* Accepts no commands: always false. */
bool MXUser_ControlRecLock(MXUserRecLock *lock, uint32_t command, ...);

/* Binding a recursive lock to an external one, through hooks installed once
 * (a second installation is ignored). */
extern void (*MXUserMX_LockRec)(struct MX_MutexRec *lock);
extern void (*MXUserMX_UnlockRec)(struct MX_MutexRec *lock);
extern bool (*MXUserMX_TryLockRec)(struct MX_MutexRec *lock);
extern bool (*MXUserMX_IsLockedByCurThreadRec)(const struct MX_MutexRec *lock);
void MXUser_InstallMxHooks(void (*theLockFunc)(struct MX_MutexRec *),
                           void (*theUnlockFunc)(struct MX_MutexRec *),
                           bool (*theTryLockFunc)(struct MX_MutexRec *),
                           bool (*theIsLockedFunc)(const struct MX_MutexRec *));
/* A recursive lock named "MX_%p" that delegates to mutex; NULL while the
 * hooks are not installed. */
MXUserRecLock *MXUser_BindMXMutexRec(struct MX_MutexRec *mutex, MX_Rank rank);

/* Read-write locks. A thread holds one at most once, for read or write. */
#define MXUSER_RW_FOR_READ 0
#define MXUSER_RW_FOR_WRITE 1
#define MXUSER_RW_LOCKED 2

MXUserRWLock *MXUser_CreateRWLock(const char *name, MX_Rank rank);
MXUserRWLock *MXUser_CreateSingletonRWLock(MXUserRWLock **lockStorage, const char *name,
                                           MX_Rank rank);
void MXUser_AcquireForRead(MXUserRWLock *lock);
void MXUser_AcquireForWrite(MXUserRWLock *lock);
void MXUser_ReleaseRWLock(MXUserRWLock *lock);
/* queryType: MXUSER_RW_FOR_READ, MXUSER_RW_FOR_WRITE or MXUSER_RW_LOCKED. */
bool MXUser_IsCurThreadHoldingRWLock(MXUserRWLock *lock, uint32_t queryType);
void MXUser_DestroyRWLock(MXUserRWLock *lock);

/*
 * Condition variables, each tied to the lock it was created for. A wait
 * suspends the caller's whole recursion on the lock and restores it. Timed
 * waits take milliseconds (MXUSER_WAIT_INFINITE: no deadline) and return
 * false when the deadline passed, true otherwise; either way the lock is held
 * again on return. As with any condition variable a wait may end without a
 * signal, so callers wait in a loop on their own condition.
 */
#define MXUSER_WAIT_INFINITE 0xFFFFFFFFu

MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock);
MXUserCondVar *MXUser_CreateCondVarRecLock(MXUserRecLock *lock);
void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar);
void MXUser_WaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar);
bool MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar,
                                     uint32_t msecWait);
bool MXUser_TimedWaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar, uint32_t msecWait);
void MXUser_SignalCondVar(MXUserCondVar *condVar);
void MXUser_BroadcastCondVar(MXUserCondVar *condVar);
void MXUser_DestroyCondVar(MXUserCondVar *condVar);

/* Records that the process is panicking (called by the panic path). */
void MXUser_SetInPanic(void);
bool MXUser_InPanic(void);

/*
 * Statistics. Off until a sink is installed; locks created while they are on
 * record acquisition and hold times, contention and histograms, which
 * MXUser_PerLockData hands to the sink, one line per call, as (context,
 * format, arguments). maxLineLength sizes the line buffer (a new call
 * replaces the earlier one); a NULL sink turns statistics off for locks
 * created afterwards.
 */
typedef void (*MXUserStatsFunc)(void *context, const char *format, va_list ap);
void MXUser_SetStatsFunc(void *context, uint32_t maxLineLength, MXUserStatsFunc statsFunc);
void MXUser_PerLockData(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_USERLOCK_H */
