// The collector's log file: every start appends its own header block to
// what is there, and the log rotates by size as the configuration says.

#include <brellis/internal/productInfo.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <regex>

#include "harness.h"

namespace {

size_t Count(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    n++;
  }
  return n;
}

// The header blocks of a log: for each, its four lines' texts after the
// one prefix each carries.
std::vector<std::vector<std::string>> HeaderBlocks(const std::string &log) {
  static const std::regex prefixed(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)\| tarnwell\| I120: (.*)\n$)");
  std::vector<std::vector<std::string>> blocks;
  std::vector<std::string> lines = testsupport::SplitLines(log);
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].find("I120: Log for ") == std::string::npos) {
      continue;
    }
    std::vector<std::string> block;
    for (size_t k = i; k < i + 4 && k < lines.size(); k++) {
      std::smatch m;
      block.push_back(std::regex_match(lines[k], m, prefixed) ? m[2].str() : "(bad) " + lines[k]);
    }
    blocks.push_back(block);
  }
  return blocks;
}

class CollectorLogFileTest : public harness::CollectorTest {
 protected:
  // Sends status checks, each of which the collector logs, until done()
  // holds or limit checks have been answered; whether done() held.
  template <typename Done>
  bool StatusChecksUntil(Done done, int limit) {
    testsupport::UdpClient client("127.0.0.1");
    for (int i = 0; i < limit && !done(); i++) {
      if (!client.Exchange(harness::Request(DUMP_MSG_STATUS_CHECK, 1), port).has_value()) {
        return false;
      }
    }
    return done();
  }
  // Sends count status checks; true when every one was answered.
  bool StatusChecks(int count) {
    testsupport::UdpClient client("127.0.0.1");
    for (int i = 0; i < count; i++) {
      if (!client.Exchange(harness::Request(DUMP_MSG_STATUS_CHECK, 1), port).has_value()) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(CollectorLogFileTest, SecondStartAppendsItsOwnHeaderBlock) {
  StartCollector();
  ASSERT_TRUE(LogHas("Nothing to post process\n"));
  ASSERT_TRUE(proc.Stop().has_value());
  std::string first = Log();

  StartCollector();
  ASSERT_TRUE(testsupport::WaitFor([&] { return Count(Log(), "Nothing to post process\n") == 2; },
                                   std::chrono::seconds(10)));
  std::string log = Log();
  EXPECT_TRUE(log.starts_with(first)) << "the first start's lines were not kept";
  std::vector<std::vector<std::string>> blocks = HeaderBlocks(log);
  ASSERT_EQ(blocks.size(), 2u) << log;
  EXPECT_EQ(HeaderBlocks(first).size(), 1u);
  std::string pids[2];
  for (size_t b = 0; b < 2; b++) {
    const std::vector<std::string> &block = blocks[b];
    ASSERT_EQ(block.size(), 4u);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(block[0], m,
                         std::regex(std::string(R"(Log for brellis-tarnwell pid=(\d+) version=)") +
                                    ProductInfoVersion() + " build=build-3904909 option=Release")))
        << block[0];
    pids[b] = m[1];
    EXPECT_EQ(block[1], "The process is 64-bit.");
    EXPECT_TRUE(block[2].starts_with("Host codepage=UTF-8 encoding=UTF-8")) << block[2];
    EXPECT_TRUE(block[3].starts_with("Host is ")) << block[3];
  }
  EXPECT_NE(pids[0], pids[1]);
}

TEST_F(CollectorLogFileTest, LogRotatesBySizeKeepingTheConfiguredBackups) {
  UserConfig("log.rotateSize = \"1000\"\nlog.keepOld = \"2\"\n");
  StartCollector();
  std::string newest = base() + "/tarnwell-0.log";
  std::string oldest = base() + "/tarnwell-1.log";
  std::string beyond = base() + "/tarnwell-2.log";
  ASSERT_TRUE(StatusChecksUntil([&] { return testsupport::Exists(oldest); }, 200)) << proc.Stderr();
  // Several more rotations (ten status checks fill a file): still two
  // backups, never a third.
  ASSERT_TRUE(StatusChecks(40));
  EXPECT_TRUE(testsupport::Exists(newest));
  EXPECT_FALSE(testsupport::Exists(beyond));
  for (const std::string &file : {logPath(), newest, oldest}) {
    std::string content = testsupport::ReadFile(file);
    // Each file begins with exactly one header block and stays near the size.
    std::vector<std::vector<std::string>> blocks = HeaderBlocks(content);
    ASSERT_EQ(blocks.size(), 1u) << file << "\n" << content;
    EXPECT_TRUE(content.find("I120: Log for ") < content.find('\n')) << file;
    EXPECT_LT(content.size(), 1000u + 300u) << file;
  }
  EXPECT_TRUE(proc.Running());
}

}  // namespace
