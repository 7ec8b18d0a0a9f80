// Lock statistics: acquisition and hold times, contention counters and
// histograms, reported through the sink the owner of the process installs.
//
// Statistics cost time on every acquisition, so they are decided when a
// lock is made: a lock made while no sink is installed carries no record and
// pays one branch.

#include "lock/ulInt.h"

#include <brellis/str.h>
#include <brellis/util.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>

namespace {

constexpr uint32_t binsPerDecade = 100;
constexpr uint32_t histoDecades = 10;  // 1 ns to 10 s
constexpr uint64_t histoMinValue = 1;
constexpr int topSamples = 10;

struct BasicStats {
  const char *typeName;
  uint64_t numSamples;
  uint64_t minTime;
  uint64_t maxTime;
  uint64_t timeSum;
  double timeSquaredSum;  // squares of nanosecond times overflow 64 bits
};

struct Histogram {
  const char *typeName;
  uint64_t bins[binsPerDecade * histoDecades];
  struct {
    const void *caller;
    uint64_t value;
  } top[topSamples];
};

struct ContentionStats {
  uint64_t numAttempts;
  uint64_t numSuccesses;
  uint64_t numSuccessesContended;
  uint64_t successContentionTime;
  uint64_t totalContentionTime;
};

void BasicSample(BasicStats *stats, uint64_t value) {
  if (stats->numSamples == 0 || value < stats->minTime) {
    stats->minTime = value;
  }
  stats->maxTime = std::max(stats->maxTime, value);
  stats->numSamples++;
  stats->timeSum += value;
  stats->timeSquaredSum += static_cast<double>(value) * static_cast<double>(value);
}

uint32_t HistoBin(uint64_t value) {
  if (value < histoMinValue) {
    return 0;
  }
  uint64_t base = histoMinValue;
  for (uint32_t decade = 0; decade < histoDecades; decade++) {
    if (value < base * 10) {
      // Linear within the decade: 100 bins over [base, 10 * base).
      return decade * binsPerDecade +
             static_cast<uint32_t>((value - base) * binsPerDecade / (9 * base));
    }
    base *= 10;
  }
  return binsPerDecade * histoDecades - 1;
}

void HistoSample(Histogram *histo, uint64_t value, const void *caller) {
  histo->bins[HistoBin(value)]++;
  int smallest = 0;
  for (int i = 1; i < topSamples; i++) {
    if (histo->top[i].value < histo->top[smallest].value) {
      smallest = i;
    }
  }
  if (value > histo->top[smallest].value) {
    histo->top[smallest].caller = caller;
    histo->top[smallest].value = value;
  }
}

}  // namespace

struct MXUserLockStats {
  std::mutex guard;  // readers of a read-write lock record at the same time
  ContentionStats contention;
  BasicStats acquisition;
  Histogram acquisitionHisto;
  BasicStats held;
  Histogram heldHisto;
};

namespace {

struct Sink {
  void *context = nullptr;
  MXUserStatsFunc func = nullptr;
  char *line = nullptr;
  uint32_t lineSize = 0;
  uint32_t highestSerialReported = 0;
};

std::atomic<bool> statsOn{false};

Sink &TheSink() {
  static Sink *sink = new Sink;
  return *sink;
}

void CallSink(const Sink &sink, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  sink.func(sink.context, format, ap);
  va_end(ap);
}

// Lines are cut to the sink's buffer.
void StatsLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void StatsLine(const char *format, ...) {
  Sink &sink = TheSink();
  if (sink.func == nullptr || sink.lineSize == 0) {
    return;
  }
  va_list ap;
  va_start(ap, format);
  Str_Vsnprintf(sink.line, sink.lineSize, format, ap);
  va_end(ap);
  CallSink(sink, "%s", sink.line);
}

// Square root by Newton's iteration, to a change below 1e-10.
double NewtonSqrt(double x) {
  if (x <= 0) {
    return 0;
  }
  double guess = x >= 1 ? x / 2 : 1;
  for (int i = 0; i < 1000; i++) {
    double next = (guess + x / guess) / 2;
    double change = next > guess ? next - guess : guess - next;
    guess = next;
    if (change < 1e-10) {
      break;
    }
  }
  return guess;
}

void ReportBasic(uint32_t serial, const BasicStats &stats) {
  uint64_t mean = 0;
  uint64_t sd = 0;
  if (stats.numSamples > 0) {
    mean = stats.timeSum / stats.numSamples;
  }
  if (stats.numSamples > 1) {
    double n = static_cast<double>(stats.numSamples);
    double m = static_cast<double>(stats.timeSum) / n;
    // Rounding can leave a tiny negative variance for equal samples.
    double variance = (stats.timeSquaredSum - n * m * m) / (n - 1);
    sd = static_cast<uint64_t>(NewtonSqrt(variance) + 0.5);
  }
  StatsLine("MXUser: e l=%u t=%s c=%llu min=%llu max=%llu mean=%llu sd=%llu\n", serial,
            stats.typeName, static_cast<unsigned long long>(stats.numSamples),
            static_cast<unsigned long long>(stats.minTime),
            static_cast<unsigned long long>(stats.maxTime), static_cast<unsigned long long>(mean),
            static_cast<unsigned long long>(sd));
}

void ReportHisto(uint32_t serial, const Histogram &histo) {
  uint64_t maxValue = histoMinValue;
  for (uint32_t d = 0; d < histoDecades; d++) {
    maxValue *= 10;
  }
  StatsLine("MXUser: h l=%u t=%s min=%llu max=%llu\n", serial, histo.typeName,
            static_cast<unsigned long long>(histoMinValue),
            static_cast<unsigned long long>(maxValue));
  for (uint32_t i = 0; i < binsPerDecade * histoDecades; i++) {
    if (histo.bins[i] != 0) {
      StatsLine(" %u-%llu\n", i, static_cast<unsigned long long>(histo.bins[i]));
    }
  }
  StatsLine("MXUser: ht l=%u t=%s\n", serial, histo.typeName);
  for (const auto &sample : histo.top) {
    if (sample.value != 0) {
      StatsLine(" %p-%llu\n", sample.caller, static_cast<unsigned long long>(sample.value));
    }
  }
}

}  // namespace

