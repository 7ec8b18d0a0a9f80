// The serving loop and the slot table.

#include "tarnwellServe.h"

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/hostinfo.h>
#include <brellis/log.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/timeutil.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "operatorSettings.h"
#include "serviceNotify.h"
#include "tarnwell.h"

Collector::Collector(CollectorConfig config)
    : config_(std::move(config)),
      freeSpace_(
          config_.coreDir, [this] { return config_.now(); }, config_.measureFreeSpace) {
  if (!config_.now) {
    config_.now = Hostinfo_MonotonicMicros;
  }
  if (config_.script != nullptr) {
    scripts_ = std::make_unique<PostProcessor>(config_.script, config_.logFile, config_.socketFd,
                                               config_.maxScripts);
  }
  if (config_.syncOnDone) {
    syncer_ = std::make_unique<DumpSyncer>();
  }
  run_.blocks.reserve(kMaxRun);
}

Collector::~Collector() {
  // The worker may still sync files of the table below.
  syncer_.reset();
  if (slots_ == nullptr) {
    return;
  }
  // Dumps still in progress stay on disk for the operator to look at.
  for (int32_t i : inUse_) {
    FileIO_Close(&slots_[i].fd);
    free(slots_[i].path);
  }
  free(slots_);
}

bool Collector::AllocateSlots() {
  if (config_.numClients <= 0) {
    return false;
  }
  // calloc refuses a count whose size cannot be represented, so a huge count
  // never yields a smaller table. Its memory comes zeroed without being
  // written, and zero is free: nothing touches a slot before it is used.
  slots_ = static_cast<CoreDumpInfo *>(
      calloc(static_cast<size_t>(config_.numClients), sizeof(CoreDumpInfo)));
  if (slots_ == nullptr) {
    return false;
  }
  lastSweep_ = config_.now();
  return true;
}

int32_t Collector::LowestFreeSlot() const {
  if (!freed_.empty()) {
    return *freed_.begin();
  }
  return highWater_ < config_.numClients ? highWater_ : -1;
}

void Collector::ReleaseSlot(CoreDumpInfo *slot) {
  auto index = static_cast<int32_t>(slot - slots_);
  auto range = byDump_.equal_range(Key(slot->ip, slot->timestamp));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == index) {
      byDump_.erase(it);
      break;
    }
  }
  inUse_.erase(index);
  freed_.insert(index);
  free(slot->path);
  memset(slot, 0, sizeof *slot);
  FileIO_Invalidate(&slot->fd);
}

void Collector::Trace(const DumpMsgHeader &hdr, size_t len, uint32_t ip) {
  uint32_t mb = hdr.dataOffset >> 20;
  if (hdr.msgType == DUMP_MSG_DATA && mb <= lastTracedMB_) {
    return;
  }
  lastTracedMB_ = mb;
  // Computed in 32 bits, as the figures always were.
  uint32_t end = hdr.dataOffset + static_cast<uint32_t>(len);
  Log_Info("ip:%x)msg: type=%d len=%d dataOffset=%d dataLength=%d kB=%d MB=%d\n", ip,
           static_cast<int>(hdr.msgType), static_cast<int>(len), static_cast<int>(hdr.dataOffset),
           static_cast<int>(hdr.dataLength), static_cast<int>(end >> 10),
           static_cast<int>(end >> 20));
}

bool Collector::HandleDatagram(const uint8_t *buf, size_t len, uint32_t ip, uint16_t port,
                               uint8_t reply[DUMP_MSG_HEADER_SIZE]) {
  if (!run_.blocks.empty() && !ContinuesRun(buf, len, ip)) {
    FlushWrites();
  }
  if (!config_.allowed.Allows(ip)) {
    // Not even looked at: nothing of it is trusted, and nothing answers.
    stats_.datagramsNotAllowed++;
    uint64_t count = 0;
    if (config_.allowed.NoteRefused(ip, config_.now(), &count)) {
      Log_Info(
          "Dropping datagrams from %u.%u.%u.%u: not an allowed sender (tarnwell.allowedSenders); "
          "%llu since the last report.\n",
          IP_OCTETS(ip), static_cast<unsigned long long>(count));
    }
    return false;
  }
  if (len < DUMP_MSG_HEADER_SIZE) {
    stats_.datagramsBad++;
    // Not a request at all; on UDP an empty datagram is no end of anything.
    Log_Info("ip:%x)Dropping a datagram of %d bytes, shorter than the %d-byte header.\n", ip,
             static_cast<int>(len), DUMP_MSG_HEADER_SIZE);
    return false;
  }
  DumpMsgHeader hdr;
  DumpMsg_Decode(buf, &hdr);
  if (config_.verbose) {
    Trace(hdr, len, ip);
  }
  if (hdr.magic != DUMP_MSG_MAGIC) {
    stats_.datagramsBad++;
    Log_Info("Bad magic:%#x. Expected:%#x\n", hdr.magic, DUMP_MSG_MAGIC);
    Log_Info("Skipping bad packet.\n");
    return false;
  }

  memcpy(reply, buf, DUMP_MSG_HEADER_SIZE);
  uint32_t status;
  uint32_t replySlot = hdr.slot;
  switch (hdr.msgType) {
    case DUMP_MSG_INIT:
      stats_.datagramsInit++;
      status = HandleInit(hdr, ip, &replySlot);
      break;
    case DUMP_MSG_DATA:
      stats_.datagramsData++;
      status = HandleData(hdr, buf + DUMP_MSG_HEADER_SIZE, len - DUMP_MSG_HEADER_SIZE, ip, reply);
      break;
    case DUMP_MSG_DONE:
      stats_.datagramsDone++;
      status = HandleDone(hdr, ip);
      break;
    case DUMP_MSG_STATUS_CHECK:
      stats_.datagramsStatusCheck++;
      if (config_.verbose) {
        Log_Info("ip:%x)message type: 'staus check'.\n", ip);
      }
      Log_Info("Posting back a status check reply to %u.%u.%u.%u\n", IP_OCTETS(ip));
      status = DUMP_STATUS_SUCCESS;
      break;
    default:
      stats_.datagramsOther++;
      Log_Info("ip:%x)Unknown message type:%d\n", ip, static_cast<int>(hdr.msgType));
      status = hxk_not_supported;
      break;
  }
  bool deferred = status == kAwaitSync;
  if (deferred) {
    status = DUMP_STATUS_SUCCESS;
  }
  DumpMsg_PutU32(reply + DUMP_MSG_OFF_STATUS, status);
  DumpMsg_PutU32(reply + DUMP_MSG_OFF_SLOT, replySlot);
  if (deferred) {
    // Answered when the dump is on stable storage. A sender that repeats
    // done meanwhile gets an answer to each, up to a few.
    std::vector<DeferredReply> &waiting = awaitingSync_[static_cast<int32_t>(hdr.dumpId)];
    if (waiting.size() < kMaxAwaitingReplies) {
      DeferredReply r{ip, port, {}};
      memcpy(r.reply, reply, sizeof r.reply);
      waiting.push_back(r);
    }
    return false;
  }
  if (config_.verbose) {
    Log_Info("ip:%x)Sending reply with status %#x\n", ip, status);
  }
  return true;
}

