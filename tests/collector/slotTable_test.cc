// The slot table driven directly, with a clock the test moves.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>
#include <csignal>

#include <cstring>

#include "harness.h"
#include "tarnwellServe.h"

namespace {

using harness::Request;
using harness::SlotOf;
using harness::Status;

constexpr uint32_t kSender = 0x0A010203;  // 10.1.2.3
constexpr uint32_t kOther = 0x0A010204;

class SlotTableTest : public ::testing::Test {
 protected:
  void Make(int32_t slots) {
    CollectorConfig config;
    config.coreDir = tmp.path();
    config.logFile = tmp.path() + "/log";
    config.numClients = slots;
    config.now = [this] { return clock; };
    collector = std::make_unique<Collector>(std::move(config));
    ASSERT_TRUE(collector->AllocateSlots());
  }

  std::vector<uint8_t> Handle(const std::vector<uint8_t> &req, uint32_t ip) {
    std::vector<uint8_t> reply(DUMP_MSG_HEADER_SIZE);
    if (!collector->HandleDatagram(req.data(), req.size(), ip, reply.data())) {
      return {};
    }
    return reply;
  }

  testsupport::TempDir tmp;
  uint64_t clock = 1'000'000'000;
  std::unique_ptr<Collector> collector;
};

TEST_F(SlotTableTest, InitTakesTheFirstFreeSlotAndFillsIt) {
  Make(4);
  auto r = Handle(Request(DUMP_MSG_INIT, 5), kSender);
  ASSERT_EQ(Status(r), 0u);
  EXPECT_EQ(SlotOf(r), 0u);
  const CoreDumpInfo &s = collector->Slot(0);
  EXPECT_TRUE(FileIO_IsValid(&s.fd));
  EXPECT_EQ(s.timestamp, 5);
  EXPECT_EQ(s.ip, kSender);
  EXPECT_EQ(s.slot, 0);
  EXPECT_EQ(s.lastActivity, clock);
  ASSERT_NE(s.path, nullptr);
  EXPECT_EQ(std::string(s.path).rfind(tmp.path() + "/10/1/2/3/zdump_10.1.2.3-", 0), 0u);

  EXPECT_EQ(SlotOf(Handle(Request(DUMP_MSG_INIT, 6), kSender)), 1u);
  EXPECT_EQ(SlotOf(Handle(Request(DUMP_MSG_INIT, 5), kOther)), 2u);
  // Freeing slot 1 makes it the first free one again.
  Handle(Request(DUMP_MSG_DONE, 6, 1), kSender);
  EXPECT_FALSE(FileIO_IsValid(&collector->Slot(1).fd));
  EXPECT_EQ(collector->Slot(1).path, nullptr);
  EXPECT_EQ(SlotOf(Handle(Request(DUMP_MSG_INIT, 7), kOther)), 1u);
}

TEST_F(SlotTableTest, NamesCountUpWithinAMinuteAndGiveUpAfter256) {
  Make(300);
  std::string minute;
  for (int i = 0; i < 256; i++) {
    auto r = Handle(Request(DUMP_MSG_INIT, 100 + i), kSender);
    ASSERT_EQ(Status(r), 0u);
    std::string path = collector->Slot(static_cast<int32_t>(SlotOf(r))).path;
    std::string stem = path.substr(0, path.rfind('-'));
    if (i == 0) {
      minute = stem;
    } else if (stem != minute) {
      // The minute turned: names start again at counter 0.
      GTEST_SKIP() << "minute changed during the test";
    }
    EXPECT_EQ(path.substr(path.rfind('-')), "-" + std::to_string(i));
  }
  auto r = Handle(Request(DUMP_MSG_INIT, 999), kSender);
  EXPECT_EQ(Status(r), hxk_limit_exceeded);
  EXPECT_EQ(collector->Slot(256).timestamp, 0);  // the slot stays free
}

TEST_F(SlotTableTest, UncreatableFileIsReportedAndTheSlotStaysFree) {
  Make(2);
  // A file where the sender's directory should be.
  ASSERT_EQ(mkdir((tmp.path() + "/10").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tmp.path() + "/10/1").c_str(), 0755), 0);
  ASSERT_TRUE(testsupport::WriteFile(tmp.path() + "/10/1/2", "x"));
  auto r = Handle(Request(DUMP_MSG_INIT, 5), kSender);
  // ENOTDIR is the file layer's generic error.
  EXPECT_EQ(Status(r), hxk_limit_exceeded);
  EXPECT_EQ(collector->Slot(0).timestamp, 0);
  EXPECT_FALSE(FileIO_IsValid(&collector->Slot(0).fd));
}

TEST_F(SlotTableTest, OverlongFileNameFailsInsteadOfCuttingTheName) {
  testsupport::TempDir deep;
  std::string dir = deep.path();
  while (dir.size() < 1000) {
    dir += "/ddddddddddddddddddddddddddddddddddddddddddddddddddddd";
  }
  CollectorConfig config;
  config.coreDir = dir;
  config.numClients = 1;
  collector = std::make_unique<Collector>(std::move(config));
  ASSERT_TRUE(collector->AllocateSlots());
  auto r = Handle(Request(DUMP_MSG_INIT, 5), kSender);
  EXPECT_EQ(Status(r), hxk_failure);
  EXPECT_EQ(collector->Slot(0).timestamp, 0);
}

