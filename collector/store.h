// The base directory as a store of dumps: how much room is left on its file
// system, what it holds, and the pruning of a host's oldest dumps.
#ifndef TARNWELL_STORE_H
#define TARNWELL_STORE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Free space of the base directory's file system without a system call per
// request: the figure is read again once a second, and in between every
// byte written counts against it.
class FreeSpace {
 public:
  static constexpr uint64_t kRefreshMicros = 1'000'000;

  // measure, when given, replaces statvfs (for tests).
  FreeSpace(std::string dir, std::function<uint64_t()> now,
            std::function<uint64_t()> measure = nullptr)
      : dir_(std::move(dir)), now_(std::move(now)), measure_(std::move(measure)) {}
  // Bytes available to the collector (statvfs' f_bavail); UINT64_MAX when
  // the file system cannot tell.
  uint64_t Available();
  void Consumed(uint64_t bytes);

 private:
  std::string dir_;
  std::function<uint64_t()> now_;
  std::function<uint64_t()> measure_;
  uint64_t available_ = 0;
  uint64_t readAt_ = 0;
  bool read_ = false;
};

// The collector's own dump files under the base directory.
struct StoreCensus {
  uint64_t files = 0;
  uint64_t bytes = 0;
};
StoreCensus CountDumps(const std::string &baseDir);

// True for a name the collector gives a dump of sender ip:
// "zdump_A.B.C.D-YYYY-MM-DD-HH_MM-N".
bool IsDumpName(const std::string &name, uint32_t ip);

// Deletes the oldest (by modification time) of sender ip's finished dumps
// in dir beyond the newest keep, never one that busy() names (a dump in
// progress or one its script still works on) and never through a link.
// Each deletion, and each failure, is logged.
void PruneHostDumps(const std::string &dir, uint32_t ip, int32_t keep,
                    const std::function<bool(const std::string &)> &busy);

#endif  // TARNWELL_STORE_H
