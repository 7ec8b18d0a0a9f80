// Pending messages belong to their thread, and posting shows them through
// the callbacks unless the configuration answers or suppresses them.

#include <brellis/internal/preferenceRoot.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/preference.h>

#include <support/childProcess.h>
#include <support/tempDir.h>

#include <gtest/gtest.h>

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
  bool presentInNewThread = true;
  std::thread([&] {
    seenElsewhere = Msg_GetMessages();
    Msg_Append("@&!*@*@(msg.test.theirs)theirs");
  }).join();
  // A thread that ends takes its messages along.
  std::thread([&] { presentInNewThread = Msg_Present(); }).join();
  EXPECT_EQ(seenElsewhere, "");
  EXPECT_FALSE(presentInNewThread);
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

}  // namespace