TEST_F(SlotTableTest, IdleSweepDropsOnlySlotsIdleBeyondSixtySeconds) {
  Make(3);
  Handle(Request(DUMP_MSG_INIT, 1), kSender);  // slot 0
  std::string stale = collector->Slot(0).path;
  clock += 30'000'000;
  Handle(Request(DUMP_MSG_INIT, 2), kOther);  // slot 1
  std::string fresh = collector->Slot(1).path;

  clock += 30'000'000;  // slot 0 idle exactly 60 s: kept
  collector->IdleSweep();
  EXPECT_EQ(collector->Slot(0).ip, kSender);

  clock += 1;
  // A status check does not keep a dump alive; a data request does.
  Handle(Request(DUMP_MSG_STATUS_CHECK, 1), kSender);
  collector->IdleSweep();
  EXPECT_EQ(collector->Slot(0).ip, 0u);
  EXPECT_EQ(collector->Slot(0).path, nullptr);
  EXPECT_NE(access(stale.c_str(), F_OK), 0);
  EXPECT_EQ(collector->Slot(1).ip, kOther);
  EXPECT_EQ(access(fresh.c_str(), F_OK), 0);

  // Dropped: later data is refused.
  EXPECT_EQ(Status(Handle(Request(DUMP_MSG_DATA, 1, 0, 0, "x"), kSender)), hxk_bad_param);
}

TEST_F(SlotTableTest, BusyCollectorStillSweepsEveryFiveSeconds) {
  Make(2);
  Handle(Request(DUMP_MSG_INIT, 1), kSender);
  std::string path = collector->Slot(0).path;
  for (int i = 0; i < 70; i++) {
    clock += 1'000'000;
    Handle(Request(DUMP_MSG_STATUS_CHECK, 1), kOther);
    collector->SweepIfDue();
  }
  EXPECT_EQ(collector->Slot(0).ip, 0u);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(SlotTableTest, SweepRemovesTheLinkNotWhatItPointsTo) {
  Make(1);
  Handle(Request(DUMP_MSG_INIT, 1), kSender);
  std::string path = collector->Slot(0).path;
  std::string victim = tmp.path() + "/victim";
  ASSERT_TRUE(testsupport::WriteFile(victim, "precious"));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  clock += 61'000'000;
  collector->IdleSweep();
  EXPECT_EQ(testsupport::ReadFile(victim), "precious");
  struct stat st;
  EXPECT_NE(lstat(path.c_str(), &st), 0);
}

}  // namespace

namespace {

TEST_F(SlotTableTest, WriteThatTheFileRefusesIsAnIoError) {
  // In a child, so the file-size limit binds nothing else.
  pid_t pid = fork();
  if (pid == 0) {
    Make(1);
    Handle(Request(DUMP_MSG_INIT, 1), kSender);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    uint32_t below =
        Status(Handle(Request(DUMP_MSG_DATA, 1, 0, 0, std::string(100, 'a')), kSender));
    uint32_t across =
        Status(Handle(Request(DUMP_MSG_DATA, 1, 0, 990, std::string(20, 'b')), kSender));
    std::string content = testsupport::ReadFile(collector->Slot(0).path);
    _exit(below == 0 && across == hxk_io_error && content.size() == 1000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Blocks of one dump that arrive together at adjacent offsets are written
// with one call; each reply still tells how its own block fared.
TEST_F(SlotTableTest, AdjacentBlocksInABatchShareOneWriteAndEachReplyTellsItsOwnFate) {
  // In a child, so the file-size limit binds nothing else.
  pid_t pid = fork();
  if (pid == 0) {
    Make(2);
    Handle(Request(DUMP_MSG_INIT, 1), kSender);
    Handle(Request(DUMP_MSG_INIT, 2), kOther);
    std::vector<std::vector<uint8_t>> replies;
    auto batch = [&](const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &requests) {
      replies.assign(requests.size(), std::vector<uint8_t>(DUMP_MSG_HEADER_SIZE, 0xEE));
      collector->BeginBatch();
      for (size_t i = 0; i < requests.size(); i++) {
        const auto &[ip, req] = requests[i];
        collector->HandleDatagram(req.data(), req.size(), ip, replies[i].data());
      }
      collector->EndBatch();
    };
    auto data = [](uint32_t slot, uint32_t offset, char c, size_t n) {
      return Request(DUMP_MSG_DATA, slot + 1, slot, offset, std::string(n, c));
    };
    // A run of three, another dump between, a block that starts a new run,
    // and a repeat of the first block, which continues nothing.
    batch({{kSender, data(0, 0, 'a', 100)},
           {kSender, data(0, 100, 'b', 100)},
           {kSender, data(0, 200, 'c', 50)},
           {kOther, data(1, 0, 'x', 10)},
           {kSender, data(0, 250, 'd', 10)},
           {kSender, data(0, 0, 'a', 100)}});
    bool allAnswered = true;
    for (const auto &r : replies) allAnswered = allAnswered && Status(r) == 0;
    std::string expected =
        std::string(100, 'a') + std::string(100, 'b') + std::string(50, 'c') + std::string(10, 'd');
    bool content = testsupport::ReadFile(collector->Slot(0).path) == expected &&
                   testsupport::ReadFile(collector->Slot(1).path) == std::string(10, 'x');
    bool calls = collector->Stats().writeCalls == 4 && collector->Stats().bytesWritten == 370;

    // A run the file takes only part of: the vectored write falls short, and
    // only the block that did not fit is answered with an I/O error.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    batch({{kOther, data(1, 10, 'y', 400)},
           {kOther, data(1, 410, 'z', 400)},
           {kOther, data(1, 810, 'w', 400)}});
    bool fates = Status(replies[0]) == 0 && Status(replies[1]) == 0 &&
                 Status(replies[2]) == hxk_io_error && collector->Stats().writeErrors == 1;
    _exit((allAnswered ? 0 : 1) | (content ? 0 : 2) | (calls ? 0 : 4) | (fates ? 0 : 8));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a block not answered with success, 2: content, "
                                       "4: write calls, 8: the short run's replies";
}

}  // namespace
