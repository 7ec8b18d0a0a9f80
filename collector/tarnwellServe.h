// The collector's side of the dump protocol: the slot table and the handling
// of one request. The socket loop (TarnwellServe) feeds datagrams in; tests
// drive the same code directly.
#ifndef TARNWELL_TARNWELL_SERVE_H
#define TARNWELL_TARNWELL_SERVE_H

#include <brellis/fileIO.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "dumpProtocol.h"
#include "postProcess.h"

// One dump in progress. A slot of all zero bytes is free: the table is
// never written where no dump has been, so slots not in use cost no memory.
struct CoreDumpInfo {
  FileIODescriptor fd;    // the open dump file; invalid when the slot is free
  int64_t timestamp;      // of the init that took the slot; 0 = free for init
  uint32_t ip;            // sender, host byte order; 0 = not swept
  char *path;             // owned full path of the dump file
  int32_t slot;           // the slot's own index
  uint64_t lastActivity;  // monotonic microseconds of the last accepted request
};

struct CollectorConfig {
  std::string coreDir;
  std::string logFile;
  const char *script = nullptr;  // post-processing script, or null
  int32_t numClients = 1024;
  int32_t maxScripts = 16;  // post-processing scripts running at once
  bool verbose = false;
  int socketFd = -1;  // closed in post-processing children
  // Monotonic microseconds; replaceable so the idle sweep can be tested.
  std::function<uint64_t()> now;
};

class Collector {
 public:
  static constexpr uint64_t kIdleTimeoutMicros = 60'000'000;
  static constexpr uint64_t kSweepIntervalMicros = 5'000'000;

  explicit Collector(CollectorConfig config);
  ~Collector();
  Collector(const Collector &) = delete;
  Collector &operator=(const Collector &) = delete;

  // Allocates the slot table, all free; false when it cannot be had.
  bool AllocateSlots();

  // Handles one datagram from senderIp (host byte order). Returns true and
  // fills the 48-byte reply when one is to be sent.
  bool HandleDatagram(const uint8_t *buf, size_t len, uint32_t senderIp,
                      uint8_t reply[DUMP_MSG_HEADER_SIZE]);

  // Drops slots idle for more than the timeout, removing their partial files.
  void IdleSweep();
  // Runs the sweep when the sweep interval has passed since the last one.
  void SweepIfDue();

  const CoreDumpInfo &Slot(int32_t index) const { return slots_[index]; }
  int32_t NumClients() const { return config_.numClients; }
  size_t SlotsInUse() const { return inUse_.size(); }
  // The post-processing of finished dumps; null without a script.
  PostProcessor *Scripts() { return scripts_.get(); }

 private:
  uint32_t HandleInit(const DumpMsgHeader &hdr, uint32_t ip, uint32_t *replySlot);
  uint32_t HandleData(const DumpMsgHeader &hdr, const uint8_t *payload, size_t payloadLen,
                      uint32_t ip);
  uint32_t HandleDone(const DumpMsgHeader &hdr, uint32_t ip);
  CoreDumpInfo *LookupSlot(const DumpMsgHeader &hdr, uint32_t ip, uint64_t *previousActivity);
  void ReleaseSlot(CoreDumpInfo *slot);
  void Trace(const DumpMsgHeader &hdr, size_t len, uint32_t ip);
  int32_t LowestFreeSlot() const;

  static uint64_t Key(uint32_t ip, int64_t timestamp) {
    return (static_cast<uint64_t>(ip) << 32) ^ static_cast<uint64_t>(timestamp);
  }

  CollectorConfig config_;
  CoreDumpInfo *slots_ = nullptr;
  // What the slot table holds, kept beside it so that finding a slot and
  // sweeping never visit slots not in use. Every slot at or above
  // highWater_ has never been used; freed_ holds the free ones below it.
  std::set<int32_t> inUse_;
  std::set<int32_t> freed_;
  int32_t highWater_ = 0;
  // (sender, timestamp) of every slot in use, for a repeated init; keys may
  // collide, so a hit is checked against the slot.
  std::unordered_multimap<uint64_t, int32_t> byDump_;
  std::unique_ptr<PostProcessor> scripts_;
  uint32_t lastTracedMB_ = 0;
  uint64_t lastSweep_ = 0;
};

#endif  // TARNWELL_TARNWELL_SERVE_H
