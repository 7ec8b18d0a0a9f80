// The path wrappers' environment, user, mount-table, link and process
// members. Encodings other than UTF-8 are chosen once per process, so those
// cases run in a child.

#include <brellis/posix.h>

#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using testsupport::TempDir;

namespace {

TEST(PosixEnv, ValuesAreInternedAndStayReadable) {
  setenv("BRELLIS_TEST_VAR", "one", 1);
  const char *first = Posix_Getenv("BRELLIS_TEST_VAR");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Posix_Getenv("BRELLIS_TEST_VAR"), first);
  setenv("BRELLIS_TEST_VAR", "two", 1);
  const char *second = Posix_Getenv("BRELLIS_TEST_VAR");
  setenv("BRELLIS_TEST_VAR", "three", 1);
  EXPECT_STREQ(Posix_Getenv("BRELLIS_TEST_VAR"), "three");
  // Two changes later, what callers were handed is still there.
  EXPECT_STREQ(first, "one");
  EXPECT_STREQ(second, "two");
  setenv("BRELLIS_TEST_VAR", "one", 1);
  EXPECT_EQ(Posix_Getenv("BRELLIS_TEST_VAR"), first);

  setenv("BRELLIS_TEST_VAR", "bad\xFF", 1);
  errno = 0;
  EXPECT_EQ(Posix_Getenv("BRELLIS_TEST_VAR"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  unsetenv("BRELLIS_TEST_VAR");
  EXPECT_EQ(Posix_Getenv("BRELLIS_TEST_VAR"), nullptr);
}

TEST(PosixUsers, RecordsComeBackInUtf8) {
  struct passwd *pw = Posix_Getpwuid(0);
  ASSERT_NE(pw, nullptr);
  EXPECT_STREQ(pw->pw_name, "root");
  EXPECT_EQ(pw->pw_uid, 0u);
  pw = Posix_Getpwnam("root");
  ASSERT_NE(pw, nullptr);
  EXPECT_STREQ(pw->pw_dir, getpwuid(0)->pw_dir);
  EXPECT_EQ(Posix_Getpwnam("no-such-user-here"), nullptr);

  struct passwd rec;
  struct passwd *result = nullptr;
  char buf[1024];
  ASSERT_EQ(Posix_Getpwuid_r(0, &rec, buf, sizeof buf, &result), 0);
  ASSERT_EQ(result, &rec);
  EXPECT_STREQ(rec.pw_name, "root");
  EXPECT_GE(rec.pw_shell, buf);  // packed into the caller's buffer
  EXPECT_LT(rec.pw_shell, buf + sizeof buf);
}

TEST(PosixMounts, FieldsConvertOrTheEntryFails) {
  TempDir tmp;
  std::string table = tmp / "mtab";
  std::ofstream(table) << "/dev/sda1 /m\xC3\xA9"
                          "dia ext4 rw 0 0\n/dev/sdb1 /bad\xFF ext4 rw 0 0\n";
  FILE *fp = setmntent(table.c_str(), "r");
  ASSERT_NE(fp, nullptr);
  struct mntent m;
  char buf[256];
  ASSERT_NE(Posix_Getmntent_r(fp, &m, buf, sizeof buf), nullptr);
  EXPECT_STREQ(m.mnt_dir,
               "/m\xC3\xA9"
               "dia");
  EXPECT_STREQ(m.mnt_type, "ext4");
  errno = 0;
  EXPECT_EQ(Posix_Getmntent_r(fp, &m, buf, sizeof buf), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(Posix_Getmntent_r(fp, &m, buf, sizeof buf), nullptr);  // the end
  endmntent(fp);
}

TEST(PosixLinks, ALinkThatFillsTheBufferIsNotCut) {
  TempDir tmp;
  std::string link = tmp / "long";
  std::string target(4095, 'x');
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  errno = 0;
  EXPECT_EQ(Posix_ReadLink(link.c_str()), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  std::string shorter = tmp / "short";
  ASSERT_EQ(symlink(target.c_str() + 1, shorter.c_str()), 0);
  char *text = Posix_ReadLink(shorter.c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(strlen(text), 4094u);
  free(text);
}

TEST(PosixProcesses, PopenAndExecvp) {
  FILE *p = Posix_Popen("printf '%s' caf\xC3\xA9", "r");
  ASSERT_NE(p, nullptr);
  char out[16] = {};
  size_t n = fread(out, 1, sizeof out - 1, p);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(std::string(out, n), "caf\xC3\xA9");

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char arg0[] = "sh";
    char arg1[] = "-c";
    char arg2[] = "exit 7";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    Posix_Execvp("sh", argv);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

// Run in a child whose current encoding is ISO-8859-1.
bool Latin1RoundTrips(const TempDir &tmp) {
  std::string latin = tmp / "caf\xE9";
  bool ok = symlink("t\xE9", latin.c_str()) == 0;
  char *text = Posix_ReadLink((tmp / "caf\xC3\xA9").c_str());
  ok = ok && text != nullptr && strcmp(text, "t\xC3\xA9") == 0;
  setenv("BRELLIS_LATIN", "\xE9t\xE9", 1);
  const char *value = Posix_Getenv("BRELLIS_LATIN");
  ok = ok && value != nullptr && strcmp(value, "\xC3\xA9t\xC3\xA9") == 0;
  char arg[] = "\xE2\x82\xAC";
  char *argv[] = {arg, nullptr};
  errno = 0;
  return ok && Posix_Execvp("true", argv) == -1 && errno == EINVAL;
}

TEST(PosixLatin1DeathTest, ConversionBothWaysInALatin1Encoding) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir tmp;
  setenv("G_FILENAME_ENCODING", "ISO-8859-1", 1);
  EXPECT_EXIT(_exit(Latin1RoundTrips(tmp) ? 0 : 1), testing::ExitedWithCode(0), "");
  unsetenv("G_FILENAME_ENCODING");
}

}  // namespace
