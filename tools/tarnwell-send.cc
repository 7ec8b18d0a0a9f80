// tarnwell-send: sends one file to a collector as a dump, or checks that a
// collector answers.

#include <fcntl.h>
#include <getopt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sender.h"

using namespace sender;

namespace {

const char kUsage[] =
    "Usage: %s [options] FILE HOST[:PORT]\n"
    "       %s --status [options] HOST[:PORT]\n"
    "Sends FILE to the tarnwell collector at HOST (port %d unless given) as one dump.\n"
    "\n"
    "  -w, --window N        requests in flight at once (default 1: one at a time,\n"
    "                        as a crashing host sends)\n"
    "  -f, --from ADDR       send from this local address; on loopback any 127.x.y.z\n"
    "                        acts as another host\n"
    "  -t, --timestamp T     the dump's timestamp, not 0 (default: the clock, in\n"
    "                        microseconds); the same timestamp from the same address\n"
    "                        resumes the same dump\n"
    "      --timeout MS      wait for a first reply (default 500); later waits follow\n"
    "                        the measured round trip and double with every repeat\n"
    "      --attempts N      give up after sending one request N times, or starting\n"
    "                        the dump N times (default 8)\n"
    "  -s, --status          send one status check and report it as a monitoring\n"
    "                        check does: one line, and exit 0 OK, 2 CRITICAL, 3 UNKNOWN\n"
    "  -q, --quiet           no progress bar, no summary and no status line; errors\n"
    "                        are still printed, on standard error\n"
    "  -h, --help            this text\n"
    "\n"
    "Fault injection, for testing a collector and the network to it:\n"
    "      --drop P          lose this share of the requests (0.05 or 5%%)\n"
    "      --drop-replies P  ignore this share of the replies\n"
    "      --duplicate P     send this share of the requests twice\n"
    "      --shuffle         send the blocks in random order\n"
    "      --seed N          seed of the faults and the order (default 1)\n"
    "\n"
    "Size limit: block offsets are 32-bit, so the last block starts at offset\n"
    "4294967295 at the latest and carries at most %d bytes: FILE may hold at most\n"
    "%llu bytes (4 GiB + %d). Larger files are refused.\n"
    "\n"
    "Exit status: 0 when the dump was taken, 1 when the collector refused it or did\n"
    "not answer, 2 for bad usage or an unreadable FILE. With --status: 0 (OK) when\n"
    "the collector answered, 2 (CRITICAL) when it did not, 3 (UNKNOWN) for bad usage\n"
    "or an address that cannot be used.\n";

const char kShortOptions[] = "w:f:t:sqh";

const struct option kOptions[] = {
    {"window", required_argument, nullptr, 'w'},
    {"from", required_argument, nullptr, 'f'},
    {"timestamp", required_argument, nullptr, 't'},
    {"status", no_argument, nullptr, 's'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    SENDER_LONG_OPTIONS,
    {nullptr, 0, nullptr, 0},
};

// Whether this is a status check decides how bad usage ends, so it is known
// before any option is judged: a first pass looks for it alone.
bool StatusRequested(int argc, char **argv) {
  opterr = 0;
  bool status = false;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1) {
    status = status || c == 's';
  }
  opterr = 1;
  optind = 0;  // glibc starts over from scratch
  return status;
}

[[noreturn]] void Usage(int status) {
  ToolUsage(status, kUsage, toolName, toolName, DUMP_MSG_DEFAULT_PORT, DUMP_MSG_MAX_PAYLOAD,
            static_cast<unsigned long long>(kMaxDumpSize), DUMP_MSG_MAX_PAYLOAD - 1);
}

void DrawProgress(const DumpSender &s, uint64_t elapsed) {
  uint64_t acked = s.Stats().bytesAcked;
  uint64_t size = s.Size();
  double fraction = size == 0 ? 1.0 : static_cast<double>(acked) / static_cast<double>(size);
  constexpr int kWidth = 30;
  char bar[kWidth + 1];
  int filled = static_cast<int>(fraction * kWidth);
  for (int i = 0; i < kWidth; i++) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  double seconds = static_cast<double>(elapsed) / 1e6;
  double rate = seconds > 0 ? static_cast<double>(acked) / seconds : 0;
  std::string left = rate > 0 ? HumanDuration(static_cast<double>(size - acked) / rate) : "?";
  Print(stderr, "\r%3d%% [%s] %s / %s  %s/s  %s left  %llu retransmitted\033[K",
        static_cast<int>(fraction * 100), bar, HumanBytes(static_cast<double>(acked)).c_str(),
        HumanBytes(static_cast<double>(size)).c_str(), HumanBytes(rate).c_str(), left.c_str(),
        static_cast<unsigned long long>(s.Stats().retransmissions));
  fflush(stderr);
}

}  // namespace

