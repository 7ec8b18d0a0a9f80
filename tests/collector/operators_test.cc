// The operators' controls: allowed senders, the free-space floor, retention
// per host, durable done and the metrics text, driven through the slot
// table; and as an operator meets them, through the configuration.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <map>
#include <regex>
#include <set>

#include "harness.h"
#include "metrics.h"
#include "senderFilter.h"
#include "store.h"
#include "tarnwellServe.h"

namespace {

using harness::Request;
using harness::SlotOf;
using harness::Status;

constexpr uint32_t kHost = 0x0A000001;   // 10.0.0.1
constexpr uint32_t kOther = 0xC0A80411;  // 192.168.4.17

TEST(SenderFilterTest, AddressesBlocksAndReportsOnceAMinute) {
  SenderFilter f;
  std::string bad;
  ASSERT_TRUE(f.Parse(" 10.0.0.0/8,192.168.4.17 , 172.16.0.0/12", &bad));
  EXPECT_EQ(f.Describe(), "10.0.0.0/8, 192.168.4.17, 172.16.0.0/12");
  EXPECT_TRUE(f.Allows(0x0AFFFFFF));
  EXPECT_TRUE(f.Allows(kOther));
  EXPECT_FALSE(f.Allows(kOther + 1));
  EXPECT_TRUE(f.Allows(0xAC1F0001));   // 172.31.0.1
  EXPECT_FALSE(f.Allows(0xAC200001));  // 172.32.0.1
  for (const char *wrong : {"10.0.0/8", "10.0.0.0/33", "10.0.0.0/", "host", "1.2.3.4/8x", ""}) {
    std::string text = std::string("10.0.0.1, ") + wrong;
    EXPECT_FALSE(f.Parse(text, &bad)) << text;
    EXPECT_EQ(bad, wrong);
  }
  ASSERT_TRUE(f.Parse("  ", &bad));
  EXPECT_TRUE(f.AllowsAll());

  uint64_t count = 0;
  ASSERT_TRUE(f.NoteRefused(kOther, 1'000, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(f.NoteRefused(kOther, 2'000, &count));
  EXPECT_FALSE(f.NoteRefused(kOther, 30'000'000, &count));
  EXPECT_TRUE(f.NoteRefused(kHost, 30'000'000, &count));  // each address on its own
  ASSERT_TRUE(f.NoteRefused(kOther, 61'000'000, &count));
  EXPECT_EQ(count, 3u);
}

class OperatorsTest : public ::testing::Test {
 protected:
  void Make(const std::function<void(CollectorConfig &)> &adjust = nullptr) {
    CollectorConfig config;
    config.coreDir = tmp.path();
    config.numClients = 8;
    config.now = [this] { return clock; };
    config.measureFreeSpace = [this] { return free; };
    if (adjust) {
      adjust(config);
    }
    collector = std::make_unique<Collector>(std::move(config));
    ASSERT_TRUE(collector->AllocateSlots());
  }
  std::vector<uint8_t> Handle(const std::vector<uint8_t> &req, uint32_t ip = kHost) {
    std::vector<uint8_t> reply(DUMP_MSG_HEADER_SIZE);
    if (!collector->HandleDatagram(req.data(), req.size(), ip, 4242, reply.data())) {
      return {};
    }
    return reply;
  }
  // A whole dump of blocks of 1000 bytes; the slot it had.
  uint32_t Dump(int64_t timestamp, int blocks, uint32_t ip = kHost) {
    uint32_t slot = SlotOf(Handle(Request(DUMP_MSG_INIT, timestamp), ip));
    for (int i = 0; i < blocks; i++) {
      EXPECT_EQ(Status(Handle(Request(DUMP_MSG_DATA, timestamp, slot, i * 1000,
                                      std::string(1000, 'a' + i % 26)),
                              ip)),
                0u);
    }
    Handle(Request(DUMP_MSG_DONE, timestamp, slot), ip);
    return slot;
  }
  std::set<std::string> Files(const std::string &dir) {
    std::set<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
      out.insert(e.path().filename().string());
    }
    return out;
  }

  testsupport::TempDir tmp;
  uint64_t clock = 1'000'000'000;
  uint64_t free = 100 << 20;
  std::unique_ptr<Collector> collector;
};

