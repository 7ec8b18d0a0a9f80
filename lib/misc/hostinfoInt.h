// Seams of the host facts for tests: the monotonic clock can be replaced to
// exercise the time-of-day fallback.
#ifndef LIB_MISC_HOSTINFOINT_H
#define LIB_MISC_HOSTINFOINT_H

#include <cstdint>
#include <ctime>
#include <string>

// Reads the monotonic clock; false (errno set) when there is none.
using HostinfoClockSource = bool (*)(struct timespec *ts);

// Replaces the monotonic clock (nullptr restores the platform's) and makes
// the timer decide its mode again.
void HostinfoSetClockSource(HostinfoClockSource source);
// Replaces the time of day the fallback timer reads (nullptr restores it).
void HostinfoSetTimeOfDaySource(uint64_t (*source)(void));
// Forgets the fallback timer's history.
void HostinfoResetFallbackTimer(void);

// Where the operating system's names come from. Tests point them at
// made-up release files and commands and at a made-up kernel.
struct HostinfoOSSources {
  std::string releaseRoot;  // put before every /etc/... release file
  std::string lsbCommand = "lsb_release -sd 2>/dev/null";
  bool fakeUname = false;  // use the three fields below instead of uname
  std::string sysname;
  std::string release;
  std::string machine;
};
// Replaces the sources (nullptr restores the host's own). Not while another
// thread works the names out.
void HostinfoSetOSSources(const HostinfoOSSources *sources);
// Works the names out afresh, without the caches; false when they cannot
// be determined.
bool HostinfoComputeOSNames(std::string *shortName, std::string *fullName);
// The short name of a distribution text; fallback when no rule knows it.
std::string HostinfoGetOSShortName(const std::string &distro, const std::string &fallback);

#endif
