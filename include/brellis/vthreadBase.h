/*
 * Per-thread identity: a small number and a name of at most 31 characters.
 */
#ifndef BRELLIS_VTHREADBASE_H
#define BRELLIS_VTHREADBASE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VTHREADBASE_MAX_NAME 32

uint32_t VThreadBase_CurID(void);
/* The calling thread's name; valid while the thread lives. */
const char *VThreadBase_CurName(void);
/* Keeps at most 31 characters of name. */
void VThreadBase_SetName(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_VTHREADBASE_H */