uint32_t Collector::HandleInit(const DumpMsgHeader &hdr, uint32_t ip, uint32_t *replySlot) {
  if (config_.verbose) {
    Log_Info("ip:%x)msg type: 'init'.\n", ip);
  }
  if (hdr.timestamp == 0) {
    // A slot holding timestamp 0 counts as free and would be taken again,
    // leaking its open file.
    Log_Info("ip:%x)Refusing init with timestamp 0: a dump needs a non-zero timestamp.\n", ip);
    return hxk_failure;
  }

  // A slot already held by this dump wins over the lowest free one.
  auto range = byDump_.equal_range(Key(ip, hdr.timestamp));
  for (auto it = range.first; it != range.second; ++it) {
    const CoreDumpInfo &s = slots_[it->second];
    if (s.ip == ip && s.timestamp == hdr.timestamp) {
      Log_Info("IP (%u.%u.%u.%u) and timestamp (%lld) match slot %d. Using old core file.\n",
               IP_OCTETS(ip), static_cast<long long>(hdr.timestamp), it->second);
      *replySlot = static_cast<uint32_t>(s.slot);
      return DUMP_STATUS_SUCCESS;
    }
  }
  if (config_.minFreeBytes != 0 && freeSpace_.Available() < config_.minFreeBytes) {
    // The host tries again later; the floor never removes anything itself.
    stats_.refusedLowSpace++;
    unreportedLowSpace_++;
    uint64_t now = config_.now();
    if (lastLowSpaceReport_ == 0 || now - lastLowSpaceReport_ >= kLowSpaceReportMicros) {
      Log_Info(
          "Refusing a new dump from %u.%u.%u.%u: %llu MB free in %s, below the floor of %llu MB "
          "(tarnwell.minFreeSpaceMB); %llu refused since the last report. Returning "
          "hxk_limit_exceeded.\n",
          IP_OCTETS(ip), static_cast<unsigned long long>(freeSpace_.Available() >> 20),
          config_.coreDir.c_str(), static_cast<unsigned long long>(config_.minFreeBytes >> 20),
          static_cast<unsigned long long>(unreportedLowSpace_));
      lastLowSpaceReport_ = now == 0 ? 1 : now;
      unreportedLowSpace_ = 0;
    }
    return hxk_limit_exceeded;
  }
  int32_t index = LowestFreeSlot();
  if (index < 0) {
    stats_.refusedNoSlot++;
    Log_Info("Didn't find an index. Returning hxk_limit_exceeded.\n");
    return hxk_limit_exceeded;
  }
  if (config_.verbose) {
    Log_Info("ip:%x)Using coredump index %d.\n", ip, index);
  }

  char *dir =
      Str_Asprintf(nullptr, "%s%s%u%s%u%s%u%s%u", config_.coreDir.c_str(), pathsep, ip >> 24,
                   pathsep, (ip >> 16) & 0xFF, pathsep, (ip >> 8) & 0xFF, pathsep, ip & 0xFF);
  if (dir == nullptr) {
    TarnwellFatal("Out of memory. Couldn't allocate space for core dir path.\n");
  }
  if (!File_CreateDirectoryHierarchy(dir, nullptr)) {
    Log_Info("Error creating directory \"%s\"\n", dir);
  }
  TimeUtil_Date date;
  TimeUtil_GetBrokenDownTime(true, &date);

  CoreDumpInfo &slot = slots_[index];
  FileIO_Invalidate(&slot.fd);  // a slot never used is all zero
  char name[TARNWELL_PATH_MAX];
  FileIOResult result = FILEIO_ERROR;
  for (int counter = 0; counter < 256; counter++) {
    int n = Str_Snprintf(name, sizeof name, "%s%szdump_%d.%d.%d.%d-%d-%02d-%02d-%02d_%02d-%d", dir,
                         pathsep, IP_OCTETS(ip), date.year, date.month, date.day, date.hour,
                         date.minute, counter);
    if (n < 0) {
      // Never create a file under a name cut short: it would be another name.
      result = FILEIO_FILE_NAME_TOO_LONG;
      break;
    }
    result = FileIO_Create(&slot.fd, name, FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE,
                           FILEIO_OPEN_CREATE_SAFE, 0555);
    if (result == FILEIO_OPEN_ERROR_EXIST) {
      if (config_.verbose) {
        Log_Info("File name %s exists, trying next one.\n", name);
      }
      result = FILEIO_ERROR;  // what is reported if every name is taken
      continue;
    }
    break;
  }
  free(dir);

  if (result == FILEIO_SUCCESS) {
    Log_Info("Opened new coredump file:%s for %u.%u.%u.%u in slot %d.\n", name, IP_OCTETS(ip),
             index);
    slot.path = Str_SafeAsprintf(nullptr, "%s", name);
    slot.ip = ip;
    slot.timestamp = hdr.timestamp;
    slot.slot = index;
    slot.lastActivity = config_.now();
    inUse_.insert(index);
    if (index == highWater_) {
      highWater_++;
    } else {
      freed_.erase(index);
    }
    byDump_.emplace(Key(ip, hdr.timestamp), index);
    *replySlot = static_cast<uint32_t>(index);
    stats_.dumpsStarted++;
    return DUMP_STATUS_SUCCESS;
  }
  stats_.refusedCreateFailed++;
  Log_Info(
      "Error opening new file %s (%s). Make sure that you have permissions to create files in "
      "%s directory\n",
      name, FileIO_MsgError(result), config_.coreDir.c_str());
  if (result == FILEIO_ERROR) {
    Log_Info("Got FILEIO_ERROR while creating file. returning hxk_limit_exceeded.\n");
    return hxk_limit_exceeded;
  }
  return hxk_failure;
}

