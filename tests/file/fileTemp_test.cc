// Temporary files and the per-user private directory: which base is
// trusted, the mode the directory gets whatever the umask, and the names
// and kinds of what is made inside. Each case runs in a child, since the
// chosen directory is cached for the life of the process.

#include <brellis/file.h>
#include <brellis/internal/preferenceRoot.h>
#include <brellis/preference.h>
#include <brellis/str.h>

#include "file/fileInt.h"
#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

using filetest::RunInChild;
using testsupport::TempDir;

namespace {

std::string Take(char *s) {
  std::string out(s != nullptr ? s : "<null>");
  free(s);
  return out;
}

std::string UserName() {
  struct passwd *pw = getpwuid(geteuid());
  return pw != nullptr ? pw->pw_name : "uid-" + std::to_string(geteuid());
}

bool IsPrivateDirectory(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700;
}

TEST(SafeTmpDirTest, NewDirectoryIsPrivateWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}, mode_t{0777}}) {
    TempDir tmp;
    EXPECT_CHILD_PASSED(RunInChild([&] {
      umask(mask);
      setenv("TMPDIR", tmp.path().c_str(), 1);
      std::string got = Take(File_GetSafeTmpDir(false));
      CHILD_CHECK(got == tmp / ("brellis-" + UserName()));
      CHILD_CHECK(IsPrivateDirectory(got));
      return 0;
    }));
  }
}

// A base anyone may write to without the sticky bit lets them swap the
// private directory after it was checked, so it is passed over; with the
// sticky bit (as /tmp has) it is used.
TEST(SafeTmpDirTest, SharedBaseNeedsTheStickyBit) {
  for (mode_t mode : {mode_t{0777}, mode_t{0770}, mode_t{01777}}) {
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), mode), 0);
    EXPECT_CHILD_PASSED(RunInChild([&] {
      setenv("TMPDIR", tmp.path().c_str(), 1);
      std::string got = Take(File_GetSafeTmpDir(false));
      bool inside = got.starts_with(tmp.path() + "/");
      CHILD_CHECK(inside == ((mode & S_ISVTX) != 0));
      CHILD_CHECK(IsPrivateDirectory(got));
      return 0;
    }));
  }
}

// The configured directory comes before TMPDIR when asked for, and "~" in
// it is expanded.
TEST(SafeTmpDirTest, ConfiguredBaseComesFirstWhenAskedFor) {
  TempDir home, env;
  EXPECT_CHILD_PASSED(RunInChild([&] {
    PreferenceSetRootForTest((home / "no-root").c_str());
    setenv("HOME", home.path().c_str(), 1);
    setenv("TMPDIR", env.path().c_str(), 1);
    Preference_Init();
    Preference_SetFromString("tmpDirectory=~", true);
    std::string user = "/brellis-" + UserName();
    CHILD_CHECK(Take(File_GetSafeTmpDir(true)) == home.path() + user);
    return 0;
  }));
}

TEST(MakeTempTest, NamesKindsAndPlaces) {
  TempDir tmp;
  EXPECT_CHILD_PASSED(RunInChild([&] {
    setenv("TMPDIR", tmp.path().c_str(), 1);
    std::string safe = tmp / ("brellis-" + UserName());
    char *path = nullptr;

    // Files have odd numbers and are the caller's alone.
    int fd = File_MakeTemp(nullptr, &path);
    std::string file = Take(path);
    CHILD_CHECK(fd >= 0 && file.starts_with(safe + "/brellis"));
    CHILD_CHECK(std::stoul(file.substr(safe.size() + 8)) % 2 == 1);
    struct stat st;
    CHILD_CHECK(fstat(fd, &st) == 0 && (st.st_mode & 0777) == 0600);
    CHILD_CHECK((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
    close(fd);

    fd = File_MakeTemp("stem", &path);
    CHILD_CHECK(fd >= 0 && Take(path).starts_with(safe + "/stem"));
    close(fd);
    fd = File_MakeTemp((tmp / "full").c_str(), &path);
    CHILD_CHECK(fd >= 0 && Take(path).starts_with(tmp / "full"));
    close(fd);

    // Directories have even numbers.
    auto named = [](uint32_t n, void *) { return Str_Asprintf(nullptr, "d%u", n); };
    CHILD_CHECK(FileMakeTempEx2(tmp.path().c_str(), false, named, nullptr, &path) == 0);
    std::string dir = Take(path);
    CHILD_CHECK(std::stoul(dir.substr(tmp.path().size() + 2)) % 2 == 0);
    CHILD_CHECK(stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));

    errno = 0;
    CHILD_CHECK(FileMakeTempEx2(nullptr, true, named, nullptr, &path) == -1 && errno == EFAULT);
    CHILD_CHECK(File_MakeTempEx((tmp / "missing").c_str(), "x", &path) == -1 && errno == ENOENT);
    return 0;
  }));
}

}  // namespace

namespace {

// Processes forked from one parent race for the same temporary and lock
// names; they must not all draw the same numbers.
TEST(FileSimpleRandomTest, ForkedChildDrawsItsOwnNumbers) {
  FileSimpleRandom();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    uint32_t value = FileSimpleRandom();
    _exit(write(fds[1], &value, sizeof value) == sizeof value ? 0 : 1);
  }
  uint32_t mine = FileSimpleRandom();
  uint32_t theirs = mine;
  EXPECT_EQ(read(fds[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
  waitpid(child, nullptr, 0);
  EXPECT_NE(mine, theirs);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
