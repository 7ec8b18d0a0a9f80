// Str_Snprintf against the platform's snprintf on the kinds of text the
// system formats: integers, strings, floats and positional arguments. Each
// kind runs the same corpus through both; bench/ratios.py pairs
// "<Kind>/Ours" with "<Kind>/Baseline".

#include <brellis/str.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

namespace {

struct Ours {
  template <class... A>
  int operator()(char *buf, size_t size, const char *format, A... args) const {
    return Str_Snprintf(buf, size, format, args...);
  }
};

struct Baseline {
  template <class... A>
  int operator()(char *buf, size_t size, const char *format, A... args) const {
    return snprintf(buf, size, format, args...);
  }
};

// Each corpus formats a handful of lines like the log and the collector
// write, with values that change from one iteration to the next.
template <class F>
int Integers(F f, char *buf, size_t size, uint32_t i) {
  int n = f(buf, size, "%d", static_cast<int>(i));
  n += f(buf, size, "slot %u of %u: fd=%d", i & 1023, 1024u, static_cast<int>(i % 977));
  n += f(buf, size, "offset=%llu len=%5u ip:%x)", 4096ULL * i, i % 65536, 0x7F000001u + i);
  n += f(buf, size, "%08X %-6d|%+ld", i * 2654435761u, -static_cast<int>(i), -42L * i);
  n += f(buf, size, "%u.%u.%u.%u:%d", i >> 24, (i >> 16) & 255, (i >> 8) & 255, i & 255, 6500);
  return n;
}

template <class F>
int Strings(F f, char *buf, size_t size, uint32_t i) {
  static const char *const names[] = {"vthread-1", "main", "collector",
                                      "a-rather-long-thread-name"};
  const char *name = names[i & 3];
  int n = f(buf, size, "%s", name);
  n += f(buf, size, "%s/%s/%s.%s", "/var/core", name, "dump", "core");
  n += f(buf, size, "[%-12s] %.4s: %s\n", name, "Info", "Received init request from sender");
  n += f(buf, size, "%c%s%c %20s|", '<', name, '>', name);
  return n;
}

template <class F>
int Floats(F f, char *buf, size_t size, uint32_t i) {
  double v = 1234.5678 + i * 0.37;
  int n = f(buf, size, "%f", v);
  n += f(buf, size, "%.2f MB/s", v / 3.0);
  n += f(buf, size, "%g", v * 1e-7);
  n += f(buf, size, "%.3e", v * 1e12);
  n += f(buf, size, "%10.1f%%", 100.0 * (i % 1000) / 1000.0);
  return n;
}

template <class F>
int Positional(F f, char *buf, size_t size, uint32_t i) {
  int n = f(buf, size, "%2$s %1$d", static_cast<int>(i), "files");
  n += f(buf, size, "%3$s: %1$*2$d bytes", static_cast<int>(i), 8, "written");
  n += f(buf, size, "%2$s=%1$u (%2$s)", i, "count");
  return n;
}

template <int (*Corpus)(Ours, char *, size_t, uint32_t)>
void RunOurs(benchmark::State &state) {
  char buf[256];
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Corpus(Ours{}, buf, sizeof buf, ++i));
    benchmark::ClobberMemory();
  }
}

template <int (*Corpus)(Baseline, char *, size_t, uint32_t)>
void RunBaseline(benchmark::State &state) {
  char buf[256];
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Corpus(Baseline{}, buf, sizeof buf, ++i));
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::RegisterBenchmark("Integers/Ours", RunOurs<Integers<Ours>>);
  benchmark::RegisterBenchmark("Integers/Baseline", RunBaseline<Integers<Baseline>>);
  benchmark::RegisterBenchmark("Strings/Ours", RunOurs<Strings<Ours>>);
  benchmark::RegisterBenchmark("Strings/Baseline", RunBaseline<Strings<Baseline>>);
  benchmark::RegisterBenchmark("Floats/Ours", RunOurs<Floats<Ours>>);
  benchmark::RegisterBenchmark("Floats/Baseline", RunBaseline<Floats<Baseline>>);
  benchmark::RegisterBenchmark("Positional/Ours", RunOurs<Positional<Ours>>);
  benchmark::RegisterBenchmark("Positional/Baseline", RunBaseline<Positional<Baseline>>);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
