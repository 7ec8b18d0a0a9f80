// Shared pieces of the collector's end-to-end tests: request building and a
// fixture that runs the collector on a free port in a temporary directory.
#ifndef TESTS_COLLECTOR_HARNESS_H
#define TESTS_COLLECTOR_HARNESS_H

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dumpProtocol.h"
#include "support/collectorProcess.h"
#include "support/tempDir.h"

namespace harness {

inline std::vector<uint8_t> Request(uint32_t type, int64_t timestamp, uint32_t dumpId = 0,
                                    uint32_t dataOffset = 0, const std::string &payload = "",
                                    int64_t dataLength = -1) {
  DumpMsgHeader hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(hdr.opaque0, "opaque!!", 8);
  memcpy(hdr.opaque12, "\x01\x02\x03\x04", 4);
  hdr.magic = DUMP_MSG_MAGIC;
  hdr.timestamp = timestamp;
  hdr.dumpId = dumpId;
  hdr.msgType = type;
  hdr.dataOffset = dataOffset;
  hdr.dataLength =
      dataLength < 0 ? static_cast<uint32_t>(payload.size()) : static_cast<uint32_t>(dataLength);
  hdr.status = 0x55555555;
  hdr.slot = 0x66666666;
  std::vector<uint8_t> out(DUMP_MSG_HEADER_SIZE);
  DumpMsg_Encode(&hdr, out.data());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

inline uint32_t Status(const std::vector<uint8_t> &reply) {
  return DumpMsg_GetU32(reply.data() + DUMP_MSG_OFF_STATUS);
}
inline uint32_t SlotOf(const std::vector<uint8_t> &reply) {
  return DumpMsg_GetU32(reply.data() + DUMP_MSG_OFF_SLOT);
}

// Runs the collector with a base directory inside a temporary directory.
class CollectorTest : public ::testing::Test {
 protected:
  std::string base() const { return tmp.path() + "/dumps"; }
  std::string logPath() const { return base() + "/tarnwell.log"; }
  std::string Log() const { return testsupport::ReadFile(logPath()); }

  // Starts the collector with "-d base -o port" plus extra and waits until
  // it answers a status check. The port is chosen at the first start and
  // kept, so that a collector started again serves where the last one did.
  // beforeExec runs in the collector's process before the program starts.
  void StartCollector(const std::vector<std::string> &extra = {},
                      const std::function<bool()> &beforeExec = {}) {
    if (port == 0) {
      port = testsupport::FreeUdpPort();
    }
    std::vector<std::string> args = {"-d", base(), "-o", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    proc.Start(args, "", beforeExec);
    testsupport::UdpClient probe("127.0.0.1");
    bool up = testsupport::WaitFor([&] {
      auto reply =
          probe.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port, std::chrono::milliseconds(100));
      return reply.has_value();
    });
    ASSERT_TRUE(up) << "collector did not answer; stderr: " << proc.Stderr();
  }

  bool LogHas(const std::string &text,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return testsupport::WaitFor([&] { return Log().find(text) != std::string::npos; }, timeout);
  }

  // The collector inherits HOME; this gives it a user configuration in the
  // temporary directory, until the test ends.
  void UserConfig(const std::string &text) {
    std::string home = tmp / "home";
    mkdir(home.c_str(), 0755);
    mkdir((home + "/.brellis").c_str(), 0755);
    ASSERT_TRUE(testsupport::WriteFile(home + "/.brellis/config", text));
    if (!homeReplaced) {
      const char *old = getenv("HOME");
      savedHome = old ? old : "";
      hadHome = old != nullptr;
      homeReplaced = true;
    }
    setenv("HOME", home.c_str(), 1);
  }

  ~CollectorTest() override {
    if (homeReplaced) {
      proc.Stop();
      if (hadHome) {
        setenv("HOME", savedHome.c_str(), 1);
      } else {
        unsetenv("HOME");
      }
    }
  }

  testsupport::TempDir tmp;
  testsupport::CollectorProcess proc;
  int port = 0;

 private:
  bool homeReplaced = false;
  std::string savedHome;
  bool hadHome = false;
};

}  // namespace harness

#endif
