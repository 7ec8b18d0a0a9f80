/*
 * Facts about the host, the process and the clock. Each is computed on
 * demand; the expensive ones once per process.
 */
#ifndef BRELLIS_HOSTINFO_H
#define BRELLIS_HOSTINFO_H

#include <stdbool.h>
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
 * The operating system's names, worked out once per process from the
 * kernel's identification and the distribution (lsb_release, else the
 * first readable release file under /etc) and kept in these caches, which
 * are written once: the short name ("ubuntu-64", "rhel5", "other26xlinux")
 * and the full name for people ("Linux 6.1.0-13-amd64 Debian GNU/Linux 12
 * (bookworm)"). Read them through the getters.
 */
#define HOSTINFO_OS_NAME_SIZE 128
#define HOSTINFO_OS_FULL_NAME_SIZE 512
extern char HostinfoCachedOSName[HOSTINFO_OS_NAME_SIZE];
extern char HostinfoCachedOSFullName[HOSTINFO_OS_FULL_NAME_SIZE];
extern volatile bool HostinfoOSNameCacheValid;

/* Copies of the full and the short name; the caller frees them. NULL when
 * they cannot be determined (tried again on the next call). */
char *Hostinfo_OSFullName(void);
char *Hostinfo_OSShortName(void);
/*
 * A number of the kernel's version "major.minor.patch-rest": index 0 to 2
 * for those, 3 for the first number in the rest; 0 for any other index.
 * The process ends through Panic when the kernel gives no version.
 */
int32_t Hostinfo_OSVersion(int32_t index);
/* The kernel's release text the numbers come from; owned by the library. */
const char *Hostinfo_OSVersionString(void);
/* 64 when the machine is x86_64, 32 otherwise, -1 when it cannot be told. */
int32_t Hostinfo_GetSystemBitness(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_HOSTINFO_H */
