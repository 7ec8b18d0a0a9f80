// The preference layers with their files in a temporary root, and the
// getters. Every case runs in a child: the layers are process-wide.

#include <brellis/dictionary.h>
#include <brellis/internal/preferenceRoot.h>
#include <brellis/log.h>
#include <brellis/preference.h>
#include <brellis/util.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/childProcess.h"
#include "support/tempDir.h"

namespace {

using testsupport::ChildResult;
using testsupport::RunInChild;
using testsupport::WriteFile;

class PreferenceTest : public ::testing::Test {
 protected:
  PreferenceTest() {
    mkdir((tmp / "etc").c_str(), 0755);
    mkdir((tmp / "etc/brellis").c_str(), 0755);
    mkdir((tmp / "usr").c_str(), 0755);
    mkdir((tmp / "usr/lib").c_str(), 0755);
    mkdir((tmp / "usr/lib/brellis").c_str(), 0755);
    mkdir((tmp / "home").c_str(), 0755);
    mkdir((tmp / "home/.brellis").c_str(), 0755);
  }
  void Host(const std::string &text) { WriteFile(tmp / "etc/brellis/config", text); }
  void Site(const std::string &text) { WriteFile(tmp / "usr/lib/brellis/config", text); }
  void Global(const std::string &text) { WriteFile(tmp / "usr/lib/brellis/settings", text); }
  void UserConfig(const std::string &text) { WriteFile(tmp / "home/.brellis/config", text); }
  void UserPrefs(const std::string &text) { WriteFile(tmp / "home/.brellis/preferences", text); }

  // Runs body after Preference_Init in a child with HOME in the root; the
  // child's exit status is the number of failed checks.
  ChildResult Run(const std::function<int()> &body, bool init = true) {
    std::string root = tmp.path();
    return RunInChild([&](const std::string &logPath) {
      Log_InitWithFile(logPath.c_str(), "preferenceTest");
      PreferenceSetRootForTest(root.c_str());
      setenv("HOME", (root + "/home").c_str(), 1);
      if (init) Preference_Init();
      int failures = body();
      Preference_Exit();
      return failures;
    });
  }
  testsupport::TempDir tmp;
};

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                              \
    }                                                                          \
  } while (0)

bool StrIs(char *s, const char *want) {
  bool same = s != nullptr && strcmp(s, want) == 0;
  free(s);
  return same;
}

