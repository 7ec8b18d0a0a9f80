#include "dumpSync.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "tarnwell.h"

DumpSyncer::DumpSyncer(std::chrono::milliseconds linger) : linger_(linger) {
  notify_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (notify_ < 0) {
    TarnwellFatal("Couldn't create the notification for dump syncs.\n");
  }
}

DumpSyncer::~DumpSyncer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) {
    worker_.join();
  }
  close(notify_);
}

void DumpSyncer::Submit(int32_t slot, int fd, std::string dir) {
  bool start;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back({slot, fd, std::move(dir)});
    busy_++;
    start = !running_;
    running_ = true;
  }
  if (!start) {
    wake_.notify_one();
    return;
  }
  // A worker that decided to leave takes no more jobs: it is at most
  // returning, so the wait for it is short.
  if (worker_.joinable()) {
    worker_.join();
  }
  // Signals are the serving loop's business: the worker starts with all of
  // them blocked, so that none is handled on it even before it runs.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  bool started = true;
  try {
    worker_ = std::thread([this] { Run(linger_); });
  } catch (const std::system_error &) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) {
    // No thread to be had (the process is at its limit): the loop syncs
    // this dump itself, with its signals let in, rather than leave it
    // unanswered.
    Run(std::chrono::milliseconds(0));
  }
}

bool DumpSyncer::WorkerRunning() {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

std::vector<DumpSyncer::Done> DumpSyncer::TakeDone() {
  uint64_t count;
  while (read(notify_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Done> out;
  out.swap(done_);
  return out;
}

void DumpSyncer::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return busy_ == 0; });
}

void DumpSyncer::Run(std::chrono::milliseconds linger) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, linger, [this] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) {
      running_ = false;  // stopping or idle: the next Submit starts another
      return;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    int error = 0;
    if (fsync(job.fd) != 0) {
      error = errno;
    } else {
      // The file's name must last as well as its contents.
      int dir = open(job.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0 || fsync(dir) != 0) {
        error = errno;
      }
      if (dir >= 0) {
        close(dir);
      }
    }
    lock.lock();
    done_.push_back({job.slot, error});
    busy_--;
    uint64_t one = 1;
    while (write(notify_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (busy_ == 0) {
      idle_.notify_all();
    }
  }
}