CoreDumpInfo *Collector::LookupSlot(const DumpMsgHeader &hdr, uint32_t ip,
                                    uint64_t *previousActivity) {
  if (hdr.dumpId >= static_cast<uint32_t>(config_.numClients)) {
    Log_Info("ip:%x)Invalid dumpID %d\n", ip, static_cast<int>(hdr.dumpId));
    return nullptr;
  }
  // A slot never used is all zero; it is judged as such without being
  // read, so that requests for slots never used leave the table untouched.
  static const CoreDumpInfo kNeverUsed{};
  bool used = hdr.dumpId < static_cast<uint32_t>(highWater_);
  const CoreDumpInfo &s = used ? slots_[hdr.dumpId] : kNeverUsed;
  if (s.ip != ip) {
    Log_Info("Invalid IP for slot:%d. msg IP:%u.%u.%u.%u != saved IP:%u.%u.%u.%u.\n", s.slot,
             IP_OCTETS(ip), IP_OCTETS(s.ip));
    return nullptr;
  }
  if (s.timestamp != hdr.timestamp || s.timestamp == 0) {
    Log_Info("%u.%u.%u.%u)Invalid timestamp for slot:%d. msg TS:%lld !=  saved TS:%lld.\n",
             IP_OCTETS(s.ip), s.slot, static_cast<long long>(hdr.timestamp),
             static_cast<long long>(s.timestamp));
    return nullptr;
  }
  // A free slot has timestamp 0, so only a slot in use gets here.
  CoreDumpInfo &inUse = slots_[hdr.dumpId];
  if (previousActivity != nullptr) {
    *previousActivity = inUse.lastActivity;
  }
  inUse.lastActivity = config_.now();
  return &inUse;
}

uint32_t Collector::HandleData(const DumpMsgHeader &hdr, const uint8_t *payload, size_t payloadLen,
                               uint32_t ip, uint8_t *reply) {
  uint64_t previous = 0;
  CoreDumpInfo *s = LookupSlot(hdr, ip, &previous);
  if (s == nullptr) {
    return hxk_bad_param;
  }
  if (s->syncing) {
    return hxk_bad_param;  // after done: the file is no longer written
  }
  if (hdr.dataLength > payloadLen) {
    FlushWrites();  // the run's failures are told before this one
    Log_Info("dataLength (%u) bigger than it should be (%u).\n", hdr.dataLength,
             static_cast<unsigned>(payloadLen));
    return hxk_io_error;
  }
  uint64_t end = static_cast<uint64_t>(hdr.dataOffset) + payloadLen;
  uint64_t growth = end > s->end ? end - s->end : 0;
  if (config_.minFreeBytes != 0 && growth != 0 &&
      freeSpace_.Available() < config_.minFreeBytes + growth) {
    FlushWrites();
    stats_.writeErrors++;
    if (!s->lowSpaceLogged) {
      Log_Info(
          "Refusing data for %s: %llu MB free in %s, the floor is %llu MB "
          "(tarnwell.minFreeSpaceMB). Returning hxk_io_error for the blocks that do not fit.\n",
          s->path, static_cast<unsigned long long>(freeSpace_.Available() >> 20),
          config_.coreDir.c_str(), static_cast<unsigned long long>(config_.minFreeBytes >> 20));
      s->lowSpaceLogged = 1;
    }
    return hxk_io_error;
  }
  if (batching_ && !config_.verbose && reply != nullptr) {
    // Taken into the run (HandleDatagram has already written out a run this
    // block does not continue); written when the run ends.
    if (run_.blocks.empty()) {
      run_.slot = s;
      run_.ip = ip;
      run_.offset = hdr.dataOffset;
      run_.endBefore = s->end;
    }
    run_.blocks.push_back({payload, payloadLen, reply});
    run_.next = end;
    freeSpace_.Consumed(growth);
    s->end = std::max(s->end, end);
    return DUMP_STATUS_SUCCESS;
  }
  uint32_t status = WriteBlock(s, hdr.dataOffset, payload, payloadLen);
  if (status == DUMP_STATUS_SUCCESS) {
    freeSpace_.Consumed(growth);
    s->end = std::max(s->end, end);
    if (config_.verbose) {
      Log_Info("ip:%x)Wrote %d bytes to file @ %d (%llu usec since last)\n", ip,
               static_cast<int>(payloadLen), static_cast<int>(hdr.dataOffset),
               static_cast<unsigned long long>(s->lastActivity - previous));
    }
  }
  return status;
}

