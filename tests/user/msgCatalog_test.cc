// Message catalogues render every shown message in the user's language,
// progress reaches its callbacks, and the layer can be torn down and used
// again. Each case runs in a child: the catalogue is process-wide.

#include <brellis/err.h>
#include <brellis/internal/preferenceRoot.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/panic.h>
#include <brellis/preference.h>

#include <support/childProcess.h>
#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using testsupport::ChildResult;
using testsupport::TempDir;

#define CHILD_CHECK(cond)         \
  do {                            \
    if (!(cond)) return __LINE__; \
  } while (0)

std::string Take(char *s) {
  std::string out = s != nullptr ? s : "<null>";
  free(s);
  return out;
}

// Writes the catalogue of locale for program "prog" under dir.
bool WriteCatalogue(const std::string &dir, const std::string &locale, const std::string &text) {
  std::string messages = dir + "/messages";
  mkdir(dir.c_str(), 0755);
  mkdir(messages.c_str(), 0755);
  mkdir((messages + "/" + locale).c_str(), 0755);
  return testsupport::WriteFile(messages + "/" + locale + "/prog.qmsg", text);
}

struct Seen {
  std::string text;
  std::string buttons;
  int percent = -2;
  int calls = 0;
};
Seen seen;

int AskSeen(char const *const *names, int, const char *, const char *text) {
  seen.text = text;
  for (int i = 0; names[i] != nullptr; i++) {
    seen.buttons += std::string(names[i]) + "|";
  }
  return 1;
}

int ProgressSeen(const char *, const char *text, int percent, bool) {
  seen.text = text;
  seen.percent = percent;
  seen.calls++;
  return 0;
}

int ProgressListSeen(MsgList *messages, int, bool) {
  return messages == nullptr ? 7 : 8;
}

void *StartSeen(const char *, const char *text, bool) {
  seen.text = text;
  return &seen;
}

bool LazySeen(void *handle, const char *, const char *text, bool, int percent) {
  seen.text = text;
  seen.percent = percent;
  return handle != &seen;
}

