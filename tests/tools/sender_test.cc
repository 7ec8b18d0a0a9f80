// The sender's state machine against the collector's own request handling,
// in process, over a network the test controls and a clock it moves.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>

#include "sender.h"
#include "support/tempDir.h"
#include "tarnwellServe.h"

namespace {

using sender::Block;
using sender::BlockAt;
using sender::BlockCount;
using sender::DumpSender;
using sender::kMaxDumpSize;
using sender::PatternSource;
using sender::SenderSettings;

using Datagram = std::vector<uint8_t>;

constexpr uint32_t kSender = 0x0A000005;  // 10.0.0.5

uint32_t TypeOf(const Datagram &d) {
  return DumpMsg_GetU32(d.data() + DUMP_MSG_OFF_MSG_TYPE);
}
uint32_t OffsetOf(const Datagram &d) {
  return DumpMsg_GetU32(d.data() + DUMP_MSG_OFF_DATA_OFFSET);
}

// The collector's request handling behind a network whose losses and order
// the test decides.
class Network {
 public:
  explicit Network(const std::string &dir, int32_t slots = 16) {
    CollectorConfig config;
    config.coreDir = dir;
    config.logFile = dir + "/log";
    config.numClients = slots;
    config.now = [this] { return clock; };
    collector = std::make_unique<Collector>(std::move(config));
    EXPECT_TRUE(collector->AllocateSlots());
  }

  DumpSender::SendFn Wire() {
    return [this](const uint8_t *d, size_t len) {
      Datagram dg(d, d + len);
      sendTimes.push_back(clock);
      if (dropRequest && dropRequest(dg)) return;
      requests.push_back(std::move(dg));
    };
  }

  // Runs until the sender is done: requests reach the collector first, then
  // the replies are delivered (in reverse when asked), and when nothing is
  // on the wire the clock jumps to the sender's next deadline.
  void Run(DumpSender &s) {
    s.Start(clock);
    for (int steps = 0; s.Active() && steps < 1'000'000; steps++) {
      if (!requests.empty()) {
        Datagram req = std::move(requests.front());
        requests.pop_front();
        if (beforeHandling) beforeHandling(req);
        Datagram reply(DUMP_MSG_HEADER_SIZE);
        if (collector->HandleDatagram(req.data(), req.size(), kSender, reply.data())) {
          maxInFlight = std::max(maxInFlight, replies.size() + 1);
          if (!(dropReply && dropReply(reply))) replies.push_back(reply);
        }
      } else if (!replies.empty()) {
        while (!replies.empty()) {
          Datagram r;
          if (reverseReplies) {
            r = std::move(replies.back());
            replies.pop_back();
          } else {
            r = std::move(replies.front());
            replies.pop_front();
          }
          if (forgeBefore) {
            for (const Datagram &f : forgeBefore(r)) s.OnReply(f.data(), f.size(), clock);
          }
          s.OnReply(r.data(), r.size(), clock);
        }
      } else {
        clock = std::max(clock, s.NextDeadline());
        s.OnTimer(clock);
      }
    }
  }

  uint64_t clock = 1'000'000'000;
  std::unique_ptr<Collector> collector;
  std::deque<Datagram> requests;
  std::deque<Datagram> replies;
  std::vector<uint64_t> sendTimes;
  size_t maxInFlight = 0;
  bool reverseReplies = false;
  std::function<bool(const Datagram &)> dropRequest;
  std::function<bool(const Datagram &)> dropReply;
  std::function<void(const Datagram &)> beforeHandling;
  std::function<std::vector<Datagram>(const Datagram &)> forgeBefore;
};

class SenderTest : public ::testing::Test {
 protected:
  SenderSettings Settings() {
    SenderSettings s;
    s.timestamp = 4242;
    return s;
  }

  std::string DumpDir() const { return tmp.path() + "/10/0/0/5"; }

  std::vector<std::string> Dumps() const {
    std::vector<std::string> out;
    if (DIR *d = opendir(DumpDir().c_str())) {
      while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') out.push_back(DumpDir() + "/" + e->d_name);
      }
      closedir(d);
    }
    return out;
  }

