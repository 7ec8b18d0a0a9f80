// The sending side of the dump protocol.

#include "sender.h"

#include <brellis/str.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sender {

namespace {

constexpr uint64_t kPayload = DUMP_MSG_MAX_PAYLOAD;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = Str_SafeVasprintf(nullptr, format, ap);
  va_end(ap);
  std::string out(text);
  free(text);
  return out;
}

}  // namespace

uint64_t BlockCount(uint64_t size) {
  return (size + kPayload - 1) / kPayload;
}

Block BlockAt(uint64_t size, uint64_t index) {
  uint64_t offset = index * kPayload;
  uint64_t length = std::min(kPayload, size - offset);
  if (offset > 0xFFFFFFFFull) {
    offset = size - kPayload;
    length = kPayload;
  }
  return {static_cast<uint32_t>(offset), static_cast<uint32_t>(length)};
}

bool FileSource::Read(uint64_t offset, uint8_t *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd_, buf + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENODATA;  // the file shrank while it was being sent
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void PatternSource::Fill(uint64_t seed, uint32_t sender, uint64_t offset, uint8_t *buf,
                         size_t len) {
  uint64_t key = Mix(seed ^ Mix(0x5EED0000ull + sender));
  size_t i = 0;
  while (i < len) {
    uint64_t pos = offset + i;
    uint64_t word = Mix(key ^ (pos >> 3));
    for (unsigned b = static_cast<unsigned>(pos & 7); b < 8 && i < len; b++, i++) {
      buf[i] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
}

uint64_t Rng::Next() {
  state_ += 0x9E3779B97F4A7C15ull;
  return Mix(state_);
}

bool Rng::Chance(double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p;
}

uint64_t Rng::Below(uint64_t bound) {
  return bound == 0 ? 0 : Next() % bound;
}

const char *StatusName(uint32_t status) {
  switch (status) {
    case DUMP_STATUS_SUCCESS:
      return "success";
    case hxk_failure:
      return "failure: the dump file could not be created";
    case hxk_limit_exceeded:
      return "no free slot";
    case hxk_io_error:
      return "I/O error";
    case hxk_bad_param:
      return "unknown dump";
    case hxk_not_supported:
      return "not supported";
    default:
      return "unknown status";
  }
}

DumpSender::DumpSender(DumpSource *source, const SenderSettings &settings, SendFn send)
    : source_(source), settings_(settings), send_(std::move(send)), rng_(settings.seed) {
  settings_.window = std::max<uint32_t>(settings_.window, 1);
  settings_.attempts = std::max<uint32_t>(settings_.attempts, 1);
  settings_.timeout = std::max<uint64_t>(settings_.timeout, 1);
  settings_.minTimeout = std::clamp<uint64_t>(settings_.minTimeout, 1, settings_.timeout);
  settings_.maxTimeout = std::max(settings_.maxTimeout, settings_.timeout);
  rto_ = settings_.timeout;
  datagram_.resize(DUMP_MSG_MAX_DATAGRAM);
  inflight_.reserve(settings_.window);
  if (source_ != nullptr) {
    size_ = source_->Size();
    blocks_ = BlockCount(size_);
  }
  if (settings_.shuffle && blocks_ > 1) {
    order_.resize(blocks_);
    for (uint64_t i = 0; i < blocks_; i++) order_[i] = static_cast<uint32_t>(i);
    for (uint64_t i = blocks_ - 1; i > 0; i--) {
      std::swap(order_[i], order_[rng_.Below(i + 1)]);
    }
  }
}

void DumpSender::Start(uint64_t now) {
  if (settings_.statusOnly) {
    phase_ = Phase::kStatus;
    SendRequest(DUMP_MSG_STATUS_CHECK, 0, now);
    return;
  }
  if (settings_.timestamp == 0) {
    Fail("a dump needs a non-zero timestamp");
    return;
  }
  if (!DumpSizeSendable(size_)) {
    Fail(Format("a dump holds at most %llu bytes", static_cast<unsigned long long>(kMaxDumpSize)));
    return;
  }
  BeginInit(now);
}

void DumpSender::BeginInit(uint64_t now) {
  phase_ = Phase::kInit;
  cursor_ = 0;
  stats_.bytesAcked = 0;
  inflight_.clear();
  SendRequest(DUMP_MSG_INIT, 0, now);
}

uint64_t DumpSender::BlockAtCursor(uint64_t cursor) const {
  return order_.empty() ? cursor : order_[cursor];
}

void DumpSender::SendRequest(uint32_t type, uint64_t block, uint64_t now) {
  DumpMsgHeader hdr;
  memset(&hdr, 0, sizeof hdr);
  // The block index and the start number come back in the echoed header and
  // tell replies apart whatever order they arrive in.
  uint64_t serial = type == DUMP_MSG_DATA ? block : 0;
  for (int i = 0; i < 8; i++) hdr.opaque0[i] = static_cast<uint8_t>(serial >> (8 * i));
  for (int i = 0; i < 4; i++) hdr.opaque12[i] = static_cast<uint8_t>(epoch_ >> (8 * i));
  hdr.magic = DUMP_MSG_MAGIC;
  hdr.timestamp = settings_.statusOnly ? 1 : settings_.timestamp;
  hdr.msgType = type;
  if (type == DUMP_MSG_DATA || type == DUMP_MSG_DONE) {
    hdr.dumpId = slot_;
  }
  if (type == DUMP_MSG_DATA) {
    Block b = BlockAt(size_, block);
    hdr.dataOffset = b.offset;
    hdr.dataLength = b.length;
  }
  Pending p;
  DumpMsg_Encode(&hdr, p.header);
  p.block = block;
  p.firstSent = now;
  p.deadline = now;
  p.sends = 0;
  p.lastStatus = 0;
  inflight_.push_back(p);
  Transmit(inflight_.back(), now);
}

void DumpSender::Transmit(Pending &p, uint64_t now) {
  size_t len = DUMP_MSG_HEADER_SIZE;
  memcpy(datagram_.data(), p.header, DUMP_MSG_HEADER_SIZE);
  if (DumpMsg_GetU32(p.header + DUMP_MSG_OFF_MSG_TYPE) == DUMP_MSG_DATA) {
    Block b = BlockAt(size_, p.block);
    if (!source_->Read(b.offset, datagram_.data() + DUMP_MSG_HEADER_SIZE, b.length)) {
      Fail(Format("cannot read the dump at offset %u: %s", b.offset, strerror(errno)));
      return;
    }
    len += b.length;
  }
  p.sends++;
  if (p.sends > 1) stats_.retransmissions++;
  uint64_t wait = Backoff(p.sends);
  if (p.sends > 1 && settings_.jitter > 0) {
    wait += static_cast<uint64_t>(static_cast<double>(wait) * settings_.jitter *
                                  static_cast<double>(rng_.Next() >> 11) * 0x1.0p-53);
  }
  p.deadline = now + wait;
  int copies = 1 + (rng_.Chance(settings_.duplicate) ? 1 : 0);
  for (int i = 0; i < copies; i++) {
    stats_.transmissions++;
    if (!rng_.Chance(settings_.drop)) {
      send_(datagram_.data(), len);
    }
  }
}

uint64_t DumpSender::Backoff(uint32_t sends) const {
  uint64_t t = rto_;
  for (uint32_t i = 1; i < sends && t < settings_.maxTimeout; i++) t *= 2;
  return std::min(t, settings_.maxTimeout);
}

void DumpSender::Sample(uint64_t rtt) {
  // Smoothed round trip and its variation, as TCP keeps them.
  if (!haveRtt_) {
    srtt_ = rtt;
    rttvar_ = rtt / 2;
    haveRtt_ = true;
  } else {
    uint64_t diff = srtt_ > rtt ? srtt_ - rtt : rtt - srtt_;
    rttvar_ = (3 * rttvar_ + diff) / 4;
    srtt_ = (7 * srtt_ + rtt) / 8;
  }
  rto_ = std::clamp(srtt_ + std::max<uint64_t>(4 * rttvar_, 1000), settings_.minTimeout,
                    settings_.maxTimeout);
}

void DumpSender::FillWindow(uint64_t now) {
  if (phase_ != Phase::kData || held_) return;
  while (inflight_.size() < settings_.window && cursor_ < blocks_ && Active()) {
    SendRequest(DUMP_MSG_DATA, BlockAtCursor(cursor_++), now);
  }
  if (Active() && cursor_ == blocks_ && inflight_.empty()) {
    phase_ = Phase::kDone;
    SendRequest(DUMP_MSG_DONE, 0, now);
  }
}

void DumpSender::Release(uint64_t now) {
  if (held_) {
    held_ = false;
    FillWindow(now);
  }
}

void DumpSender::Restart(uint64_t now) {
  if (stats_.restarts + 1 >= settings_.attempts) {
    Fail(Format("the collector dropped the dump %llu times (%s); giving up",
                static_cast<unsigned long long>(stats_.restarts + 1), StatusName(hxk_bad_param)));
    return;
  }
  stats_.restarts++;
  epoch_++;
  BeginInit(now);
}

void DumpSender::Fail(std::string message) {
  phase_ = Phase::kFailed;
  error_ = std::move(message);
  inflight_.clear();
}

std::string DumpSender::Describe(const Pending &p) const {
  switch (DumpMsg_GetU32(p.header + DUMP_MSG_OFF_MSG_TYPE)) {
    case DUMP_MSG_INIT:
      return "init";
    case DUMP_MSG_DONE:
      return "done";
    case DUMP_MSG_STATUS_CHECK:
      return "status check";
    default:
      return Format("data at offset %u", DumpMsg_GetU32(p.header + DUMP_MSG_OFF_DATA_OFFSET));
  }
}

void DumpSender::OnReply(const uint8_t *buf, size_t len, uint64_t now) {
  if (!Active()) return;
  if (rng_.Chance(settings_.dropReplies)) return;
  if (len < DUMP_MSG_HEADER_SIZE) {
    stats_.strays++;
    return;
  }
  // A reply is the request's header with the status set, and the slot set
  // when it answers init: everything else must be what was sent.
  auto it = std::find_if(inflight_.begin(), inflight_.end(), [&](const Pending &p) {
    if (memcmp(p.header, buf, DUMP_MSG_OFF_STATUS) != 0) return false;
    return DumpMsg_GetU32(p.header + DUMP_MSG_OFF_MSG_TYPE) == DUMP_MSG_INIT ||
           memcmp(p.header + DUMP_MSG_OFF_SLOT, buf + DUMP_MSG_OFF_SLOT, 4) == 0;
  });
  if (it == inflight_.end()) {
    stats_.strays++;
    return;
  }
  stats_.replies++;
  Pending &p = *it;
  uint32_t status = DumpMsg_GetU32(buf + DUMP_MSG_OFF_STATUS);
  uint32_t type = DumpMsg_GetU32(p.header + DUMP_MSG_OFF_MSG_TYPE);
  if (p.sends == 1) {
    Sample(now - p.firstSent);  // a repeated request's reply says nothing of the round trip
  }

  if (type == DUMP_MSG_DONE) {
    phase_ = Phase::kFinished;  // always answered 0
    inflight_.clear();
    return;
  }
  if (status == DUMP_STATUS_SUCCESS) {
    switch (type) {
      case DUMP_MSG_STATUS_CHECK:
        phase_ = Phase::kFinished;
        inflight_.clear();
        return;
      case DUMP_MSG_INIT:
        slot_ = DumpMsg_GetU32(buf + DUMP_MSG_OFF_SLOT);
        inflight_.clear();
        phase_ = Phase::kData;
        held_ = settings_.holdAfterInit;
        FillWindow(now);
        return;
      default:
        stats_.bytesAcked += BlockAt(size_, p.block).length;
        inflight_.erase(it);
        FillWindow(now);
        return;
    }
  }
  if (type == DUMP_MSG_DATA && status == hxk_bad_param) {
    Restart(now);  // the collector no longer knows the dump: its file is gone
    return;
  }
  bool retryable =
      (type == DUMP_MSG_INIT && (status == hxk_limit_exceeded || status == hxk_failure)) ||
      (type == DUMP_MSG_DATA && status == hxk_io_error);
  if (!retryable || p.sends >= settings_.attempts) {
    Fail(Format("the collector answered %s with %s (%#x)%s", Describe(p).c_str(),
                StatusName(status), status, retryable ? Format(" %u times", p.sends).c_str() : ""));
    return;
  }
  // Try again once the backoff has passed; the timer sends it.
  p.lastStatus = status;
  p.deadline = now + Backoff(p.sends);
}

void DumpSender::OnTimer(uint64_t now) {
  if (!Active()) return;
  for (size_t i = 0; i < inflight_.size(); i++) {
    Pending &p = inflight_[i];
    if (p.deadline > now) continue;
    if (p.sends >= settings_.attempts) {
      if (p.lastStatus != 0) {
        Fail(Format("the collector answered %s with %s (%#x) %u times", Describe(p).c_str(),
                    StatusName(p.lastStatus), p.lastStatus, p.sends));
      } else {
        Fail(Format("no reply to %s after %u attempts", Describe(p).c_str(), p.sends));
      }
      return;
    }
    Transmit(p, now);
    if (!Active()) return;
  }
}

uint64_t DumpSender::NextDeadline() const {
  uint64_t earliest = UINT64_MAX;
  for (const Pending &p : inflight_) earliest = std::min(earliest, p.deadline);
  return earliest;
}

int OpenSenderSocket(const std::string &source, uint32_t collectorIp, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  if (fd < 0) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  if (!source.empty() && inet_pton(AF_INET, source.c_str(), &addr.sin_addr) != 1) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  // Connected: only the collector's datagrams arrive, and the host's
  // "nothing listens there" comes back as ECONNREFUSED.
  addr.sin_addr.s_addr = htonl(collectorIp);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

uint64_t RunSenders(std::vector<Endpoint> &endpoints, const LoopHooks &hooks) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    std::string why = Format("cannot wait for replies: %s", strerror(errno));
    for (Endpoint &e : endpoints) e.sender->Abandon(why);
    return 0;
  }
  uint64_t floor = UINT64_MAX;
  for (size_t i = 0; i < endpoints.size(); i++) {
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, endpoints[i].fd, &ev) != 0) {
      // A sender whose replies cannot be heard would only time out.
      endpoints[i].sender->Abandon(Format("cannot wait for replies: %s", strerror(errno)));
    }
    floor = std::min(floor, endpoints[i].sender->MinTimeout());
  }
  const uint64_t start = NowMicros();
  for (Endpoint &e : endpoints) {
    if (e.sender->Active()) e.sender->Start(start);
  }
  std::vector<struct epoll_event> events(
      std::min<size_t>(std::max<size_t>(endpoints.size(), 1), 512));
  uint8_t buf[DUMP_MSG_MAX_DATAGRAM];
  uint64_t nextScan = start;
  uint64_t nextProgress = start + hooks.progressInterval;
  size_t active = endpoints.size();
  for (;;) {
    uint64_t now = NowMicros();
    if (now >= nextScan) {
      // No deadline is set closer than floor to its sending, so nothing sent
      // after this scan can fall due before the next one.
      uint64_t earliest = UINT64_MAX;
      active = 0;
      for (Endpoint &e : endpoints) {
        e.sender->OnTimer(now);
        if (e.sender->Active()) {
          active++;
          earliest = std::min(earliest, e.sender->NextDeadline());
        }
      }
      nextScan = std::min(earliest, now + floor);
    }
    if (hooks.progress && now >= nextProgress) {
      hooks.progress(now);
      nextProgress = now + hooks.progressInterval;
    }
    if (active == 0) break;
    uint64_t until = std::min(nextScan, hooks.progress ? nextProgress : UINT64_MAX);
    int waitMs =
        until <= now ? 0 : static_cast<int>(std::min<uint64_t>((until - now + 999) / 1000, 1000));
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), waitMs);
    if (n < 0 && errno != EINTR) {
      // Not a passing condition: waiting again would only spin.
      std::string why = Format("cannot wait for replies: %s", strerror(errno));
      for (Endpoint &e : endpoints) {
        if (e.sender->Active()) e.sender->Abandon(why);
      }
      break;
    }
    now = NowMicros();
    for (int k = 0; k < n; k++) {
      Endpoint &e = endpoints[events[k].data.u64];
      for (;;) {
        ssize_t len = recv(e.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (len < 0) {
          if (errno == ECONNREFUSED) {
            e.refused = true;
            continue;
          }
          break;
        }
        bool wasActive = e.sender->Active();
        e.sender->OnReply(buf, static_cast<size_t>(len), now);
        if (wasActive && !e.sender->Active()) active--;
      }
    }
    // Also after a wait in which nothing arrived: a sender that gave up on
    // its timer may be what the others were waiting for.
    if (hooks.onBatch) hooks.onBatch(now);
    if (active == 0) nextScan = now;  // one last scan confirms and ends
  }
  close(ep);
  return NowMicros() - start;
}

