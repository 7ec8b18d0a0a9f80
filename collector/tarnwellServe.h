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
#include <vector>

#include "dumpProtocol.h"
#include "dumpSync.h"
#include "metrics.h"
#include "postProcess.h"
#include "senderFilter.h"
#include "store.h"

// One dump in progress. A slot of all zero bytes is free: the table is
// never written where no dump has been, so slots not in use cost no memory.
struct CoreDumpInfo {
  FileIODescriptor fd;     // the open dump file; invalid when the slot is free
  int64_t timestamp;       // of the init that took the slot; 0 = free for init
  uint32_t ip;             // sender, host byte order; 0 = not swept
  char *path;              // owned full path of the dump file
  int32_t slot;            // the slot's own index
  uint64_t lastActivity;   // monotonic microseconds of the last accepted request
  uint64_t end;            // the end of the data written so far
  int32_t syncing;         // 1 once done: the file is being put on stable storage
  int32_t lowSpaceLogged;  // 1 once a block was refused for the free-space floor
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
  // Operators' controls; the defaults leave the protocol as it is.
  SenderFilter allowed;          // every sender while empty
  uint64_t minFreeBytes = 0;     // free-space floor for new data; 0 = none
  int32_t keepDumpsPerHost = 0;  // finished dumps kept per sender; 0 = all
  bool syncOnDone = false;       // done is answered once the dump is synced
  // Free bytes of the base directory's file system; replaceable for tests.
  std::function<uint64_t()> measureFreeSpace;
};

// A reply held back until its dump was synced, with where it goes.
struct DeferredReply {
  uint32_t ip;
  uint16_t port;  // network byte order, as received
  uint8_t reply[DUMP_MSG_HEADER_SIZE];
};

class Collector {
 public:
  static constexpr uint64_t kIdleTimeoutMicros = 60'000'000;
  static constexpr uint64_t kSweepIntervalMicros = 5'000'000;
  static constexpr uint64_t kLowSpaceReportMicros = 10'000'000;

  explicit Collector(CollectorConfig config);
  ~Collector();
  Collector(const Collector &) = delete;
  Collector &operator=(const Collector &) = delete;

  // Allocates the slot table, all free; false when it cannot be had.
  bool AllocateSlots();

  // Handles one datagram from senderIp (host byte order). Returns true and
  // fills the 48-byte reply when one is to be sent now. With syncOnDone, the
  // reply to done is held back (false here) until CompleteSyncs gives it,
  // addressed to senderPort.
  bool HandleDatagram(const uint8_t *buf, size_t len, uint32_t senderIp, uint16_t senderPort,
                      uint8_t reply[DUMP_MSG_HEADER_SIZE]);
  bool HandleDatagram(const uint8_t *buf, size_t len, uint32_t senderIp,
                      uint8_t reply[DUMP_MSG_HEADER_SIZE]) {
    return HandleDatagram(buf, len, senderIp, 0, reply);
  }

  // Between BeginBatch and EndBatch, data blocks of one dump that follow each
  // other at adjacent offsets are written together with one vectored write.
  // Their replies, filled as success, are corrected if the write fails: by
  // the next request that does not continue the run, or by EndBatch at the
  // latest, which must come before the replies are sent. Requests are still
  // handled, logged and answered in their order.
  void BeginBatch() { batching_ = true; }
  void EndBatch() {
    FlushWrites();
    batching_ = false;
  }

  // Readable when dumps have been synced; -1 without syncOnDone.
  int SyncNotifyFd() const;
  // Finishes the dumps whose sync completed and returns the replies to
  // their done requests, to be sent now.
  std::vector<DeferredReply> CompleteSyncs();
  // Waits for every sync in progress, then as CompleteSyncs.
  std::vector<DeferredReply> FinishSyncs();
  // Syncs submitted whose completion CompleteSyncs has not yet taken.
  size_t SyncsPending() const;

  const CollectorStats &Stats() const { return stats_; }
  // Free bytes of the base directory's file system (read at most once a
  // second); UINT64_MAX when unknown.
  uint64_t FreeBytes() { return freeSpace_.Available(); }

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
  // HandleDone's answer when the reply waits for the dump's sync.
  static constexpr uint32_t kAwaitSync = 0xFFFFFFFFu;
  static constexpr size_t kMaxAwaitingReplies = 8;

  uint32_t HandleInit(const DumpMsgHeader &hdr, uint32_t ip, uint32_t *replySlot);
  uint32_t HandleData(const DumpMsgHeader &hdr, const uint8_t *payload, size_t payloadLen,
                      uint32_t ip, uint8_t *reply);
  // Writes one block and accounts for it; the status to answer.
  uint32_t WriteBlock(CoreDumpInfo *s, uint64_t offset, const uint8_t *payload, size_t len);
  // Whether the datagram continues the run of blocks not yet written.
  bool ContinuesRun(const uint8_t *buf, size_t len, uint32_t ip) const;
  // Writes the run of blocks not yet written and corrects their replies.
  void FlushWrites();
  uint32_t HandleDone(const DumpMsgHeader &hdr, uint32_t ip);
  // Closes a finished dump, prunes its sender's old dumps, hands it to the
  // script and frees its slot.
  void FinishDump(CoreDumpInfo *slot);
  bool Busy(const std::string &path) const;
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
  std::unique_ptr<DumpSyncer> syncer_;
  // Done requests waiting for their dump's sync, by slot.
  std::unordered_map<int32_t, std::vector<DeferredReply>> awaitingSync_;
  size_t syncsUnfinished_ = 0;
  FreeSpace freeSpace_;
  CollectorStats stats_;
  uint64_t lastLowSpaceReport_ = 0;
  uint64_t unreportedLowSpace_ = 0;
  uint32_t lastTracedMB_ = 0;
  uint64_t lastSweep_ = 0;

  // The run of adjacent blocks of one dump waiting to be written together;
  // the datagrams and replies it points into live until EndBatch.
  static constexpr size_t kMaxRun = 64;
  struct PendingBlock {
    const uint8_t *data;
    size_t len;
    uint8_t *reply;
  };
  struct PendingRun {
    CoreDumpInfo *slot = nullptr;
    uint32_t ip = 0;
    uint64_t offset = 0;     // of the first block
    uint64_t next = 0;       // where a block continuing the run starts
    uint64_t endBefore = 0;  // the slot's end before the run was taken in
    std::vector<PendingBlock> blocks;
  };
  bool batching_ = false;
  PendingRun run_;
};

#endif  // TARNWELL_TARNWELL_SERVE_H
