#include "support/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(const in_addr &ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = ip;
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int BoundSocket(const sockaddr_in &at) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("relay: cannot bind a socket");
  }
  return fd;
}

}  // namespace

struct Relay::State {
  struct Peer {
    sockaddr_in addr;
    int up;
  };
  struct Delayed {
    Clock::time_point due;
    uint64_t order;    // tie-break, so that equal times keep arrival order
    uint64_t arrival;  // per direction, to notice overtaking
    bool reply;
    int fd;
    sockaddr_in to;
    std::vector<uint8_t> bytes;
    bool operator>(const Delayed &o) const { return due != o.due ? due > o.due : order > o.order; }
  };

  RelayFaults faults;
  sockaddr_in target{};
  int down = -1;
  int wake[2] = {-1, -1};
  std::mt19937_64 rng;
  std::vector<Peer> peers;
  std::map<std::pair<uint32_t, uint16_t>, size_t> byAddr;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> queue;
  uint64_t order = 0;
  uint64_t arrivals[2] = {0, 0};
  uint64_t latestSent[2] = {0, 0};
  mutable std::mutex mutex;  // guards counts and peers' size as read outside
  RelayCounts counts[2];
  std::thread thread;

  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  void Take(bool reply, int fd, const sockaddr_in &to, const uint8_t *data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex);
    RelayCounts &c = counts[reply];
    c.received++;
    uint64_t arrival = ++arrivals[reply];
    if (Chance(faults.loss)) {
      c.lost++;
      return;
    }
    int copies = 1;
    if (Chance(faults.duplicate)) {
      c.duplicated++;
      copies = 2;
    }
    for (int i = 0; i < copies; i++) {
      auto delay = std::chrono::microseconds(std::uniform_int_distribution<int64_t>(
          0, static_cast<int64_t>(faults.maxDelay.count()))(rng));
      queue.push({Clock::now() + delay, order++, arrival, reply, fd, to,
                  std::vector<uint8_t>(data, data + len)});
    }
  }

  void SendDue() {
    auto now = Clock::now();
    while (!queue.empty() && queue.top().due <= now) {
      const Delayed &d = queue.top();
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (d.arrival < latestSent[d.reply]) counts[d.reply].reordered++;
        latestSent[d.reply] = std::max(latestSent[d.reply], d.arrival);
      }
      sendto(d.fd, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr *>(&d.to), sizeof d.to);
      queue.pop();
    }
  }

  size_t PeerFor(const sockaddr_in &from) {
    auto key = std::make_pair(from.sin_addr.s_addr, from.sin_port);
    auto it = byAddr.find(key);
    if (it != byAddr.end()) return it->second;
    int up = BoundSocket(Loopback(from.sin_addr, 0));
    std::lock_guard<std::mutex> lock(mutex);
    peers.push_back({from, up});
    byAddr.emplace(key, peers.size() - 1);
    return peers.size() - 1;
  }

  void Run() {
    std::vector<pollfd> fds;
    uint8_t buf[65536];
    for (;;) {
      SendDue();
      fds.clear();
      fds.push_back({wake[0], POLLIN, 0});
      fds.push_back({down, POLLIN, 0});
      for (const Peer &p : peers) fds.push_back({p.up, POLLIN, 0});
      timespec timeout = {0, 100'000'000};
      if (!queue.empty()) {
        auto wait = std::max(queue.top().due - Clock::now(), Clock::duration::zero());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
      }
      if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n;
        while ((n = recvfrom(down, buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &fromLen)) >= 0) {
          size_t i = PeerFor(from);
          Take(false, peers[i].up, target, buf, static_cast<size_t>(n));
          fromLen = sizeof from;
        }
      }
      for (size_t k = 2; k < fds.size(); k++) {
        if (fds[k].revents == 0) continue;
        const Peer &p = peers[k - 2];
        ssize_t n;
        while ((n = recv(p.up, buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
          Take(true, down, p.addr, buf, static_cast<size_t>(n));
        }
      }
    }
  }
};

Relay::Relay(int target, const RelayFaults &faults) : state_(std::make_unique<State>()) {
  State &s = *state_;
  s.faults = faults;
  s.rng.seed(faults.seed);
  in_addr lo{};
  lo.s_addr = htonl(INADDR_LOOPBACK);
  s.target = Loopback(lo, target);
  s.down = BoundSocket(Loopback(lo, 0));
  if (pipe2(s.wake, O_CLOEXEC) != 0) {
    throw std::runtime_error("relay: pipe failed");
  }
  s.thread = std::thread([&s] { s.Run(); });
}

Relay::~Relay() {
  State &s = *state_;
  char stop = 0;
  if (write(s.wake[1], &stop, 1) != 1) {
    // The thread also ends when its wait fails; nothing else can be done.
  }
  s.thread.join();
  for (const State::Peer &p : s.peers) close(p.up);
  close(s.down);
  close(s.wake[0]);
  close(s.wake[1]);
}

int Relay::port() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(state_->down, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

RelayCounts Relay::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->counts[0];
}

RelayCounts Relay::Replies() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->counts[1];
}

size_t Relay::Peers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->peers.size();
}

}  // namespace testsupport
