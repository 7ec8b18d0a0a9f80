// tarnwell-load: many senders at once, each from its own source address,
// each sending a generated dump that can be checked afterwards.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sender.h"

using namespace sender;

namespace {

const char kUsage[] =
    "Usage: %s [options] HOST[:PORT]\n"
    "Runs N senders at once against the tarnwell collector at HOST (port %d unless\n"
    "given), each from its own source address and each sending one generated dump,\n"
    "and reports the rate the collector took them at.\n"
    "\n"
    "  -n, --senders N       concurrent senders (default 16)\n"
    "  -s, --size BYTES      size of every dump, with K, M or G for KiB, MiB, GiB\n"
    "                        (default 1M)\n"
    "  -f, --from ADDR       first source address (default 127.0.1.1); the others\n"
    "                        follow it, skipping last octets 0 and 255\n"
    "  -w, --window N        requests in flight per sender (default 1)\n"
    "      --timeout MS      wait for a first reply (default 500); later waits follow\n"
    "                        the measured round trip\n"
    "      --attempts N      give up after sending one request N times, or starting\n"
    "                        a dump N times (default 8)\n"
    "      --together        let every sender take its slot before any data is sent,\n"
    "                        so that all N slots are in use at once\n"
    "      --verify DIR      afterwards, compare every dump file the collector wrote\n"
    "                        for the senders under its base directory DIR, byte for\n"
    "                        byte, with what was sent\n"
    "  -q, --quiet           print only the summary and errors\n"
    "  -h, --help            this text\n"
    "\n"
    "Fault injection (each sender draws its own faults from the seed):\n"
    "      --drop P          lose this share of the requests (0.05 or 5%%)\n"
    "      --drop-replies P  ignore this share of the replies\n"
    "      --duplicate P     send this share of the requests twice\n"
    "      --shuffle         send the blocks in random order\n"
    "      --seed N          seed of the content, the faults and the order (default 1)\n"
    "\n"
    "Exit status: 0 when every dump was taken (and verified), 1 otherwise, 2 for bad\n"
    "usage.\n";

enum { kOptTogether = kOptFirstToolOption, kOptVerify };

const struct option kOptions[] = {
    {"senders", required_argument, nullptr, 'n'},
    {"size", required_argument, nullptr, 's'},
    {"from", required_argument, nullptr, 'f'},
    {"window", required_argument, nullptr, 'w'},
    {"together", no_argument, nullptr, kOptTogether},
    {"verify", required_argument, nullptr, kOptVerify},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    SENDER_LONG_OPTIONS,
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void Usage(int status) {
  ToolUsage(status, kUsage, toolName, DUMP_MSG_DEFAULT_PORT);
}

// The i-th usable address from first on, skipping last octets 0 and 255.
uint32_t SenderAddress(uint32_t first, uint32_t i) {
  uint32_t ip = first;
  for (;;) {
    uint32_t last = ip & 0xFF;
    if (last != 0 && last != 255) {
      if (i == 0) return ip;
      i--;
    }
    ip++;
  }
}

std::string SenderDir(const std::string &base, uint32_t ip) {
  return base + "/" + std::to_string(ip >> 24) + "/" + std::to_string((ip >> 16) & 0xFF) + "/" +
         std::to_string((ip >> 8) & 0xFF) + "/" + std::to_string(ip & 0xFF);
}

// Names of the dump files of sender ip in its directory.
std::set<std::string> DumpFiles(const std::string &base, uint32_t ip) {
  std::set<std::string> names;
  std::string prefix = "zdump_" + IpText(ip) + "-";
  if (DIR *d = opendir(SenderDir(base, ip).c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.insert(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Compares one file with the content of sender index; an empty string when
// they are identical, else what differs.
std::string CompareDump(const std::string &path, uint64_t seed, uint32_t index, uint64_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open: " + std::string(strerror(errno));
  struct stat st;
  std::string problem;
  if (fstat(fd, &st) != 0) {
    problem = "cannot stat: " + std::string(strerror(errno));
  } else if (static_cast<uint64_t>(st.st_size) != size) {
    problem =
        "holds " + std::to_string(st.st_size) + " bytes, " + std::to_string(size) + " were sent";
  }
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> got(kChunk), want(kChunk);
  for (uint64_t off = 0; problem.empty() && off < size; off += kChunk) {
    size_t len = static_cast<size_t>(std::min<uint64_t>(kChunk, size - off));
    FileSource file(fd, size);
    if (!file.Read(off, got.data(), len)) {
      problem = "cannot read at offset " + std::to_string(off) + ": " + strerror(errno);
      break;
    }
    PatternSource::Fill(seed, index, off, want.data(), len);
    if (memcmp(got.data(), want.data(), len) != 0) {
      size_t i = 0;
      while (got[i] == want[i]) i++;
      problem = "differs from what was sent at offset " + std::to_string(off + i);
    }
  }
  close(fd);
  return problem;
}

void RaiseDescriptorLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

}  // namespace

int main(int argc, char **argv) {
  ToolInit(argc, argv, "tarnwell-load");
  SenderSettings settings;
  uint64_t senders = 16;
  uint64_t size = 1 << 20;
  uint32_t first = 0x7F000101;  // 127.0.1.1
  bool quiet = false;
  bool together = false;
  std::string verifyDir;
  int c;
  while ((c = getopt_long(argc, argv, "n:s:f:w:qh", kOptions, nullptr)) != -1) {
    uint64_t v;
    switch (c) {
      case 'n':
        if (!ParseUnsigned(optarg, 65536, &senders) || senders == 0)
          ToolBadOption("sender count", optarg);
        break;
      case 's':
        if (!ParseSize(optarg, &size)) ToolBadOption("size", optarg);
        if (!DumpSizeSendable(size)) ToolBadOption("size (at most 4 GiB + 1551 bytes)", optarg);
        break;
      case 'f':
        if (!ParseIpv4(optarg, &first)) ToolBadOption("source address", optarg);
        break;
      case 'w':
        if (!ParseUnsigned(optarg, 65536, &v) || v == 0) ToolBadOption("window", optarg);
        settings.window = static_cast<uint32_t>(v);
        break;
      case kOptTogether:
        together = true;
        break;
      case kOptVerify:
        verifyDir = optarg;
        break;
      case 'q':
        quiet = true;
        break;
      case 'h':
        Usage(0);
      default:
        ApplySharedOptionOrExit(c, optarg, &settings, Usage);
        break;
    }
  }
  if (argc - optind != 1) Usage(2);
  uint32_t collectorIp;
  uint16_t port;
  if (!ParseHostPort(argv[optind], &collectorIp, &port)) {
    Print(stderr, "%s: cannot resolve the collector address '%s' (HOST or HOST:PORT)\n", toolName,
          argv[optind]);
    return 2;
  }
  RaiseDescriptorLimit();

  const uint64_t contentSeed = settings.seed;
  const int64_t timestamp = WallMicros();
  settings.holdAfterInit = together;
  // Many senders share one collector: their repeats must not stay in step.
  settings.jitter = 0.5;
  std::vector<std::unique_ptr<PatternSource>> sources;
  std::vector<std::unique_ptr<DumpSender>> dumps;
  std::vector<Endpoint> endpoints;
  std::vector<uint32_t> addresses;
  std::vector<std::set<std::string>> before;
  for (uint32_t i = 0; i < senders; i++) {
    uint32_t ip = SenderAddress(first, i);
    addresses.push_back(ip);
    if (!verifyDir.empty()) before.push_back(DumpFiles(verifyDir, ip));
    int fd = OpenSenderSocket(IpText(ip), collectorIp, port);
    if (fd < 0) {
      Print(stderr, "%s: cannot open a socket from %s: %s\n", toolName, IpText(ip).c_str(),
            strerror(errno));
      return 2;
    }
    SenderSettings own = settings;
    own.timestamp = timestamp;
    own.seed = contentSeed * 0x9E3779B97F4A7C15ull + i + 1;  // faults differ between senders
    sources.push_back(std::make_unique<PatternSource>(contentSeed, i, size));
    dumps.push_back(std::make_unique<DumpSender>(
        sources.back().get(), own,
        [fd](const uint8_t *d, size_t len) { send(fd, d, len, MSG_DONTWAIT); }));
    endpoints.push_back({dumps.back().get(), fd});
  }

  LoopHooks hooks;
  bool released = !together;
  hooks.onBatch = [&](uint64_t now) {
    if (released) return;
    for (auto &d : dumps) {
      if (d->Active() && !d->HoldingSlot()) return;
    }
    released = true;
    for (auto &d : dumps) d->Release(now);
  };
  uint64_t elapsed = RunSenders(endpoints, hooks);

  SenderStats total;
  size_t failed = 0;
  for (size_t i = 0; i < dumps.size(); i++) {
    const SenderStats &s = dumps[i]->Stats();
    total.transmissions += s.transmissions;
    total.retransmissions += s.retransmissions;
    total.restarts += s.restarts;
    total.replies += s.replies + s.strays;
    if (dumps[i]->Failed()) {
      failed++;
      Print(stderr, "%s: sender %s gave up: %s%s\n", toolName, IpText(addresses[i]).c_str(),
            dumps[i]->Error().c_str(),
            endpoints[i].refused ? " (nothing listens on the collector's port)" : "");
    }
    close(endpoints[i].fd);
  }
  double seconds = static_cast<double>(elapsed) / 1e6;
  double bytes = static_cast<double>(size) * static_cast<double>(senders - failed);
  // Every reply is one request the collector handled.
  Print(stdout,
        "%llu senders x %s: %.0f bytes, %llu datagrams in %.2f s: %.0f datagrams/s, %.1f MB/s, "
        "%llu retransmissions, %llu restarts, %zu failed\n",
        static_cast<unsigned long long>(senders), HumanBytes(static_cast<double>(size)).c_str(),
        bytes, static_cast<unsigned long long>(total.replies), seconds,
        seconds > 0 ? static_cast<double>(total.replies) / seconds : 0,
        seconds > 0 ? bytes / seconds / 1e6 : 0,
        static_cast<unsigned long long>(total.retransmissions),
        static_cast<unsigned long long>(total.restarts), failed);

  int status = failed == 0 ? 0 : 1;
  if (!verifyDir.empty()) {
    size_t checked = 0;
    size_t bad = 0;
    for (uint32_t i = 0; i < senders; i++) {
      if (dumps[i]->Failed()) continue;
      std::set<std::string> now = DumpFiles(verifyDir, addresses[i]);
      size_t fresh = 0;
      for (const std::string &name : now) {
        if (before[i].count(name) != 0) continue;
        fresh++;
        checked++;
        std::string path = SenderDir(verifyDir, addresses[i]) + "/" + name;
        std::string problem = CompareDump(path, contentSeed, i, size);
        if (!problem.empty()) {
          bad++;
          Print(stderr, "%s: %s %s\n", toolName, path.c_str(), problem.c_str());
        }
      }
      if (fresh == 0) {
        bad++;
        Print(stderr, "%s: sender %s: no new dump file in %s\n", toolName,
              IpText(addresses[i]).c_str(), SenderDir(verifyDir, addresses[i]).c_str());
      }
    }
    if (bad != 0) {
      status = 1;
    }
    if (!quiet || bad != 0) {
      Print(stdout, "verified %zu dump files under %s: %s\n", checked, verifyDir.c_str(),
            bad == 0 ? "every one identical to what was sent" : "MISMATCHES (see above)");
    }
  }
  return status;
}