TEST(MsgCatalogTest, ACatalogueTranslatesWhatIsShownAndAFailedOneKeepsTheOld) {
  TempDir dir;
  ChildResult r = testsupport::RunInChild([&](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "msgCatalogTest");
    CHILD_CHECK(WriteCatalogue(dir.path(), "fr",
                               "msg.test.hello = \"Bonjour %s|0A\"\n"
                               "msg.test.arg = \"argument traduit\"\n"
                               "msg.test.order = \"%2$s puis %1$s\"\n"
                               "msg.test.mismatch = \"%d\"\n"
                               "msg.msg.error = \"Erreur\"\n"
                               "msg.msg.systemErrorWindows = \"Erreur %d (0x%x) [%s]\"\n"
                               "button.yes = \"_Oui\"\n"));
    CHILD_CHECK(Msg_GetLocale() == nullptr);
    Msg_SetLocaleEx("fr", "prog", dir.path().c_str());
    CHILD_CHECK(Take(Msg_GetLocale()) == "fr");

    // Localisable arguments are translated too; line ends are not doubled.
    Msg_Append("@&!*@*@(msg.test.hello)Hello %s", "@&!*@*@(msg.test.arg)argument");
    Msg_AppendStr("plain %d text");
    CHILD_CHECK(std::string(Msg_GetMessagesAndReset()) ==
                "Bonjour argument traduit\nplain %d text\n");
    CHILD_CHECK(Take(Msg_Format("@&!*@*@(msg.test.order)%s then %s", "a", "b")) == "b puis a");
    CHILD_CHECK(Take(Msg_Format("@&!*@*@(msg.test.mismatch)%s", "kept")) == "kept");
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "argument traduit");
    CHILD_CHECK(Take(Msg_GetStringSafe("as it is")) == "as it is");

    // A system error of a foreign kind takes the catalogue's form.
    MsgList *list = MsgList_Create("@&!*@*@(msg.test.sys)failed: %s", Err_Errno2String(ENOENT));
    CHILD_CHECK(list->numArgs == 1 && list->args[0].type == MSGFMT_ARG_ERRSTR);
    list->args[0].errorKind = MSGFMT_ERROR_WINDOWS;
    list->args[0].errorNumber = 31;
    Msg_AppendMsgList(list);
    MsgList_Free(list);
    std::string expected = std::string("failed: Erreur 31 (0x1f) [") + strerror(ENOENT) + "]\n";
    CHILD_CHECK(Msg_GetMessagesAndReset() == expected);

    // Questions offer translated buttons; the console post a translated title.
    MsgCallback callbacks = {};
    callbacks.question = AskSeen;
    Msg_SetThreadCallbacks(&callbacks);
    const char *const yesNo[] = {"@&!*@*@(button.yes)_Yes", "@&!*@*@(button.no)_No", nullptr};
    CHILD_CHECK(Msg_Question(yesNo, 0, "@&!*@*@(msg.test.q)Sure?") == 1);
    CHILD_CHECK(seen.buttons == "_Oui|_No|" && seen.text == "Sure?\n");
    Msg_Post(MSG_ERROR, "@&!*@*@(msg.test.hello)Hello %s", "you");

    // A missing catalogue keeps the current one; English is not warned about.
    Msg_SetLocaleEx("de", "prog", dir.path().c_str());
    Msg_SetLocaleEx("en_GB", "prog", dir.path().c_str());
    CHILD_CHECK(Take(Msg_GetLocale()) == "fr");
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "argument traduit");
    // More entries join the catalogue in use.
    CHILD_CHECK(testsupport::WriteFile(dir / "more.qmsg", "msg.test.more = \"encore\"\n"));
    CHILD_CHECK(Msg_LoadMessageFile("fr", (dir / "more.qmsg").c_str()));
    CHILD_CHECK(!Msg_LoadMessageFile("fr", (dir / "missing.qmsg").c_str()));
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.more)more")) == "encore");
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "argument traduit");

    // Without a directory the catalogues are found under "libdir".
    PreferenceSetRootForTest(dir.path().c_str());
    setenv("HOME", dir.path().c_str(), 1);
    Preference_Init();
    Preference_SetFromString(("libdir=" + dir.path() + "/elsewhere").c_str(), true);
    CHILD_CHECK(WriteCatalogue(dir / "elsewhere", "it", "msg.test.arg = \"tradotto\"\n"));
    Msg_SetLocale("it", "prog");
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "tradotto");

    // No locale: English again.
    Msg_SetLocaleEx(nullptr, "prog", nullptr);
    CHILD_CHECK(Msg_GetLocale() == nullptr);
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "x");
    return 0;
  });
  ASSERT_TRUE(r.ExitedWith(0)) << r.status << r.err;
  EXPECT_NE(r.err.find("brellis-tarnwell Erreur:\nBonjour you\n"), std::string::npos) << r.err;
  EXPECT_TRUE(r.LogHas("Msg_SetLocaleEx: HostLocale="));
  EXPECT_TRUE(r.LogHas(" UserLocale=fr\n"));
  EXPECT_TRUE(r.LogHas(" UserLocale=NULL\n"));
  const std::string &dirPath = dir.path();
  EXPECT_TRUE(r.LogHas("Cannot load message dictionary \"" + dirPath + "/messages/de/prog.qmsg\""))
      << r.log;
  EXPECT_FALSE(r.LogHas("Cannot load message dictionary \"" + dirPath + "/messages/en_GB"));
  EXPECT_TRUE(r.LogHas("Cannot load message dictionary \"" + dirPath + "/missing.qmsg\""));
}

