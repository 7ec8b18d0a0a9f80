/*
 * Temporary super-user rights around one system call.
 */
#ifndef BRELLIS_ID_H
#define BRELLIS_ID_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Makes the effective user id 0. Returns the effective id before, or
 * (uid_t)-1 when nothing was changed: already root, or the switch failed
 * (errno tells which: it is kept from the failed call, and 0 when the
 * process was root already).
 */
uid_t Id_RaiseToSuperUser(void);

/* Restores the effective id returned by Id_RaiseToSuperUser. Going on with
 * root rights would be unsafe, so a failed restore ends the process. */
void Id_DropSuperUser(uid_t previous);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_ID_H */
