// Runs the real collector binary for end-to-end tests and talks to it over
// UDP from chosen loopback source addresses.
#ifndef TESTS_SUPPORT_COLLECTORPROCESS_H
#define TESTS_SUPPORT_COLLECTORPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A UDP port that was free a moment ago on every local address.
int FreeUdpPort();

class CollectorProcess {
 public:
  CollectorProcess() = default;
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess &) = delete;
  CollectorProcess &operator=(const CollectorProcess &) = delete;

  // Starts the collector with args (the program name is added); standard
  // error is captured. cwd, when given, is the child's working directory.
  // beforeExec, when given, runs in the child just before the program is
  // started (to give it a mount namespace of its own, say); when it returns
  // false the child ends with status 127 instead.
  void Start(const std::vector<std::string> &args, const std::string &cwd = "",
             const std::function<bool()> &beforeExec = {});
  // Waits for the process to end on its own; its wait status, or nullopt on
  // timeout.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Sends a signal and waits for the end; the wait status or nullopt.
  std::optional<int> Stop(int signal = 15);
  bool Running();
  // Everything written to standard error (and standard output) so far.
  std::string Stderr();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  // In the foreground the collector copies its log to standard error: a
  // thread reads it all the time, so that a full pipe never holds the
  // collector up. The thread owns what it reads into, since post-processing
  // children may hold the pipe open after the collector and this are gone.
  struct Output;
  std::shared_ptr<Output> output_;
};

class UdpClient {
 public:
  // Binds to sourceAddress (any 127.0.0.0/8 address works on Linux).
  explicit UdpClient(const std::string &sourceAddress = "127.0.0.1");
  ~UdpClient();
  UdpClient(const UdpClient &) = delete;
  UdpClient &operator=(const UdpClient &) = delete;

  void Send(const std::vector<uint8_t> &datagram, int port,
            const std::string &destination = "127.0.0.1");
  // The next datagram received, or nullopt when none arrives in time.
  std::optional<std::vector<uint8_t>> Receive(
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Send, then Receive.
  std::optional<std::vector<uint8_t>> Exchange(
      const std::vector<uint8_t> &datagram, int port,
      std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  int fd_ = -1;
};

// Polls until pred() holds or the timeout passes; returns pred()'s last value.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return pred();
    }
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace testsupport

#endif