TEST_F(OperatorsTest, SendersNotAllowedAreNeitherAnsweredNorServed) {
  Make([](CollectorConfig &c) {
    std::string bad;
    ASSERT_TRUE(c.allowed.Parse("10.0.0.0/24", &bad));
  });
  EXPECT_TRUE(Handle(Request(DUMP_MSG_INIT, 1), kOther).empty());
  EXPECT_TRUE(Handle(Request(DUMP_MSG_STATUS_CHECK, 1), kOther).empty());
  EXPECT_EQ(collector->SlotsInUse(), 0u);
  EXPECT_EQ(Status(Handle(Request(DUMP_MSG_INIT, 1))), 0u);
  EXPECT_EQ(collector->Stats().datagramsNotAllowed, 2u);
  EXPECT_EQ(collector->Stats().datagramsInit, 1u);
}

TEST_F(OperatorsTest, FreeSpaceFloorRefusesNewDumpsAndGrowthButNotRewrites) {
  Make([](CollectorConfig &c) { c.minFreeBytes = 10'000; });
  free = 13'500;
  uint32_t slot = SlotOf(Handle(Request(DUMP_MSG_INIT, 5)));
  ASSERT_EQ(collector->SlotsInUse(), 1u);
  auto data = [&](uint32_t offset) {
    return Status(Handle(Request(DUMP_MSG_DATA, 5, slot, offset, std::string(1000, 'x'))));
  };
  // Written bytes count against the figure until it is read again.
  for (uint32_t i = 0; i < 3; i++) {
    EXPECT_EQ(data(i * 1000), 0u) << i;
  }
  EXPECT_EQ(data(3000), hxk_io_error);
  EXPECT_EQ(data(1000), 0u);  // a block written again takes no more room
  EXPECT_EQ(collector->Stats().writeErrors, 1u);
  // Read again a second later, below the floor: no new dump.
  free = 9'000;
  clock += FreeSpace::kRefreshMicros;
  EXPECT_EQ(Status(Handle(Request(DUMP_MSG_INIT, 6))), hxk_limit_exceeded);
  EXPECT_EQ(collector->Stats().refusedLowSpace, 1u);
  // Room again: the transfer goes on and new dumps are taken.
  free = 1 << 20;
  clock += FreeSpace::kRefreshMicros;
  EXPECT_EQ(data(3000), 0u);
  EXPECT_EQ(Status(Handle(Request(DUMP_MSG_INIT, 6))), 0u);
}

TEST_F(OperatorsTest, RetentionRemovesTheOldestFinishedDumpsOfTheHostOnly) {
  Make([](CollectorConfig &c) { c.keepDumpsPerHost = 2; });
  std::string dir = tmp.path() + "/10/0/0/1";
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  // Older dumps, the oldest with the highest counter: age is not name order.
  auto old = [&](const std::string &name, time_t age) {
    std::string path = dir + "/" + name;
    ASSERT_TRUE(testsupport::WriteFile(path, "old"));
    struct timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  old("zdump_10.0.0.1-2026-01-01-10_00-7", 300);
  old("zdump_10.0.0.1-2026-01-01-10_00-0", 200);
  old("zdump_10.0.0.1-2026-01-01-10_00-3", 100);
  old("notes.txt", 400);
  ASSERT_EQ(symlink("/etc/hostname", (dir + "/zdump_10.0.0.1-2025-01-01-10_00-0").c_str()), 0);
  // A dump of the host in progress is neither counted nor removed.
  uint32_t open = SlotOf(Handle(Request(DUMP_MSG_INIT, 99)));
  std::string inProgress = std::filesystem::path(collector->Slot(open).path).filename();

  Dump(5, 2);
  std::set<std::string> left = Files(dir);
  EXPECT_EQ(left.size(), 5u);
  EXPECT_TRUE(left.count("zdump_10.0.0.1-2026-01-01-10_00-3"));
  EXPECT_FALSE(left.count("zdump_10.0.0.1-2026-01-01-10_00-0"));
  EXPECT_FALSE(left.count("zdump_10.0.0.1-2026-01-01-10_00-7"));
  EXPECT_TRUE(left.count("notes.txt"));
  EXPECT_TRUE(left.count("zdump_10.0.0.1-2025-01-01-10_00-0"));
  EXPECT_TRUE(left.count(inProgress));
  // Another host's dumps are its own business.
  Dump(7, 1, kOther);
  Dump(8, 1, kOther);
  Dump(9, 1, kOther);
  EXPECT_EQ(Files(tmp.path() + "/192/168/4/17").size(), 2u);
  EXPECT_EQ(Files(dir).size(), 5u);
}

TEST_F(OperatorsTest, DurableDoneIsAnsweredOnceTheDumpIsSynced) {
  Make([](CollectorConfig &c) { c.syncOnDone = true; });
  ASSERT_GE(collector->SyncNotifyFd(), 0);
  uint32_t slot = SlotOf(Handle(Request(DUMP_MSG_INIT, 5)));
  Handle(Request(DUMP_MSG_DATA, 5, slot, 0, "hello"));
  std::vector<uint8_t> done = Request(DUMP_MSG_DONE, 5, slot);
  EXPECT_TRUE(Handle(done).empty());
  EXPECT_TRUE(Handle(done).empty());  // repeated: answered with the first
  EXPECT_EQ(Status(Handle(Request(DUMP_MSG_DATA, 5, slot, 5, "late"))), hxk_bad_param);
  clock += 2 * Collector::kIdleTimeoutMicros;
  collector->IdleSweep();  // a dump being synced is not stalled
  std::vector<DeferredReply> replies = collector->FinishSyncs();
  ASSERT_EQ(replies.size(), 2u);
  for (const DeferredReply &r : replies) {
    EXPECT_EQ(r.ip, kHost);
    EXPECT_EQ(r.port, 4242);
    EXPECT_EQ(DumpMsg_GetU32(r.reply + DUMP_MSG_OFF_STATUS), 0u);
    EXPECT_EQ(memcmp(r.reply, done.data(), DUMP_MSG_OFF_STATUS), 0);
  }
  EXPECT_EQ(collector->SlotsInUse(), 0u);
  EXPECT_EQ(collector->Stats().dumpsCompleted, 1u);
  EXPECT_EQ(collector->Stats().dumpsDroppedIdle, 0u);
  auto files = Files(tmp.path() + "/10/0/0/1");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(testsupport::ReadFile(tmp.path() + "/10/0/0/1/" + *files.begin()), "hello");
}

// Every sample belongs to a family announced by HELP and TYPE before it,
// counters end in _total, and no family is announced twice.
std::map<std::string, double> ParseExposition(const std::string &text) {
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::istringstream in(text);
  std::string line;
  const std::regex help(R"(# HELP ([a-z_]+) \S.*)");
  const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge))");
  const std::regex sample(R"(([a-z_]+)(\{[a-z_]+="[a-z_]+"\})? (-?[0-9]+(\.[0-9]+)?))");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, help)) {
      EXPECT_TRUE(helped.insert(m[1]).second) << line;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_TRUE(helped.count(m[1])) << line;
      EXPECT_TRUE(types.emplace(m[1], m[2]).second) << line;
      EXPECT_EQ(m[2] == "counter", m[1].str().ends_with("_total")) << line;
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_TRUE(types.count(m[1])) << line;
      samples[m[1].str() + m[2].str()] = std::stod(m[3]);
    } else {
      ADD_FAILURE() << "not exposition text: " << line;
    }
  }
  return samples;
}