  // The single dump file must hold exactly what source generates.
  void ExpectOneIdenticalDump(uint64_t seed, uint32_t index, uint64_t size) {
    auto files = Dumps();
    ASSERT_EQ(files.size(), 1u);
    std::string got = testsupport::ReadFile(files[0]);
    std::string want(size, '\0');
    PatternSource::Fill(seed, index, 0, reinterpret_cast<uint8_t *>(want.data()), size);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "dump content differs";
  }

  testsupport::TempDir tmp;
};

TEST_F(SenderTest, ShuffledWindowedDumpArrivesWholeWhateverTheReplyOrder) {
  Network net(tmp.path());
  net.reverseReplies = true;  // the newest reply comes first
  PatternSource source(9, 1, 100 * DUMP_MSG_MAX_PAYLOAD + 77);
  SenderSettings s = Settings();
  s.window = 8;
  s.shuffle = true;
  DumpSender d(&source, s, net.Wire());
  net.Run(d);
  ASSERT_TRUE(d.Finished()) << d.Error();
  EXPECT_EQ(d.Stats().retransmissions, 0u);
  EXPECT_EQ(d.Stats().strays, 0u);
  EXPECT_EQ(d.Stats().replies, 101u + 2);
  EXPECT_EQ(d.Stats().bytesAcked, source.Size());
  EXPECT_EQ(net.maxInFlight, 8u);
  ExpectOneIdenticalDump(9, 1, source.Size());
}

TEST_F(SenderTest, EmptyFileIsOneInitAndOneDone) {
  Network net(tmp.path());
  PatternSource source(1, 1, 0);
  DumpSender d(&source, Settings(), net.Wire());
  net.Run(d);
  ASSERT_TRUE(d.Finished());
  EXPECT_EQ(net.sendTimes.size(), 2u);
  ExpectOneIdenticalDump(1, 1, 0);
}