uint64_t NowMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

int64_t WallMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1'000'000 + tv.tv_usec;
}

bool ParseUnsigned(const char *text, uint64_t max, uint64_t *value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

bool ParseSize(const char *text, uint64_t *size) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0) return false;
  unsigned shift = 0;
  switch (*end) {
    case 'k':
    case 'K':
      shift = 10;
      end++;
      break;
    case 'm':
    case 'M':
      shift = 20;
      end++;
      break;
    case 'g':
    case 'G':
      shift = 30;
      end++;
      break;
    default:
      break;
  }
  if (shift != 0 && strcmp(end, "iB") == 0) end += 2;
  if (*end != '\0' || (shift != 0 && v > (UINT64_MAX >> shift))) return false;
  *size = static_cast<uint64_t>(v) << shift;
  return true;
}

bool ParseProbability(const char *text, double *p) {
  if (text == nullptr || *text == '\0') return false;
  char *end;
  errno = 0;
  double v = strtod(text, &end);
  if (errno != 0 || end == text) return false;
  if (*end == '%') {
    v /= 100;
    end++;
  }
  if (*end != '\0' || !std::isfinite(v) || v < 0 || v > 1) return false;
  *p = v;
  return true;
}

bool ParseIpv4(const char *text, uint32_t *ip) {
  struct in_addr a;
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *ip = ntohl(a.s_addr);
  return true;
}

