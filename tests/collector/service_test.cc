// The collector as a service: what it tells whoever runs it in the
// foreground, and what a huge slot table costs.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "harness.h"
#include "serviceNotify.h"

namespace {

using harness::Request;
using harness::SlotOf;
using harness::Status;
using testsupport::UdpClient;

using ServiceTest = harness::CollectorTest;

TEST_F(ServiceTest, ForegroundSaysWhereItServesAndTheLogFollows) {
  StartCollector({"-i", "127.0.0.1"});
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return proc.Stderr().find("the log follows here\n") != std::string::npos; }));
  std::string err = proc.Stderr();
  // The checks of start-up stay in the log; the terminal starts with where
  // everything is.
  EXPECT_EQ(err.rfind("tarnwell: listening on UDP 127.0.0.1:" + std::to_string(port) + "\n", 0), 0u)
      << err;
  EXPECT_NE(
      err.find("tarnwell: dumps go to " + base() + "/<sender address>/, up to 1024 at once\n"),
      std::string::npos);
  EXPECT_NE(err.find("tarnwell: log: " + logPath() + "\n"), std::string::npos);
  EXPECT_NE(err.find("stop with Ctrl-C or SIGTERM"), std::string::npos);
  // Then the log's lines follow as they are written.
  UdpClient c("127.0.4.4");
  ASSERT_TRUE(c.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port));
  EXPECT_TRUE(testsupport::WaitFor([&] {
    return proc.Stderr().find("Posting back a status check reply to 127.0.4.4") !=
           std::string::npos;
  })) << proc.Stderr();
  auto status = proc.Stop(SIGINT);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_NE(proc.Stderr().find("Stopping network coredump server now.\n"), std::string::npos);
}

// What systemd hears on NOTIFY_SOCKET: ready once the socket is bound and
// stopping once the loop ends.
TEST_F(ServiceTest, TellsTheServiceManagerWhenReadyAndWhenStopping) {
  if (!ServiceNotifyBuiltIn()) {
    GTEST_SKIP() << "built without libsystemd: the collector tells no service manager anything";
  }
  std::string path = tmp / "notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, path.c_str(), path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  StartCollector({"-i", "127.0.0.1"});
  unsetenv("NOTIFY_SOCKET");
  auto next = [fd] {
    struct pollfd p = {fd, POLLIN, 0};
    char buf[512];
    if (poll(&p, 1, 10'000) != 1) return std::string("(nothing)");
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? std::string("(error)") : std::string(buf, static_cast<size_t>(n));
  };
  EXPECT_EQ(next(), "READY=1\nSTATUS=Taking dumps on UDP 127.0.0.1:" + std::to_string(port));
  auto status = proc.Stop();
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_EQ(next(), "STOPPING=1");
  close(fd);
}

// Resident memory of a process in KiB, from /proc.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

// Whatever the machine's overcommit policy: a table that cannot be had is
// refused with the fatal message; one that can costs memory only for the
// slots in use, also when requests name slots never used.
TEST_F(ServiceTest, HugeSlotCountsAreServedCheaplyOrRefused) {
  for (uint32_t count : {2147483647u, 20000000u}) {
    SCOPED_TRACE(count);
    port = testsupport::FreeUdpPort();
    proc.Start({"-d", base(), "-o", std::to_string(port), "-c", std::to_string(count)});
    UdpClient probe("127.0.5.6");  // late replies to probes must not reach c
    bool serving = testsupport::WaitFor(
        [&] {
          return !proc.Running() || probe
                                        .Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port,
                                                  std::chrono::milliseconds(100))
                                        .has_value();
        },
        std::chrono::seconds(30));
    ASSERT_TRUE(serving);
    if (!proc.Running()) {
      auto status = proc.WaitExit();
      ASSERT_TRUE(status);
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
      EXPECT_EQ(proc.Stderr(), "Could not allocate memory for tarnwellCoreDumpInfo\n");
      continue;
    }
    UdpClient c("127.0.5.5");
    auto init = c.Exchange(Request(DUMP_MSG_INIT, 7), port);
    ASSERT_TRUE(init);
    EXPECT_EQ(Status(*init), 0u);
    EXPECT_EQ(SlotOf(*init), 0u);
    for (uint32_t id : {count - 1, count / 2, 1u}) {
      auto r = c.Exchange(Request(DUMP_MSG_DATA, 7, id, 0, "x"), port);
      ASSERT_TRUE(r);
      EXPECT_EQ(Status(*r), hxk_bad_param);
    }
    auto done = c.Exchange(Request(DUMP_MSG_DONE, 7, 0), port);
    ASSERT_TRUE(done);
    long kib = ResidentKiB(proc.pid());
    EXPECT_GT(kib, 0);
    EXPECT_LT(kib, 256 * 1024) << "the table of " << count << " slots was touched";
    proc.Stop();
  }
}

}  // namespace
