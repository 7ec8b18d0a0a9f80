// Paths and directories: names, directory chains, listing, deletion through
// links, checks, times, space, copying and moving.

#include <brellis/file.h>
#include <brellis/msg.h>

#include "file/fileTestUtil.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using filetest::ChildResult;
using filetest::List;
using filetest::RunInChild;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Takes ownership of a returned string.
std::string Take(char *s) {
  if (s == nullptr) {
    return "<null>";
  }
  std::string out(s);
  free(s);
  return out;
}

TEST(FilePathTest, SplittingAndJoining) {
  char *vol, *dir, *base;
  File_SplitName("/var/log/x.log", &vol, &dir, &base);
  EXPECT_EQ(Take(vol), "");
  EXPECT_EQ(Take(dir), "/var/log/");
  EXPECT_EQ(Take(base), "x.log");
  File_SplitName("plain", nullptr, &dir, &base);
  EXPECT_EQ(Take(dir), "");
  EXPECT_EQ(Take(base), "plain");

  File_GetPathName("/x", &dir, &base);
  EXPECT_EQ(Take(dir), "");
  EXPECT_EQ(Take(base), "x");
  File_GetPathName("a/b/", &dir, &base);
  EXPECT_EQ(Take(dir), "a/b");
  EXPECT_EQ(Take(base), "");
  File_GetPathName("a//b", &dir, &base);
  EXPECT_EQ(Take(dir), "a");
  EXPECT_EQ(Take(base), "b");

  EXPECT_EQ(Take(File_StripSlashes("a/b//")), "a/b");
  EXPECT_EQ(Take(File_StripSlashes("a/b")), "a/b");
  EXPECT_EQ(Take(File_PathJoin("/var/log/", "/x.log")), "/var/log/x.log");
  EXPECT_EQ(Take(File_PathJoin("/", "x")), "/x");
  EXPECT_EQ(Take(File_PathJoin("a", "b")), "a/b");
  EXPECT_TRUE(File_IsFullPath("/a"));
  EXPECT_FALSE(File_IsFullPath("a"));
  EXPECT_FALSE(File_IsFullPath(nullptr));
}

TEST(FilePathTest, FullPathResolvesOrCollapses) {
  TempDir tmp;
  std::string real = Take(realpath(tmp.path().c_str(), nullptr));
  ASSERT_EQ(mkdir((tmp / "d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("d", (tmp / "l").c_str()), 0);
  EXPECT_EQ(Take(File_FullPath((tmp / "l").c_str())), real + "/d");
  EXPECT_EQ(Take(File_FullPath((tmp.path() + "//not//yet").c_str())), tmp.path() + "/not/yet");

  char *cwd = File_Cwd(nullptr);
  ASSERT_NE(cwd, nullptr);
  EXPECT_EQ(Take(File_FullPath(nullptr)), std::string(cwd));
  EXPECT_EQ(Take(File_FullPath("")), std::string(cwd));
  std::string expected = std::string(cwd) + "/no/such/thing";
  EXPECT_EQ(Take(File_FullPath("no//such/thing")), expected);
  free(cwd);
}

TEST(FilePathTest, ExtensionsPrefixesAndSearchPaths) {
  EXPECT_EQ(Take(File_RemoveExtension("/a/b.c.txt")), "/a/b.c");
  EXPECT_EQ(Take(File_RemoveExtension("/var/log.d/app")), "/var/log.d/app");
  EXPECT_EQ(Take(File_ReplaceExtension("/d/x.txt", ".log", 0)), "/d/x.log");
  EXPECT_EQ(Take(File_ReplaceExtension("/x.txt", ".log", 0)), "/x.log");
  EXPECT_EQ(Take(File_ReplaceExtension("x", ".log", 0)), "x.log");
  EXPECT_EQ(Take(File_ReplaceExtension("d/x.txt", ".log", 2, ".a", ".b")), "d/x.txt.log");
  EXPECT_EQ(Take(File_ReplaceExtension("d/x.b", ".log", 2, ".a", ".b")), "d/x.log");

  const char *olds[] = {"/usr/lib/", "/usr"};
  const char *news[] = {"/opt/lib", "/o/"};
  EXPECT_EQ(Take(File_MapPathPrefix("/usr/lib/x", olds, news, 2)), "/opt/lib/x");
  EXPECT_EQ(Take(File_MapPathPrefix("/usr/lib", olds, news, 2)), "/opt/lib");
  EXPECT_EQ(Take(File_MapPathPrefix("/usr/bin", olds, news, 2)), "/o/bin");
  EXPECT_EQ(File_MapPathPrefix("/usrx/bin", olds, news, 2), nullptr);

  EXPECT_EQ(Take(File_PrependToPath("a;b;c", "b")), "b;a;c");
  EXPECT_EQ(Take(File_PrependToPath("a;c", "b")), "b;a;c");
  EXPECT_EQ(Take(File_PrependToPath("", "b")), "b");

  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tmp / "rel").c_str(), 0755), 0);
  WriteFile(tmp / "bin/tool", "");
  WriteFile(tmp / "rel/other", "");
  WriteFile(tmp / "here", "");
  std::string base = Take(realpath(tmp.path().c_str(), nullptr));
  std::string path = "/nonexistent;" + tmp.path() + "/bin;rel";
  char *found = nullptr;
  ASSERT_TRUE(File_FindFileInSearchPath("tool", path.c_str(), tmp.path().c_str(), &found));
  EXPECT_EQ(Take(found), base + "/bin/tool");
  ASSERT_TRUE(File_FindFileInSearchPath("other", path.c_str(), tmp.path().c_str(), &found));
  EXPECT_EQ(Take(found), base + "/rel/other");
  ASSERT_TRUE(File_FindFileInSearchPath("here", "x", tmp.path().c_str(), &found));
  EXPECT_EQ(Take(found), base + "/here");
  // A name with a directory part is not looked for along the path.
  EXPECT_FALSE(File_FindFileInSearchPath("x/tool", path.c_str(), tmp.path().c_str(), &found));
  EXPECT_FALSE(File_FindFileInSearchPath("none", path.c_str(), tmp.path().c_str(), &found));
}

