// The sending side of the dump protocol, shared by tarnwell-send and
// tarnwell-load.
//
// DumpSender is a state machine without I/O of its own: it is handed the
// time, the replies that arrive and a function that puts datagrams on the
// wire, so the same code runs over a real socket, many sockets in one loop,
// or an in-process collector in the tests. Times are microseconds of any
// monotonic clock.
#ifndef TARNWELL_TOOLS_SENDER_H
#define TARNWELL_TOOLS_SENDER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dumpProtocol.h"

namespace sender {

// Offsets are 32-bit, so the last block may start at 0xFFFFFFFF at the
// latest and carry one full payload: a dump holds at most 4 GiB + 1551 bytes.
constexpr uint64_t kMaxDumpSize = 0xFFFFFFFFull + DUMP_MSG_MAX_PAYLOAD;

inline bool DumpSizeSendable(uint64_t size) {
  return size <= kMaxDumpSize;
}

struct Block {
  uint32_t offset;
  uint32_t length;
};

// Number of data blocks for a dump of size bytes (size must be sendable).
uint64_t BlockCount(uint64_t size);
// Block index of a dump of size bytes: full payloads at multiples of the
// payload size; a last block that would start beyond 32 bits is moved back
// to end at size, overlapping its predecessor with the same bytes.
Block BlockAt(uint64_t size, uint64_t index);

// Where the bytes of a dump come from.
class DumpSource {
 public:
  virtual ~DumpSource() = default;
  virtual uint64_t Size() const = 0;
  // Fills buf with len bytes from offset; false (errno set) on failure.
  virtual bool Read(uint64_t offset, uint8_t *buf, size_t len) = 0;
};

// A file read with positioned reads; the descriptor is the caller's.
class FileSource : public DumpSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, uint8_t *buf, size_t len) override;

 private:
  int fd_;
  uint64_t size_;
};

// Generated content: every byte follows from (seed, sender, offset), so a
// dump file can be checked later without keeping what was sent.
class PatternSource : public DumpSource {
 public:
  PatternSource(uint64_t seed, uint32_t sender, uint64_t size)
      : seed_(seed), sender_(sender), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, uint8_t *buf, size_t len) override {
    Fill(seed_, sender_, offset, buf, len);
    return true;
  }
  static void Fill(uint64_t seed, uint32_t sender, uint64_t offset, uint8_t *buf, size_t len);

 private:
  uint64_t seed_;
  uint32_t sender_;
  uint64_t size_;
};

// A reproducible generator for fault decisions and shuffling.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // True with probability p (0 never, 1 always).
  bool Chance(double p);
  uint64_t Below(uint64_t bound);

 private:
  uint64_t state_;
};

struct SenderSettings {
  int64_t timestamp = 0;  // names the dump with the source address; never 0
  uint32_t window = 1;    // requests in flight; 1 is lock-step
  // Wait for the first reply; later waits follow the measured round trip,
  // never below minTimeout, doubling for each retransmission up to maxTimeout.
  uint64_t timeout = 500'000;
  uint64_t minTimeout = 10'000;
  uint64_t maxTimeout = 4'000'000;
  // Each wait before a retransmission is stretched by a random share of up
  // to this much, so that senders that lost requests at the same moment do
  // not all repeat them at the same moment again.
  double jitter = 0;
  // Transmissions of one request, and starts of one dump, before giving up.
  uint32_t attempts = 8;
  bool statusOnly = false;  // send one status check instead of a dump
  // After init, send no data until Release(): lets many senders hold their
  // slots at the same time.
  bool holdAfterInit = false;

  // Fault injection.
  double drop = 0;         // outgoing requests lost
  double dropReplies = 0;  // replies ignored on arrival
  double duplicate = 0;    // requests sent twice
  bool shuffle = false;    // blocks in random order
  uint64_t seed = 1;
};

struct SenderStats {
  uint64_t transmissions = 0;    // requests put on the wire, faults included
  uint64_t retransmissions = 0;  // repeats after a timeout or an error status
  uint64_t restarts = 0;         // starts from init after the dump was dropped
  uint64_t replies = 0;          // replies matched to a request in flight
  uint64_t strays = 0;           // replies matching nothing in flight
  uint64_t bytesAcked = 0;       // payload bytes confirmed in the current start
};

class DumpSender {
 public:
  using SendFn = std::function<void(const uint8_t *datagram, size_t len)>;

  // source may be null with statusOnly; it must outlive the sender.
  DumpSender(DumpSource *source, const SenderSettings &settings, SendFn send);

  void Start(uint64_t now);
  // One datagram that arrived on the sender's socket.
  void OnReply(const uint8_t *buf, size_t len, uint64_t now);
  // Retransmits, or gives up on, whatever waited past its deadline.
  void OnTimer(uint64_t now);
  // The earliest deadline of a request in flight; UINT64_MAX when none.
  uint64_t NextDeadline() const;
  // Lets a sender held after init go on with its data.
  void Release(uint64_t now);
  // Ends the sender as failed, for reasons outside the protocol.
  void Abandon(const std::string &why) { Fail(why); }

  bool Finished() const { return phase_ == Phase::kFinished; }
  bool Failed() const { return phase_ == Phase::kFailed; }
  bool Active() const { return !Finished() && !Failed(); }
  bool HoldingSlot() const { return phase_ == Phase::kData && held_; }
  const std::string &Error() const { return error_; }
  const SenderStats &Stats() const { return stats_; }
  uint64_t Size() const { return size_; }
  // The slot the collector assigned in this start (meaningful after init).
  uint32_t Slot() const { return slot_; }
  // The current reply timeout before backoff.
  uint64_t Rto() const { return rto_; }
  // No deadline is ever set closer than this to the time of sending.
  uint64_t MinTimeout() const { return settings_.minTimeout; }

