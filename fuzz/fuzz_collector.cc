// The collector's request handling under a stream of datagrams from several
// senders: the input is decoded into a sequence of requests (mostly well
// formed, so that transfers get far) and of clock moves, all against one
// slot table writing real files. After every step the table must be
// consistent with itself and with the process's open descriptors, and no
// file may be named outside the base directory.

#include <brellis/fileIO.h>

#include <dirent.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dumpProtocol.h"
#include "tarnwellServe.h"

namespace {

constexpr int32_t kSlots = 6;
constexpr uint32_t kSenders[] = {0x0A000001, 0x0A000002, 0xC0A80411, 0xFFFFFFFF};
constexpr int64_t kTimestamps[] = {1, 2, 0x7FFFFFFFFFFFFFFF, -5, 0};

std::string base;
int baseFds = 0;

int OpenDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) {
    abort();
  }
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') {
      n++;
    }
  }
  closedir(d);
  return n - 1;  // the directory stream's own
}

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

void CheckTable(const Collector &c) {
  size_t used = 0;
  for (int32_t i = 0; i < c.NumClients(); i++) {
    const CoreDumpInfo &s = c.Slot(i);
    bool open = FileIO_IsValid(&s.fd);
    if (s.timestamp == 0) {
      // A free slot holds no file and no name; one never used is all zero
      // bytes, which the descriptor layer would read as descriptor 0.
      static const CoreDumpInfo kNeverUsed{};
      Check(s.path == nullptr && (!open || memcmp(&s, &kNeverUsed, sizeof s) == 0),
            "free slot holds a file");
      continue;
    }
    used++;
    Check(open, "slot in use without a file");
    Check(s.path != nullptr, "slot in use without a name");
    Check(s.slot == i, "slot does not know its index");
    std::string path = s.path;
    Check(path.compare(0, base.size() + 1, base + "/") == 0 &&
              path.find("/../") == std::string::npos,
          "file outside the base directory");
  }
  Check(used == c.SlotsInUse(), "count of slots in use");
  Check(OpenDescriptors() == baseFds + static_cast<int>(used), "open file without a slot");
}

std::vector<uint8_t> Datagram(FuzzedDataProvider &in, uint32_t type) {
  DumpMsgHeader hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.magic = in.ConsumeProbability<float>() < 0.95f ? DUMP_MSG_MAGIC : in.ConsumeIntegral<uint32_t>();
  hdr.timestamp = in.PickValueInArray(kTimestamps);
  hdr.dumpId = in.ConsumeIntegralInRange<uint32_t>(0, kSlots) |
               (in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>() & 0x80000000u);
  hdr.msgType = type;
  // Offsets near the start, at page multiples, and now and then anywhere.
  hdr.dataOffset = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 8) * 1024
                                    : in.ConsumeIntegral<uint32_t>();
  size_t payload = in.ConsumeIntegralInRange<size_t>(0, DUMP_MSG_MAX_PAYLOAD + 8);
  hdr.dataLength = in.ConsumeBool() ? static_cast<uint32_t>(payload) : in.ConsumeIntegral<uint32_t>();
  hdr.status = in.ConsumeIntegral<uint32_t>();
  hdr.slot = in.ConsumeIntegral<uint32_t>();
  std::vector<uint8_t> out(DUMP_MSG_HEADER_SIZE);
  DumpMsg_Encode(&hdr, out.data());
  std::vector<uint8_t> body = in.ConsumeBytes<uint8_t>(payload);
  out.insert(out.end(), body.begin(), body.end());
  // A datagram may be cut anywhere, header included.
  if (in.ConsumeProbability<float>() < 0.05f) {
    out.resize(in.ConsumeIntegralInRange<size_t>(0, out.size()));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                      "/fuzz_collector.XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  base = templ;
  atexit([] { std::filesystem::remove_all(base); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  baseFds = OpenDescriptors();
  uint64_t clock = 1'000'000'000;
  uint64_t free = 1 << 20;
  {
    CollectorConfig config;
    config.coreDir = base;
    config.numClients = kSlots;
    config.verbose = in.ConsumeBool();
    config.now = [&clock] { return clock; };
    // The operators' controls: one sender not allowed, old dumps pruned,
    // and a free-space figure that the input moves across the floor.
    std::string bad;
    if (in.ConsumeBool()) {
      Check(config.allowed.Parse("10.0.0.0/24, 255.255.255.255", &bad), "sender list");
    }
    config.keepDumpsPerHost = in.ConsumeIntegralInRange(0, 2);
    config.minFreeBytes = in.ConsumeBool() ? 4096 : 0;
    config.measureFreeSpace = [&free] { return free; };
    // Batched as the serving loop takes them: datagrams and replies live
    // until the batch ends, where adjacent blocks are written together.
    bool batched = in.ConsumeBool();
    Collector c(std::move(config));
    Check(c.AllocateSlots(), "slot table");
    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<std::array<uint8_t, DUMP_MSG_HEADER_SIZE>> replies;
    datagrams.reserve(64);
    replies.reserve(64);
    if (batched) {
      c.BeginBatch();
    }
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; step++) {
      uint8_t op = in.ConsumeIntegral<uint8_t>();
      uint32_t ip = kSenders[op & 3];
      std::vector<uint8_t> dg;
      switch ((op >> 2) & 7) {
        case 0:
          dg = Datagram(in, DUMP_MSG_INIT);
          break;
        case 1:
        case 2:
          dg = Datagram(in, DUMP_MSG_DATA);
          break;
        case 3:
          dg = Datagram(in, DUMP_MSG_DONE);
          break;
        case 4:
          dg = Datagram(in, DUMP_MSG_STATUS_CHECK);
          break;
        case 5:
          dg = Datagram(in, in.ConsumeIntegral<uint32_t>());
          break;
        case 6:
          dg = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, DUMP_MSG_MAX_DATAGRAM));
          break;
        default:
          // Time passes: up to two idle timeouts, so sweeps run and drop slots.
          // A batch ends before time passes.
          clock += in.ConsumeIntegralInRange<uint64_t>(0, 2 * Collector::kIdleTimeoutMicros);
          free = in.ConsumeIntegralInRange<uint64_t>(0, 16384);
          if (batched) {
            c.EndBatch();
            c.BeginBatch();
          }
          c.SweepIfDue();
          CheckTable(c);
          continue;
      }
      datagrams.push_back(std::move(dg));
      replies.emplace_back();
      const std::vector<uint8_t> &sent = datagrams.back();
      uint8_t *reply = replies.back().data();
      if (c.HandleDatagram(sent.data(), sent.size(), ip, reply)) {
        Check(DumpMsg_GetU32(reply + DUMP_MSG_OFF_MAGIC) == DumpMsg_GetU32(sent.data() + DUMP_MSG_OFF_MAGIC),
              "reply carries the request's magic");
      }
      CheckTable(c);
    }
    if (batched) {
      c.EndBatch();
    }
  }
  Check(OpenDescriptors() == baseFds, "files left open by the collector");
  // Every input starts from an empty base directory.
  for (const auto &entry : std::filesystem::directory_iterator(base)) {
    std::filesystem::remove_all(entry.path());
  }
  return 0;
}
