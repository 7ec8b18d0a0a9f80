// Seams of the host facts for tests: the monotonic clock can be replaced to
// exercise the time-of-day fallback.
#ifndef LIB_MISC_HOSTINFOINT_H
#define LIB_MISC_HOSTINFOINT_H

#include <cstdint>
#include <ctime>

// Reads the monotonic clock; false (errno set) when there is none.
using HostinfoClockSource = bool (*)(struct timespec *ts);

// Replaces the monotonic clock (nullptr restores the platform's) and makes
// the timer decide its mode again.
void HostinfoSetClockSource(HostinfoClockSource source);
// Replaces the time of day the fallback timer reads (nullptr restores it).
void HostinfoSetTimeOfDaySource(uint64_t (*source)(void));
// Forgets the fallback timer's history.
void HostinfoResetFallbackTimer(void);

#endif
