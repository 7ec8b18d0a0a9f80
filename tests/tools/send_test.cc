// tarnwell-send as an operator runs it, against the real collector.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "collector/harness.h"
#include "runTool.h"
#include "sender.h"

namespace {

using testsupport::ReadFile;
using tooltest::RunTool;

class SendTest : public harness::CollectorTest {
 protected:
  std::string Target() const { return "127.0.0.1:" + std::to_string(port); }

  std::vector<std::string> DumpsOf(const std::string &dir) const {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
      while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
      }
      closedir(d);
    }
    return out;
  }

  std::string RandomFile(const std::string &name, size_t size) {
    std::mt19937_64 gen(size);
    std::string content(size, '\0');
    for (auto &c : content) c = static_cast<char>(gen());
    EXPECT_TRUE(testsupport::WriteFile(tmp / name, content));
    return content;
  }
};

TEST_F(SendTest, FileSentThroughFaultsLandsByteForByte) {
  StartCollector();
  std::string content = RandomFile("vmcore", 3'000'001);
  auto r =
      RunTool(TARNWELL_SEND_BINARY, {"--from", "127.0.0.7", "--window", "4", "--drop", "10%",
                                     "--drop-replies", "10%", "--duplicate", "5%", "--shuffle",
                                     "--seed", "3", "--timeout", "20", tmp / "vmcore", Target()});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress bar without a terminal
  EXPECT_EQ(r.out.rfind("Sent " + (tmp / "vmcore") + " (3000001 bytes) to " + Target() + " in ", 0),
            0u)
      << r.out;
  EXPECT_EQ(r.out.find(" 0 retransmissions"), std::string::npos) << r.out;

  auto dumps = DumpsOf(base() + "/127/0/0/7");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_TRUE(ReadFile(dumps[0]) == content);
  EXPECT_TRUE(LogHas("Dump finished successfully for 127.0.0.7"));
}

TEST_F(SendTest, StatusCheckReportsAsAMonitoringCheck) {
  StartCollector();
  auto up = RunTool(TARNWELL_SEND_BINARY, {"--status", Target()});
  EXPECT_EQ(up.exitStatus, 0) << up.err;
  EXPECT_EQ(up.out.rfind("TARNWELL OK: " + Target() + " answered the status check in ", 0), 0u)
      << up.out;
  EXPECT_NE(up.out.find(" ms | time="), std::string::npos) << up.out;
  auto quiet = RunTool(TARNWELL_SEND_BINARY, {"-s", "-q", Target()});
  EXPECT_EQ(quiet.exitStatus, 0);
  EXPECT_EQ(quiet.out, "");
  // A check that cannot be made is UNKNOWN, wherever --status stands.
  EXPECT_EQ(RunTool(TARNWELL_SEND_BINARY, {"--attempts", "0", "--status", Target()}).exitStatus, 3);
  EXPECT_EQ(RunTool(TARNWELL_SEND_BINARY, {"-qs", "127.0.0.1:0"}).exitStatus, 3);
  EXPECT_EQ(RunTool(TARNWELL_SEND_BINARY, {"-s", "file", Target()}).exitStatus, 3);

  proc.Stop();
  auto down =
      RunTool(TARNWELL_SEND_BINARY, {"--status", "--attempts", "2", "--timeout", "20", Target()});
  EXPECT_EQ(down.exitStatus, 2);
  const std::string why =
      "no reply to status check after 2 attempts (the host reports that nothing listens on that "
      "port: is the collector running?)\n";
  EXPECT_EQ(down.out, "TARNWELL CRITICAL: " + Target() + " did not answer: " + why);
  auto downQuiet = RunTool(TARNWELL_SEND_BINARY,
                           {"--status", "--quiet", "--attempts", "2", "--timeout", "20", Target()});
  EXPECT_EQ(downQuiet.exitStatus, 2);
  EXPECT_EQ(downQuiet.out, "");
  EXPECT_EQ(downQuiet.err, "tarnwell-send: gave up checking " + Target() + ": " + why);
}

TEST_F(SendTest, GivesUpWhenNoReplyComesBackAndTheRepeatedInitResumes) {
  StartCollector();
  RandomFile("core", 100);
  auto r =
      RunTool(TARNWELL_SEND_BINARY, {"--from", "127.0.0.8", "--drop-replies", "1", "--attempts",
                                     "3", "--timeout", "10", "-t", "777", tmp / "core", Target()});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "tarnwell-send: gave up sending " + (tmp / "core") + " to " + Target() +
                       ": no reply to init after 3 attempts\n");
  EXPECT_TRUE(LogHas("IP (127.0.0.8) and timestamp (777) match slot 0. Using old core file."));
  EXPECT_EQ(DumpsOf(base() + "/127/0/0/8").size(), 1u);
}

TEST_F(SendTest, RefusesWhatCannotBeSentBeforeSendingAnything) {
  StartCollector();
  // A sparse file one byte beyond the largest dump.
  std::string big = tmp / "big";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(sender::kMaxDumpSize + 1)), 0);
  close(fd);
  auto r = RunTool(TARNWELL_SEND_BINARY, {big, Target()});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, "tarnwell-send: " + big +
                       " is 4294968848 bytes, too large to send: block offsets are 32-bit, so "
                       "a dump holds at most 4294968847 bytes (4 GiB + 1551)\n");

  auto missing = RunTool(TARNWELL_SEND_BINARY, {tmp / "nothing", Target()});
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
  auto usage = RunTool(TARNWELL_SEND_BINARY, {"--drop", "2", big, Target()});
  EXPECT_EQ(usage.exitStatus, 2);
  EXPECT_NE(usage.err.find("invalid probability: '2'"), std::string::npos);
  auto help = RunTool(TARNWELL_SEND_BINARY, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("FILE may hold at most\n4294968847 bytes"), std::string::npos);

  EXPECT_EQ(Log().find("Opened new coredump file"), std::string::npos);
}

}  // namespace
