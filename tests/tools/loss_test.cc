// Sixteen hosts dump at once through a network that loses, duplicates and
// reorders: no byte may be lost, and the collector must keep serving.

#include <dirent.h>

#include <csignal>
#include <future>
#include <regex>

#include "collector/harness.h"
#include "runTool.h"
#include "sender.h"

namespace {

using harness::Request;
using harness::Status;
using tooltest::RunTool;

constexpr int kSenders = 16;
constexpr uint64_t kSize = 8 << 20;
constexpr uint64_t kSeed = 7;

class LossTest : public harness::CollectorTest {};

TEST_F(LossTest, EveryDumpIsIdenticalAfterLossDuplicationAndReordering) {
  StartCollector();
  auto r = RunTool(
      TARNWELL_LOAD_BINARY,
      {"--senders", std::to_string(kSenders), "--size", "8M", "--from", "127.0.1.1", "--window",
       "8", "--timeout", "20",
       // A loaded machine may stall a sender
       // for long: giving up is not what is
       // tested here.
       "--attempts", "40", "--drop", "5%", "--drop-replies", "5%", "--duplicate", "2%", "--shuffle",
       "--seed", std::to_string(kSeed), "--verify", base(), "127.0.0.1:" + std::to_string(port)});
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(", 0 failed\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("verified 16 dump files under " + base() +
                       ": every one identical to what was sent"),
            std::string::npos)
      << r.out;
  // The faults did happen: about a tenth of the requests went unanswered.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(", (\\d+) retransmissions")));
  EXPECT_GT(std::stoull(m[1]), kSenders * sender::BlockCount(kSize) / 20);

  // Checked here too, independently of the tool's own verification.
  std::string want(kSize, '\0');
  for (int i = 0; i < kSenders; i++) {
    std::string dir = base() + "/127/0/1/" + std::to_string(i + 1);
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
      while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
      }
      closedir(d);
    }
    ASSERT_EQ(files.size(), 1u) << dir;
    sender::PatternSource::Fill(kSeed, static_cast<uint32_t>(i), 0,
                                reinterpret_cast<uint8_t *>(want.data()), kSize);
    EXPECT_TRUE(testsupport::ReadFile(files[0]) == want) << files[0] << " differs";
  }

  testsupport::UdpClient probe("127.0.0.1");
  auto reply = probe.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(Status(*reply), 0u);
  EXPECT_TRUE(proc.Running());
}

// Holding slots for each other must not hang a run: when the last sender
// still without a slot gives up, the holders go on; when nobody answers,
// everyone gives up.
TEST_F(LossTest, TogetherAlwaysEndsWhenSlotsRunOutOrNobodyAnswers) {
  StartCollector({"-c", "2"});
  auto run = std::async(std::launch::async, [&] {
    return RunTool(
        TARNWELL_LOAD_BINARY,
        {"--senders", "3", "--size", "4K", "--from", "127.0.2.1", "--together", "--timeout", "100",
         "--attempts", "3", "--quiet", "127.0.0.1:" + std::to_string(port)},
        std::chrono::seconds(60));
  });
  // The third sender was refused a slot; from now on nothing answers it, so
  // it gives up on its timer, not on a reply.
  ASSERT_TRUE(LogHas("Didn't find an index. Returning hxk_limit_exceeded."));
  kill(proc.pid(), SIGSTOP);
  auto stalled = run.get();
  kill(proc.pid(), SIGCONT);
  EXPECT_EQ(stalled.exitStatus, 1) << stalled.out << stalled.err;
  EXPECT_NE(stalled.out.find(", 3 failed\n"), std::string::npos) << stalled.out;

  int silent = testsupport::FreeUdpPort();
  auto nobody = RunTool(TARNWELL_LOAD_BINARY,
                        {"--senders", "3", "--size", "4K", "--together", "--timeout", "10",
                         "--attempts", "2", "--quiet", "127.0.0.1:" + std::to_string(silent)},
                        std::chrono::seconds(60));
  EXPECT_EQ(nobody.exitStatus, 1) << nobody.out << nobody.err;
  EXPECT_NE(nobody.out.find(", 3 failed\n"), std::string::npos) << nobody.out;
}

}  // namespace
