// Post-processing: the script runs on each finished dump in a child, its
// output goes to the log, and it holds none of the collector's descriptors.

#include <sys/stat.h>

#include "harness.h"
#include "tarnwellServe.h"

namespace {

using harness::Request;
using harness::SlotOf;
using testsupport::ReadFile;
using testsupport::UdpClient;

class PostProcessTest : public harness::CollectorTest {
 protected:
  // A script that records its argument and its open descriptors, prints a
  // line (which lands in the log) and exits with 3.
  std::string WriteScript(const std::string &dir) {
    std::string script = dir + "/post script.sh";
    std::string body =
        "#!/bin/sh\n"
        "echo \"$1\" > \"$(dirname \"$0\")/arg\"\n"
        "ls -l /proc/$$/fd > \"$(dirname \"$0\")/fds\" 2>&1\n"
        "echo script-ran-on \"$1\"\n"
        "exit 3\n";
    EXPECT_TRUE(testsupport::WriteFile(script, body, 0755));
    return script;
  }

  // Sends one small dump from 127.0.3.1 and returns the slot used.
  void SendDump(int64_t ts) {
    UdpClient c("127.0.3.1");
    auto reply = c.Exchange(Request(DUMP_MSG_INIT, ts), port);
    ASSERT_TRUE(reply);
    uint32_t slot = SlotOf(*reply);
    c.Exchange(Request(DUMP_MSG_DATA, ts, slot, 0, "core"), port);
    c.Exchange(Request(DUMP_MSG_DONE, ts, slot), port);
  }
};

TEST_F(PostProcessTest, ScriptRunsOnTheDumpAndItsStatusIsLogged) {
  std::string script = WriteScript(tmp.path());
  StartCollector({"-s", script});
  SendDump(11);
  ASSERT_TRUE(LogHas("rc=768.\n")) << Log();  // exit 3 as a raw wait status
  std::string log = Log();
  std::string arg = ReadFile(tmp.path() + "/arg");
  ASSERT_FALSE(arg.empty());
  arg.pop_back();
  EXPECT_EQ(ReadFile(arg), "core");
  EXPECT_NE(log.find("Post-processing 127.0.3.1, slot 0: ''" + script + "' " + arg + " >> " +
                     logPath() + "'\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("script-ran-on " + arg + "\n"), std::string::npos);
  EXPECT_NE(log.find("Error while post-processing 127.0.3.1, slot 0: rc=768.\n"),
            std::string::npos);

  // Neither the socket nor any dump file reaches the script.
  std::string fds = ReadFile(tmp.path() + "/fds");
  EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("zdump_"), std::string::npos) << fds;
}

TEST_F(PostProcessTest, PathsWithShellCharactersReachTheScriptWhole) {
  std::string odd = tmp.path() + "/odd $(touch pwned) ;dir";
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  std::string script = WriteScript(odd);
  port = testsupport::FreeUdpPort();
  std::string oddBase = odd + "/dumps";
  proc.Start({"-d", oddBase, "-o", std::to_string(port), "-s", script});
  UdpClient probe;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return probe.Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port, std::chrono::milliseconds(100))
        .has_value();
  }));
  SendDump(12);
  std::string oddLog = oddBase + "/tarnwell.log";
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return ReadFile(oddLog).find("rc=768.\n") != std::string::npos; }));
  std::string arg = ReadFile(odd + "/arg");
  ASSERT_FALSE(arg.empty());
  arg.pop_back();
  EXPECT_EQ(arg.rfind(oddBase + "/127/0/3/1/zdump_127.0.3.1-", 0), 0u) << arg;
  EXPECT_EQ(ReadFile(arg), "core");
  EXPECT_NE(ReadFile(oddLog).find("script-ran-on " + arg), std::string::npos);
  struct stat st;
  EXPECT_NE(stat((tmp.path() + "/pwned").c_str(), &st), 0);
  EXPECT_NE(stat("pwned", &st), 0);
}

TEST_F(PostProcessTest, PlainPathsAreNotQuoted) {
  EXPECT_EQ(TarnwellShellQuote("/var/dumps/zdump_10.1.2.3-2026-03-07-09_05-0"),
            "/var/dumps/zdump_10.1.2.3-2026-03-07-09_05-0");
  EXPECT_EQ(TarnwellShellQuote("a+b,c:d@e=f%g-h"), "a+b,c:d@e=f%g-h");
  EXPECT_EQ(TarnwellShellQuote("it's here"), "'it'\\''s here'");
  EXPECT_EQ(TarnwellShellQuote(""), "''");
}

}  // namespace
