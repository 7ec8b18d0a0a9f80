// Message lists keep their arguments: a positional format works, copies
// carry the arguments along, and a message whose arguments cannot be
// captured is refused for good.

#include <brellis/log.h>
#include <brellis/msgList.h>

#include <support/childProcess.h>

#include <gtest/gtest.h>

namespace {

TEST(MsgListArgsTest, ArgumentsAreCapturedAndCopied) {
  MsgList *list = nullptr;
  MsgList_Append(&list, "@&!*@*@(msg.test.pos)%2$s before %1$d", 7, "eight");
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(MsgList_GetText(list), "eight before 7");
  ASSERT_EQ(list->numArgs, 2);
  MsgList *copy = MsgList_Copy(list);
  MsgList_Free(list);
  ASSERT_EQ(copy->numArgs, 2);
  EXPECT_STREQ(copy->args[1].v.string8, "eight");
  EXPECT_EQ(copy->args[0].v.signed32, 7);
  MsgList_Free(copy);
  const char *bad = "@&!*@*@(msg.test.bad)%n";  // no compiler check: it is refused on purpose
  MsgList_Append(nullptr, bad, 0);              // discarded unparsed
}

TEST(MsgListArgsTest, UncapturableArgumentsEndTheProcess) {
  testsupport::ChildResult r = testsupport::RunInChild([](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "msgListTest");
    MsgList *list = nullptr;
    const char *gap = "@&!*@*@(msg.test.gap)%1$s %3$s";
    MsgList_Append(&list, gap, "a", "b", "c");
    return 0;
  });
  EXPECT_TRUE(r.ExitedWith(255)) << r.status;
  EXPECT_NE(r.err.find("PANIC lib/misc/msgList.cc:"), std::string::npos) << r.err;
  EXPECT_TRUE(r.LogHas("MsgList_VAppend error: MsgFmt_GetArgs: gap in arguments at position 2\n"));
  EXPECT_TRUE(r.LogHas("format <@&!*@*@(msg.test.gap)%1$s %3$s>\n")) << r.log;
}

}  // namespace
