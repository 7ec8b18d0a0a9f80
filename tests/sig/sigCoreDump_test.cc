// Core dumps through a child: the name the kernel's settings give the file,
// and a real dump from a process that ignores SIGCHLD.

#include <gtest/gtest.h>

#include <brellis/log.h>
#include <brellis/sig.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "sig/sigInt.h"
#include "support/childProcess.h"
#include "support/tempDir.h"

namespace {

class CoreNameTest : public ::testing::Test {
 protected:
  ~CoreNameTest() override { SigSetCoreSettingsPaths(nullptr, nullptr); }

  // The name for process 4321 under these settings; "" when there is none.
  std::string Name(const std::string &pattern, const std::string &usesPid) {
    EXPECT_TRUE(testsupport::WriteFile(patternPath, pattern + "\n"));
    EXPECT_TRUE(testsupport::WriteFile(usesPidPath, usesPid + "\n"));
    SigSetCoreSettingsPaths(patternPath.c_str(), usesPidPath.c_str());
    std::string name;
    wildcard = false;
    return SigGetCoreFileName(4321, &name, &wildcard) ? name : "";
  }

  testsupport::TempDir tmp;
  std::string patternPath = tmp / "core_pattern";
  std::string usesPidPath = tmp / "core_uses_pid";
  bool wildcard = false;
};

TEST_F(CoreNameTest, PatternsExpandAsTheKernelNamesFiles) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string here = std::string(cwd) + "/";
  EXPECT_EQ(Name("core", "1"), here + "core.4321");
  EXPECT_EQ(Name("core", "0"), here + "core");
  EXPECT_FALSE(wildcard);
  // The process id once is enough; uids, the signal and '%' itself.
  EXPECT_EQ(Name("/cores/%p-%u-%g-%s-100%%", "1"),
            "/cores/4321-" + std::to_string(getuid()) + "-" + std::to_string(getgid()) + "-6-100%");
  // What cannot be known matches anything, also specifiers we do not know.
  EXPECT_EQ(Name("/var/core/%e.%t.%Z", "0"), "/var/core/*.*.*");
  EXPECT_TRUE(wildcard);
  // A pipe leaves the kernel's file to another program: "core" stands in.
  EXPECT_EQ(Name("|/usr/bin/catch %p", "0"), here + "core");
  // A whole pattern of the kernel's length is read, and an expansion that
  // does not fit gives no name rather than a shortened one.
  EXPECT_EQ(Name("/" + std::string(59, 'c') + "%p", "0"), "/" + std::string(59, 'c') + "4321");
  EXPECT_EQ(Name("/" + std::string(60, 'c') + "%p", "0"), "");
  EXPECT_EQ(Name("/" + std::string(120, 'c'), "0"), "");
}

// The core file a process leaves, found from the log line alone.
TEST(CoreDump, ChildDumpsAndTheLogNamesTheFile) {
  testsupport::TempDir tmp;
  auto r = testsupport::RunInChild([&](const std::string &logPath) {
    if (!Log_InitWithFile(logPath.c_str(), "core") || chdir(tmp.path().c_str()) != 0) {
      return 10;
    }
    signal(SIGCHLD, SIG_IGN);  // as the collector does
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited);
    return Sig_CoreDump() == 0 ? 0 : 1;
  });
  ASSERT_TRUE(r.ExitedWith(0)) << r.err << r.log;
  EXPECT_TRUE(r.LogHas("Attempting a core dump using an unlimited size limit")) << r.log;
  if (!r.LogHas("Core dumped.\n")) {
    // Sanitizers and some kernels' settings keep cores from being written.
    EXPECT_TRUE(r.LogHas("failed to dump core (status 0x")) << r.log;
    GTEST_SKIP() << "this process cannot dump core here";
  }
  size_t at = r.log.find("A core file is available in \"");
  ASSERT_NE(at, std::string::npos) << r.log;
  at += strlen("A core file is available in \"");
  std::string file = r.log.substr(at, r.log.find('"', at) - at);
  if (file.rfind(tmp.path() + "/", 0) == 0) {
    EXPECT_TRUE(testsupport::Exists(file)) << file;
  }
}

}  // namespace
