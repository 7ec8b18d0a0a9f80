#include "dumpSync.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "tarnwell.h"

DumpSyncer::DumpSyncer() {
  notify_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (notify_ < 0) {
    TarnwellFatal("Couldn't create the notification for dump syncs.\n");
  }
  worker_ = std::thread([this] { Run(); });
}

DumpSyncer::~DumpSyncer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  worker_.join();
  close(notify_);
}

void DumpSyncer::Submit(int32_t slot, int fd, std::string dir) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back({slot, fd, std::move(dir)});
    busy_++;
  }
  wake_.notify_one();
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

void DumpSyncer::Run() {
  // Signals are the serving loop's business.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) {
      return;  // stopping, and nothing left to sync
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