TEST_F(PreferenceTest, LayersInTheirOrder) {
  Site("a = site\nb = site\nc = site\nd = site\ne = site\n");
  Host("b = host\nc = host\nd = host\ne = host\n");
  UserConfig("c = user\nd = user\ne = user\n");
  UserPrefs("d = prefs\ne = prefs\n");
  Global("e = global\n");
  ChildResult r = Run([] {
    int failures = 0;
    CHECK(StrIs(Config_GetString("x", "a"), "site"));
    CHECK(StrIs(Config_GetString("x", "b"), "host"));
    CHECK(StrIs(Config_GetString("x", "c"), "user"));
    CHECK(StrIs(Config_GetString("x", "d"), "prefs"));
    CHECK(StrIs(Config_GetString("x", "%s", "e"), "global"));
    CHECK(StrIs(Config_GetString("x", "nowhere"), "x"));
    Preference_SetFromString("d=memory", false);
    CHECK(StrIs(Config_GetString("x", "d"), "memory"));
    Preference_SetFromString("e=memory", true);
    CHECK(StrIs(Config_GetString("x", "e"), "global"));
    return failures;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.err << r.log;
}

TEST_F(PreferenceTest, LibdirAndDisablingComeFromTheHostOnly) {
  std::string other = tmp / "other";
  mkdir(other.c_str(), 0755);
  WriteFile(other + "/settings", "where = otherGlobal\n");
  Global("where = defaultGlobal\n");
  UserConfig("libdir = \"" + tmp.path() + "/usr/lib/brellis\"\n");
  Host("libdir = \"" + other + "\"\ndisableUserPreferences = TRUE\n");
  UserPrefs("fromPrefs = 1\n");
  ChildResult r = Run([] {
    int failures = 0;
    CHECK(StrIs(Config_GetString("x", "where"), "otherGlobal"));
    CHECK(Config_GetLong(0, "fromPrefs") == 0);
    return failures;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  EXPECT_TRUE(r.LogHas("PREF Disabling user preferences because disableUserPreferences is set.\n"));
  EXPECT_TRUE(r.LogHas("PREF Failed to load user preferences.\n"));
  EXPECT_TRUE(r.LogHas("PREF Optional preferences file not found at " + other + "/config"));
}

TEST_F(PreferenceTest, TypedGettersAndRememberedDefaults) {
  Host(
      "flag = yes\nbad = abc\nn = 0x20\nbig = 5000000000\nd = 2.5\ntri = auto\npath = \"~/p\"\n"
      "mode = Fast\n");
  ChildResult r = Run([] {
    int failures = 0;
    CHECK(Config_GetBool(false, "flag"));
    CHECK(Config_GetBool(true, "bad"));
    CHECK(Config_GetLong(0, "n") == 32);
    CHECK(Config_GetInt64(0, "big") == 5000000000LL);
    CHECK(Config_GetDouble(0, "d") == 2.5);
    CHECK(Config_GetTriState(0, "tri") == -1);
    CHECK(StrIs(Config_GetPathName(nullptr, "path"), (std::string(getenv("HOME")) + "/p").c_str()));
    const char *choices[] = {"fast", "slow", nullptr};
    CHECK(StrIs(Preference_GetStringEnum("slow", choices, "mode"), "fast"));
    // A default is remembered, and does not count as set.
    CHECK(Config_GetLong(5, "missing") == 5);
    CHECK(Config_GetLong(9, "missing") == 5);
    CHECK(Config_NotSet("missing"));
    CHECK(!Config_NotSet("flag"));
    CHECK(Config_GetString(nullptr, "unset") == nullptr);
    // An overlong name is no name at all.
    std::string longName(1100, 'k');
    CHECK(Config_GetLong(5, "%s", longName.c_str()) == 5);
    CHECK(Config_GetLong(7, "%s", longName.substr(0, 1023).c_str()) == 7);
    return failures;
  });
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
}

TEST_F(PreferenceTest, EarlyAndLateLookupsAnswerDefaults) {
  Host("x = 1\n");
  ChildResult r = Run(
      [] {
        int failures = 0;
        CHECK(Config_GetLong(4, "x") == 4);
        CHECK(Config_GetLong(4, "msg.dictionary.error.foo") == 4);
        CHECK(Config_NotSet("x"));
        Preference_Init();
        CHECK(Config_GetLong(4, "x") == 1);
        Preference_Exit();
        CHECK(Config_GetLong(4, "x") == 4);
        return failures;
      },
      false);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  EXPECT_TRUE(r.LogHas("PREF early PreferenceGet(x), using default\n"));
  EXPECT_FALSE(r.LogHas("PreferenceGet(msg.dictionary.error"));
}

TEST_F(PreferenceTest, DifferingIdsReadNoUserFiles) {
  SKIP_UNLESS_ROOT("run with real ids apart from the effective ones (setresuid, setresgid)");
  UserConfig("u = 1\n");
  UserPrefs("p = 1\n");
  for (bool group : {false, true}) {
    ChildResult r = Run(
        [group] {
          int failures = 0;
          // Real ids of nobody, effective ids still root.
          if (group) {
            CHECK(setresgid(65534, 0, 0) == 0);
          } else {
            CHECK(setresuid(65534, 0, 0) == 0);
          }
          Preference_Init();
          CHECK(Config_GetLong(0, "u") == 0);
          CHECK(Config_GetLong(0, "p") == 0);
          return failures;
        },
        false);
    EXPECT_TRUE(r.ExitedWith(0)) << r.err;
    EXPECT_TRUE(r.LogHas("Ignore user's config\n"));
    EXPECT_TRUE(r.LogHas("Ignore user's preferences\n"));
  }
}

TEST_F(PreferenceTest, UserFilesComeOnlyFromAnAbsoluteHome) {
  UserConfig("u = 1\n");
  std::string cwd = tmp.path();
  ChildResult r = Run(
      [cwd] {
        int failures = 0;
        // A relative home would be read relative to wherever we run.
        setenv("HOME", "home", 1);
        CHECK(chdir(cwd.c_str()) == 0);
        Preference_Init();
        CHECK(Config_GetLong(0, "u") == 0);
        return failures;
      },
      false);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  ChildResult unset = Run(
      [] {
        int failures = 0;
        unsetenv("HOME");
        Preference_Init();
        // The password entry of root names its home; nothing of ours is there.
        CHECK(Config_GetLong(0, "u") == 0);
        return failures;
      },
      false);
  EXPECT_TRUE(unset.ExitedWith(0)) << unset.err;
  EXPECT_FALSE(unset.LogHas("Could not expand environment variable HOME"));
}

TEST_F(PreferenceTest, MissingFilesAreLoggedAndListingsNameTheLayers) {
  Host("h = 1\n");
  ChildResult r = Run([] {
    Preference_Log();
    Preference_LogLayers();
    return 0;
  });
  EXPECT_TRUE(r.ExitedWith(0));
  std::string site = tmp / "usr/lib/brellis/config";
  EXPECT_TRUE(r.LogHas("[msg.dictionary.load.openFailed] Cannot open file \"" + site +
                       "\": No such file or directory.\n"));
  EXPECT_TRUE(r.LogHas("PREF Optional preferences file not found at " + site +
                       ". Using default values.\n"));
  EXPECT_TRUE(
      r.LogHas("Preference HOST_DEFAULTS found at " + tmp.path() + "/etc/brellis/config\n"));
  EXPECT_TRUE(r.LogHas("DICT --- HOST DEFAULTS " + tmp.path() + "/etc/brellis/config \n"));
  EXPECT_TRUE(r.LogHas("DICT                         h = 1\n"));
}

TEST(UtilExpandString, HomeVariablesAndLimits) {
  setenv("HOME", "/home/tester", 1);
  setenv("A", "x", 1);
  unsetenv("UNDEFINED_VARIABLE");
  auto expand = [](const std::string &s) {
    char *r = Util_ExpandString(s.c_str());
    std::string out = r ? r : "<null>";
    free(r);
    return out;
  };
  EXPECT_EQ(expand("$HOME/x"), "/home/tester/x");
  EXPECT_EQ(expand("~/x"), "/home/tester/x");
  EXPECT_EQ(expand("~root/x"), "/root/x");
  EXPECT_EQ(expand("~nosuchuser_xyz/x"), "~nosuchuser_xyz/x");
  EXPECT_EQ(expand("a$PID"), "a" + std::to_string(getpid()));
  EXPECT_EQ(expand("$UNDEFINED_VARIABLE/x"), "/x");
  EXPECT_EQ(expand("cost $ 5"), "cost $ 5");
  EXPECT_EQ(expand("plain/path"), "plain/path");
  std::string hundred;
  for (int i = 0; i < 100; i++) hundred += "$A";
  EXPECT_EQ(expand(hundred), std::string(100, 'x'));
  EXPECT_EQ(expand(hundred + "$A"), "<null>");
  unsetenv("HOME");
  EXPECT_EQ(expand("~/x"), "~/x");
}

}  // namespace