 private:
  enum class Phase { kInit, kData, kDone, kStatus, kFinished, kFailed };

  struct Pending {
    uint8_t header[DUMP_MSG_HEADER_SIZE];
    uint64_t block;  // data: the block index
    uint64_t firstSent;
    uint64_t deadline;
    uint32_t sends;
    uint32_t lastStatus;  // last error status answered, 0 if none
  };

  void BeginInit(uint64_t now);
  void SendRequest(uint32_t type, uint64_t block, uint64_t now);
  void Transmit(Pending &p, uint64_t now);
  void FillWindow(uint64_t now);
  void Restart(uint64_t now);
  void Fail(std::string message);
  void Sample(uint64_t rtt);
  uint64_t Backoff(uint32_t sends) const;
  std::string Describe(const Pending &p) const;
  uint64_t BlockAtCursor(uint64_t cursor) const;

  DumpSource *source_;
  SenderSettings settings_;
  SendFn send_;
  Rng rng_;
  Phase phase_ = Phase::kInit;
  std::string error_;
  SenderStats stats_;

  uint64_t size_ = 0;
  uint64_t blocks_ = 0;
  std::vector<uint32_t> order_;  // shuffled block order, empty when in order
  uint64_t cursor_ = 0;          // blocks handed out in this start
  uint32_t epoch_ = 0;           // tells replies of an earlier start apart
  uint32_t slot_ = 0;
  bool held_ = false;
  std::vector<Pending> inflight_;
  std::vector<uint8_t> datagram_;

  uint64_t rto_;
  uint64_t srtt_ = 0;
  uint64_t rttvar_ = 0;
  bool haveRtt_ = false;
};

// A text for a reply status.
const char *StatusName(uint32_t status);

// One sender bound to its own UDP socket.
struct Endpoint {
  DumpSender *sender;
  int fd;
  bool refused = false;  // the host reported that nothing listens there
};

// Opens a non-blocking UDP socket bound to source (IPv4 text, or empty for
// any) and connected to the collector. Returns the descriptor, or -1 with
// errno set.
int OpenSenderSocket(const std::string &source, uint32_t collectorIp, uint16_t port);

// Drives every endpoint until each has finished or failed. progress, when
// set, is called at least every progressInterval microseconds; onBatch after
// every round of arrivals (both may be empty). Returns the elapsed time.
struct LoopHooks {
  std::function<void(uint64_t now)> progress;
  uint64_t progressInterval = 100'000;
  std::function<void(uint64_t now)> onBatch;
};
uint64_t RunSenders(std::vector<Endpoint> &endpoints, const LoopHooks &hooks);

// Monotonic microseconds.
uint64_t NowMicros();
// Wall-clock microseconds, the collector's notion of a time stamp.
int64_t WallMicros();

// Parsing helpers shared by the tools' command lines. Each returns false on
// malformed input.
// Long options every sending tool takes: the reply timeout, the attempts and
// the fault injections. Their codes lie above every short option's.
enum SenderOption {
  kOptTimeout = 256,
  kOptAttempts,
  kOptDrop,
  kOptDropReplies,
  kOptDuplicate,
  kOptShuffle,
  kOptSeed,
  kOptFirstToolOption  // a tool's own long options start here
};

// Their entries for a getopt_long table, so their names are given once.
#define SENDER_LONG_OPTIONS                                                  \
  {"timeout", required_argument, nullptr, sender::kOptTimeout},              \
      {"attempts", required_argument, nullptr, sender::kOptAttempts},        \
      {"drop", required_argument, nullptr, sender::kOptDrop},                \
      {"drop-replies", required_argument, nullptr, sender::kOptDropReplies}, \
      {"duplicate", required_argument, nullptr, sender::kOptDuplicate},      \
      {"shuffle", no_argument, nullptr, sender::kOptShuffle}, {              \
    "seed", required_argument, nullptr, sender::kOptSeed                     \
  }

// Applies one of the options above. Returns false when code is not one of
// them; otherwise true, with *bad naming what was malformed about arg (null
// when it was fine).
bool ApplySenderOption(int code, const char *arg, SenderSettings *settings, const char **bad);
// What a tool's option loop does with every code of its own it does not
// know: applies a shared option, ends with ToolBadOption when its argument
// is malformed, or with the usage text when the code is none of them.
void ApplySharedOptionOrExit(int code, const char *arg, SenderSettings *settings,
                             void (*usage)(int status));

bool ParseHostPort(const std::string &text, uint32_t *ip, uint16_t *port);
bool ParseProbability(const char *text, double *p);
bool ParseSize(const char *text, uint64_t *size);
bool ParseUnsigned(const char *text, uint64_t max, uint64_t *value);
bool ParseIpv4(const char *text, uint32_t *ip);
std::string IpText(uint32_t ip);

// "12.3 MiB" and "1:05" for progress lines and summaries.
std::string HumanBytes(double bytes);
std::string HumanDuration(double seconds);

// Formats through the system's formatter and writes to stream.
void Print(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

// What every tool's main starts with and how it reports bad usage.
// The tool's name as invoked, for its messages; set by ToolInit.
extern const char *toolName;
// The exit status of bad usage: 2 unless the tool says otherwise (a
// monitoring check reports it as 3, UNKNOWN).
extern int usageExitStatus;
void ToolInit(int argc, char **argv, const char *defaultName);
// Prints the usage text (to standard output for --help, status 0, else to
// standard error) and exits with status.
[[noreturn]] void ToolUsage(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// "invalid WHAT: 'VALUE'" on standard error, then exit with usageExitStatus.
[[noreturn]] void ToolBadOption(const char *what, const char *value);

}  // namespace sender

#endif  // TARNWELL_TOOLS_SENDER_H