std::string IpText(uint32_t ip) {
  return Format("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
}

bool ParseHostPort(const std::string &text, uint32_t *ip, uint16_t *port) {
  std::string host = text;
  *port = DUMP_MSG_DEFAULT_PORT;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    uint64_t p;
    if (!ParseUnsigned(text.c_str() + colon + 1, 65535, &p) || p == 0) return false;
    *port = static_cast<uint16_t>(p);
  }
  if (host.empty()) return false;
  if (ParseIpv4(host.c_str(), ip)) return true;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  *ip = ntohl(reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(res);
  return true;
}

std::string HumanBytes(double bytes) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    u++;
  }
  return u == 0 ? Format("%.0f B", bytes) : Format("%.1f %s", bytes, units[u]);
}

std::string HumanDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "?";
  auto s = static_cast<unsigned long long>(seconds + 0.5);
  if (s >= 3600) return Format("%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  return Format("%llu:%02llu", s / 60, s % 60);
}

void Print(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = Str_SafeVasprintf(nullptr, format, ap);
  va_end(ap);
  fputs(text, stream);
  free(text);
}

const char *toolName = "tarnwell-tool";
int usageExitStatus = 2;

void ToolInit(int argc, char **argv, const char *defaultName) {
  toolName = defaultName;
  if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
    const char *slash = strrchr(argv[0], '/');
    toolName = slash != nullptr ? slash + 1 : argv[0];
  }
}

