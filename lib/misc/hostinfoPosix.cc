// Process and clock facts.

#include <brellis/hostinfo.h>

#include <ctime>
#include <sys/time.h>
#include <unistd.h>

extern "C" {

void HostinfoGetTimeOfDayMicros(uint64_t *micros) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  *micros = static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

uint64_t HostinfoSystemTimerPosix(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

int32_t Hostinfo_SystemThreadId(void) { return static_cast<int32_t>(gettid()); }

}  // extern "C"
