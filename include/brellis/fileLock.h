/*
 * Lock files: advisory locks on a file that work between processes and
 * between hosts sharing a file system, made only of ordinary files.
 *
 * The lock on P lives in the directory P + ".lck" next to it. Every
 * contender publishes a member file there carrying a ticket number; the
 * contender with the lowest (ticket, member name) goes first. Shared locks
 * (readOnly) coexist; an exclusive lock excludes every other. Members of
 * processes of this host that no longer exist are removed when met. A lock
 * binds only those who take it through these calls.
 */
#ifndef BRELLIS_FILELOCK_H
#define BRELLIS_FILELOCK_H

#include <stdbool.h>
#include <stdint.h>

#include <brellis/fileIO.h>
#include <brellis/msgList.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Waits for FileLock_Lock: try once, or wait for as long as it takes. */
#define FILELOCK_TRYLOCK_WAIT 0u
#define FILELOCK_INFINITE_WAIT 0xFFFFFFFFu

/*
 * Locks filePath (which need not exist), waiting up to maxWaitMsec
 * milliseconds for others to let go. Returns the token to unlock with, or
 * NULL: then *err (may be NULL) is 0 when others hold the lock and the wait
 * ran out (or someone removed our claim while we waited), else an errno value (EINVAL for a path
 * that cannot be made absolute), and a message is appended to *msgs (may be NULL). A shared lock
 * that cannot be recorded because the directory is read-only or not writable for the caller is
 * granted without files.
 */
FileLockToken *FileLock_Lock(const char *filePath, bool readOnly, uint32_t maxWaitMsec, int *err,
                             MsgList **msgs);
/*
 * Releases the lock and frees the token. False with *err set (and a
 * message appended) when the member file could not be removed; the token
 * is freed in every case.
 */
bool FileLock_Unlock(FileLockToken *token, int *err, MsgList **msgs);
/*
 * Whether anyone holds or waits for a lock on filePath. A missing lock
 * directory means not locked; *err (may be NULL) receives 0 or the errno
 * value of a failed look.
 */
bool FileLock_IsLocked(const char *filePath, int *err, MsgList **msgs);

/*
 * Device locks in "/var/lock": the file "LCK.." + deviceName holding the
 * owner's process id. 1 when the lock was taken, 0 when a live process
 * holds it, -1 with errno on failure. A lock file left by a process of this
 * host that no longer exists is removed and taken over.
 */
int FileLock_LockDevice(const char *deviceName);
/*
 * Removes this process's device lock; false with errno on failure (EPERM
 * when the lock is another process's).
 */
bool FileLock_UnlockDevice(const char *deviceName);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_FILELOCK_H */