uint32_t Collector::WriteBlock(CoreDumpInfo *s, uint64_t offset, const uint8_t *payload,
                               size_t len) {
  size_t written = len;
  stats_.writeCalls++;
  // One positioned write per block. Only when it fails is the block written
  // again by seek and write, which tell how far the file took it.
  if (FileIO_Pwrite(&s->fd, payload, len, offset) != FILEIO_SUCCESS) {
    if (FileIO_Seek(&s->fd, static_cast<int64_t>(offset), FILEIO_SEEK_BEGIN) < 0) {
      Log_Info("Error seeking in file (%s)\n", s->path);
      stats_.writeErrors++;
      return hxk_io_error;
    }
    written = 0;
    FileIO_Write(&s->fd, payload, len, &written);
  }
  if (written != len) {
    stats_.writeErrors++;
    Log_Info(
        "Error: did not write full buffer to file (%s). Tried to write %u bytes. Only %u "
        "written.\n",
        s->path, static_cast<unsigned>(len), static_cast<unsigned>(written));
    return hxk_io_error;
  }
  stats_.bytesWritten += len;
  return DUMP_STATUS_SUCCESS;
}

bool Collector::ContinuesRun(const uint8_t *buf, size_t len, uint32_t ip) const {
  return run_.blocks.size() < kMaxRun && len > DUMP_MSG_HEADER_SIZE && ip == run_.ip &&
         DumpMsg_GetU32(buf + DUMP_MSG_OFF_MAGIC) == DUMP_MSG_MAGIC &&
         DumpMsg_GetU32(buf + DUMP_MSG_OFF_MSG_TYPE) == DUMP_MSG_DATA &&
         DumpMsg_GetU32(buf + DUMP_MSG_OFF_DUMP_ID) == static_cast<uint32_t>(run_.slot->slot) &&
         DumpMsg_GetI64(buf + DUMP_MSG_OFF_TIMESTAMP) == run_.slot->timestamp &&
         DumpMsg_GetU32(buf + DUMP_MSG_OFF_DATA_OFFSET) == run_.next;
}

void Collector::FlushWrites() {
  if (run_.blocks.empty()) {
    return;
  }
  CoreDumpInfo *s = run_.slot;
  if (run_.blocks.size() > 1) {
    struct iovec iov[kMaxRun];
    size_t total = 0;
    for (size_t i = 0; i < run_.blocks.size(); i++) {
      iov[i] = {const_cast<uint8_t *>(run_.blocks[i].data), run_.blocks[i].len};
      total += run_.blocks[i].len;
    }
    ssize_t n;
    do {
      n = pwritev(s->fd.posix, iov, static_cast<int>(run_.blocks.size()),
                  static_cast<off_t>(run_.offset));
    } while (n < 0 && errno == EINTR);
    stats_.writeCalls++;
    if (n >= 0 && static_cast<size_t>(n) == total) {
      stats_.bytesWritten += total;
      run_.blocks.clear();
      return;
    }
  }
  // One block, or a vectored write that fell short: block by block, so that
  // every reply tells how its own block fared.
  s->end = run_.endBefore;
  uint64_t offset = run_.offset;
  for (const PendingBlock &b : run_.blocks) {
    uint32_t status = WriteBlock(s, offset, b.data, b.len);
    offset += b.len;
    if (status == DUMP_STATUS_SUCCESS) {
      s->end = std::max(s->end, offset);
    } else {
      DumpMsg_PutU32(b.reply + DUMP_MSG_OFF_STATUS, status);
    }
  }
  run_.blocks.clear();
}

uint32_t Collector::HandleDone(const DumpMsgHeader &hdr, uint32_t ip) {
  if (config_.verbose) {
    Log_Info("ip:%x)message type: 'done'.\n", ip);
  }
  CoreDumpInfo *s = LookupSlot(hdr, ip, nullptr);
  if (s == nullptr) {
    return DUMP_STATUS_SUCCESS;
  }
  if (s->syncing) {
    return kAwaitSync;  // done repeated while the file is synced
  }
  Log_Info("Dump finished successfully for %u.%u.%u.%u, slot %d, file:%s.\n", IP_OCTETS(ip),
           static_cast<int>(hdr.dumpId), s->path);
  stats_.dumpsCompleted++;
  if (syncer_ != nullptr) {
    s->syncing = 1;
    std::string path = s->path;
    syncer_->Submit(s->slot, s->fd.posix, path.substr(0, path.rfind(pathsep[0]) + 1));
    syncsUnfinished_++;
    return kAwaitSync;
  }
  FinishDump(s);
  return DUMP_STATUS_SUCCESS;
}

