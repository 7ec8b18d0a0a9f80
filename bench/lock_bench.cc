// Uncontended acquire and release of each lock kind, against a bare POSIX
// mutex (and, for the read-write lock, also a bare POSIX read-write lock).
//
// By default the process stays single-threaded, as the collector is. With
// --multithreaded a helper thread is started and joined first, so the
// process counts as multi-threaded for the rest of its life and every atomic
// update the locks make is paid in full.

#include <brellis/userlock.h>

#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstring>
#include <thread>

namespace {

void ExclLockOurs(benchmark::State &state) {
  MXUserExclLock *lock = MXUser_CreateExclLock("bench", 0);
  for (auto _ : state) {
    MXUser_AcquireExclLock(lock);
    MXUser_ReleaseExclLock(lock);
  }
  MXUser_DestroyExclLock(lock);
}

void RecLockOurs(benchmark::State &state) {
  MXUserRecLock *lock = MXUser_CreateRecLock("bench", 0);
  for (auto _ : state) {
    MXUser_AcquireRecLock(lock);
    MXUser_ReleaseRecLock(lock);
  }
  MXUser_DestroyRecLock(lock);
}

void RWLockOurs(benchmark::State &state, bool forRead) {
  MXUserRWLock *lock = MXUser_CreateRWLock("bench", 0);
  for (auto _ : state) {
    if (forRead) {
      MXUser_AcquireForRead(lock);
    } else {
      MXUser_AcquireForWrite(lock);
    }
    MXUser_ReleaseRWLock(lock);
  }
  MXUser_DestroyRWLock(lock);
}

void MutexBaseline(benchmark::State &state) {
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, nullptr);
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&mutex);
  }
  pthread_mutex_destroy(&mutex);
}

void RwlockBaseline(benchmark::State &state, bool forRead) {
  pthread_rwlock_t rw;
  pthread_rwlock_init(&rw, nullptr);
  for (auto _ : state) {
    if (forRead) {
      pthread_rwlock_rdlock(&rw);
    } else {
      pthread_rwlock_wrlock(&rw);
    }
    benchmark::ClobberMemory();
    pthread_rwlock_unlock(&rw);
  }
  pthread_rwlock_destroy(&rw);
}

BENCHMARK(ExclLockOurs)->Name("ExclLock/Ours");
BENCHMARK(MutexBaseline)->Name("ExclLock/Baseline");
BENCHMARK(RecLockOurs)->Name("RecLock/Ours");
BENCHMARK(MutexBaseline)->Name("RecLock/Baseline");
BENCHMARK_CAPTURE(RWLockOurs, read, true)->Name("RWLockRead/Ours");
BENCHMARK(MutexBaseline)->Name("RWLockRead/Baseline");
BENCHMARK_CAPTURE(RWLockOurs, write, false)->Name("RWLockWrite/Ours");
BENCHMARK(MutexBaseline)->Name("RWLockWrite/Baseline");
BENCHMARK_CAPTURE(RWLockOurs, read, true)->Name("RWLockReadVsNativeRW/Ours");
BENCHMARK_CAPTURE(RwlockBaseline, read, true)->Name("RWLockReadVsNativeRW/Baseline");
BENCHMARK_CAPTURE(RWLockOurs, write, false)->Name("RWLockWriteVsNativeRW/Ours");
BENCHMARK_CAPTURE(RwlockBaseline, write, false)->Name("RWLockWriteVsNativeRW/Baseline");

}  // namespace

int main(int argc, char **argv) {
  int kept = 1;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--multithreaded") == 0) {
      std::thread([] {}).join();
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