TEST(MsgCatalogTest, ProgressReachesItsCallbacksAndTheConsole) {
  ChildResult r = testsupport::RunInChild([](const std::string &) {
    CHILD_CHECK(Msg_Progress(40, false, "@&!*@*@(msg.test.copy)Copying %d files", 3) == 0);
    MsgCallback callbacks = {};
    callbacks.progress = ProgressSeen;
    Msg_SetThreadCallbacks(&callbacks);
    CHILD_CHECK(Msg_Progress(50, true, "@&!*@*@(msg.test.copy)Copying %d files", 3) == 0);
    CHILD_CHECK(seen.text == "Copying 3 files\n" && seen.percent == 50);
    CHILD_CHECK(Msg_Progress(60, true, nullptr) == 0 && seen.text.empty() && seen.percent == 60);
    callbacks.progressList = ProgressListSeen;
    Msg_SetThreadCallbacks(&callbacks);
    // The list callback answers last and wins.
    CHILD_CHECK(Msg_Progress(70, true, nullptr) == 7 && seen.calls == 3);
    CHILD_CHECK(Msg_Progress(80, true, "@&!*@*@(msg.test.n)n") == 8);
    CHILD_CHECK(Msg_LazyProgress(nullptr, true, 5, "@&!*@*@(msg.test.n)n"));
    callbacks.lazyProgressStart = StartSeen;
    callbacks.lazyProgress = LazySeen;
    Msg_SetThreadCallbacks(&callbacks);
    void *handle = Msg_LazyProgressStart(true, "@&!*@*@(msg.test.start)Start %s", "now");
    CHILD_CHECK(handle == &seen && seen.text == "Start now\n");
    CHILD_CHECK(!Msg_LazyProgress(handle, true, 90, "@&!*@*@(msg.test.step)Step"));
    CHILD_CHECK(seen.text == "Step\n" && seen.percent == 90);
    CHILD_CHECK(!Msg_Present());
    return 0;
  });
  ASSERT_TRUE(r.ExitedWith(0)) << r.status << r.err;
  EXPECT_NE(r.err.find("brellis-tarnwell: Copying 3 files 40%\n"), std::string::npos) << r.err;
}

const char *kMixed = "@&!*@*@(msg.test.bad)%1$s %s";

TEST(MsgCatalogTest, MisuseEndsTheProcess) {
  struct {
    void (*body)();
    const char *err;
    const char *log;
  } cases[] = {
      {[] { free(Msg_GetString(("@&!*@*@(" + std::string(128, 'i') + ")x").c_str())); },
       "NOT_IMPLEMENTED ", nullptr},
      // Formats the compiler would refuse, as a caller's variable.
      {[] { Msg_Progress(1, false, kMixed, "a", "b"); }, "PANIC ", "Msg_Progress error: "},
      {[] { Msg_LazyProgressStart(false, kMixed, "a", "b"); }, "PANIC ",
       "Msg_LazyProgressStart error: "},
  };
  for (const auto &c : cases) {
    ChildResult r = testsupport::RunInChild([&](const std::string &logPath) {
      Log_InitWithFile(logPath.c_str(), "msgCatalogTest");
      Panic_SetCoreDumpOnPanic(false);
      c.body();
      return 0;
    });
    EXPECT_TRUE(r.ExitedWith(255)) << c.err << r.status;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    if (c.log != nullptr) {
      EXPECT_TRUE(r.LogHas(c.log)) << r.log;
    }
  }
  // Ids just short enough are looked up.
  std::string id(127, 'i');
  EXPECT_EQ(Take(Msg_GetString(("@&!*@*@(" + id + ")x").c_str())), "x");
}

TEST(MsgCatalogTest, AfterExitTheLayerStartsAfresh) {
  ChildResult r = testsupport::RunInChild([](const std::string &) {
    TempDir dir;
    CHILD_CHECK(WriteCatalogue(dir.path(), "fr", "msg.test.arg = \"traduit\"\n"));
    Msg_SetLocaleEx("fr", "prog", dir.path().c_str());
    MsgCallback callbacks = {};
    callbacks.progress = ProgressSeen;
    Msg_SetCallbacks(&callbacks);
    Msg_SetThreadCallbacks(&callbacks);
    Msg_Append("@&!*@*@(msg.test.arg)pending");
    Msg_Exit();
    CHILD_CHECK(!Msg_Present() && Msg_GetLocale() == nullptr);
    CHILD_CHECK(Take(Msg_GetString("@&!*@*@(msg.test.arg)x")) == "x");
    MsgCallback now;
    Msg_GetThreadCallbacks(&now);
    CHILD_CHECK(now.progress == nullptr);
    Msg_GetCallbacks(&now);
    CHILD_CHECK(now.post != nullptr && now.progress != ProgressSeen);
    Msg_Append("@&!*@*@(msg.test.arg)again");
    CHILD_CHECK(std::string(Msg_GetMessages()) == "again\n");
    Msg_Exit();
    return 0;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.status << r.err;
}

}  // namespace
