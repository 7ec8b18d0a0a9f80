// The idle sweep in real time: a stalled transfer is dropped with its
// partial file after 60 seconds, even while other senders keep the
// collector busy, and a transfer that keeps sending is left alone.

#include <unistd.h>

#include <thread>

#include "harness.h"

namespace {

using harness::Request;
using harness::SlotOf;
using harness::Status;
using testsupport::UdpClient;

class IdleSweepTest : public harness::CollectorTest {};

TEST_F(IdleSweepTest, StalledDumpIsDroppedWhileOthersKeepTheCollectorBusy) {
  StartCollector();
  UdpClient stalled("127.0.4.1"), steady("127.0.4.2"), monitor("127.0.4.3");
  auto reply = stalled.Exchange(Request(DUMP_MSG_INIT, 1), port);
  ASSERT_TRUE(reply);
  uint32_t stalledSlot = SlotOf(*reply);
  stalled.Exchange(Request(DUMP_MSG_DATA, 1, stalledSlot, 0, "partial"), port);
  reply = steady.Exchange(Request(DUMP_MSG_INIT, 2), port);
  ASSERT_TRUE(reply);
  uint32_t steadySlot = SlotOf(*reply);

  std::string dropLine = "Client at 127.0.4.1 has been idle for 6";
  auto start = std::chrono::steady_clock::now();
  auto lastData = start;
  uint32_t offset = 0;
  // The monitor never leaves the socket quiet for 5 seconds, and the steady
  // sender writes a block every 5 seconds.
  bool dropped = testsupport::WaitFor(
      [&] {
        monitor.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port, std::chrono::seconds(1));
        auto now = std::chrono::steady_clock::now();
        if (now - lastData >= std::chrono::seconds(5)) {
          auto r = steady.Exchange(Request(DUMP_MSG_DATA, 2, steadySlot, offset, "abcd"), port);
          EXPECT_TRUE(r && Status(*r) == 0u);
          offset += 4;
          lastData = now;
        }
        usleep(500 * 1000);
        return Log().find(dropLine) != std::string::npos;
      },
      std::chrono::seconds(80));
  ASSERT_TRUE(dropped) << Log();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

  std::string log = Log();
  size_t at = log.find(dropLine);
  std::string line = log.substr(at, log.find('\n', at) - at);
  EXPECT_NE(line.find(" seconds. Timeout is 60 seconds. Removing partial dump " + base() +
                      "/127/0/4/1/zdump_127.0.4.1-"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find(" from slot " + std::to_string(stalledSlot) + "."), std::string::npos);
  std::string path = line.substr(line.find(base()), line.find(" from slot") - line.find(base()));
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  EXPECT_EQ(Status(*stalled.Exchange(Request(DUMP_MSG_DATA, 1, stalledSlot, 7, "x"), port)),
            hxk_bad_param);
  EXPECT_EQ(Status(*steady.Exchange(Request(DUMP_MSG_DONE, 2, steadySlot), port)), 0u);
  EXPECT_EQ(log.find("Client at 127.0.4.2"), std::string::npos);
}

TEST_F(IdleSweepTest, QuietCollectorSweepsOnItsOwn) {
  StartCollector();
  UdpClient stalled("127.0.4.4");
  auto reply = stalled.Exchange(Request(DUMP_MSG_INIT, 1), port);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(LogHas("Client at 127.0.4.4 has been idle for 6", std::chrono::seconds(75)));
}

}  // namespace