int main(int argc, char **argv) {
  ToolInit(argc, argv, "tarnwell-send");
  // Monitoring systems read 3 as UNKNOWN: the check could not be made.
  constexpr int kUnknown = 3;
  constexpr int kCritical = 2;
  if (StatusRequested(argc, argv)) {
    usageExitStatus = kUnknown;
  }
  SenderSettings settings;
  std::string from;
  bool statusOnly = false;
  bool quiet = false;
  bool timestampGiven = false;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1) {
    uint64_t v;
    switch (c) {
      case 'w':
        if (!ParseUnsigned(optarg, 65536, &v) || v == 0) ToolBadOption("window", optarg);
        settings.window = static_cast<uint32_t>(v);
        break;
      case 'f': {
        uint32_t ip;
        if (!ParseIpv4(optarg, &ip)) ToolBadOption("source address", optarg);
        from = optarg;
        break;
      }
      case 't': {
        char *end;
        errno = 0;
        long long t = strtoll(optarg, &end, 10);
        if (errno != 0 || end == optarg || *end != '\0' || t == 0)
          ToolBadOption("timestamp", optarg);
        settings.timestamp = t;
        timestampGiven = true;
        break;
      }
      case 's':
        statusOnly = true;
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
  int operands = argc - optind;
  if (operands != (statusOnly ? 1 : 2)) {
    Usage(usageExitStatus);
  }
  const char *target = argv[argc - 1];
  uint32_t collectorIp;
  uint16_t port;
  if (!ParseHostPort(target, &collectorIp, &port)) {
    Print(stderr, "%s: cannot resolve the collector address '%s' (HOST or HOST:PORT)\n", toolName,
          target);
    return usageExitStatus;
  }

  int fileFd = -1;
  uint64_t size = 0;
  const char *path = statusOnly ? nullptr : argv[optind];
  if (path != nullptr) {
    fileFd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fileFd < 0 || fstat(fileFd, &st) != 0) {
      Print(stderr, "%s: cannot open %s: %s\n", toolName, path, strerror(errno));
      return 2;
    }
    if (S_ISREG(st.st_mode)) {
      size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
      off_t end = lseek(fileFd, 0, SEEK_END);
      size = end < 0 ? 0 : static_cast<uint64_t>(end);
    } else {
      Print(stderr, "%s: %s is not a regular file\n", toolName, path);
      return 2;
    }
    if (!DumpSizeSendable(size)) {
      Print(stderr,
            "%s: %s is %llu bytes, too large to send: block offsets are 32-bit, so a dump "
            "holds at most %llu bytes (4 GiB + %d)\n",
            toolName, path, static_cast<unsigned long long>(size),
            static_cast<unsigned long long>(kMaxDumpSize), DUMP_MSG_MAX_PAYLOAD - 1);
      return 2;
    }
  }
  if (!timestampGiven) {
    settings.timestamp = WallMicros();
  }
  settings.statusOnly = statusOnly;

  int sock = OpenSenderSocket(from, collectorIp, port);
  if (sock < 0) {
    Print(stderr, "%s: cannot open a socket%s%s to %s: %s\n", toolName,
          from.empty() ? "" : " from ", from.c_str(), target, strerror(errno));
    return usageExitStatus;
  }
  FileSource source(fileFd, size);
  DumpSender dump(statusOnly ? nullptr : &source, settings,
                  [sock](const uint8_t *d, size_t len) { send(sock, d, len, MSG_DONTWAIT); });
  std::vector<Endpoint> endpoints = {{&dump, sock}};
  LoopHooks hooks;
  bool showProgress = !quiet && !statusOnly && isatty(STDERR_FILENO);
  uint64_t start = NowMicros();
  if (showProgress) {
    hooks.progress = [&](uint64_t now) { DrawProgress(dump, now - start); };
  }
  uint64_t elapsed = RunSenders(endpoints, hooks);
  if (showProgress) {
    DrawProgress(dump, elapsed);
    Print(stderr, "\r\033[K");
  }
  close(sock);
  std::string collector = IpText(collectorIp) + ":" + std::to_string(port);

  const char *refusedHint = endpoints[0].refused ? " (the host reports that nothing listens on "
                                                  "that port: is the collector running?)"
                                                : "";
  if (statusOnly && dump.Failed() && !quiet) {
    Print(stdout, "TARNWELL CRITICAL: %s did not answer: %s%s\n", collector.c_str(),
          dump.Error().c_str(), refusedHint);
    return kCritical;
  }
  if (dump.Failed()) {
    Print(stderr, "%s: gave up %s %s: %s%s\n", toolName,
          statusOnly ? "checking" : ("sending " + std::string(path) + " to").c_str(),
          collector.c_str(), dump.Error().c_str(), refusedHint);
    return statusOnly ? kCritical : 1;
  }
  double seconds = static_cast<double>(elapsed) / 1e6;
  if (statusOnly) {
    if (!quiet) {
      // After the bar, performance data in the form monitoring systems graph.
      Print(stdout, "TARNWELL OK: %s answered the status check in %.1f ms | time=%.6fs;;;0\n",
            collector.c_str(), seconds * 1000, seconds);
    }
    return 0;
  }
  if (!quiet) {
    const SenderStats &st = dump.Stats();
    Print(stdout, "Sent %s (%llu bytes) to %s in %.2f s, %s/s, %llu retransmissions%s\n", path,
          static_cast<unsigned long long>(size), collector.c_str(), seconds,
          HumanBytes(seconds > 0 ? static_cast<double>(size) / seconds : 0).c_str(),
          static_cast<unsigned long long>(st.retransmissions),
          st.restarts == 0 ? ""
                           : (", " + std::to_string(st.restarts) + " restarts from init").c_str());
  }
  return 0;
}
