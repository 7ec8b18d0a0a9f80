/*
 * Facts about the host, the process and the clock.
 */
#ifndef BRELLIS_HOSTINFO_H
#define BRELLIS_HOSTINFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The time of day as microseconds since the epoch. */
void HostinfoGetTimeOfDayMicros(uint64_t *micros);
/* Monotonic time in nanoseconds; never decreases. */
uint64_t HostinfoSystemTimerPosix(void);
/* The calling thread's kernel thread id. */
int32_t Hostinfo_SystemThreadId(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_HOSTINFO_H */
