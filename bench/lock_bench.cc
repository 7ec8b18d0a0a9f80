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
#include <string>
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

// Four threads taking turns on one lock around a short critical section,
// against the same with a bare POSIX mutex: the sleeping and waking paths.
MXUserExclLock *sharedExcl;
MXUserRecLock *sharedRec;
pthread_mutex_t sharedMutex = PTHREAD_MUTEX_INITIALIZER;
uint64_t sharedCounter;

void ExclLockContendedOurs(benchmark::State &state) {
  for (auto _ : state) {
    MXUser_AcquireExclLock(sharedExcl);
    sharedCounter = sharedCounter + 1;
    MXUser_ReleaseExclLock(sharedExcl);
  }
}

void RecLockContendedOurs(benchmark::State &state) {
  for (auto _ : state) {
    MXUser_AcquireRecLock(sharedRec);
    sharedCounter = sharedCounter + 1;
    MXUser_ReleaseRecLock(sharedRec);
  }
}

void MutexContendedBaseline(benchmark::State &state) {
  for (auto _ : state) {
    pthread_mutex_lock(&sharedMutex);
    sharedCounter = sharedCounter + 1;
    pthread_mutex_unlock(&sharedMutex);
  }
}

// Each case under its name, with "Multithreaded" added to the case when the
// process was made multi-threaded first, so that both runs fit in one table.
void RegisterAll(const std::string &suffix) {
  auto add = [&](const std::string &kase, const char *side, auto fn) {
    benchmark::RegisterBenchmark((kase + suffix + "/" + side).c_str(), fn);
  };
  add("ExclLock", "Ours", ExclLockOurs);
  add("ExclLock", "Baseline", MutexBaseline);
  add("RecLock", "Ours", RecLockOurs);
  add("RecLock", "Baseline", MutexBaseline);
  add("RWLockRead", "Ours", [](benchmark::State &state) { RWLockOurs(state, true); });
  add("RWLockRead", "Baseline", MutexBaseline);
  add("RWLockWrite", "Ours", [](benchmark::State &state) { RWLockOurs(state, false); });
  add("RWLockWrite", "Baseline", MutexBaseline);
  add("RWLockReadVsNativeRW", "Ours", [](benchmark::State &state) { RWLockOurs(state, true); });
  add("RWLockReadVsNativeRW", "Baseline",
      [](benchmark::State &state) { RwlockBaseline(state, true); });
  add("RWLockWriteVsNativeRW", "Ours", [](benchmark::State &state) { RWLockOurs(state, false); });
  add("RWLockWriteVsNativeRW", "Baseline",
      [](benchmark::State &state) { RwlockBaseline(state, false); });
  if (suffix.empty()) {
    sharedExcl = MXUser_CreateExclLock("contended", 0);
    sharedRec = MXUser_CreateRecLock("contended", 0);
    auto contended = [](const std::string &name, void (*fn)(benchmark::State &)) {
      benchmark::RegisterBenchmark(name.c_str(), fn)->Threads(4)->UseRealTime();
    };
    contended("ExclLockContended/Ours", ExclLockContendedOurs);
    contended("ExclLockContended/Baseline", MutexContendedBaseline);
    contended("RecLockContended/Ours", RecLockContendedOurs);
    contended("RecLockContended/Baseline", MutexContendedBaseline);
  }
}

}  // namespace

int main(int argc, char **argv) {
  int kept = 1;
  std::string suffix;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--multithreaded") == 0) {
      std::thread([] {}).join();
      suffix = "Multithreaded";
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  RegisterAll(suffix);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