TEST_F(OperatorsTest, MetricsCountWhatHappened) {
  Make();
  Dump(5, 3);
  Handle(Request(DUMP_MSG_STATUS_CHECK, 1));
  Handle(Request(77, 1));
  std::vector<uint8_t> bad = Request(DUMP_MSG_INIT, 1);
  bad[DUMP_MSG_OFF_MAGIC] ^= 1;
  Handle(bad);
  Handle({1, 2, 3});
  uint32_t stalled = SlotOf(Handle(Request(DUMP_MSG_INIT, 6)));
  EXPECT_EQ(stalled, 0u);
  clock += 2 * Collector::kIdleTimeoutMicros;
  collector->IdleSweep();

  MetricsSnapshot m;
  m.stats = collector->Stats();
  m.slots = 8;
  m.freeBytes = collector->FreeBytes();
  m.startTimeSeconds = 1700000000.5;
  auto s = ParseExposition(FormatMetrics(m));
  EXPECT_EQ(s["tarnwell_dumps_started_total"], 2);
  EXPECT_EQ(s["tarnwell_dumps_completed_total"], 1);
  EXPECT_EQ(s["tarnwell_dumps_dropped_idle_total"], 1);
  EXPECT_EQ(s["tarnwell_written_bytes_total"], 3000);
  EXPECT_EQ(s["tarnwell_datagrams_received_total{type=\"data\"}"], 3);
  EXPECT_EQ(s["tarnwell_datagrams_received_total{type=\"init\"}"], 2);
  EXPECT_EQ(s["tarnwell_datagrams_received_total{type=\"unknown\"}"], 1);
  EXPECT_EQ(s["tarnwell_datagrams_bad_total"], 2);
  EXPECT_EQ(s["tarnwell_free_space_bytes"], 100 << 20);
  EXPECT_EQ(s["tarnwell_slots"], 8);
  EXPECT_EQ(s["tarnwell_start_time_seconds"], 1700000000.5);

  std::string path = tmp.path() + "/tarnwell.prom";
  ASSERT_TRUE(WriteMetricsFile(path, m));
  EXPECT_EQ(testsupport::ReadFile(path), FormatMetrics(m));
  EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/.tarnwell.prom.tmp"));
}

