/*
 * Facts about the host, the process and the clock. Each is computed on
 * demand; the expensive ones once per process.
 */
#ifndef BRELLIS_HOSTINFO_H
#define BRELLIS_HOSTINFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The time of day as microseconds since the epoch. */
void HostinfoGetTimeOfDayMicros(uint64_t *micros);

/*
 * Monotonic time in nanoseconds. Never decreases, also where the platform
 * has no monotonic clock and the time of day stands in for it.
 */
uint64_t HostinfoSystemTimerPosix(void);

/* The same clock in microseconds, for intervals and deadlines. */
uint64_t Hostinfo_MonotonicMicros(void);

/* The calling thread's kernel thread id (the process id where there is none). */
int32_t Hostinfo_SystemThreadId(void);

/* The host's name, canonical when it resolves; the caller frees it. NULL
 * when the host has no name. */
char *Hostinfo_HostName(void);

/*
 * The machine identity: a hash of the host name and a hardware id made of
 * the first ethN interface's 6-byte hardware address followed by two zero
 * bytes (all zero when there is none), in memory order. Both are computed
 * once per process.
 */
void Hostinfo_MachineID(uint32_t *hostNameHash, uint64_t *hostHardwareID);

/*
 * The operating system's full name for people, such as "Linux 6.1.0-13";
 * the caller frees it. NULL when it cannot be determined.
 */
char *Hostinfo_OSFullName(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_HOSTINFO_H */