TEST(FileDirectoryTest, HierarchyCreatesOnlyWhatIsMissing) {
  TempDir tmp;
  std::string top = tmp / "a";
  char *topmost = nullptr;
  ASSERT_TRUE(File_CreateDirectoryHierarchy((top + "/b/c").c_str(), &topmost));
  EXPECT_EQ(Take(topmost), top);
  EXPECT_TRUE(File_IsDirectory((top + "/b/c").c_str()));
  topmost = reinterpret_cast<char *>(1);
  ASSERT_TRUE(File_CreateDirectoryHierarchy((top + "/b/c").c_str(), &topmost));
  EXPECT_EQ(topmost, nullptr);
  ASSERT_TRUE(File_CreateDirectoryHierarchy((top + "/b/d/").c_str(), &topmost));
  EXPECT_EQ(Take(topmost), top + "/b/d");
  EXPECT_TRUE(File_CreateDirectoryHierarchy("", nullptr));

  WriteFile(tmp / "file", "");
  EXPECT_FALSE(File_CreateDirectoryHierarchy((tmp / "file/x").c_str(), nullptr));
  EXPECT_FALSE(File_EnsureDirectory((tmp / "file").c_str()));
  EXPECT_TRUE(File_EnsureDirectory(top.c_str()));
  EXPECT_FALSE(File_CreateDirectory(top.c_str()));
  EXPECT_EQ(errno, EEXIST);
}

TEST(FileDirectoryTest, ConcurrentCreatorsAllSucceed) {
  TempDir tmp;
  for (int round = 0; round < 20; round++) {
    std::string deep = tmp / ("r" + std::to_string(round) + "/a/b/c/d/e");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
        if (!File_CreateDirectoryHierarchy(deep.c_str(), nullptr)) failures++;
      });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0) << deep;
  }
}

