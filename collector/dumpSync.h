// Puts finished dumps on stable storage away from the serving loop: a
// worker thread syncs each file's data and its directory entry while the
// loop goes on serving the other senders, and tells the loop through a
// descriptor that turns readable when syncs have completed.
//
// The worker is started by the first sync and leaves after a while without
// one, so that while dumps stream in the collector is a single thread: the
// kernel then skips reference counting in every system call on a
// descriptor, and serving is made of such calls.
//
// The worker only syncs: it never logs, allocates in the loop's place or
// closes a file, so the loop (and children forked from it) never wait on
// anything the worker holds.
#ifndef TARNWELL_DUMP_SYNC_H
#define TARNWELL_DUMP_SYNC_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DumpSyncer {
 public:
  struct Done {
    int32_t slot;
    int error;  // 0, or the errno of the failed sync
  };

  // How long the worker waits for another sync before it leaves.
  static constexpr std::chrono::milliseconds kLinger{2000};

  explicit DumpSyncer(std::chrono::milliseconds linger = kLinger);
  // Completes what was submitted, then stops the worker.
  ~DumpSyncer();
  DumpSyncer(const DumpSyncer &) = delete;
  DumpSyncer &operator=(const DumpSyncer &) = delete;

  // Syncs fd (which stays open and is not touched by the caller until the
  // slot is reported done) and then the directory dir.
  void Submit(int32_t slot, int fd, std::string dir);
  // Readable while completed syncs wait to be taken.
  int NotifyFd() const { return notify_; }
  std::vector<Done> TakeDone();
  // Blocks until everything submitted has been synced.
  void WaitIdle();
  // Whether the worker thread is there (it comes and goes).
  bool WorkerRunning();

 private:
  struct Job {
    int32_t slot;
    int fd;
    std::string dir;
  };
  // Syncs what is submitted until nothing comes for linger.
  void Run(std::chrono::milliseconds linger);

  const std::chrono::milliseconds linger_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  size_t busy_ = 0;
  bool stop_ = false;
  bool running_ = false;  // the worker has not decided to leave
  int notify_ = -1;
  std::thread worker_;  // touched only by the owner's thread
};

#endif  // TARNWELL_DUMP_SYNC_H
