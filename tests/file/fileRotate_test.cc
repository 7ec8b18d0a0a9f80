// Rotation into numbered backups, by renaming and by renumbering.

#include <brellis/file.h>

#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using filetest::ChildResult;
using filetest::List;
using filetest::RunInChild;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using Names = std::vector<std::string>;

TEST(FileRotateTest, RenameSchemeShiftsBackups) {
  TempDir tmp;
  std::string log = tmp / "a.log";
  WriteFile(log, "current");
  WriteFile(tmp / "a-0.log", "zero");
  WriteFile(tmp / "a-1.log", "one");
  WriteFile(tmp / "a-2.log", "two");
  char *newName = nullptr;
  File_Rotate(log.c_str(), 3, false, &newName);
  ASSERT_NE(newName, nullptr);
  EXPECT_EQ(std::string(newName), tmp / "a-0.log");
  free(newName);
  EXPECT_EQ(List(tmp.path()), (Names{"a-0.log", "a-1.log", "a-2.log"}));
  EXPECT_EQ(ReadFile(tmp / "a-0.log"), "current");
  EXPECT_EQ(ReadFile(tmp / "a-1.log"), "zero");
  EXPECT_EQ(ReadFile(tmp / "a-2.log"), "one");

  // Gaps are no error; a missing file leaves newName unset.
  File_Rotate(log.c_str(), 3, false, &newName);
  EXPECT_EQ(newName, nullptr);
  EXPECT_EQ(List(tmp.path()), (Names{"a-1.log", "a-2.log"}));
}

TEST(FileRotateTest, ExtensionComesFromTheLastComponentOnly) {
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "log.d").c_str(), 0755), 0);
  std::string app = tmp / "log.d/app";
  WriteFile(app, "x");
  WriteFile(app + "-0", "older");
  char *newName = nullptr;
  File_Rotate(app.c_str(), 2, false, &newName);
  EXPECT_EQ(std::string(newName), app + "-0");
  free(newName);
  EXPECT_EQ(List(tmp / "log.d"), (Names{"app-0", "app-1"}));
  EXPECT_EQ(List(tmp.path()), (Names{"log.d"}));
}

TEST(FileRotateTest, ZeroBackupsDeletesAndLinksAreNeverFollowed) {
  TempDir tmp;
  std::string log = tmp / "a.log";
  WriteFile(tmp / "precious", "keep me");
  // The oldest backup slot holds a link to a file that must survive.
  ASSERT_EQ(symlink((tmp / "precious").c_str(), (tmp / "a-1.log").c_str()), 0);
  WriteFile(log, "x");
  File_Rotate(log.c_str(), 2, false, nullptr);
  EXPECT_EQ(ReadFile(tmp / "precious"), "keep me");
  EXPECT_EQ(List(tmp.path()), (Names{"a-0.log", "precious"}));

  File_Rotate((tmp / "a-0.log").c_str(), 0, false, nullptr);
  EXPECT_EQ(List(tmp.path()), (Names{"precious"}));
}

TEST(FileRotateTest, RenumberSchemeTakesTheNextNumberAndPrunesTheLowest) {
  TempDir tmp;
  std::string log = tmp / "a.log";
  WriteFile(log, "current");
  WriteFile(tmp / "a-3.log", "3");
  WriteFile(tmp / "a-7.log", "7");
  for (const char *ignored : {"a-7.log.bak", "a-x.log", "a--2.log", "a-+4.log", "a-.log",
                              "a-99999999999.log", "b-1.log", "a-1"}) {
    WriteFile(tmp / ignored, "");
  }
  char *newName = nullptr;
  File_Rotate(log.c_str(), 2, true, &newName);
  ASSERT_NE(newName, nullptr);
  char *full = realpath(tmp.path().c_str(), nullptr);
  EXPECT_EQ(std::string(newName), std::string(full) + "/a-8.log");
  free(full);
  free(newName);
  Names names = List(tmp.path());
  EXPECT_EQ(std::count(names.begin(), names.end(), "a-3.log"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "a-7.log"), 1);
  EXPECT_EQ(ReadFile(tmp / "a-8.log"), "current");
  EXPECT_EQ(std::count(names.begin(), names.end(), "a-99999999999.log"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "a--2.log"), 1);
}

TEST(FileRotateTest, RenumberDeletesNamesAsListedAndStartsAtOne) {
  TempDir tmp;
  std::string log = tmp / "b";
  WriteFile(log, "x");
  WriteFile(tmp / "b-007", "seven");  // leading zeros: deleted under this name
  WriteFile(tmp / "b-9", "nine");
  File_Rotate(log.c_str(), 2, true, nullptr);
  EXPECT_EQ(List(tmp.path()), (Names{"b-10", "b-9"}));

  TempDir fresh;
  WriteFile(fresh / "c.txt", "x");
  File_Rotate((fresh / "c.txt").c_str(), 3, true, nullptr);
  EXPECT_EQ(List(fresh.path()), (Names{"c-1.txt"}));
}

TEST(FileRotateTest, RenumberPrunesNothingWhenTheRenameFailed) {
  TempDir tmp;
  WriteFile(tmp / "a-1.log", "1");
  WriteFile(tmp / "a-2.log", "2");
  char *newName = reinterpret_cast<char *>(1);
  File_Rotate((tmp / "a.log").c_str(), 1, true, &newName);  // there is no a.log
  EXPECT_EQ(newName, nullptr);
  EXPECT_EQ(List(tmp.path()), (Names{"a-1.log", "a-2.log"}));

  // A failed rename other than a missing file is logged, and nothing goes.
  WriteFile(tmp / "a.log", "x");
  chmod(tmp.path().c_str(), 0555);
  ChildResult r = RunInChild([&] {
    CHILD_CHECK(testsupport::BecomeOrdinaryUser());
    File_Rotate((tmp / "a.log").c_str(), 1, true, nullptr);
    return 0;
  });
  chmod(tmp.path().c_str(), 0755);
  EXPECT_TRUE(r.Passed()) << r.err;
  EXPECT_TRUE(r.LogHas("FILE: FileRotateByRenumber: failed to rename " + tmp / "a.log")) << r.log;
  EXPECT_TRUE(r.LogHas("failed: Permission denied")) << r.log;
  EXPECT_FALSE(r.LogHas("failed to remove")) << r.log;
  EXPECT_EQ(List(tmp.path()), (Names{"a-1.log", "a-2.log", "a.log"}));
}

}  // namespace