void Collector::FinishDump(CoreDumpInfo *s) {
  if (FileIO_Close(&s->fd)) {
    Log_Info("Error closing file (%s)\n", s->path);
  }
  if (config_.keepDumpsPerHost > 0) {
    std::string path = s->path;
    // The dump just finished counts among the kept: it is the newest.
    PruneHostDumps(path.substr(0, path.rfind(pathsep[0])), s->ip, config_.keepDumpsPerHost,
                   [this, &path](const std::string &p) { return p != path && Busy(p); });
  }
  if (scripts_ != nullptr) {
    scripts_->Submit(s->ip, s->slot, s->path);
  }
  ReleaseSlot(s);
}

bool Collector::Busy(const std::string &path) const {
  for (int32_t i : inUse_) {
    if (slots_[i].path != nullptr && path == slots_[i].path) {
      return true;
    }
  }
  return scripts_ != nullptr && scripts_->Busy(path);
}

int Collector::SyncNotifyFd() const {
  return syncer_ != nullptr ? syncer_->NotifyFd() : -1;
}

size_t Collector::SyncsPending() const {
  return syncsUnfinished_;
}

std::vector<DeferredReply> Collector::CompleteSyncs() {
  std::vector<DeferredReply> replies;
  if (syncer_ == nullptr) {
    return replies;
  }
  for (const DumpSyncer::Done &d : syncer_->TakeDone()) {
    syncsUnfinished_--;
    CoreDumpInfo *s = &slots_[d.slot];
    auto waiting = awaitingSync_.find(d.slot);
    if (d.error != 0) {
      // Not on stable storage: the sender must not be told it is.
      Log_Info("Error syncing file (%s): %s. Answering done with hxk_io_error.\n", s->path,
               Err_Errno2String(d.error));
    }
    if (waiting != awaitingSync_.end()) {
      for (DeferredReply &r : waiting->second) {
        if (d.error != 0) {
          DumpMsg_PutU32(r.reply + DUMP_MSG_OFF_STATUS, hxk_io_error);
        }
        replies.push_back(r);
      }
      awaitingSync_.erase(waiting);
    }
    FinishDump(s);
  }
  return replies;
}

std::vector<DeferredReply> Collector::FinishSyncs() {
  if (syncer_ != nullptr) {
    syncer_->WaitIdle();
  }
  return CompleteSyncs();
}

void Collector::IdleSweep() {
  uint64_t now = config_.now();
  lastSweep_ = now;
  if (scripts_ != nullptr) {
    scripts_->Pump();  // a dump whose fork failed is tried again
  }
  for (auto next = inUse_.begin(); next != inUse_.end();) {
    int32_t i = *next++;  // releasing the slot removes i from the set
    CoreDumpInfo &s = slots_[i];
    uint64_t idle = now - s.lastActivity;
    if (idle <= kIdleTimeoutMicros || s.syncing) {
      continue;
    }
    stats_.dumpsDroppedIdle++;
    Log_Info(
        "Client at %u.%u.%u.%u has been idle for %d seconds. Timeout is %d seconds. Removing "
        "partial dump %s from slot %d.\n",
        IP_OCTETS(s.ip), static_cast<int>(idle / 1000000),
        static_cast<int>(kIdleTimeoutMicros / 1000000), s.path, i);
    if (FileIO_Close(&s.fd)) {
      Log_Info("Error closing file (%s)\n", s.path);
    }
    // Only the name we created goes; a link planted there is not followed.
    if (File_UnlinkNoFollow(s.path) != 0) {
      Log_Info("Failed to unlink file (%s).\n", s.path);
    }
    ReleaseSlot(&s);
  }
}

void Collector::SweepIfDue() {
  if (config_.now() - lastSweep_ >= kSweepIntervalMicros) {
    IdleSweep();
  }
}

