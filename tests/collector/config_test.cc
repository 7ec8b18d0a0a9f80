// The collector reads its configuration before it opens its log: a log key
// in the invoking user's configuration file changes what it logs.

#include <stdlib.h>
#include <sys/stat.h>

#include "harness.h"

namespace {

using CollectorConfigTest = harness::CollectorTest;

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