TEST_F(SenderTest, LostInitReplyIsRepeatedAndResumesTheSameFile) {
  Network net(tmp.path());
  int initReplies = 0;
  net.dropReply = [&](const Datagram &r) {
    return TypeOf(r) == DUMP_MSG_INIT && initReplies++ < 2;
  };
  PatternSource source(2, 3, 5000);
  DumpSender d(&source, Settings(), net.Wire());
  net.Run(d);
  ASSERT_TRUE(d.Finished()) << d.Error();
  EXPECT_EQ(d.Stats().retransmissions, 2u);
  // Waits of 500 ms, then twice that, before the repeats.
  ASSERT_GE(net.sendTimes.size(), 3u);
  EXPECT_EQ(net.sendTimes[1] - net.sendTimes[0], 500'000u);
  EXPECT_EQ(net.sendTimes[2] - net.sendTimes[1], 1'000'000u);
  ExpectOneIdenticalDump(2, 3, 5000);  // three inits, one file
}

TEST_F(SenderTest, RepliesThatDoNotEchoTheRequestAreIgnored) {
  Network net(tmp.path());
  // Before every data reply, forged ones that differ in one echoed field
  // each, all claiming the collector dropped the dump, and a short one.
  net.forgeBefore = [](const Datagram &r) {
    std::vector<Datagram> out;
    if (TypeOf(r) != DUMP_MSG_DATA) return out;
    for (size_t field : std::initializer_list<size_t>{
             0, 12, DUMP_MSG_OFF_TIMESTAMP, DUMP_MSG_OFF_DUMP_ID, DUMP_MSG_OFF_DATA_OFFSET,
             DUMP_MSG_OFF_DATA_LENGTH, DUMP_MSG_OFF_SLOT}) {
      Datagram f = r;
      f[field] ^= 0x40;
      DumpMsg_PutU32(f.data() + DUMP_MSG_OFF_STATUS, hxk_bad_param);
      out.push_back(f);
    }
    out.push_back(Datagram(r.begin(), r.begin() + 40));
    return out;
  };
  PatternSource source(3, 0, 10 * DUMP_MSG_MAX_PAYLOAD);
  SenderSettings s = Settings();
  s.window = 4;
  DumpSender d(&source, s, net.Wire());
  net.Run(d);
  ASSERT_TRUE(d.Finished()) << d.Error();
  EXPECT_EQ(d.Stats().restarts, 0u);
  EXPECT_EQ(d.Stats().strays, 10u * 8);
  ExpectOneIdenticalDump(3, 0, source.Size());
}

TEST_F(SenderTest, DroppedDumpStartsOverFromInitAndEndsComplete) {
  Network net(tmp.path());
  int data = 0;
  // After five blocks the collector's idle sweep drops the dump and its file.
  net.beforeHandling = [&](const Datagram &req) {
    if (TypeOf(req) == DUMP_MSG_DATA && ++data == 6) {
      net.clock += Collector::kIdleTimeoutMicros + 1;
      net.collector->IdleSweep();
      ASSERT_TRUE(Dumps().empty());
    }
  };
  PatternSource source(4, 2, 20 * DUMP_MSG_MAX_PAYLOAD);
  SenderSettings s = Settings();
  s.window = 2;
  DumpSender d(&source, s, net.Wire());
  net.Run(d);
  ASSERT_TRUE(d.Finished()) << d.Error();
  EXPECT_EQ(d.Stats().restarts, 1u);
  ExpectOneIdenticalDump(4, 2, source.Size());
}

TEST_F(SenderTest, GivesUpWithTheReasonAfterTheAttempts) {
  {
    Network net(tmp.path());
    net.dropRequest = [](const Datagram &) { return true; };
    PatternSource source(1, 1, 100);
    SenderSettings s = Settings();
    s.attempts = 4;
    s.timeout = 300'000;
    s.maxTimeout = 1'000'000;
    DumpSender d(&source, s, net.Wire());
    uint64_t start = net.clock;
    net.Run(d);
    ASSERT_TRUE(d.Failed());
    EXPECT_EQ(d.Error(), "no reply to init after 4 attempts");
    // 300 ms, 600 ms, then the cap of 1 s twice.
    std::vector<uint64_t> expected = {start, start + 300'000, start + 900'000, start + 1'900'000};
    EXPECT_EQ(net.sendTimes, expected);
    EXPECT_EQ(net.clock, start + 2'900'000);
  }
  {
    // A collector with one slot, held by another sender.
    Network net(tmp.path(), 1);
    Datagram reply(DUMP_MSG_HEADER_SIZE);
    DumpMsgHeader hdr{};
    hdr.magic = DUMP_MSG_MAGIC;
    hdr.timestamp = 1;
    hdr.msgType = DUMP_MSG_INIT;
    Datagram init(DUMP_MSG_HEADER_SIZE);
    DumpMsg_Encode(&hdr, init.data());
    ASSERT_TRUE(net.collector->HandleDatagram(init.data(), init.size(), 0x0A000009, reply.data()));
    PatternSource source(1, 1, 100);
    SenderSettings s = Settings();
    s.attempts = 3;
    DumpSender d(&source, s, net.Wire());
    net.Run(d);
    ASSERT_TRUE(d.Failed());
    EXPECT_EQ(d.Error(), "the collector answered init with no free slot (0xbad0006) 3 times");
    EXPECT_EQ(net.sendTimes.size(), 3u);
  }
}

TEST_F(SenderTest, InjectedFaultsFollowTheSeed) {
  auto run = [&](uint64_t seed, std::vector<uint32_t> *offsets) {
    testsupport::TempDir dir;
    Network net(dir.path());
    net.dropRequest = [&](const Datagram &d) {
      if (TypeOf(d) == DUMP_MSG_DATA) offsets->push_back(OffsetOf(d));
      return false;
    };
    PatternSource source(5, 0, 200 * DUMP_MSG_MAX_PAYLOAD);
    SenderSettings s = Settings();
    s.window = 4;
    s.seed = seed;
    s.drop = 0.1;
    s.dropReplies = 0.1;
    s.duplicate = 0.1;
    s.shuffle = true;
    DumpSender d(&source, s, net.Wire());
    net.Run(d);
    EXPECT_TRUE(d.Finished()) << d.Error();
    return d.Stats().transmissions;
  };
  std::vector<uint32_t> a, b, c;
  uint64_t ta = run(11, &a);
  uint64_t tb = run(11, &b);
  run(12, &c);
  EXPECT_EQ(a, b);
  EXPECT_EQ(ta, tb);
  EXPECT_NE(a, c);
  // Faults cost transmissions, and the order is not the file's.
  EXPECT_GT(ta, 200u + 2);
  EXPECT_FALSE(std::is_sorted(a.begin(), a.end()));
}

TEST(DumpSizeTest, LargestDumpEndsWithABlockAtTheLastOffset) {
  EXPECT_EQ(kMaxDumpSize, 4294968847ull);
  EXPECT_TRUE(sender::DumpSizeSendable(kMaxDumpSize));
  EXPECT_FALSE(sender::DumpSizeSendable(kMaxDumpSize + 1));
  Block last = BlockAt(kMaxDumpSize, BlockCount(kMaxDumpSize) - 1);
  EXPECT_EQ(last.offset, 0xFFFFFFFFu);
  EXPECT_EQ(last.length, static_cast<uint32_t>(DUMP_MSG_MAX_PAYLOAD));

  // Every block fits the 32-bit offset and the payload, and together they
  // cover the dump without a gap.
  for (uint64_t size : std::initializer_list<uint64_t>{0ull, 1ull, 1551ull, 1552ull, 1553ull,
                                                       4294967296ull, 4294967552ull, 4294967553ull,
                                                       kMaxDumpSize - 1, kMaxDumpSize}) {
    uint64_t covered = 0;
    uint64_t n = BlockCount(size);
    uint64_t bad = n;  // the first block that breaks the rules
    for (uint64_t i = 0; i < n && bad == n; i++) {
      Block b = BlockAt(size, i);
      if (b.offset > covered || b.length == 0 || b.length > DUMP_MSG_MAX_PAYLOAD) bad = i;
      covered = std::max<uint64_t>(covered, static_cast<uint64_t>(b.offset) + b.length);
    }
    EXPECT_EQ(bad, n) << "size " << size;
    EXPECT_EQ(covered, size);
  }
}

TEST(ParseTest, SizesProbabilitiesAndAddresses) {
  uint64_t v;
  EXPECT_TRUE(sender::ParseSize("8M", &v));
  EXPECT_EQ(v, 8u << 20);
  EXPECT_TRUE(sender::ParseSize("3KiB", &v));
  EXPECT_EQ(v, 3072u);
  EXPECT_FALSE(sender::ParseSize("-1", &v));
  EXPECT_FALSE(sender::ParseSize("99999999999999999999", &v));
  EXPECT_FALSE(sender::ParseSize("17179869184G", &v));  // 2^64: does not fit
  double p;
  EXPECT_TRUE(sender::ParseProbability("5%", &p));
  EXPECT_DOUBLE_EQ(p, 0.05);
  EXPECT_TRUE(sender::ParseProbability("0.25", &p));
  EXPECT_FALSE(sender::ParseProbability("1.5", &p));
  EXPECT_FALSE(sender::ParseProbability("nan", &p));
  uint32_t ip;
  uint16_t port;
  EXPECT_TRUE(sender::ParseHostPort("10.1.2.3:7000", &ip, &port));
  EXPECT_EQ(ip, 0x0A010203u);
  EXPECT_EQ(port, 7000);
  EXPECT_TRUE(sender::ParseHostPort("localhost", &ip, &port));
  EXPECT_EQ(ip, 0x7F000001u);
  EXPECT_EQ(port, DUMP_MSG_DEFAULT_PORT);
  EXPECT_FALSE(sender::ParseHostPort("10.1.2.3:0", &ip, &port));
  EXPECT_FALSE(sender::ParseHostPort("10.1.2.3:65536", &ip, &port));
}

}  // namespace
