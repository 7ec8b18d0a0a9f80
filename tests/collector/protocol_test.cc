// The dump protocol against the real collector, over UDP from several
// loopback sender addresses.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <set>

#include "harness.h"

namespace {

using harness::CollectorTest;
using harness::Request;
using harness::SlotOf;
using harness::Status;
using testsupport::UdpClient;

std::vector<std::string> ListFiles(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class ProtocolTest : public CollectorTest {
 protected:
  void SetUp() override { StartCollector(); }

  // init from client; returns the slot, asserting success.
  uint32_t Init(UdpClient &client, int64_t ts) {
    auto reply = client.Exchange(Request(DUMP_MSG_INIT, ts), port);
    EXPECT_TRUE(reply.has_value());
    if (!reply) return UINT32_MAX;
    EXPECT_EQ(Status(*reply), 0u);
    return SlotOf(*reply);
  }

  uint32_t Send(UdpClient &client, const std::vector<uint8_t> &req) {
    auto reply = client.Exchange(req, port);
    EXPECT_TRUE(reply.has_value());
    return reply ? Status(*reply) : UINT32_MAX;
  }
};

TEST_F(ProtocolTest, WholeDumpsFromTwoSendersLandInTheirOwnTrees) {
  UdpClient a("127.0.0.2"), b("127.0.0.3");
  uint32_t slotA = Init(a, 77);
  uint32_t slotB = Init(b, 77);  // same timestamp, other address: other slot
  EXPECT_NE(slotA, slotB);

  // Blocks out of order; a repeated block rewrites the same bytes.
  EXPECT_EQ(Send(a, Request(DUMP_MSG_DATA, 77, slotA, 5, "world")), 0u);
  EXPECT_EQ(Send(a, Request(DUMP_MSG_DATA, 77, slotA, 0, "hello")), 0u);
  EXPECT_EQ(Send(a, Request(DUMP_MSG_DATA, 77, slotA, 0, "hello")), 0u);
  EXPECT_EQ(Send(b, Request(DUMP_MSG_DATA, 77, slotB, 0, "other")), 0u);
  EXPECT_EQ(Send(a, Request(DUMP_MSG_DONE, 77, slotA)), 0u);
  EXPECT_EQ(Send(b, Request(DUMP_MSG_DONE, 77, slotB)), 0u);

  auto filesA = ListFiles(base() + "/127/0/0/2");
  ASSERT_EQ(filesA.size(), 1u);
  EXPECT_EQ(filesA[0].rfind("zdump_127.0.0.2-", 0), 0u);
  EXPECT_EQ(filesA[0].substr(filesA[0].size() - 2), "-0");
  std::string pathA = base() + "/127/0/0/2/" + filesA[0];
  EXPECT_EQ(testsupport::ReadFile(pathA), "helloworld");
  struct stat st;
  ASSERT_EQ(stat(pathA.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0555 & ~mask);
  auto filesB = ListFiles(base() + "/127/0/0/3");
  ASSERT_EQ(filesB.size(), 1u);
  EXPECT_EQ(testsupport::ReadFile(base() + "/127/0/0/3/" + filesB[0]), "other");

  EXPECT_TRUE(LogHas("Opened new coredump file:" + pathA + " for 127.0.0.2 in slot " +
                     std::to_string(slotA) + ".\n"));
  EXPECT_TRUE(LogHas("Dump finished successfully for 127.0.0.2, slot " + std::to_string(slotA) +
                     ", file:" + pathA + ".\n"));
}

TEST_F(ProtocolTest, ReplyEchoesTheRequestHeaderExceptStatusAndSlot) {
  UdpClient c("127.0.0.4");
  auto req = Request(DUMP_MSG_INIT, 5);
  auto reply = c.Exchange(req, port);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 48u);
  EXPECT_TRUE(std::equal(req.begin(), req.begin() + 40, reply->begin()));
  EXPECT_EQ(Status(*reply), 0u);
  uint32_t slot = SlotOf(*reply);

  // Other requests keep the slot field as they carried it.
  auto data = Request(DUMP_MSG_DATA, 5, slot, 0, std::string(100, 'x'));
  reply = c.Exchange(data, port);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 48u);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 40, reply->begin()));
  EXPECT_TRUE(std::equal(data.begin() + 44, data.begin() + 48, reply->begin() + 44));
}

