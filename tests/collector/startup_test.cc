// Start-up of the real program: options, the checks in their order, and
// what reaches standard error and the log.

#include <sys/stat.h>
#include <sys/wait.h>

#include "harness.h"

namespace {

using testsupport::CollectorProcess;
using testsupport::ReadFile;
using testsupport::TempDir;

struct Outcome {
  int exitStatus = -1;
  std::string err;
};

// Runs the collector to its end; start-up failures end it at once.
Outcome RunCollector(const std::vector<std::string> &args) {
  CollectorProcess p;
  p.Start(args);
  auto status = p.WaitExit();
  if (!status) {
    p.Stop(SIGKILL);
    ADD_FAILURE() << "collector kept running";
    return {};
  }
  return {WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, p.Stderr()};
}

class StartupTest : public ::testing::Test {
 protected:
  std::string base() const { return tmp.path() + "/dumps"; }
  std::string port() { return std::to_string(testsupport::FreeUdpPort()); }
  // A fatal start-up check: exit status 1, the text on standard error and,
  // once the log is open, in the log.
  void ExpectFatal(const std::vector<std::string> &args, const std::string &text,
                   bool logged = true) {
    Outcome o = RunCollector(args);
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_EQ(o.err, text);
    if (logged) {
      EXPECT_NE(ReadFile(base() + "/tarnwell.log").find(text), std::string::npos);
    }
  }
  TempDir tmp;
};

TEST_F(StartupTest, NoArgumentsPrintsUsageAndCreatesNothing) {
  Outcome o = RunCollector({});
  EXPECT_EQ(o.exitStatus, 1);
  EXPECT_EQ(o.err.rfind(std::string("Usage: ") + TARNWELL_BINARY + " <options>\n", 0), 0u);
  EXPECT_NE(o.err.find("\t\t[-v]           : For verbose logs.\n"), std::string::npos);
}

TEST_F(StartupTest, OnlyABaseDirectoryGivesTheDefaults) {
  CollectorProcess p;
  // Port 6500 may be taken on a shared machine; what matters is what is logged.
  p.Start({"-d", base()});
  std::string log;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    log = ReadFile(base() + "/tarnwell.log");
    return log.find("Nothing to post process\n") != std::string::npos;
  }));
  p.Stop();
  const char *expected[] = {
      "Configured to handle 1024 clients in parallel.\n",
      "Configuring ",
      " as the directory to store the cores\n",
      "Configured to use 0.0.0.0:6500 as the IP address:port\n",
      "Using ",
      "/tarnwell.log as the logfile.\n",
      "Nothing to post process\n",
  };
  size_t at = 0;
  for (const char *text : expected) {
    size_t found = log.find(text, at);
    ASSERT_NE(found, std::string::npos) << text;
    at = found;
  }
  EXPECT_EQ(log.find("verbose"), std::string::npos);
  EXPECT_EQ(log.find("daemonize"), std::string::npos);
}

TEST_F(StartupTest, PanicOptionOpensTheLogThenPrintsUsage) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"-d", base(), "-p"}, {"-d", base(), "--panic", "x"}, {"-d", base(), "-x"},
           {"-d", base(), "-c"}}) {
    Outcome o = RunCollector(args);
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_NE(o.err.find("Usage: "), std::string::npos);
    EXPECT_NE(ReadFile(base() + "/tarnwell.log").find("Usage: "), std::string::npos);
  }
}

TEST_F(StartupTest, RejectsBadClientCounts) {
  for (const char *count : {"0", "-5", "abc", "-99999999999"}) {
    ExpectFatal({"-d", base(), "-c", count},
                "Error setting the total # of slots/clients supported\n");
  }
  // Beyond 32 bits the count is clamped, and a table that large cannot be had.
  ExpectFatal({"-d", base(), "-o", port(), "-c", "99999999999999"},
              "Could not allocate memory for tarnwellCoreDumpInfo\n");
}

TEST_F(StartupTest, PortsOutsideTheRangeAreRejected) {
  ExpectFatal({"-d", base(), "-o", "1023"},
              "Tarnwell must use a port outside reserved range 1-1023.\n");
  for (const char *p : {"65536", "0", "-1", "4294968296", "abc"}) {
    ExpectFatal({"-d", base(), "-o", p}, "Error setting the port to be used\n");
  }
  for (const char *p : {"1024", "65535"}) {
    CollectorProcess proc;
    proc.Start({"-d", base(), "--port", p});
    EXPECT_TRUE(testsupport::WaitFor([&] {
      return ReadFile(base() + "/tarnwell.log")
                 .find(std::string(":") + p + " as the IP address:port\n") != std::string::npos;
    }));
    proc.Stop();
  }
}

TEST_F(StartupTest, MalformedAddressesAreRejected) {
  for (const char *ip : {"256.1.1.1", "1.2.3", "10.0.0.300", "x"}) {
    ExpectFatal({"-d", base(), "-i", ip}, "Error setting the tarnwell IP, invalid IP address.\n");
  }
  // A later valid address does not make up for an earlier invalid one.
  ExpectFatal({"-d", base(), "-i", "1.2.3", "--ip", "127.0.0.1"},
              "Error setting the tarnwell IP, invalid IP address.\n");
}

