// What goes wrong where collectors run: a full disk under the dumps or the
// log, a log file removed under the collector, a collector killed in the
// middle of a dump and started again, and a network that loses, duplicates
// and reorders in both directions.

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <future>
#include <random>

#include "collector/harness.h"
#include "runTool.h"
#include "sender.h"
#include "support/childProcess.h"
#include "support/relay.h"

namespace {

using harness::Request;
using harness::Status;
using testsupport::ReadFile;
using testsupport::WaitFor;
using tooltest::RunTool;
using tooltest::ToolResult;
using namespace std::chrono_literals;

std::string RandomContent(size_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(size, '\0');
  for (char &c : s) c = static_cast<char>(rng());
  return s;
}

// Dump files in dir, sorted by name.
std::vector<std::string> DumpsIn(const std::string &dir) {
  std::vector<std::string> files;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strncmp(e->d_name, "zdump_", 6) == 0) files.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

off_t FileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool MountTmpfs(const std::string &at, const char *size) {
  std::string options = std::string("size=") + size;
  return mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

class FaultsTest : public harness::CollectorTest {
 protected:
  std::string Target() const { return "127.0.0.1:" + std::to_string(port); }

  ToolResult Send(const std::string &file, std::vector<std::string> args) {
    args.push_back(file);
    args.push_back(Target());
    return RunTool(TARNWELL_SEND_BINARY, args);
  }

  bool AnswersStatusCheck() {
    testsupport::UdpClient probe("127.0.0.1");
    auto reply = probe.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port);
    return reply.has_value() && Status(*reply) == 0;
  }

  // Where path is seen from inside the collector's mount namespace.
  std::string Inside(const std::string &path) const {
    return "/proc/" + std::to_string(proc.pid()) + "/root" + path;
  }

  // Starts the collector with a tmpfs of the given size mounted at dir, in a
  // mount namespace of the collector's own.
  void StartOnTmpfs(const std::string &dir, const char *size,
                    const std::vector<std::string> &extra) {
    // Refused in some containers even to root: then the case cannot run.
    testsupport::TempDir scratch;  // removed here, where nothing is mounted on it
    auto probe = testsupport::RunInChild([&](const std::string &) {
      if (testsupport::EnterPrivateMountNamespace() && MountTmpfs(scratch.path(), size)) return 0;
      fprintf(stderr, "the system refused a tmpfs in a private mount namespace: %s",
              strerror(errno));
      return 1;
    });
    if (!probe.ExitedWith(0)) GTEST_SKIP() << probe.err;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string options = std::string("size=") + size;  // nothing allocates after the fork
    StartCollector(extra, [&] {
      return testsupport::EnterPrivateMountNamespace() &&
             mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    });
  }

  void Remount(const std::string &dir, const char *size) {
    std::string options = std::string("size=") + size;
    ASSERT_TRUE(testsupport::InMountNamespaceOf(proc.pid(), [&] {
      return mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
    }));
  }
};

TEST_F(FaultsTest, FullDiskAnswersIoErrorServesOnAndTakesTheDumpWholeOnceSpaceReturns) {
  SKIP_UNLESS_ROOT("mount a small tmpfs in a private mount namespace");
  std::string core = tmp / "vmcore";
  std::string content = RandomContent(512 << 10, 1);  // twice the file system
  ASSERT_TRUE(testsupport::WriteFile(core, content));
  std::string log = tmp / "collector.log";
  StartOnTmpfs(base(), "256k", {"-l", log});
  if (IsSkipped() || HasFatalFailure()) return;

  auto full = Send(core, {"--from", "127.0.0.9", "--attempts", "3", "--timeout", "20"});
  EXPECT_EQ(full.exitStatus, 1) << full.out;
  EXPECT_NE(full.err.find("with I/O error (0xbad000a) 3 times"), std::string::npos) << full.err;
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(log).find("Error: did not write full buffer to file") != std::string::npos;
  }));
  EXPECT_TRUE(AnswersStatusCheck());

  Remount(base(), "4m");
  auto whole = Send(core, {"--from", "127.0.0.9"});
  ASSERT_EQ(whole.exitStatus, 0) << whole.err;
  auto files = DumpsIn(Inside(base() + "/127/0/0/9"));
  ASSERT_EQ(files.size(), 2u);
  // The refused dump holds what fitted, as it was sent; the one sent again
  // is whole.
  std::string refused = ReadFile(files[0]);
  EXPECT_LE(refused.size(), 256u << 10);
  EXPECT_TRUE(refused == content.substr(0, refused.size()));
  EXPECT_TRUE(ReadFile(files[1]) == content) << files[1] << " differs";
  EXPECT_TRUE(proc.Running());
}

