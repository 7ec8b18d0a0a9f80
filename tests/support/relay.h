// A UDP relay between senders and the collector that behaves like a bad
// network: it loses, duplicates and delays datagrams in both directions, and
// since every copy gets its own random delay, they overtake each other.
#ifndef TESTS_SUPPORT_RELAY_H
#define TESTS_SUPPORT_RELAY_H

#include <chrono>
#include <cstdint>
#include <memory>

namespace testsupport {

struct RelayFaults {
  double loss = 0;       // share of datagrams dropped, in each direction
  double duplicate = 0;  // share of datagrams sent twice
  // Each copy waits a delay drawn evenly from [0, maxDelay] before it goes
  // on: a delay longer than the gap between datagrams reorders them.
  std::chrono::microseconds maxDelay{0};
  uint64_t seed = 1;  // the same seed makes the same decisions
};

// What the relay did to the datagrams of one direction.
struct RelayCounts {
  uint64_t received = 0;
  uint64_t lost = 0;
  uint64_t duplicated = 0;
  uint64_t reordered = 0;  // sent on after a datagram that arrived later
};

class Relay {
 public:
  // Listens on 127.0.0.1 on a free port and forwards to 127.0.0.1:target.
  // Each sender (source address and port) gets an upstream socket of its
  // own, bound to the sender's address, so the collector tells senders apart
  // (and files their dumps) as if they had reached it directly; replies go
  // back the way the request came.
  Relay(int target, const RelayFaults &faults);
  // Stops forwarding; what is still delayed is dropped.
  ~Relay();
  Relay(const Relay &) = delete;
  Relay &operator=(const Relay &) = delete;

  int port() const;
  // Requests (senders to collector) and replies so far.
  RelayCounts Requests() const;
  RelayCounts Replies() const;
  // Senders seen so far.
  size_t Peers() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace testsupport

#endif
