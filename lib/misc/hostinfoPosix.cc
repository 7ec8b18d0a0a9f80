// Process, host and clock facts on POSIX.

#include <brellis/hostinfo.h>
#include <brellis/log.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "hostinfoInt.h"

namespace {

enum class TimerMode { Unknown, Monotonic, Fallback };

std::atomic<TimerMode> timerMode{TimerMode::Unknown};

struct FallbackTimer {
  std::mutex lock;
  int64_t timeOfDayAtResync = 0;
  int64_t valueAtResync = 0;
  int64_t lastValue = 0;
};

FallbackTimer &Fallback() {
  static FallbackTimer *timer = new FallbackTimer;
  return *timer;
}

HostinfoClockSource clockSource = nullptr;
uint64_t (*timeOfDaySource)(void) = nullptr;

bool ReadMonotonic(struct timespec *ts) {
  return clockSource != nullptr ? clockSource(ts) : clock_gettime(CLOCK_MONOTONIC, ts) == 0;
}

uint64_t FallbackTimerMicros() {
  FallbackTimer &t = Fallback();
  std::lock_guard<std::mutex> guard(t.lock);
  uint64_t now;
  if (timeOfDaySource != nullptr) {
    now = timeOfDaySource();
  } else {
    HostinfoGetTimeOfDayMicros(&now);
  }
  if (now == 0) {
    // No time to be had: repeat the last value rather than fall back to 0.
    return static_cast<uint64_t>(t.lastValue);
  }
  int64_t candidate = static_cast<int64_t>(now) - t.timeOfDayAtResync + t.valueAtResync;
  if (candidate < t.lastValue) {
    // The wall clock went back: carry on from the last value.
    t.timeOfDayAtResync = static_cast<int64_t>(now);
    t.valueAtResync = t.lastValue + 1;
    candidate = t.lastValue + 1;
  }
  t.lastValue = candidate;
  return static_cast<uint64_t>(candidate);
}

std::atomic<bool> threadIdFailed{false};

std::atomic<uint32_t> hostNameHash{0};
std::atomic<bool> hostNameHashValid{false};
std::atomic<uint64_t> hardwareId{0};
std::atomic<bool> hardwareIdValid{false};

// The first ethN interface's hardware address. Returns 0 and logs on an
// unexpected failure; interfaces that do not exist are skipped quietly.
uint64_t ObtainHardwareID() {
  for (unsigned i = 0; i < 8; i++) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
      int err = errno;
      Log_Info("%s unexpected failure: %d.\n", "ObtainHardwareID", err);
      Log_Info("%s ObtainHardwareID failure (%s); providing default.\n", "Hostinfo_MachineID",
               strerror(err));
      return 0;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    Str_Snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "eth%u", i);
    int rc = ioctl(sock, SIOCGIFHWADDR, &ifr);
    int err = errno;
    close(sock);
    if (rc == 0) {
      uint64_t id = 0;
      memcpy(&id, ifr.ifr_hwaddr.sa_data, 6);
      return id;
    }
    if (err != ENODEV) {
      Log_Info("%s unexpected failure: %d.\n", "ObtainHardwareID", err);
      Log_Info("%s ObtainHardwareID failure (%s); providing default.\n", "Hostinfo_MachineID",
               strerror(err));
      return 0;
    }
  }
  return 0;
}

}  // namespace

void HostinfoSetClockSource(HostinfoClockSource source) {
  clockSource = source;
  timerMode.store(TimerMode::Unknown);
}

void HostinfoSetTimeOfDaySource(uint64_t (*source)(void)) {
  timeOfDaySource = source;
}

void HostinfoResetFallbackTimer(void) {
  FallbackTimer &t = Fallback();
  std::lock_guard<std::mutex> guard(t.lock);
  t.timeOfDayAtResync = 0;
  t.valueAtResync = 0;
  t.lastValue = 0;
}

extern "C" {

void HostinfoGetTimeOfDayMicros(uint64_t *micros) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  *micros = static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

uint64_t HostinfoSystemTimerPosix(void) {
  struct timespec ts;
  TimerMode mode = timerMode.load(std::memory_order_relaxed);
  if (mode == TimerMode::Unknown) {
    if (ReadMonotonic(&ts)) {
      timerMode.store(TimerMode::Monotonic);
      return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    }
    int err = errno;
    timerMode.store(TimerMode::Fallback);
    if (err != ENOSYS && err != EINVAL) {
      Log_Info("%s: failure, err %d!\n", "HostinfoSystemTimerPosix", err);
    }
    mode = TimerMode::Fallback;
  }
  if (mode == TimerMode::Monotonic && ReadMonotonic(&ts)) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  }
  return FallbackTimerMicros() * 1000u;
}

uint64_t Hostinfo_MonotonicMicros(void) {
  return HostinfoSystemTimerPosix() / 1000;
}

int32_t Hostinfo_SystemThreadId(void) {
  if (!threadIdFailed.load(std::memory_order_relaxed)) {
    pid_t tid = gettid();
    if (tid > 0) {
      return static_cast<int32_t>(tid);
    }
    threadIdFailed.store(true);
  }
  return static_cast<int32_t>(getpid());
}

char *Hostinfo_HostName(void) {
  struct utsname un;
  if (uname(&un) != 0 || un.nodename[0] == '\0') {
    return nullptr;
  }
  struct hostent he;
  struct hostent *result = nullptr;
  char work[1024];
  int herr = 0;
  const char *name = un.nodename;
  if (gethostbyname_r(un.nodename, &he, work, sizeof work, &result, &herr) == 0 &&
      result != nullptr && result->h_name != nullptr) {
    name = result->h_name;
  }
  // Host names are ASCII in practice; the current encoding's conversion of
  // them is the identity.
  return Util_SafeStrdup(-1, name, __FILE__, __LINE__);
}

void Hostinfo_MachineID(uint32_t *hostNameHashOut, uint64_t *hostHardwareIDOut) {
  if (!hostNameHashValid.load(std::memory_order_acquire)) {
    uint32_t h = 0;
    char *name = Hostinfo_HostName();
    if (name == nullptr) {
      Log_Info("%s Hostinfo_HostName failure; providing default.\n", "Hostinfo_MachineID");
    } else {
      h = 5381;
      for (const char *p = name; *p != '\0'; p++) {
        h = h * 33 + static_cast<unsigned char>(*p);
      }
      free(name);
    }
    // Two threads may compute it at once; both get the same value.
    hostNameHash.store(h);
    hostNameHashValid.store(true, std::memory_order_release);
  }
  if (!hardwareIdValid.load(std::memory_order_acquire)) {
    hardwareId.store(ObtainHardwareID());
    hardwareIdValid.store(true, std::memory_order_release);
  }
  *hostNameHashOut = hostNameHash.load();
  *hostHardwareIDOut = hardwareId.load();
}

}  // extern "C"