TEST_F(FaultsTest, FullLogDiskNeverStopsServingAndTheLogSaysWhatWasLost) {
  SKIP_UNLESS_ROOT("mount a small tmpfs in a private mount namespace");
  std::string logDir = tmp / "log";
  std::string log = logDir + "/tarnwell.log";
  // Every request is logged: the log fills long before the dump ends.
  StartOnTmpfs(logDir, "16k", {"-v", "-l", log});
  if (IsSkipped() || HasFatalFailure()) return;
  std::string core = tmp / "vmcore";
  std::string content = RandomContent(1 << 20, 2);
  ASSERT_TRUE(testsupport::WriteFile(core, content));

  auto r = Send(core, {"--from", "127.0.0.11"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  auto files = DumpsIn(base() + "/127/0/0/11");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(ReadFile(files[0]) == content);
  EXPECT_GT(FileSize(Inside(log)), 12 << 10);
  EXPECT_TRUE(AnswersStatusCheck());

  Remount(logDir, "1m");
  EXPECT_TRUE(AnswersStatusCheck());
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(Inside(log)).find("bytes discarded. Disk full?") != std::string::npos;
  }));
  EXPECT_TRUE(proc.Running());
}

TEST_F(FaultsTest, RemovedLogNeverStopsServingAndComesBackAtTheNextRotation) {
  // The first rotation after the removal finds no file to rotate.
  UserConfig("log.rotateSize = \"20000\"\nlog.keepOld = \"2\"\n");
  StartCollector({"-v"});
  ASSERT_EQ(unlink(logPath().c_str()), 0);
  std::string core = tmp / "vmcore";
  std::string content = RandomContent(1 << 20, 3);
  ASSERT_TRUE(testsupport::WriteFile(core, content));

  auto r = Send(core, {"--from", "127.0.0.12"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  auto files = DumpsIn(base() + "/127/0/0/12");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(ReadFile(files[0]) == content);
  EXPECT_TRUE(AnswersStatusCheck());
  EXPECT_TRUE(WaitFor([&] {
    std::string logs = Log() + ReadFile(base() + "/tarnwell-0.log");
    return logs.find("Dump finished successfully for 127.0.0.12") != std::string::npos;
  }));
  EXPECT_TRUE(proc.Running());
}

TEST_F(FaultsTest, KilledMidDumpAndRestartedTheSenderStartsOverAndThePartialFileStays) {
  std::string core = tmp / "vmcore";
  std::string content = RandomContent(32 << 20, 4);
  ASSERT_TRUE(testsupport::WriteFile(core, content));
  StartCollector();
  std::string dir = base() + "/127/0/0/10";
  // Under load a collector may take seconds to answer again; the default
  // attempts span about two and a half.
  auto sending = std::async(std::launch::async, [&] {
    return Send(core, {"--from", "127.0.0.10", "--attempts", "12"});
  });
  std::string partial;
  ASSERT_TRUE(WaitFor(
      [&] {
        auto files = DumpsIn(dir);
        if (files.size() != 1 || FileSize(files[0]) < (1 << 20)) return false;
        partial = files[0];
        return true;
      },
      60s));
  ASSERT_TRUE(proc.Stop(SIGKILL).has_value());
  std::string atKill = ReadFile(partial);
  ASSERT_LT(atKill.size(), content.size()) << "the dump ended before the kill";

  StartCollector();
  auto r = sending.get();
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find(", 1 restarts from init"), std::string::npos) << r.out;
  auto files = DumpsIn(dir);
  ASSERT_EQ(files.size(), 2u);
  for (const std::string &f : files) {
    if (f == partial) {
      EXPECT_TRUE(ReadFile(f) == atKill) << "the partial file changed";
    } else {
      EXPECT_TRUE(ReadFile(f) == content) << f << " differs";
    }
  }
}

TEST_F(FaultsTest, SixteenSendersThroughALossyReorderingRelayArriveByteForByte) {
  constexpr int kSenders = 16;
  constexpr uint64_t kSize = 256 << 10;
  constexpr uint64_t kSeed = 11;
  StartCollector();
  // Delays up to 30 ms each way, beyond the senders' shortest reply
  // timeout: replies come late and out of order, requests are repeated.
  testsupport::Relay relay(port,
                           {.loss = 0.05, .duplicate = 0.05, .maxDelay = 30ms, .seed = kSeed});
  auto r = RunTool(
      TARNWELL_LOAD_BINARY,
      {"--senders", std::to_string(kSenders), "--size", std::to_string(kSize), "--from",
       "127.0.3.1", "--window", "8", "--timeout", "100", "--attempts", "40", "--seed",
       std::to_string(kSeed), "--verify", base(), "127.0.0.1:" + std::to_string(relay.port())});
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("verified 16 dump files under " + base() +
                       ": every one identical to what was sent"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(relay.Peers(), static_cast<size_t>(kSenders));
  for (const auto &c : {relay.Requests(), relay.Replies()}) {
    EXPECT_GT(c.lost, 0u);
    EXPECT_GT(c.duplicated, 0u);
    EXPECT_GT(c.reordered, 0u);
  }

  std::string want(kSize, '\0');
  for (int i = 0; i < kSenders; i++) {
    auto files = DumpsIn(base() + "/127/0/3/" + std::to_string(i + 1));
    ASSERT_EQ(files.size(), 1u) << i;
    sender::PatternSource::Fill(kSeed, static_cast<uint32_t>(i), 0,
                                reinterpret_cast<uint8_t *>(want.data()), kSize);
    EXPECT_TRUE(ReadFile(files[0]) == want) << files[0] << " differs";
  }
  EXPECT_TRUE(AnswersStatusCheck());
}

}  // namespace