TEST_F(StartupTest, BaseDirectoryChecks) {
  // Parent missing: the log cannot be opened inside it either.
  std::string deep = tmp.path() + "/no/such";
  Outcome o = RunCollector({"-d", deep});
  EXPECT_EQ(o.exitStatus, 1);
  EXPECT_EQ(o.err, "Error setting the tarnwell core directory. permissions were not correct.\n");

  // A file where the directory should be.
  ASSERT_TRUE(testsupport::WriteFile(tmp.path() + "/file", "x"));
  o = RunCollector({"-d", tmp.path() + "/file"});
  EXPECT_EQ(o.err, "Error setting the tarnwell core directory. permissions were not correct.\n");

  // With the log elsewhere, the directory check comes in its own place.
  o = RunCollector({"-d", deep, "-l", tmp.path() + "/other.log"});
  EXPECT_EQ(o.err, "Error setting the tarnwell core directory. permissions were not correct.\n");
  EXPECT_NE(ReadFile(tmp.path() + "/other.log").find("Configured to handle 1024"),
            std::string::npos);

  // Too long for its buffer: refused, never cut to another name.
  o = RunCollector({"-d", tmp.path() + "/" + std::string(1100, 'd')});
  EXPECT_EQ(o.err, "Error setting the tarnwell core directory. permissions were not correct.\n");

  // An existing directory is accepted whatever its mode. The log goes
  // elsewhere: only root could write it into a directory of mode 0.
  ASSERT_EQ(mkdir(base().c_str(), 0), 0);
  CollectorProcess proc;
  proc.Start({"-d", base(), "-o", port(), "-l", tmp.path() + "/mode0.log"});
  EXPECT_TRUE(testsupport::WaitFor([&] {
    return ReadFile(tmp.path() + "/mode0.log").find("Nothing to post") != std::string::npos;
  }));
  proc.Stop();
}

TEST_F(StartupTest, LogFileThatCannotBeOpenedIsFatal) {
  std::string bad = tmp.path() + "/missing/dir/x.log";
  Outcome o = RunCollector({"-d", base(), "-l", bad});
  EXPECT_EQ(o.exitStatus, 1);
  EXPECT_EQ(o.err, "Failed to initialze log (" + bad + "). Please check the permissions.\n");

  // A symbolic link planted at the log path is refused and its target untouched.
  std::string target = tmp.path() + "/target";
  ASSERT_TRUE(testsupport::WriteFile(target, "keep"));
  std::string link = tmp.path() + "/link.log";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  o = RunCollector({"-d", base(), "-l", link});
  EXPECT_EQ(o.err, "Failed to initialze log (" + link + "). Please check the permissions.\n");
  EXPECT_EQ(ReadFile(target), "keep");

  std::string longLog = tmp.path() + "/" + std::string(1100, 'l');
  o = RunCollector({"-d", base(), "-l", longLog});
  EXPECT_EQ(o.exitStatus, 1);
  EXPECT_EQ(o.err.rfind("Failed to initialze log (", 0), 0u);
}

TEST_F(StartupTest, ScriptMustBeExecutable) {
  std::string script = tmp.path() + "/post.sh";
  ASSERT_TRUE(testsupport::WriteFile(script, "#!/bin/sh\n", 0644));
  ExpectFatal({"-d", base(), "-s", script, "-n"},
              "Error setting post-processing script to " + script +
                  ". Is the script executable?\n");
  EXPECT_EQ(ReadFile(base() + "/tarnwell.log").find("Configure to daemonize tarnwell\n") <
                ReadFile(base() + "/tarnwell.log").find("Error setting post-processing"),
            true);
  ExpectFatal({"-d", base(), "-s", tmp.path() + "/absent"},
              "Error setting post-processing script to " + tmp.path() +
                  "/absent. Is the script executable?\n");
}

TEST_F(StartupTest, OptionsByLongNamesAreLogged) {
  std::string script = tmp.path() + "/post.sh";
  ASSERT_TRUE(testsupport::WriteFile(script, "#!/bin/sh\n", 0755));
  std::string p = port();
  std::string log = tmp.path() + "/named.log";
  CollectorProcess proc;
  proc.Start({"--dir", base(), "--clients", "7", "--ip", "127.0.0.1", "--port", p, "--logfile",
              log, "--script", script, "--verbose"});
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return ReadFile(log).find("Configured to use verbose mode\n") != std::string::npos; }));
  proc.Stop();
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("Configured to handle 7 clients in parallel.\n"), std::string::npos);
  EXPECT_NE(text.find("Configured to use 127.0.0.1:" + p + " as the IP address:port\n"),
            std::string::npos);
  EXPECT_NE(text.find("Using " + log + " as the logfile.\n"), std::string::npos);
  EXPECT_NE(text.find("Configured to execute " + script + " for post processing\n"),
            std::string::npos);
}

TEST_F(StartupTest, BindFailureIsFatal) {
  std::string p = port();
  CollectorProcess first;
  first.Start({"-d", base(), "-o", p});
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return ReadFile(base() + "/tarnwell.log").find("Nothing to post") != std::string::npos;
  }));
  // The first one must be bound before the second tries.
  testsupport::UdpClient c;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return c.Exchange(harness::Request(DUMP_MSG_STATUS_CHECK, 1), std::stoi(p),
                      std::chrono::milliseconds(100))
        .has_value();
  }));
  Outcome o = RunCollector({"-d", base(), "-o", p});
  EXPECT_EQ(o.exitStatus, 1);
  EXPECT_EQ(o.err.rfind("Couldn't bind socket to port " + p + ": ", 0), 0u);
  first.Stop();
}

}  // namespace
