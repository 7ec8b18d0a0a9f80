// The collector reads its configuration before it opens its log: a log key
// in the invoking user's configuration file changes what it logs.

#include <stdlib.h>
#include <sys/stat.h>

#include "harness.h"

namespace {

class CollectorConfigTest : public harness::CollectorTest {
 protected:
  // The collector inherits HOME; its user configuration lives in the
  // temporary directory.
  void UserConfig(const std::string &text) {
    std::string home = tmp / "home";
    mkdir(home.c_str(), 0755);
    mkdir((home + "/.brellis").c_str(), 0755);
    ASSERT_TRUE(testsupport::WriteFile(home + "/.brellis/config", text));
    const char *old = getenv("HOME");
    savedHome = old ? old : "";
    hadHome = old != nullptr;
    setenv("HOME", home.c_str(), 1);
  }
  ~CollectorConfigTest() override {
    proc.Stop();
    if (hadHome) {
      setenv("HOME", savedHome.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  std::string savedHome;
  bool hadHome = false;
};

TEST_F(CollectorConfigTest, LoggingFalseKeepsTheLogFileAway) {
  UserConfig("# no log for this collector\nlogging = \"FALSE\"\n");
  StartCollector();
  // It serves, but the log file it would otherwise create never appears.
  struct stat st;
  EXPECT_NE(stat(logPath().c_str(), &st), 0);
  EXPECT_TRUE(proc.Running());
}

TEST_F(CollectorConfigTest, LoggingTrueKeepsTheLog) {
  UserConfig("logging = \"TRUE\"\n");
  StartCollector();
  EXPECT_TRUE(LogHas("Nothing to post process\n"));
}

}  // namespace