TEST(FileDirectoryTest, ListingCountsAndReplacesUnconvertibleNames) {
  TempDir tmp;
  WriteFile(tmp / "one", "");
  WriteFile(tmp / "t\xC3\xA9", "");  // valid UTF-8
  WriteFile(tmp / "bad\xFF", "");
  ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);
  EXPECT_EQ(File_ListDirectory(tmp.path().c_str(), nullptr), 4);
  std::vector<std::string> names = List(tmp.path());
  std::vector<std::string> expected = {"one", "sub", "t\xC3\xA9",
                                       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(File_IsEmptyDirectory((tmp / "sub").c_str()));
  EXPECT_FALSE(File_IsEmptyDirectory(tmp.path().c_str()));
  EXPECT_TRUE(List(tmp / "sub").empty());  // an empty listing is a valid array

  EXPECT_EQ(File_ListDirectory((tmp / "none").c_str(), nullptr), -1);
  EXPECT_EQ(errno, ENOENT);

  ChildResult r = RunInChild([&] {
    char **ids = nullptr;
    CHILD_CHECK(File_ListDirectory(tmp.path().c_str(), &ids) == 4);
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
  EXPECT_TRUE(r.LogHas("File_ListDirectory: file 'bad\\xFF' in directory '" + tmp.path() +
                       "' cannot be converted to UTF8"))
      << r.log;
}

TEST(FileDeleteTest, UnlinkFollowsLinksRelativeToTheLinkNoFollowDoesNot) {
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "d").c_str(), 0755), 0);
  WriteFile(tmp / "d/target", "t");
  WriteFile(tmp / "target", "decoy");
  ASSERT_EQ(symlink("target", (tmp / "d/link").c_str()), 0);
  // The process's directory holds a decoy of the same name.
  char *cwd = File_Cwd(nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  EXPECT_EQ(File_Unlink((tmp / "d/link").c_str()), 0);
  EXPECT_EQ(chdir(cwd), 0);
  free(cwd);
  EXPECT_FALSE(Exists(tmp / "d/link"));
  EXPECT_FALSE(Exists(tmp / "d/target"));
  EXPECT_TRUE(Exists(tmp / "target"));

  ASSERT_EQ(symlink((tmp / "target").c_str(), (tmp / "abs").c_str()), 0);
  EXPECT_EQ(File_UnlinkNoFollow((tmp / "abs").c_str()), 0);
  EXPECT_TRUE(Exists(tmp / "target"));

  // A dangling link is removed; its missing target is no error.
  ASSERT_EQ(symlink("gone", (tmp / "dangling").c_str()), 0);
  EXPECT_EQ(File_Unlink((tmp / "dangling").c_str()), 0);
  EXPECT_FALSE(Exists(tmp / "dangling"));

  EXPECT_EQ(File_Unlink((tmp / "none").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(File_UnlinkIfExists((tmp / "none").c_str()), 0);
  EXPECT_EQ(File_UnlinkNoFollow(nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(File_Rename((tmp / "none").c_str(), (tmp / "x").c_str()), ENOENT);
}

TEST(FileDeleteTest, TreeDeletionNeverFollowsLinks) {
  TempDir tmp;
  ASSERT_TRUE(File_CreateDirectoryHierarchy((tmp / "keep/inner").c_str(), nullptr));
  WriteFile(tmp / "keep/inner/f", "precious");
  ASSERT_TRUE(File_CreateDirectoryHierarchy((tmp / "tree/a/b").c_str(), nullptr));
  WriteFile(tmp / "tree/a/b/f", "x");
  WriteFile(tmp / "tree/bad\xFF", "x");
  ASSERT_EQ(symlink((tmp / "keep").c_str(), (tmp / "tree/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((tmp / "keep").c_str(), (tmp / "toplink").c_str()), 0);

  EXPECT_TRUE(File_DeleteDirectoryTree((tmp / "toplink").c_str()));
  EXPECT_FALSE(Exists(tmp / "toplink"));
  EXPECT_TRUE(Exists(tmp / "keep/inner/f"));

  EXPECT_TRUE(File_DeleteDirectoryTree((tmp / "tree").c_str()));
  EXPECT_FALSE(Exists(tmp / "tree"));
  EXPECT_EQ(ReadFile(tmp / "keep/inner/f"), "precious");

  EXPECT_TRUE(File_DeleteDirectoryTree((tmp / "never").c_str()));
  WriteFile(tmp / "file", "");
  EXPECT_FALSE(File_DeleteDirectoryTree((tmp / "file").c_str()));
  EXPECT_TRUE(Exists(tmp / "file"));
}

TEST(FileCheckTest, TypesPermissionsAndSameFile) {
  TempDir tmp;
  WriteFile(tmp / "f", "12345", 0640);
  ASSERT_EQ(symlink("f", (tmp / "l").c_str()), 0);
  ASSERT_EQ(link((tmp / "f").c_str(), (tmp / "hard").c_str()), 0);
  EXPECT_TRUE(File_IsFile((tmp / "l").c_str()));
  EXPECT_TRUE(File_IsSymLink((tmp / "l").c_str()));
  EXPECT_FALSE(File_IsSymLink((tmp / "f").c_str()));
  EXPECT_TRUE(File_IsDirectory(tmp.path().c_str()));
  EXPECT_TRUE(File_IsCharDevice("/dev/null"));
  EXPECT_TRUE(File_Exists((tmp / "f").c_str()));
  EXPECT_FALSE(File_Exists((tmp / "none").c_str()));

  FileData data;
  ASSERT_EQ(File_GetData((tmp / "l").c_str(), &data), 0);
  EXPECT_EQ(data.fileType, FILE_TYPE_REGULAR);
  EXPECT_EQ(data.fileSize, 5u);
  EXPECT_EQ(data.fileMode & 07777, 0640);
  EXPECT_EQ(File_GetData((tmp / "none").c_str(), &data), ENOENT);

  int mode = 0;
  ASSERT_TRUE(File_GetFilePermissions((tmp / "f").c_str(), &mode));
  EXPECT_EQ(mode & 07777, 0640);
  EXPECT_TRUE(S_ISREG(mode));
  EXPECT_TRUE(File_SetFilePermissions((tmp / "f").c_str(), 0600));
  File_GetFilePermissions((tmp / "f").c_str(), &mode);
  EXPECT_EQ(mode & 07777, 0600);
  EXPECT_FALSE(File_SetFilePermissions((tmp / "none").c_str(), 0600));

  EXPECT_TRUE(File_IsSameFile((tmp / "f").c_str(), (tmp / "hard").c_str()));
  EXPECT_TRUE(File_IsSameFile((tmp / "f").c_str(), (tmp / "l").c_str()));
  EXPECT_TRUE(File_IsSameFile("/no/such", "/no/such"));
  WriteFile(tmp / "g", "12345", 0640);
  EXPECT_FALSE(File_IsSameFile((tmp / "f").c_str(), (tmp / "g").c_str()));
  EXPECT_FALSE(File_IsSameFile((tmp / "f").c_str(), (tmp / "none").c_str()));
  EXPECT_FALSE(File_IsRemote(tmp.path().c_str()));
}

TEST(FileCheckTest, WritableDirCountsOwnerEffectiveGroupAndOthers) {
  SKIP_UNLESS_ROOT("give directories to another user and group (chown) and become that user");
  TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  std::string own = tmp / "own", group = tmp / "group", other = tmp / "other",
              searchless = tmp / "searchless";
  mkdir(own.c_str(), 0700);
  chown(own.c_str(), 65534, 0);
  mkdir(group.c_str(), 0070);
  chmod(group.c_str(), 0070);
  chown(group.c_str(), 0, 4242);
  mkdir(other.c_str(), 0777);
  chmod(other.c_str(), 0775);
  mkdir(searchless.c_str(), 0777);
  chmod(searchless.c_str(), 0776);
  WriteFile(tmp / "file", "", 0777);
  EXPECT_TRUE(File_IsWritableDir(own.c_str()));  // root
  EXPECT_FALSE(File_IsWritableDir((tmp / "file").c_str()));

  ChildResult r = RunInChild([&] {
    // Effective group 4242, no supplementary groups at all.
    CHILD_CHECK(setgroups(0, nullptr) == 0);
    CHILD_CHECK(setresgid(4242, 4242, 4242) == 0);
    CHILD_CHECK(setresuid(65534, 65534, 65534) == 0);
    CHILD_CHECK(File_IsWritableDir(own.c_str()));
    CHILD_CHECK(File_IsWritableDir(group.c_str()));
    CHILD_CHECK(!File_IsWritableDir(other.c_str()));  // others may not write
    CHILD_CHECK(!File_IsWritableDir(searchless.c_str()));
    CHILD_CHECK(!File_IsWritableDir(tmp.path().c_str()));
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
}

TEST(FileCheckTest, WritableDirOfItsOwnerFollowsTheOwnerBitsAlone) {
  TempDir tmp;
  chmod(tmp.path().c_str(), 0777);  // for the ordinary user a root run becomes
  ChildResult r = RunInChild([&] {
    CHILD_CHECK(testsupport::BecomeOrdinaryUser());
    std::string dir = tmp / "own";
    CHILD_CHECK(mkdir(dir.c_str(), 0700) == 0 && File_IsWritableDir(dir.c_str()));
    // Group and others may write and search; the owner may not.
    CHILD_CHECK(chmod(dir.c_str(), 0577) == 0 && !File_IsWritableDir(dir.c_str()));
    CHILD_CHECK(chmod(dir.c_str(), 0677) == 0 && !File_IsWritableDir(dir.c_str()));
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
}

TEST(FileTimeTest, TimesRoundTripIn100NanosecondUnits) {
  TempDir tmp;
  std::string path = tmp / "f";
  WriteFile(path, "x");
  struct timespec times[2] = {{1000000000, 123456700}, {1200000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  int64_t create, accessed, written, changed;
  ASSERT_TRUE(File_GetTimes(path.c_str(), &create, &accessed, &written, &changed));
  EXPECT_EQ(create, -1);
  EXPECT_EQ(accessed, 1000000000LL * 10000000 + 1234567 + 116444736000000000LL);
  EXPECT_EQ(written, 1200000000LL * 10000000 + 116444736000000000LL);
  EXPECT_GT(changed, written);

  // Only the write time is set; the access time stays (microsecond grain).
  int64_t newWrite = 1300000000LL * 10000000 + 5550 + 116444736000000000LL;
  ASSERT_TRUE(File_SetTimes(path.c_str(), 0, 0, newWrite, 0));
  ASSERT_TRUE(File_GetTimes(path.c_str(), &create, &accessed, &written, &changed));
  EXPECT_EQ(written, newWrite);
  EXPECT_EQ(accessed, 1000000000LL * 10000000 + 1234560 + 116444736000000000LL);

  EXPECT_FALSE(File_GetTimes((tmp / "none").c_str(), &create, &accessed, &written, &changed));
  EXPECT_EQ(accessed, -1);
  EXPECT_FALSE(File_SetTimes((tmp / "none").c_str(), 0, 1, 1, 0));
}

TEST(FileSizeTest, SizesSpaceAndBigFiles) {
  TempDir tmp;
  ASSERT_TRUE(File_CreateDirectoryHierarchy((tmp / "t/a").c_str(), nullptr));
  WriteFile(tmp / "t/f", std::string(100, 'x'));
  WriteFile(tmp / "t/a/g", std::string(23, 'x'));
  ASSERT_EQ(symlink("f", (tmp / "t/l").c_str()), 0);  // counts as its own 1 byte
  EXPECT_EQ(File_GetSize((tmp / "t/f").c_str()), 100);
  EXPECT_EQ(File_GetSize((tmp / "none").c_str()), -1);
  EXPECT_EQ(File_GetSizeEx((tmp / "t").c_str()), 124);
  EXPECT_EQ(File_GetSizeEx((tmp / "t/f").c_str()), 100);
  EXPECT_EQ(File_GetSizeEx((tmp / "none").c_str()), -1);

  struct statfs sfs;
  ASSERT_EQ(statfs(tmp.path().c_str(), &sfs), 0);
  int64_t capacity = File_GetCapacity(tmp.path().c_str());
  EXPECT_EQ(capacity, static_cast<int64_t>(sfs.f_frsize * sfs.f_blocks));
  // A path that does not exist yet is measured at its nearest ancestor.
  EXPECT_EQ(File_GetCapacity((tmp / "x/y/z").c_str()), capacity);
  EXPECT_GT(File_GetFreeSpace((tmp / "x/y/z").c_str(), false), 0);
  EXPECT_EQ(File_GetFreeSpace((tmp / "x/y/z").c_str(), true), -1);

  EXPECT_TRUE(File_SupportsFileSize((tmp / "whatever").c_str(), 1000));
  EXPECT_TRUE(File_SupportsFileSize(tmp.path().c_str(), UINT64_C(8) << 30));
  EXPECT_TRUE(File_SupportsFileSize((tmp / "t/f").c_str(), UINT64_C(8) << 30));
  EXPECT_TRUE(File_SupportsFileSize((tmp / "t/new").c_str(), UINT64_C(8) << 30));
  // The probe files are gone again.
  EXPECT_EQ(List(tmp / "t"), (std::vector<std::string>{"a", "f", "l"}));
  EXPECT_EQ(List(tmp.path()), (std::vector<std::string>{"t"}));
}

TEST(FileCopyTest, CopyMoveAndReplace) {
  TempDir tmp;
  std::string big(20000, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i % 251);
  WriteFile(tmp / "src", big, 0644);
  EXPECT_TRUE(File_Copy((tmp / "src").c_str(), (tmp / "dst").c_str(), false));
  EXPECT_EQ(ReadFile(tmp / "dst"), big);
  Msg_Reset(false);
  EXPECT_FALSE(File_Copy((tmp / "src").c_str(), (tmp / "dst").c_str(), false));
  EXPECT_EQ(std::string(Msg_GetMessagesAndReset()),
            "Unable to create a new '" + tmp / "dst" + "' file: The file already exists.\n\n");
  WriteFile(tmp / "dst", "short");
  EXPECT_TRUE(File_Copy((tmp / "src").c_str(), (tmp / "dst").c_str(), true));
  EXPECT_EQ(ReadFile(tmp / "dst"), big);
  EXPECT_FALSE(File_Copy((tmp / "none").c_str(), (tmp / "dst2").c_str(), true));
  EXPECT_EQ(std::string(Msg_GetMessagesAndReset()),
            "Unable to open the '" + tmp / "none" +
                "' file for read access: Could not find the file.\n\n");

  bool asRename = false;
  EXPECT_TRUE(File_Move((tmp / "dst").c_str(), (tmp / "moved").c_str(), &asRename));
  EXPECT_TRUE(asRename);
  EXPECT_FALSE(Exists(tmp / "dst"));

  WriteFile(tmp / "new", "replacement", 0600);
  chmod((tmp / "moved").c_str(), 0604);
  EXPECT_TRUE(File_Replace((tmp / "moved").c_str(), (tmp / "new").c_str()));
  EXPECT_EQ(ReadFile(tmp / "moved"), "replacement");
  struct stat st;
  stat((tmp / "moved").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_FALSE(File_Replace((tmp / "moved").c_str(), (tmp / "new").c_str()));
  EXPECT_NE(std::string(Msg_GetMessagesAndReset()).find("Failed to duplicate file permissions"),
            std::string::npos);
}

TEST(FileCopyTest, TreesAreCopiedAndMovedWithTheirLinks) {
  TempDir tmp;
  ASSERT_TRUE(File_CreateDirectoryHierarchy((tmp / "src/sub").c_str(), nullptr));
  WriteFile(tmp / "src/a", "A");
  WriteFile(tmp / "src/sub/b", "B");
  ASSERT_EQ(symlink("a", (tmp / "src/link").c_str()), 0);
  ASSERT_TRUE(File_EnsureDirectory((tmp / "copy").c_str()));
  EXPECT_TRUE(File_CopyTree((tmp / "src").c_str(), (tmp / "copy").c_str(), false, false));
  EXPECT_EQ(ReadFile(tmp / "copy/sub/b"), "B");
  char target[16] = {};
  ASSERT_GT(readlink((tmp / "copy/link").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "a");

  Msg_Reset(false);
  EXPECT_FALSE(File_CopyTree((tmp / "src/a").c_str(), (tmp / "copy").c_str(), false, false));
  EXPECT_EQ(std::string(Msg_GetMessagesAndReset()),
            "Source path '" + tmp / "src/a" + "' is not a directory.\n");
  EXPECT_FALSE(File_CopyTree((tmp / "src").c_str(), (tmp / "nowhere").c_str(), false, false));
  Msg_Reset(false);

  bool asMove = false;
  EXPECT_TRUE(File_MoveTree((tmp / "src").c_str(), (tmp / "deep/moved").c_str(), false, &asMove));
  EXPECT_FALSE(Exists(tmp / "src"));
  EXPECT_EQ(ReadFile(tmp / "deep/moved/sub/b"), "B");
  // Into a directory that is not empty: the contents are merged by copying.
  EXPECT_TRUE(File_MoveTree((tmp / "deep/moved").c_str(), (tmp / "copy").c_str(), true, &asMove));
  EXPECT_FALSE(asMove);
  EXPECT_FALSE(Exists(tmp / "deep/moved"));
  EXPECT_EQ(ReadFile(tmp / "copy/a"), "A");
  WriteFile(tmp / "plain", "");
  ASSERT_TRUE(File_EnsureDirectory((tmp / "s2").c_str()));
  WriteFile(tmp / "s2/x", "");
  EXPECT_FALSE(File_MoveTree((tmp / "s2").c_str(), (tmp / "plain").c_str(), false, &asMove));
  EXPECT_EQ(std::string(Msg_GetMessagesAndReset()),
            "The destination path '" + tmp / "plain" + "' is not a directory.\n\n");
}

TEST(FileCwdTest, RemovedWorkingDirectoryIsReportedToTheUser) {
  TempDir tmp;
  std::string gone = tmp / "gone";
  mkdir(gone.c_str(), 0755);
  ChildResult r = RunInChild([&] {
    CHILD_CHECK(chdir(gone.c_str()) == 0);
    CHILD_CHECK(rmdir(gone.c_str()) == 0);
    CHILD_CHECK(File_Cwd("C:") == nullptr);
    CHILD_CHECK(errno == ENOENT);
    std::string text = Msg_GetMessages();
    CHILD_CHECK(text.find("Unable to retrieve the current working directory: No such file or "
                          "directory. Check if the directory") == 0);
    CHILD_CHECK(File_FullPath("relative") == nullptr);
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
  EXPECT_TRUE(r.LogHas("FILE: File_Cwd: Drive letter C: on Linux?")) << r.log;
  EXPECT_TRUE(r.LogHas("FILE: File_Cwd: getcwd() failed: No such file or directory")) << r.log;
  EXPECT_TRUE(r.LogHas("[msg.filePosix.getcwd] Unable to retrieve")) << r.log;
}

TEST(FileMountTest, BlockDeviceThroughTheMountTable) {
  TempDir tmp;
  // The test's own mount table stands in for the system's in a private
  // namespace, where /etc is a scratch file system.
  ChildResult r = RunInChild([&] {
    char *root = File_GetBlockDevice("/");
    CHILD_CHECK(root != nullptr);
    std::string expectedRoot;
    {
      std::ifstream mounts("/proc/self/mounts");
      std::string dev, dir, rest;
      while (mounts >> dev >> dir && std::getline(mounts, rest)) {
        if (dir == "/") expectedRoot = dev;
      }
    }
    CHILD_CHECK(expectedRoot == root);
    free(root);
    if (!filetest::EnterPrivateMountNamespace() ||
        mount("tmpfs", "/etc", "tmpfs", 0, "size=64k") != 0) {
      return filetest::Refused("mount a scratch /etc in a private mount namespace");
    }
    // No /etc/mtab at all: the kernel's table answers.
    root = File_GetBlockDevice(tmp.path().c_str());
    CHILD_CHECK(root != nullptr);
    free(root);
    std::string table =
        "/dev/sda1 / ext4 rw 0 0\n"
        "/dev/sdb1 /data ext4 rw 0 0\n"
        "/data/exports /srv/with\\040space none rw,bind 0 0\n"
        "/dev/sdc1 /data/sub xfs rw 0 0\n"
        "/srv/loop1 /srv/loop0 none bind 0 0\n"
        "/srv/loop0 /srv/loop1 none bind 0 0\n";
    CHILD_CHECK(testsupport::WriteFile("/etc/mtab", table));
    auto device = [](const char *path) {
      char *d = File_GetBlockDevice(path);
      std::string s = d == nullptr ? "<null>" : d;
      free(d);
      return s;
    };
    CHILD_CHECK(device("/data/x") == "/dev/sdb1");
    CHILD_CHECK(device("/data") == "/dev/sdb1");
    CHILD_CHECK(device("/database") == "/dev/sda1");
    CHILD_CHECK(device("/data/sub/deeper") == "/dev/sdc1");
    CHILD_CHECK(device("/srv/with space/f") == "/dev/sdb1");
    CHILD_CHECK(device("/srv/loop0/x") == "<null>");
    return 0;
  });
  EXPECT_CHILD_PASSED(r);
  if (r.Passed()) {
    EXPECT_TRUE(
        r.LogHas("FILE: FilePosixGetBlockDevice: The --[r]bind mount count exceeds 10. "
                 "Giving up."))
        << r.log;
  }
}

}  // namespace
