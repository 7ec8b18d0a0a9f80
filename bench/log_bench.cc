// Lines per second written to a file with the full prefix (time stamp with
// milliseconds and zone, thread name, level), from one thread and from four,
// against spdlog's synchronous file logger flushing every line: both hand
// every line to the kernel before the call returns.

#include <brellis/log.h>
#include <brellis/vthreadBase.h>

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef BRELLIS_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

// A scratch file that is gone when the process ends: it is unlinked as soon
// as the logger has it open.
std::string ScratchPath(const char *stem) {
  const char *tmp = getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/" + stem + "-" +
                     std::to_string(getpid()) + ".log";
  unlink(path.c_str());
  return path;
}

const char kPayload[] = "msg: type=2 len=1052 dataOffset=1048576 dataLength=1024";

void OpenOurs() {
  static const bool opened = [] {
    std::string path = ScratchPath("log_bench_ours");
    LogInitParams params;
    Log_GetInitDefaults(&params);
    params.fileName = path.c_str();
    params.fileNameAbsent = false;
    params.throttleBytesPerSec = -1;
    snprintf(params.systemLoggerID, sizeof params.systemLoggerID, "log_bench");
    bool ok = Log_InitWithParams(&params);
    unlink(path.c_str());
    return ok;
  }();
  if (!opened) {
    abort();
  }
}

void LogLineOurs(benchmark::State &state) {
  OpenOurs();
  VThreadBase_SetName(state.thread_index() == 0 ? "bench-main" : "bench-worker");
  int i = 0;
  for (auto _ : state) {
    Log_Info("ip:%x)%s %d\n", 0x7f000001u, kPayload, i++);
  }
  state.SetItemsProcessed(state.iterations());
}

#ifdef BRELLIS_HAVE_SPDLOG
spdlog::logger &Baseline() {
  static std::shared_ptr<spdlog::logger> logger = [] {
    std::string path = ScratchPath("log_bench_spdlog");
    auto made = spdlog::basic_logger_mt("baseline", path, true);
    unlink(path.c_str());
    made->set_pattern("%Y-%m-%dT%H:%M:%S.%e%z| %t| %L120: %v");
    made->flush_on(spdlog::level::trace);
    return made;
  }();
  return *logger;
}

void LogLineBaseline(benchmark::State &state) {
  spdlog::logger &logger = Baseline();
  int i = 0;
  for (auto _ : state) {
    logger.info("ip:{:x}){} {}", 0x7f000001u, kPayload, i++);
  }
  state.SetItemsProcessed(state.iterations());
}
#endif

BENCHMARK(LogLineOurs)->Name("LogLine/Ours");
BENCHMARK(LogLineOurs)->Name("LogLine/Ours")->Threads(4)->UseRealTime();
#ifdef BRELLIS_HAVE_SPDLOG
BENCHMARK(LogLineBaseline)->Name("LogLine/Baseline");
BENCHMARK(LogLineBaseline)->Name("LogLine/Baseline")->Threads(4)->UseRealTime();
#endif

}  // namespace
BENCHMARK_MAIN();