namespace {

// Tells the operator who runs the collector in the foreground where it
// serves and where everything goes; from here on the log follows on
// standard error, as a terminal or a supervisor expects.
void AnnounceInForeground(int32_t maxScripts) {
  if (daemonize) {
    return;
  }
  char where[32];
  Str_Sprintf(where, sizeof where, "%u.%u.%u.%u", tarnwellIpAddr[0], tarnwellIpAddr[1],
              tarnwellIpAddr[2], tarnwellIpAddr[3]);
  fprintf(stderr,
          "tarnwell: listening on UDP %s:%d%s\n"
          "tarnwell: dumps go to %s%s<sender address>/, up to %d at once\n"
          "tarnwell: log: %s\n",
          where, tarnwellPort, strcmp(where, "0.0.0.0") == 0 ? " (every local address)" : "",
          tarnwellCoreDir, pathsep, numClients, tarnwellLogFile);
  if (postProcessScriptGiven) {
    fprintf(stderr, "tarnwell: finished dumps go to %s, %d scripts at most at once\n",
            postProcessScript, maxScripts);
  }
  fprintf(stderr, "tarnwell: stop with Ctrl-C or SIGTERM; the log follows here\n");
  fflush(stderr);
  Log_CopyToStderr();
  logOnStderr = true;
}

// Receive errors the kernel reports when it is short of memory for a
// moment: serving goes on. Reported once a second at most, with a count.
void ReportTransientReceiveError(int err) {
  static uint64_t lastReport;
  static uint32_t unreported;
  unreported++;
  uint64_t now = Hostinfo_MonotonicMicros();
  if (lastReport == 0 || now - lastReport >= 1'000'000) {
    Log_Info("Recvfrom error:%s (%u times). Serving on.\n", Err_Errno2String(err), unreported);
    lastReport = now;
    unreported = 0;
  }
  // Give the kernel a moment instead of asking again at once.
  struct timespec pause = {0, 1'000'000};
  nanosleep(&pause, nullptr);
}

bool TransientReceiveError(int err) {
  return err == ENOMEM || err == ENOBUFS;
}

// Every slot may have a block in flight at once: the receive buffer is made
// to hold one datagram of each, as far as the system allows (root may pass
// the system's limit), unless the operator says otherwise.
void SizeReceiveBuffer(int sock) {
  int32_t kb = tarnwellOperatorSettings.socketBufferKB;
  int64_t wanted = kb > 0 ? int64_t{kb} * 1024 : int64_t{numClients} * DUMP_MSG_MAX_DATAGRAM;
  int size = static_cast<int>(std::min<int64_t>(wanted, INT32_MAX / 2));
  if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  int got = 0;
  socklen_t len = sizeof got;
  getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &got, &len);
  // The kernel reports twice what it was given: half is its bookkeeping.
  Log_Info("Receive buffer: %d KiB for datagrams (asked for %d KiB%s; tarnwell.socketBufferKB).\n",
           got / 2 / 1024, size / 1024, kb > 0 ? "" : ", one datagram per slot");
}

// A stop signal wakes the loop with an empty datagram to the loop's own
// socket, whatever it waits in: the datagram stays queued if the signal comes
// just before the wait, so no stop is missed between the look at the flag and
// the wait, without blocking signals around every wait.
std::atomic<int> wakeSocket{-1};
struct sockaddr_in wakeAddress;

// Datagrams taken and answered in batches.
class Batch {
 public:
  static constexpr unsigned kSize = 64;

