// Post-processing: the script runs on each finished dump in a child, its
// output goes to the log, it holds none of the collector's descriptors, and
// the children neither disturb the log nor grow without bound.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <set>

#include "harness.h"
#include "postProcess.h"

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

  // Sends one small dump from 127.0.3.1; true when every step was answered.
  bool SendDump(int64_t ts) {
    UdpClient c("127.0.3.1");
    auto reply = c.Exchange(Request(DUMP_MSG_INIT, ts), port);
    if (!reply) {
      return false;
    }
    uint32_t slot = SlotOf(*reply);
    return c.Exchange(Request(DUMP_MSG_DATA, ts, slot, 0, "core"), port) &&
           c.Exchange(Request(DUMP_MSG_DONE, ts, slot), port);
  }

  // A script that notes "start" and "end" in tmp/events around a pause.
  std::string WriteSlowScript(const std::string &pause) {
    std::string script = tmp / "slow.sh";
    EXPECT_TRUE(testsupport::WriteFile(script,
                                       "#!/bin/sh\n"
                                       "echo start >> " +
                                           tmp / "events" +
                                           "\n"
                                           "sleep " +
                                           pause +
                                           "\n"
                                           "echo end >> " +
                                           tmp / "events" + "\n",
                                       0755));
    return script;
  }
};

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    n++;
  }
  return n;
}

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

TEST_F(PostProcessTest, ChildrenOnlyAppendToTheLogTheCollectorRotates) {
  constexpr uint64_t kRotateSize = 6000;
  // Enough backups for everything 50 dumps log, also when scripts queue up
  // on a loaded machine and log more: no line may be pushed out.
  constexpr int kKeepOld = 16;
  UserConfig("log.rotateSize = \"6000\"\nlog.keepOld = \"" + std::to_string(kKeepOld) + "\"\n");
  std::string script = tmp / "print.sh";
  ASSERT_TRUE(testsupport::WriteFile(script, "#!/bin/sh\necho printed-for \"$1\"\n", 0755));
  StartCollector({"-s", script});
  for (int i = 0; i < 50; i++) {
    ASSERT_TRUE(SendDump(1000 + i));
  }
  auto files = [&] {
    std::vector<std::string> all;
    for (int i = kKeepOld - 1; i >= 0; i--) {
      all.push_back(base() + "/tarnwell-" + std::to_string(i) + ".log");
    }
    all.push_back(logPath());
    return all;
  };
  auto everything = [&] {
    std::string text;
    for (const std::string &f : files()) {
      text += ReadFile(f);
    }
    return text;
  };
  ASSERT_TRUE(testsupport::WaitFor([&] { return Count(everything(), "rc=0.\n") == 50; },
                                   std::chrono::seconds(30)))
      << everything();
  pid_t collectorPid = proc.pid();
  proc.Stop();

  // Only the collector rotated: every file was started by it (one header
  // block, its pid), every backup grew past the size before it was moved,
  // and nothing was pushed out: every finished dump is logged exactly once.
  std::string pidLine = " pid=" + std::to_string(collectorPid) + " version=";
  EXPECT_TRUE(testsupport::Exists(base() + "/tarnwell-1.log"));
  EXPECT_FALSE(testsupport::Exists(base() + "/tarnwell-" + std::to_string(kKeepOld) + ".log"));
  for (const std::string &f : files()) {
    std::string content = ReadFile(f);
    if (content.empty()) {
      continue;
    }
    EXPECT_EQ(Count(content, "I120: Log for "), 1u) << f;
    EXPECT_EQ(Count(content, pidLine), 1u) << f;
    if (f != logPath()) {
      EXPECT_GT(content.size(), kRotateSize) << f;
    }
  }
  std::string all = everything();
  std::set<std::string> finished;
  for (const std::string &line : testsupport::SplitLines(all)) {
    size_t at = line.find("Dump finished successfully for 127.0.3.1");
    if (at != std::string::npos) {
      EXPECT_TRUE(finished.insert(line.substr(line.find("file:"))).second) << line;
    }
  }
  EXPECT_EQ(finished.size(), 50u) << all;
  EXPECT_EQ(Count(all, "printed-for "), 50u);
}

TEST_F(PostProcessTest, ScriptsRunBoundedInOrderWhileServingGoesOn) {
  UserConfig("tarnwell.maxScripts = \"4\"\n");
  StartCollector({"-s", WriteSlowScript("0.2")});
  EXPECT_TRUE(LogHas("Running at most 4 post-processing scripts at once"));
  for (int i = 0; i < 40; i++) {
    ASSERT_TRUE(SendDump(2000 + i));
  }
  // Every dump was answered while most scripts still waited their turn.
  EXPECT_LT(Count(ReadFile(tmp / "events"), "end"), 40u);
  ASSERT_TRUE(testsupport::WaitFor([&] { return Count(ReadFile(tmp / "events"), "end") == 40; },
                                   std::chrono::seconds(30)));
  int running = 0;
  int most = 0;
  for (const std::string &event : testsupport::SplitLines(ReadFile(tmp / "events"))) {
    running += event == "start\n" ? 1 : -1;
    most = std::max(most, running);
  }
  EXPECT_EQ(most, 4);
  EXPECT_TRUE(LogHas("waits: 4 scripts are running"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return Count(Log(), "rc=0.\n") == 40; }));
}