void ToolUsage(int status, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = Str_SafeVasprintf(nullptr, format, ap);
  va_end(ap);
  fputs(text, status == 0 ? stdout : stderr);
  free(text);
  exit(status);
}

void ToolBadOption(const char *what, const char *value) {
  Print(stderr, "%s: invalid %s: '%s' (see %s --help)\n", toolName, what, value, toolName);
  exit(usageExitStatus);
}

void ApplySharedOptionOrExit(int code, const char *arg, SenderSettings *settings,
                             void (*usage)(int status)) {
  const char *bad;
  if (!ApplySenderOption(code, arg, settings, &bad)) {
    usage(usageExitStatus);
    exit(usageExitStatus);
  }
  if (bad != nullptr) {
    ToolBadOption(bad, arg);
  }
}

bool ApplySenderOption(int code, const char *arg, SenderSettings *settings, const char **bad) {
  uint64_t v = 0;
  *bad = nullptr;
  switch (code) {
    case kOptTimeout:
      if (!ParseUnsigned(arg, 3'600'000, &v) || v == 0) *bad = "timeout";
      settings->timeout = v * 1000;
      return true;
    case kOptAttempts:
      if (!ParseUnsigned(arg, 1'000'000, &v) || v == 0) *bad = "attempts";
      settings->attempts = static_cast<uint32_t>(v);
      return true;
    case kOptDrop:
      if (!ParseProbability(arg, &settings->drop)) *bad = "probability";
      return true;
    case kOptDropReplies:
      if (!ParseProbability(arg, &settings->dropReplies)) *bad = "probability";
      return true;
    case kOptDuplicate:
      if (!ParseProbability(arg, &settings->duplicate)) *bad = "probability";
      return true;
    case kOptShuffle:
      settings->shuffle = true;
      return true;
    case kOptSeed:
      if (!ParseUnsigned(arg, UINT64_MAX, &settings->seed)) *bad = "seed";
      return true;
    default:
      return false;
  }
}

}  // namespace sender