  Batch() : buffers_(kSize * kBufferSize), replies_(kSize * DUMP_MSG_HEADER_SIZE) {
    for (unsigned i = 0; i < kSize; i++) {
      inIov_[i] = {&buffers_[i * kBufferSize], DUMP_MSG_MAX_DATAGRAM};
      in_[i].msg_hdr = {};
      in_[i].msg_hdr.msg_iov = &inIov_[i];
      in_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  // Takes what is queued, up to a batch. Without wait: the count, 0 when
  // nothing was queued (or a signal came), -1 with errno on failure. With
  // wait: blocks until one datagram comes, or the socket's receive timeout
  // passes (-1 with EAGAIN), or a signal comes (-1 with EINTR).
  // At most `most` datagrams are taken.
  int Receive(int sock, bool wait = false, unsigned most = kSize) {
    for (unsigned i = 0; i < most; i++) {
      in_[i].msg_hdr.msg_name = &from_[i];
      in_[i].msg_hdr.msg_namelen = sizeof from_[i];
    }
    answered_ = 0;
    int n = recvmmsg(sock, in_, most, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    if (!wait && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return 0;
    }
    return n;
  }
  const uint8_t *Data(int i) const { return &buffers_[static_cast<size_t>(i) * kBufferSize]; }
  size_t Length(int i) const { return in_[i].msg_len; }
  uint32_t SenderIp(int i) const { return ntohl(from_[i].sin_addr.s_addr); }
  uint16_t SenderPort(int i) const { return from_[i].sin_port; }
  // Whether request i is the empty datagram a stop signal sends the loop.
  bool IsWakeUp(int i, const struct sockaddr_in &self) const {
    return in_[i].msg_len == 0 && from_[i].sin_port == self.sin_port &&
           from_[i].sin_addr.s_addr == self.sin_addr.s_addr;
  }

  // Where the reply to the next answered request is built.
  uint8_t *NextReply() { return &replies_[answered_ * DUMP_MSG_HEADER_SIZE]; }
  // The reply built at NextReply goes to the sender of request i.
  void Answer(int i) {
    outIov_[answered_] = {NextReply(), DUMP_MSG_HEADER_SIZE};
    out_[answered_].msg_hdr = {};
    out_[answered_].msg_hdr.msg_name = &from_[i];
    out_[answered_].msg_hdr.msg_namelen = in_[i].msg_hdr.msg_namelen;
    out_[answered_].msg_hdr.msg_iov = &outIov_[answered_];
    out_[answered_].msg_hdr.msg_iovlen = 1;
    answered_++;
  }

  // Sends the answered_ in the order of their requests. One that cannot be
  // sent is logged and passed over, as a single send would be.
  void SendReplies(int sock) {
    unsigned sent = 0;
    while (sent < answered_) {
      int n = sendmmsg(sock, out_ + sent, answered_ - sent, 0);
      if (n > 0) {
        sent += static_cast<unsigned>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      Log_Info("Error sending reply: %s.\n", Err_Errno2String(errno));
      sent++;
    }
    answered_ = 0;
  }

 private:
  // A longer datagram is cut at the largest size the protocol uses.
  static constexpr size_t kBufferSize = DUMP_MSG_MAX_DATAGRAM;
  std::vector<uint8_t> buffers_;
  std::vector<uint8_t> replies_;
  struct mmsghdr in_[kSize];
  struct iovec inIov_[kSize];
  struct sockaddr_in from_[kSize];
  struct mmsghdr out_[kSize];
  struct iovec outIov_[kSize];
  unsigned answered_ = 0;
};

void SendDeferred(int sock, const DeferredReply &r) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(r.ip);
  to.sin_port = r.port;
  if (sendto(sock, r.reply, sizeof r.reply, 0, reinterpret_cast<struct sockaddr *>(&to),
             sizeof to) < 0) {
    Log_Info("Error sending reply: %s.\n", Err_Errno2String(errno));
  }
}

// The metrics file, rewritten every ten seconds while the loop runs.
class MetricsWriter {
 public:
  static constexpr uint64_t kIntervalMicros = 10'000'000;

  explicit MetricsWriter(std::string path) : path_(std::move(path)) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    start_ = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  void WriteIfDue(Collector *c) {
    if (path_.empty()) {
      return;
    }
    uint64_t now = Hostinfo_MonotonicMicros();
    if (written_ == 0 || now - written_ >= kIntervalMicros) {
      Write(c);
      written_ = now;
    }
  }

  void Write(Collector *c) {
    if (path_.empty()) {
      return;
    }
    MetricsSnapshot m;
    m.stats = c->Stats();
    m.slotsInUse = c->SlotsInUse();
    m.slots = static_cast<uint64_t>(c->NumClients());
    if (PostProcessor *p = c->Scripts()) {
      m.scriptsRunning = p->Running();
      m.scriptsQueued = p->Waiting();
    }
    m.syncsPending = c->SyncsPending();
    m.freeBytes = c->FreeBytes();
    m.startTimeSeconds = start_;
    if (!WriteMetricsFile(path_, m)) {
      // Said once until it works again, not every ten seconds.
      if (!failing_) {
        Log_Info("Error writing the metrics file %s: %s\n", path_.c_str(), Err_Errno2String(errno));
      }
      failing_ = true;
    } else {
      failing_ = false;
    }
  }

 private:
  std::string path_;
  double start_ = 0;
  uint64_t written_ = 0;
  bool failing_ = false;
};

}  // namespace

extern "C" void TarnwellWakeServe(void) {
  int sock = wakeSocket.load(std::memory_order_acquire);
  if (sock >= 0) {
    int saved = errno;
    sendto(sock, nullptr, 0, MSG_DONTWAIT, reinterpret_cast<const struct sockaddr *>(&wakeAddress),
           sizeof wakeAddress);
    errno = saved;
  }
}

extern "C" int TarnwellServe(void) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (sock < 0) {
    TarnwellFatal("Couldn't create socket (returned %d): %s\n", sock, Err_Errno2String(errno));
  }
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(tarnwellPort));
  memcpy(&addr.sin_addr, tarnwellIpAddr, sizeof tarnwellIpAddr);
  if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    TarnwellFatal("Couldn't bind socket to port %d: %s\n", tarnwellPort, Err_Errno2String(errno));
  }

  SizeReceiveBuffer(sock);
  // Replies are far smaller than any link's MTU, so they go out with Don't
  // Fragment set: the kernel then gives them IP ID 0 instead of drawing a
  // fresh ID from its hashed generator for every reply.
  int pmtu = IP_PMTUDISC_PROBE;
  setsockopt(sock, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu);
  // A receive that waits returns after the sweep interval at the latest, so
  // that stalled dumps are dropped on a quiet network too.
  struct timeval sweepInterval = {Collector::kSweepIntervalMicros / 1'000'000, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &sweepInterval, sizeof sweepInterval);
  wakeAddress = addr;
  if (wakeAddress.sin_addr.s_addr == htonl(INADDR_ANY)) {
    wakeAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  wakeSocket.store(sock, std::memory_order_release);

  CollectorConfig config;
  config.coreDir = tarnwellCoreDir;
  config.logFile = tarnwellLogFile;
  config.script = postProcessScriptGiven ? postProcessScript : nullptr;
  config.numClients = numClients;
  config.maxScripts = tarnwellMaxScripts;
  config.verbose = _verbose != 0;
  config.socketFd = sock;
  const OperatorSettings &ops = tarnwellOperatorSettings;
  config.allowed = ops.allowed;
  config.minFreeBytes = static_cast<uint64_t>(ops.minFreeSpaceMB) << 20;
  config.keepDumpsPerHost = ops.keepDumpsPerHost;
  config.syncOnDone = ops.syncOnDone;
  Collector collector(std::move(config));
  MetricsWriter metrics(ops.metricsFile);
  if (!collector.AllocateSlots()) {
    TarnwellFatal("Could not allocate memory for tarnwellCoreDumpInfo\n");
  }
  AnnounceInForeground(tarnwellMaxScripts);
  {
    char status[64];
    Str_Sprintf(status, sizeof status, "Taking dumps on UDP %u.%u.%u.%u:%d", tarnwellIpAddr[0],
                tarnwellIpAddr[1], tarnwellIpAddr[2], tarnwellIpAddr[3], tarnwellPort);
    ServiceNotifyReady(status);
  }

  // Stop signals are blocked only once the loop is left, so that a second
  // one stays pending until the wait for running scripts lets it in.
  sigset_t stopSignals;
  sigset_t waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, nullptr, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);

  // Requests are taken in batches of what queued up while the last batch
  // was served, and their replies go out together, in the order of the
  // requests: one system call each way instead of one per datagram.
  Batch batch;
  // While a dump's sync or a post-processing script is under way, the wait
  // covers the socket, the notice of completed syncs and one descriptor per
  // running script, which turns readable when the script ends.
  std::vector<struct pollfd> waitFds;
  waitFds.reserve(static_cast<size_t>(tarnwellMaxScripts) + 2);
  const int syncFd = collector.SyncNotifyFd();
  const size_t firstScript = syncFd >= 0 ? 2 : 1;
  PostProcessor *scripts = collector.Scripts();
  // Otherwise only the socket needs watching, and the receive itself waits:
  // it blocks for the first datagram and takes whatever else is queued, so a
  // lone sender in lock-step costs no more system calls than the simplest
  // server. While there is more to watch, requests that queued up while a
  // batch was served are taken without the wait, a system call of its own.
  // Whether they queue up is learnt by trying: while they do, every receive
  // tries first; while they do not, only every kProbeEvery-th one does. The
  // wait is still entered after kMaxUnwaited batches in a row, as only there
  // completed syncs and ended scripts are noticed.
  constexpr int kMaxUnwaited = 16;
  constexpr int kProbeEvery = 4;
  int unwaited = 0;
  int sinceProbe = 0;
  bool draining = false;
  bool alone = false;
  for (;;) {
    if (stopTarnwell) {
      Log_Info("Stopping network coredump server now.\n");
      ServiceNotifyStopping();
      break;
    }
    bool onlySocket =
        collector.SyncsPending() == 0 && (scripts == nullptr || scripts->Running() == 0);
    int received = -1;
    if (onlySocket) {
      metrics.WriteIfDue(&collector);
      // A lone sender in lock-step never has a second request queued, and
      // asking for more than one costs an attempt that finds nothing; so
      // while requests come one at a time, only every kProbeEvery-th
      // receive asks whether more have queued up.
      bool probe = !alone || ++sinceProbe >= kProbeEvery;
      received = batch.Receive(sock, true, probe ? Batch::kSize : 1);
      if (probe) {
        alone = received == 1;
        sinceProbe = 0;
      }
      if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          collector.IdleSweep();
        } else if (TransientReceiveError(errno)) {
          ReportTransientReceiveError(errno);
        } else if (errno != EINTR) {
          TarnwellFatal("Recvfrom error:%s.\n", Err_Errno2String(errno));
        }
        continue;
      }
    } else if (unwaited < kMaxUnwaited && (draining || ++sinceProbe >= kProbeEvery)) {
      received = batch.Receive(sock);
      if (received > 0) {
        // A lone request says the queue is seldom more than one deep.
        draining = received > 1;
        if (!draining) {
          sinceProbe = 0;
        }
        unwaited++;
      } else if (received == 0) {
        draining = false;
        sinceProbe = 0;
        received = -1;
      } else if (TransientReceiveError(errno)) {
        ReportTransientReceiveError(errno);
        continue;
      } else {
        TarnwellFatal("Recvfrom error:%s.\n", Err_Errno2String(errno));
      }
    }
    if (received < 0) {
      unwaited = 0;
      metrics.WriteIfDue(&collector);
      waitFds.clear();
      waitFds.push_back({sock, POLLIN, 0});
      if (syncFd >= 0) {
        waitFds.push_back({syncFd, POLLIN, 0});
      }
      if (scripts != nullptr) {
        scripts->AppendPollFds(&waitFds);
      }
      int ready = poll(waitFds.data(), waitFds.size(),
                       static_cast<int>(Collector::kSweepIntervalMicros / 1000));
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        TarnwellFatal("Select error: %s.\n", Err_Errno2String(errno));
      }
      if (ready == 0) {
        collector.IdleSweep();
        continue;
      }
      if (syncFd >= 0 && waitFds[1].revents != 0) {
        for (const DeferredReply &r : collector.CompleteSyncs()) {
          SendDeferred(sock, r);
        }
      }
      if (scripts != nullptr && waitFds.size() > firstScript) {
        scripts->OnPolled(waitFds.data() + firstScript, waitFds.size() - firstScript);
      }
      if (waitFds[0].revents == 0) {
        collector.SweepIfDue();
        continue;
      }
      received = batch.Receive(sock);
      draining = received > 1;
      if (received <= 0) {
        if (received == 0) {
          continue;
        }
        if (TransientReceiveError(errno)) {
          ReportTransientReceiveError(errno);
          continue;
        }
        TarnwellFatal("Recvfrom error:%s.\n", Err_Errno2String(errno));
      }
    }
    collector.BeginBatch();
    for (int i = 0; i < received; i++) {
      if (batch.IsWakeUp(i, wakeAddress)) {
        continue;
      }
      uint8_t *reply = batch.NextReply();
      if (collector.HandleDatagram(batch.Data(i), batch.Length(i), batch.SenderIp(i),
                                   batch.SenderPort(i), reply)) {
        batch.Answer(i);
      }
    }
    collector.EndBatch();
    batch.SendReplies(sock);
    collector.SweepIfDue();
  }
  sigset_t serving;
  sigprocmask(SIG_BLOCK, &stopSignals, &serving);
  // Dumps already done are answered once they are synced, and their
  // scripts queued, before the scripts are finished.
  for (const DeferredReply &r : collector.FinishSyncs()) {
    SendDeferred(sock, r);
  }
  metrics.Write(&collector);
  if (scripts != nullptr) {
    scripts->Finish(&waitMask);
  }
  sigprocmask(SIG_SETMASK, &serving, nullptr);
  wakeSocket.store(-1, std::memory_order_release);
  close(sock);
  Preference_Exit();
  return 0;
}