TEST_F(ProtocolTest, RepeatedInitResumesTheSameFile) {
  UdpClient c("127.0.0.5");
  uint32_t slot = Init(c, 9);
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DATA, 9, slot, 0, "abc")), 0u);
  EXPECT_EQ(Init(c, 9), slot);
  EXPECT_TRUE(LogHas("IP (127.0.0.5) and timestamp (9) match slot " + std::to_string(slot) +
                     ". Using old core file.\n"));
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DATA, 9, slot, 3, "def")), 0u);
  // A second timestamp from the same sender is a second dump in the same minute.
  uint32_t second = Init(c, 10);
  EXPECT_NE(second, slot);
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DONE, 9, slot)), 0u);
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DONE, 10, second)), 0u);
  auto files = ListFiles(base() + "/127/0/0/5");
  ASSERT_EQ(files.size(), 2u);
  std::set<std::string> counters;
  for (auto &f : files) counters.insert(f.substr(f.rfind('-')));
  // Both in one minute, unless the minute turned between the two inits.
  if (files[0].substr(0, files[0].rfind('-')) == files[1].substr(0, files[1].rfind('-'))) {
    EXPECT_EQ(counters, (std::set<std::string>{"-0", "-1"}));
  }
  std::string all = testsupport::ReadFile(base() + "/127/0/0/5/" + files[0]) +
                    testsupport::ReadFile(base() + "/127/0/0/5/" + files[1]);
  EXPECT_EQ(all, "abcdef");
}

TEST_F(ProtocolTest, DataIsCheckedAgainstSlotAddressAndTimestamp) {
  UdpClient owner("127.0.0.6"), stranger("127.0.0.7");
  uint32_t slot = Init(owner, 42);
  EXPECT_EQ(Send(stranger, Request(DUMP_MSG_DATA, 42, slot, 0, "x")), hxk_bad_param);
  EXPECT_TRUE(LogHas("Invalid IP for slot:" + std::to_string(slot) +
                     ". msg IP:127.0.0.7 != saved IP:127.0.0.6.\n"));
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 43, slot, 0, "x")), hxk_bad_param);
  EXPECT_TRUE(LogHas("127.0.0.6)Invalid timestamp for slot:" + std::to_string(slot) +
                     ". msg TS:43 !=  saved TS:42.\n"));
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 42, 5000, 0, "x")), hxk_bad_param);
  EXPECT_TRUE(LogHas("ip:7f000006)Invalid dumpID 5000\n"));

  // dataLength may undercut the payload, never exceed it.
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 42, slot, 0, "12345", 2)), 0u);
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 42, slot, 0, "12345", 6)), hxk_io_error);
  EXPECT_TRUE(LogHas("dataLength (6) bigger than it should be (5).\n"));

  // A 1700-byte datagram is read as 1600: 1552 payload bytes.
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 42, slot, 100, std::string(1652, 'z'), 0)), 0u);
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DONE, 42, slot)), 0u);
  auto files = ListFiles(base() + "/127/0/0/6");
  ASSERT_EQ(files.size(), 1u);
  std::string content = testsupport::ReadFile(base() + "/127/0/0/6/" + files[0]);
  EXPECT_EQ(content.size(), 100u + 1552u);
  EXPECT_EQ(content.substr(0, 5), "12345");

  // The slot is free again: data for it names the saved address 0.0.0.0.
  EXPECT_EQ(Send(owner, Request(DUMP_MSG_DATA, 42, slot, 0, "x")), hxk_bad_param);
  EXPECT_TRUE(LogHas("Invalid IP for slot:0. msg IP:127.0.0.6 != saved IP:0.0.0.0.\n"));
}

TEST_F(ProtocolTest, DoneStatusCheckAndUnknownTypes) {
  UdpClient c("127.0.0.8");
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DONE, 1, 99999)), 0u);
  EXPECT_EQ(Send(c, Request(DUMP_MSG_DONE, 1, 3)), 0u);
  for (uint32_t type : {0u, 3u, 4u, 5u, 8u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Send(c, Request(type, 1)), hxk_not_supported) << type;
  }
  EXPECT_TRUE(LogHas("ip:7f000008)Unknown message type:5\n"));
  EXPECT_EQ(Send(c, Request(DUMP_MSG_STATUS_CHECK, 0)), 0u);
  // The status line ends its line, so the next line has its own prefix.
  EXPECT_TRUE(LogHas("Posting back a status check reply to 127.0.0.8\n"));
  EXPECT_TRUE(ListFiles(base() + "/127").empty());
}