// As an operator meets them: settings from the configuration, their lines
// at start, the store's state, refusals in the log, the metrics file.
class OperatorsServiceTest : public harness::CollectorTest {};

TEST_F(OperatorsServiceTest, ConfiguredControlsAreLoggedAndApplied) {
  std::string metrics = tmp / "tarnwell.prom";
  UserConfig("tarnwell.allowedSenders = \"127.0.0.1, 127.0.2.0/24\"\n"
             "tarnwell.minFreeSpaceMB = 1\n"
             "tarnwell.keepDumpsPerHost = 3\n"
             "tarnwell.syncOnDone = FALSE\n"
             "tarnwell.metricsFile = \"" + metrics + "\"\n"
             "tarnwell.socketBufferKB = 512\n");
  StartCollector();
  testsupport::UdpClient refused("127.0.3.1");
  for (int i = 0; i < 3; i++) {
    EXPECT_FALSE(refused.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port,
                                  std::chrono::milliseconds(200)));
  }
  testsupport::UdpClient allowed("127.0.2.9");
  EXPECT_TRUE(allowed.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port));
  ASSERT_TRUE(LogHas("Dropping datagrams from 127.0.3.1: not an allowed sender"));
  ASSERT_TRUE(proc.Stop().has_value());

  std::string log = Log();
  for (const char *line :
       {"Senders allowed (tarnwell.allowedSenders): 127.0.0.1, 127.0.2.0/24\n",
        "Free-space floor (tarnwell.minFreeSpaceMB): 1 MB\n",
        "Dumps kept per host (tarnwell.keepDumpsPerHost): the newest 3\n",
        "Done answered once the dump is on stable storage (tarnwell.syncOnDone): FALSE\n",
        "Metrics file (tarnwell.metricsFile): ",
        " KiB for datagrams (asked for 512 KiB; tarnwell.socketBufferKB).\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(std::regex_search(log, std::regex("Store .* holds 0 dump files, 0 bytes; [0-9]+ MB "
                                                "free\\.\n")))
      << log;
  // Reported once in the minute, with the count.
  EXPECT_EQ(log.find("Dropping datagrams from 127.0.3.1"),
            log.rfind("Dropping datagrams from 127.0.3.1"));
  auto s = ParseExposition(testsupport::ReadFile(metrics));
  EXPECT_EQ(s["tarnwell_datagrams_not_allowed_total"], 3);
  EXPECT_GE(s["tarnwell_datagrams_received_total{type=\"status_check\"}"], 2);
}

TEST_F(OperatorsServiceTest, AMalformedSenderListStopsTheStartNamingTheEntry) {
  UserConfig("tarnwell.allowedSenders = \"10.0.0.0/8, 10.1.2/16\"\n");
  proc.Start({"-d", base(), "-o", std::to_string(testsupport::FreeUdpPort())});
  auto status = proc.WaitExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  EXPECT_NE(proc.Stderr().find("Error setting tarnwell.allowedSenders: \"10.1.2/16\" is not an "
                               "IPv4 address"),
            std::string::npos)
      << proc.Stderr();
}

}  // namespace