uint64_t MXUserNowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

MXUserLockStats *MXUserStatsCreate() {
  if (!statsOn.load(std::memory_order_relaxed)) {
    return nullptr;
  }
  auto *stats =
      new (Util_SafeCalloc(-1, 1, sizeof(MXUserLockStats), __FILE__, __LINE__)) MXUserLockStats;
  stats->acquisition.typeName = "a";
  stats->acquisitionHisto.typeName = "a";
  stats->held.typeName = "h";
  stats->heldHisto.typeName = "h";
  return stats;
}

void MXUserStatsFree(MXUserLockStats *stats) {
  if (stats != nullptr) {
    stats->~MXUserLockStats();
    free(stats);
  }
}

uint64_t MXUserStatsAcquisition(MXUserLockStats *stats, uint64_t start, bool success,
                                bool contended, const void *caller) {
  uint64_t end = MXUserNowNs();
  uint64_t elapsed = end - start;
  std::lock_guard<std::mutex> hold(stats->guard);
  ContentionStats &c = stats->contention;
  c.numAttempts++;
  if (contended) {
    c.totalContentionTime += elapsed;
  }
  if (success) {
    c.numSuccesses++;
    if (contended) {
      c.numSuccessesContended++;
      c.successContentionTime += elapsed;
    }
    BasicSample(&stats->acquisition, elapsed);
    HistoSample(&stats->acquisitionHisto, elapsed, caller);
  }
  return end;
}

void MXUserStatsHeld(MXUserLockStats *stats, uint64_t holdStart, const void *caller) {
  uint64_t elapsed = MXUserNowNs() - holdStart;
  std::lock_guard<std::mutex> hold(stats->guard);
  BasicSample(&stats->held, elapsed);
  HistoSample(&stats->heldHisto, elapsed, caller);
}

void MXUserStatsReport(const MXUserHeader *header, MXUserLockStats *stats) {
  if (stats == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> hold(stats->guard);
  uint32_t serial = header->serialNumber;
  const ContentionStats &c = stats->contention;
  ReportBasic(serial, stats->acquisition);
  StatsLine("MXUser: ce l=%u a=%llu s=%llu sc=%llu sct=%llu t=%llu\n", serial,
            static_cast<unsigned long long>(c.numAttempts),
            static_cast<unsigned long long>(c.numSuccesses),
            static_cast<unsigned long long>(c.numSuccessesContended),
            static_cast<unsigned long long>(c.successContentionTime),
            static_cast<unsigned long long>(c.totalContentionTime));
  ReportHisto(serial, stats->acquisitionHisto);
  ReportBasic(serial, stats->held);
  ReportHisto(serial, stats->heldHisto);
}

extern "C" {

void MXUser_SetStatsFunc(void *context, uint32_t maxLineLength, MXUserStatsFunc statsFunc) {
  char *line = statsFunc != nullptr && maxLineLength > 0
                   ? static_cast<char *>(Util_SafeMalloc(-1, maxLineLength, __FILE__, __LINE__))
                   : nullptr;
  MXRecLock *listLock = MXUserListLock();
  MXRecLockAcquire(listLock);
  Sink &sink = TheSink();
  char *old = sink.line;
  sink.context = context;
  sink.func = statsFunc;
  sink.line = line;
  sink.lineSize = line != nullptr ? maxLineLength : 0;
  statsOn.store(statsFunc != nullptr);
  MXRecLockRelease(listLock);
  free(old);
}

void MXUser_PerLockData(void) {
  if (!statsOn.load()) {
    return;
  }
  MXRecLock *listLock = MXUserListLock();
  if (!MXRecLockTryAcquire(listLock)) {
    return;
  }
  Sink &sink = TheSink();
  MXUserHeader *anchor = MXUserListAnchor();
  uint32_t highest = sink.highestSerialReported;
  for (MXUserHeader *h = anchor->next; h != anchor; h = h->next) {
    if (h->serialNumber > sink.highestSerialReported) {
      StatsLine("MXUser: n n=%s l=%d r=0x%x\n", h->name, static_cast<int>(h->serialNumber),
                h->rank);
      highest = std::max(highest, h->serialNumber);
    }
    if (h->statsFunc != nullptr) {
      h->statsFunc(h);
    }
  }
  sink.highestSerialReported = highest;
  MXRecLockRelease(listLock);
}

}  // extern "C"