TEST_F(ProtocolTest, BadAndShortDatagramsGetNoReplyAndHarmNothing) {
  UdpClient c("127.0.0.9");
  auto bad = Request(DUMP_MSG_INIT, 1);
  bad[8] = 0;
  c.Send(bad, port);
  EXPECT_FALSE(c.Receive(std::chrono::milliseconds(300)));
  EXPECT_TRUE(LogHas("Bad magic:0xadeca100. Expected:0xadeca1bf\n"));
  EXPECT_TRUE(LogHas("Skipping bad packet.\n"));

  for (size_t len : {0, 1, 47}) {
    c.Send(std::vector<uint8_t>(len, 0xBF), port);
    EXPECT_FALSE(c.Receive(std::chrono::milliseconds(200))) << len;
  }
  EXPECT_TRUE(LogHas("Dropping a datagram of 0 bytes"));
  EXPECT_TRUE(LogHas("Dropping a datagram of 47 bytes"));
  // Still serving.
  EXPECT_EQ(Send(c, Request(DUMP_MSG_STATUS_CHECK, 1)), 0u);
  EXPECT_TRUE(proc.Running());
}

TEST_F(ProtocolTest, ZeroTimestampTakesNoSlot) {
  UdpClient c("127.0.0.10");
  EXPECT_EQ(Send(c, Request(DUMP_MSG_INIT, 0)), hxk_failure);
  EXPECT_EQ(Send(c, Request(DUMP_MSG_INIT, 0)), hxk_failure);
  EXPECT_TRUE(ListFiles(base() + "/127/0/0/10").empty());
  // The first slot is still the one a real init gets.
  EXPECT_EQ(Init(c, 1), 0u);
}

TEST_F(ProtocolTest, StopsCleanlyOnSigtermAndSigint) {
  auto status = proc.Stop(SIGTERM);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(LogHas("Stopping network coredump server now.\n"));

  StartCollector();
  status = proc.Stop(SIGINT);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

class OneSlotTest : public CollectorTest {
 protected:
  void SetUp() override { StartCollector({"-c", "1"}); }
};

TEST_F(OneSlotTest, SecondSenderIsRefusedUntilTheFirstIsDone) {
  UdpClient a("127.0.1.1"), b("127.0.1.2");
  auto reply = a.Exchange(Request(DUMP_MSG_INIT, 3), port);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Status(*reply), 0u);
  reply = b.Exchange(Request(DUMP_MSG_INIT, 3), port);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Status(*reply), hxk_limit_exceeded);
  EXPECT_TRUE(LogHas("Didn't find an index. Returning hxk_limit_exceeded.\n"));
  reply = a.Exchange(Request(DUMP_MSG_DONE, 3, 0), port);
  reply = b.Exchange(Request(DUMP_MSG_INIT, 3), port);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Status(*reply), 0u);
}

class VerboseTest : public CollectorTest {
 protected:
  void SetUp() override { StartCollector({"-v"}); }
};

TEST_F(VerboseTest, TracesRequestsAndTimesSincePreviousRequest) {
  UdpClient c("127.0.2.1");
  auto reply = c.Exchange(Request(DUMP_MSG_INIT, 8), port);
  ASSERT_TRUE(reply);
  uint32_t slot = SlotOf(*reply);
  c.Exchange(Request(DUMP_MSG_DATA, 8, slot, 0, "abcd"), port);
  c.Exchange(Request(DUMP_MSG_DATA, 8, slot, 3 << 20, "abcd"), port);
  c.Exchange(Request(DUMP_MSG_DONE, 8, slot), port);
  EXPECT_TRUE(LogHas("ip:7f000201)msg: type=1 len=48 dataOffset=0 dataLength=0 kB=0 MB=0\n"));
  EXPECT_TRUE(LogHas("ip:7f000201)msg type: 'init'.\n"));
  EXPECT_TRUE(LogHas("ip:7f000201)Using coredump index 0.\n"));
  // Only a data request that enters a new MiB is traced.
  EXPECT_TRUE(LogHas("ip:7f000201)msg: type=2 len=52 dataOffset=3145728 dataLength=4 kB=3072 "
                     "MB=3\n"));
  EXPECT_EQ(Log().find("msg: type=2 len=52 dataOffset=0 "), std::string::npos);
  EXPECT_TRUE(LogHas("ip:7f000201)Wrote 4 bytes to file @ 3145728 ("));
  EXPECT_TRUE(LogHas("ip:7f000201)message type: 'done'.\n"));
  EXPECT_TRUE(LogHas("ip:7f000201)Sending reply with status 0\n"));
}

}  // namespace
