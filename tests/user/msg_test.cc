// Pending messages belong to their thread, and posting shows them through
// the callbacks unless the configuration answers or suppresses them.

#include <brellis/internal/preferenceRoot.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/preference.h>
#include <brellis/vthreadBase.h>

#include <support/childProcess.h>
#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

struct Shown {
  int count = 0;
  MsgSeverity severity = MSG_INFO;
  std::string id;
  std::string text;
};
thread_local Shown shown;

void Capture(MsgSeverity severity, const char *id, const char *text) {
  shown.count++;
  shown.severity = severity;
  shown.id = id;
  shown.text = text;
}

class MsgPostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MsgCallback callbacks = {};
    callbacks.post = Capture;
    Msg_SetThreadCallbacks(&callbacks);
    shown = Shown{};
  }
  void TearDown() override {
    MsgCallback none = {};
    Msg_SetThreadCallbacks(&none);
  }
};

TEST_F(MsgPostTest, APostShowsEveryPendingMessageOldestFirstAndDropsThem) {
  Msg_Append("@&!*@*@(msg.test.first)First %d.\n", 1);
  MsgList *list = nullptr;
  MsgList_Append(&list, "@&!*@*@(msg.test.a)A");
  MsgList_Append(&list, "@&!*@*@(msg.test.b)B");
  Msg_AppendMsgList(list);
  MsgList_Free(list);
  Msg_Post(MSG_WARNING, "@&!*@*@(msg.test.last)Last %s", "one");
  EXPECT_EQ(shown.count, 1);
  EXPECT_EQ(shown.severity, MSG_WARNING);
  EXPECT_EQ(shown.id, "msg.test.last");
  EXPECT_EQ(shown.text, "First 1.\nA\nB\nLast one\n");
  EXPECT_FALSE(Msg_Present());
}

TEST_F(MsgPostTest, EveryThreadHasItsOwnPendingMessages) {
  Msg_Append("@&!*@*@(msg.test.mine)mine");
  std::string seenElsewhere;
  uint32_t ids[2] = {0, 1};
  bool present = true;
  bool ownCallbacks = true;
  std::thread([&] {
    seenElsewhere = Msg_GetMessages();
    ids[0] = VThreadBase_CurID();
    Msg_Append("@&!*@*@(msg.test.theirs)theirs");
    MsgCallback own = {};
    own.post = Capture;
    Msg_SetThreadCallbacks(&own);
  }).join();
  // The next thread is handed the ended one's identity, and with it the
  // same record: emptied, neither messages nor callbacks inherited.
  std::thread([&] {
    ids[1] = VThreadBase_CurID();
    present = Msg_Present();
    MsgCallback own;
    Msg_GetThreadCallbacks(&own);
    ownCallbacks = own.post != nullptr;
  }).join();
  EXPECT_EQ(seenElsewhere, "");
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_FALSE(present);
  EXPECT_FALSE(ownCallbacks);
  EXPECT_STREQ(Msg_GetMessagesAndReset(), "mine\n");
}

TEST(MsgPostConfigTest, ConfigurationAnswersOrSuppressesPosts) {
  testsupport::TempDir root;
  testsupport::ChildResult r = testsupport::RunInChild([&](const std::string &) {
    // Configuration only from the in-memory layer: no file under root.
    PreferenceSetRootForTest(root.path().c_str());
    setenv("HOME", root.path().c_str(), 1);
    Preference_Init();
    MsgCallback callbacks = {};
    callbacks.post = Capture;
    Msg_SetThreadCallbacks(&callbacks);
    Preference_SetFromString("answer.msg.test.answered=Ok", true);
    Msg_Post(MSG_INFO, "@&!*@*@(msg.test.answered)not shown");
    if (shown.count != 0) return 1;
    Preference_SetFromString("msg.noOK=TRUE", true);
    Msg_Post(MSG_WARNING, "@&!*@*@(msg.test.warn)not shown either");
    if (shown.count != 0) return 2;
    Msg_Post(MSG_ERROR, "@&!*@*@(msg.test.err)an error is shown");
    if (shown.count != 1 || shown.text != "an error is shown\n") return 3;
    Preference_SetFromString("msg.autoAnswer=TRUE", true);
    Msg_Post(MSG_ERROR, "@&!*@*@(msg.test.auto)answered automatically");
    return shown.count == 1 ? 0 : 4;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err;
}

TEST(MsgQuestionTest, AnsweredByConfigurationOrTheConsoleAndNeverWaitingOnClosedInput) {
  testsupport::TempDir root;
  testsupport::ChildResult r = testsupport::RunInChild([&](const std::string &) {
    PreferenceSetRootForTest(root.path().c_str());
    setenv("HOME", root.path().c_str(), 1);
    Preference_Init();
    const char *const yesNo[] = {"@&!*@*@(button.yes)_Yes", "@&!*@*@(button.no)_No", nullptr};
    Preference_SetFromString("answer.msg.test.q=NO", true);
    if (Msg_Question(yesNo, 0, "@&!*@*@(msg.test.q)Go on?") != 1) return 1;
    // Standard input at its end: the console takes the default, without
    // spinning. Then one valid line among invalid ones.
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    if (Msg_Question(yesNo, 1, "@&!*@*@(msg.test.other)Other?") != 1) return 2;
    if (Msg_Hint(1, "@&!*@*@(msg.test.hint)Careful") != 0) return 3;
    int fds[2];
    if (pipe(fds) != 0) return 4;
    const char input[] = "x\n 7\n \t1\r\n";
    if (write(fds[1], input, sizeof input - 1) != static_cast<ssize_t>(sizeof input - 1)) return 5;
    close(fds[1]);
    dup2(fds[0], STDIN_FILENO);
    if (Msg_Question(yesNo, 0, "@&!*@*@(msg.test.third)Third?") != 1) return 6;
    Preference_SetFromString("msg.autoAnswer=TRUE", true);
    if (Msg_Hint(0, "@&!*@*@(msg.test.auto)Auto") != 2) return 7;
    return 0;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err;
}

TEST(MsgTextTest, SizesAndMnemonics) {
  struct {
    uint64_t size;
    const char *text;
  } cases[] = {{0, "0 bytes"},
               {1, "1 byte"},
               {1023, "1023 bytes"},
               {1536, "1.5 KB"},
               {1048576, "1 MB"},
               {uint64_t{3} << 30, "3 GB"},
               {uint64_t{5} << 40, "5 TB"}};
  for (const auto &c : cases) {
    char *s = Msg_FormatSizeInBytes(c.size);
    EXPECT_STREQ(s, c.text) << c.size;
    free(s);
  }
  char *s = Msg_StripMnemonic("_Save __all_");
  EXPECT_STREQ(s, "Save _all");
  free(s);
  s = Msg_Format("@&!*@*@(msg.test.fmt)%d files", 3);
  EXPECT_STREQ(s, "3 files");
  free(s);
}

}  // namespace
