// The UTF-8 path wrappers and the first message list, as the file layer
// uses them. Encodings other than UTF-8 are chosen from the environment at
// first use, so those cases run in a fresh copy of this program.

#include <brellis/msg.h>
#include <brellis/posix.h>

#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>

using testsupport::TempDir;

namespace {

TEST(PosixPathTest, Utf8PathsPassThroughAndErrnoIsKept) {
  TempDir tmp;
  std::string path = tmp / "caf\xC3\xA9";
  mode_t oldMask = umask(0);
  errno = 1234;
  int fd = Posix_Open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640);
  umask(oldMask);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(errno, 1234);  // a successful conversion leaves errno alone
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);  // the very same bytes on disk
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // Without O_CREAT no mode reaches open, whatever the caller passed.
  fd = Posix_Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0777);
  EXPECT_GE(fd, 0);
  close(fd);

  std::string link = tmp / "l";
  ASSERT_EQ(Posix_Symlink("caf\xC3\xA9", link.c_str()), 0);
  char *text = Posix_ReadLink(link.c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "caf\xC3\xA9");
  free(text);
  EXPECT_EQ(Posix_Unlink(link.c_str()), 0);
  EXPECT_EQ(Posix_Unlink(link.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(PosixPathTest, InvalidTextFromTheSystemIsRefused) {
  TempDir tmp;
  std::string link = tmp / "l";
  ASSERT_EQ(symlink("bad\xFF", link.c_str()), 0);
  EXPECT_EQ(Posix_ReadLink(link.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(PosixPathDeathTest, UnrepresentableCharactersFailWithoutReachingTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process chooses again
  TempDir tmp;
  setenv("G_FILENAME_ENCODING", "ISO-8859-1,UTF-8", 1);
  EXPECT_EXIT(
      {
        std::string latin = tmp / "caf\xC3\xA9";
        int fd = Posix_Open(latin.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        bool convertedOnDisk = fd >= 0 && access((tmp / "caf\xE9").c_str(), F_OK) == 0;
        std::string euro = tmp / "\xE2\x82\xAC";
        errno = 0;
        bool refused = Posix_Mkdir(euro.c_str(), 0700) == -1 && errno == EINVAL &&
                       access(euro.c_str(), F_OK) != 0;
        _exit(convertedOnDisk && refused ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  unsetenv("G_FILENAME_ENCODING");
}

// Hides the format from the compiler's check, as a caller's runtime
// format would be.
void Append(MsgList **list, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  MsgList_VAppend(list, format, ap);
  va_end(ap);
}

TEST(MsgListTest, ListsAndPendingMessages) {
  MsgList *list = nullptr;
  MsgList_Append(&list, "@&!*@*@(msg.test.one)First %d", 1);
  Append(&list, "plain %d text");
  MsgList_Append(nullptr, "@&!*@*@(msg.test.dropped)%s", "never built");
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(MsgList_GetId(list), "msg.literal");
  EXPECT_STREQ(MsgList_GetText(list), "plain %d text");
  EXPECT_STREQ(MsgList_GetId(MsgList_Next(list)), "msg.test.one");
  char *text = MsgList_ToString(list);
  EXPECT_STREQ(text, "plain %d text\nFirst 1\n");
  free(text);
  MsgList_Free(list);

  Msg_Reset(false);
  EXPECT_FALSE(Msg_Present());
  Msg_Append("@&!*@*@(msg.test.a)A %s\n", "x");
  Msg_AppendStr("@&!*@*@(msg.test.b)B %s");
  EXPECT_TRUE(Msg_Present());
  EXPECT_STREQ(Msg_GetMessages(), "A x\nB %s\n");
  EXPECT_STREQ(Msg_GetMessagesAndReset(), "A x\nB %s\n");
  EXPECT_FALSE(Msg_Present());
  EXPECT_STREQ(Msg_GetMessages(), "");
}

}  // namespace