TEST_F(PostProcessTest, StopLetsRunningScriptsEndAndNamesTheWaitingDumps) {
  UserConfig("tarnwell.maxScripts = \"1\"\n");
  StartCollector({"-s", WriteSlowScript("0.5")});
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(SendDump(3000 + i));
  }
  auto status = proc.Stop(SIGTERM);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  // The running script had ended before the collector did; the others never
  // started, and the log says which dumps they were.
  EXPECT_EQ(ReadFile(tmp / "events"), "start\nend\n");
  std::string log = Log();
  EXPECT_NE(log.find("Stopping with 2 finished dumps not post-processed:\n"), std::string::npos);
  EXPECT_EQ(Count(log, "Not post-processed: " + base() + "/127/0/3/1/zdump_127.0.3.1-"), 2u) << log;
  EXPECT_NE(log.find("Waiting for 1 post-processing scripts to finish.\n"), std::string::npos);
}

TEST_F(PostProcessTest, MaxScriptsBelowOneIsRefusedAtStart) {
  UserConfig("tarnwell.maxScripts = \"0\"\n");
  port = testsupport::FreeUdpPort();
  proc.Start({"-d", base(), "-o", std::to_string(port), "-s", WriteSlowScript("0")});
  auto status = proc.WaitExit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  EXPECT_EQ(proc.Stderr(),
            "Error setting tarnwell.maxScripts to 0: at least one script must run.\n");
}

// The pid of a detached collector serving base, or -1. Its children for the
// script carry the same command line until they start it: the collector is
// the one whose parent is not one of them.
pid_t FindDaemon(const std::string &base) {
  DIR *proc = opendir("/proc");
  std::map<pid_t, pid_t> parentOf;
  while (struct dirent *e = proc ? readdir(proc) : nullptr) {
    std::string dir = std::string("/proc/") + e->d_name;
    std::string cmdline = ReadFile(dir + "/cmdline");
    if (cmdline.rfind(std::string(TARNWELL_BINARY) + '\0', 0) == 0 &&
        cmdline.find('\0' + base + '\0') != std::string::npos) {
      // "pid (comm) state ppid ..."
      std::string stat = ReadFile(dir + "/stat");
      size_t close = stat.rfind(')');
      pid_t ppid = close == std::string::npos ? 0 : atoi(stat.c_str() + close + 4);
      parentOf[atoi(e->d_name)] = ppid;
    }
  }
  if (proc) {
    closedir(proc);
  }
  for (const auto &[pid, ppid] : parentOf) {
    if (parentOf.count(ppid) == 0) {
      return pid;
    }
  }
  return -1;
}

TEST_F(PostProcessTest, RelativeScriptsRunFromTheStartDirectoryAlsoDetached) {
  ASSERT_EQ(mkdir((tmp / "scripts").c_str(), 0755), 0);
  std::string body = "#!/bin/sh\necho \"$0\" >> " + tmp / "ran" + "\n";
  ASSERT_TRUE(testsupport::WriteFile(tmp / "post.sh", body, 0755));
  ASSERT_TRUE(testsupport::WriteFile(tmp / "scripts/post.sh", body, 0755));
  int64_t ts = 4000;
  for (bool detached : {false, true}) {
    for (std::string script : {"./post.sh", "scripts/post.sh", "post.sh"}) {
      SCOPED_TRACE(script + (detached ? " -n" : ""));
      std::string absolute = tmp.path() + "/" + (script == "./post.sh" ? "post.sh" : script);
      port = testsupport::FreeUdpPort();
      std::vector<std::string> args = {"-d", base(), "-o", std::to_string(port), "-s", script};
      if (detached) {
        args.push_back("-n");
      }
      proc.Start(args, tmp.path());
      UdpClient probe;
      ASSERT_TRUE(testsupport::WaitFor([&] {
        return probe
            .Exchange(Request(DUMP_MSG_STATUS_CHECK, 1), port, std::chrono::milliseconds(100))
            .has_value();
      })) << proc.Stderr();
      ASSERT_TRUE(SendDump(ts++));
      EXPECT_TRUE(testsupport::WaitFor([&] {
        return ReadFile(tmp / "ran").find(absolute + "\n") != std::string::npos;
      })) << Log();
      EXPECT_TRUE(LogHas("Configured to execute " + absolute + " for post processing\n"));
      if (detached) {
        pid_t daemon = FindDaemon(base());
        ASSERT_GT(daemon, 0);
        kill(daemon, SIGTERM);
        // Gone, or a zombie its new parent has not reaped yet.
        EXPECT_TRUE(testsupport::WaitFor([&] {
          std::string stat = ReadFile("/proc/" + std::to_string(daemon) + "/stat");
          return stat.empty() || stat.find(") Z ") != std::string::npos;
        }));
        // Detached, the collector keeps quiet on the terminal.
        EXPECT_EQ(proc.Stderr(), "");
        proc.WaitExit();
      } else {
        proc.Stop();
      }
      ASSERT_EQ(unlink((tmp / "ran").c_str()), 0);
    }
  }
  // A directory, or a file that cannot be executed, is no script.
  ASSERT_TRUE(testsupport::WriteFile(tmp / "notes.txt", "text", 0644));
  for (std::string script : {"scripts", "notes.txt"}) {
    proc.Start({"-d", base(), "-o", std::to_string(port), "-s", script}, tmp.path());
    auto status = proc.WaitExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    EXPECT_EQ(proc.Stderr(), "Error setting post-processing script to " + script +
                                 ". Is the script executable?\n");
  }
}

TEST_F(PostProcessTest, PlainPathsAreNotQuoted) {
  EXPECT_EQ(TarnwellShellQuote("/var/dumps/zdump_10.1.2.3-2026-03-07-09_05-0"),
            "/var/dumps/zdump_10.1.2.3-2026-03-07-09_05-0");
  EXPECT_EQ(TarnwellShellQuote("a+b,c:d@e=f%g-h"), "a+b,c:d@e=f%g-h");
  EXPECT_EQ(TarnwellShellQuote("it's here"), "'it'\\''s here'");
  EXPECT_EQ(TarnwellShellQuote(""), "''");
}

}  // namespace
