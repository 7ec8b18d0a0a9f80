// The log file's lifecycle: configuration keys and destinations, opening
// with its refusals, the default name, the header block and size rotation.

#include "logChild.h"

#include <brellis/file.h>
#include <brellis/internal/preferenceRoot.h>
#include <brellis/msg.h>
#include <brellis/preference.h>

#include <gtest/gtest.h>

#include <brellis/hostinfo.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <regex>

namespace {

using logtest::Body;
using logtest::ChildResult;
using logtest::InChild;
using logtest::InitLog;
using logtest::Parse;
using testsupport::Exists;
using testsupport::SplitLines;

std::string DirOf(const std::string &path) {
  return path.substr(0, path.rfind('/'));
}

// In a child: configuration layers holding nothing but settings, kept in
// memory.
void Settings(const std::string &dir, std::initializer_list<const char *> settings) {
  PreferenceSetRootForTest((dir + "/no-root").c_str());
  setenv("HOME", (dir + "/no-home").c_str(), 1);
  setenv("TMPDIR", dir.c_str(), 1);  // a default log name stays in the test's directory
  Preference_Init();
  for (const char *setting : settings) {
    Preference_SetFromString(setting, true);
  }
}

// In a child: a record naming file, completed from the configuration.
LogInitParams Destined(const char *app, const std::string &file) {
  static std::string kept;
  kept = file;
  LogInitParams p;
  Log_GetInitDefaults(&p);
  p.fileName = kept.c_str();
  p.fileNameAbsent = false;
  LogGetDestination(app, &p);
  return p;
}

// The texts of the prefixed lines of a log.
std::vector<std::string> Texts(const std::string &log) {
  std::vector<std::string> texts;
  for (const std::string &line : SplitLines(log)) {
    logtest::Parsed p = Parse(line);
    if (p.ok) {
      texts.push_back(p.text);
    }
  }
  return texts;
}

bool Has(const std::string &log, const std::string &text) {
  for (const std::string &t : Texts(log)) {
    if (t == text) {
      return true;
    }
  }
  return false;
}

// "line NNN", the start of the numbered lines the rotation tests log.
std::string Numbered(int i) {
  char text[32];
  snprintf(text, sizeof text, "line %03d", i);
  return text;
}

size_t Count(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    n++;
  }
  return n;
}

// ---- Configuration keys and destinations ----

TEST(LogDestination, PlainAndApplicationKeysAcceptDifferentValues) {
  struct Case {
    const char *setting;
    int32_t use;
    bool file;
    const char *complaint;  // the invalid-content message, or nullptr
  };
  const Case cases[] = {
      {"log.destination=disk-and-syslog", 0, true,
       "LogGetDestination: invalid log.destination content (disk-and-syslog); ignored"},
      {"tarnwell.log.destination=disk-and-syslog", 1, true, nullptr},
      {"tarnwell.log.destination=syslog-and-disk", 1, true, nullptr},
      {"log.destination=disk", 0, true,
       "LogGetDestination: invalid log.destination content (disk); ignored"},
      {"tarnwell.log.destination=disk", 0, true, nullptr},
      {"log.destination=syslog", 2, false, nullptr},
      {"tarnwell.log.destination=syslog", 2, false, nullptr},
      {"tarnwell.log.destination=Syslog", 0, true,
       "LogGetDestination: invalid tarnwell.log.destination content (Syslog); ignored"},
  };
  for (const Case &c : cases) {
    ChildResult r = InChild([&](const std::string &path) {
      Settings(DirOf(path), {c.setting, "tarnwell.log.syslogID=ident"});
      LogInitParams p = Destined("tarnwell", path);
      CHILD_CHECK(p.systemLoggerUse == c.use);
      CHILD_CHECK((p.fileName != nullptr) == c.file);
      CHILD_CHECK(strcmp(p.systemLoggerID, "ident") == 0);
      // The complaint waits in the ring for the first line written.
      CHILD_CHECK(InitLog(path));
      Log_Info("end\n");
      return 0;
    });
    ASSERT_TRUE(r.Ok()) << c.setting << ": " << r.err;
    if (c.complaint != nullptr) {
      EXPECT_TRUE(Has(r.log, c.complaint)) << c.setting << ": " << r.log;
    } else {
      EXPECT_EQ(r.log.find("invalid"), std::string::npos) << c.setting << ": " << r.log;
    }
  }
  // The plain key is decisive once it is set.
  ChildResult r = InChild([](const std::string &path) {
    Settings(DirOf(path), {"log.destination=syslog", "tarnwell.log.destination=none"});
    CHILD_CHECK(Destined("tarnwell", path).systemLoggerUse == 2);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// No destination: nothing else is read and the explicit file is dropped, so
// the log comes up without creating it.
TEST(LogDestination, NoneAndLoggingOffDropTheFileAndReadNothingElse) {
  for (const char *setting : {"log.destination=none", "logging=FALSE", "tarnwell.logging=FALSE"}) {
    ChildResult r = InChild([&](const std::string &path) {
      Settings(DirOf(path), {setting, "log.keepOld=7", "tarnwell.log.syslogID=x"});
      LogInitParams p = Destined("tarnwell", path);
      CHILD_CHECK(p.fileName == nullptr && p.config == nullptr && p.systemLoggerUse == 0);
      CHILD_CHECK(p.keepOld == 3 && p.systemLoggerID[0] == '\0');
      CHILD_CHECK(Log_InitWithParams(&p));
      Log_Info("nowhere\n");
      CHILD_CHECK(Log_GetFileName() == nullptr && !Exists(path));
      return 0;
    });
    EXPECT_TRUE(r.Ok()) << setting << ": " << r.err;
  }
  // A plain "logging" that is set decides, whatever the application's says.
  ChildResult r = InChild([](const std::string &path) {
    Settings(DirOf(path), {"logging=TRUE", "tarnwell.logging=FALSE"});
    CHILD_CHECK(Destined("tarnwell", path).fileName != nullptr);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

TEST(LogDestination, SystemLoggerIdentityIsOnlyTheApplicationsKey) {
  struct Case {
    const char *app;
    std::vector<const char *> settings;
    const char *identity;
  };
  const Case cases[] = {
      {"tarnwell", {}, "tarnwell"},
      {"tarnwell", {"tarnwell.log.syslogID=collector"}, "collector"},
      {"tarnwell", {"tarnwell.log.syslogID="}, "tarnwell"},
      {"tarnwell", {"log.syslogID=plain"}, "tarnwell"},
      {"", {}, "brellis"},
      {nullptr, {}, "brellis"},
  };
  for (const Case &c : cases) {
    ChildResult r = InChild([&](const std::string &path) {
      Settings(DirOf(path), {});
      for (const char *s : c.settings) {
        Preference_SetFromString(s, true);
      }
      LogInitParams p = Destined(c.app, path);
      fprintf(stderr, "%s", p.systemLoggerID);
      return 0;
    });
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.err, c.identity) << (c.app ? c.app : "(null)");
  }
}

// Plain names first; an unset or negative value gives way to the
// application's; neither leaves the record's value.
TEST(LogDestination, NumbersAndFlagsPlainThenApplication) {
  ChildResult r = InChild([](const std::string &path) {
    Settings(DirOf(path), {
                              "log.keepOld=-1",
                              "tarnwell.log.keepOld=5",
                              "log.rotateSize=1000",
                              "tarnwell.log.rotateSize=5",
                              "tarnwell.log.useTimeStamps=FALSE",
                              "log.useThreadName=FALSE",
                              "tarnwell.log.useThreadName=TRUE",
                              "log.logMinLevel=130",
                              "log.throttleThreshold=5000",
                              "log.throttleBytesPerSec=0",
                              "log.append=TRUE",
                              "log.fastRotation=TRUE",
                              "log.syncAfterWrite=TRUE",
                              "log.keep=TRUE",
                          });
    LogInitParams p = Destined("tarnwell", path);
    CHILD_CHECK(p.keepOld == 5 && p.rotateSize == 1000);
    CHILD_CHECK(!p.useTimeStamps && !p.useThreadName && p.useMilliseconds);
    CHILD_CHECK(p.logMinLevel == 130 && p.stderrMinLevel == -1);
    CHILD_CHECK(p.throttleThreshold == 5000 && p.throttleBytesPerSec == -1);
    CHILD_CHECK(p.append && p.fastRotation && p.syncAfterWrite && p.keep);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
  // The system logger alone reads no file settings, nor the rate.
  r = InChild([](const std::string &path) {
    Settings(DirOf(path), {"log.destination=syslog", "log.keepOld=7", "log.throttleBytesPerSec=9",
                           "log.append=TRUE", "log.logMinLevel=130"});
    LogInitParams p = Destined("tarnwell", path);
    CHILD_CHECK(p.keepOld == 3 && p.throttleBytesPerSec == 1000 && !p.append);
    CHILD_CHECK(p.logMinLevel == 130);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// With no logging after the threshold, the file stops at about a million
// bytes with one notice; a rate of 0 means no throttling at all.
TEST(LogDestination, ThrottleKeys) {
  std::string line(199, 'x');
  auto run = [&](const char *setting) {
    return InChild([&](const std::string &path) {
      Settings(DirOf(path), {setting});
      LogInitParams p = Destined("tarnwell", path);
      CHILD_CHECK(Log_InitWithParams(&p));
      for (int i = 0; i < 6000; i++) {
        Log_Info("%s\n", line.c_str());
      }
      return 0;
    });
  };
  ChildResult stopped = run("log.noLogAfterThreshold=TRUE");
  ASSERT_TRUE(stopped.Ok()) << stopped.err;
  EXPECT_EQ(Count(stopped.log, "<<< Log Throttled >>>\n"), 1u);
  // 200-byte messages: the one that reaches a million bytes is held back.
  EXPECT_EQ(Count(stopped.log, line), 4999u);

  ChildResult unthrottled = run("log.throttleBytesPerSec=0");
  ASSERT_TRUE(unthrottled.Ok()) << unthrottled.err;
  EXPECT_EQ(Count(unthrottled.log, "Throttled"), 0u);
  EXPECT_EQ(Count(unthrottled.log, line), 6000u);
}

// ---- Opening ----

// A link where the log file should be is refused before anything is opened
// or created, whether it dangles or points at a file.
TEST(LogOpen, SymbolicLinkIsRefusedBeforeAnythingIsCreated) {
  ChildResult r = InChild([](const std::string &path) {
    std::string dir = DirOf(path);
    std::string planted = dir + "/planted.log";
    std::string target = dir + "/target";
    CHILD_CHECK(symlink(target.c_str(), planted.c_str()) == 0);
    CHILD_CHECK(!Log_InitWithFile(planted.c_str(), "tarnwell"));
    CHILD_CHECK(!Exists(target));
    CHILD_CHECK(Log_GetFileName() == nullptr);
    CHILD_CHECK(testsupport::WriteFile(target, "precious\n"));
    CHILD_CHECK(!Log_InitWithFile(planted.c_str(), "tarnwell"));
    CHILD_CHECK(testsupport::ReadFile(target) == "precious\n");
    // The reasons wait among the thread's pending messages for the caller.
    CHILD_CHECK(std::string(Msg_GetMessages()).find("' is a symbolic link.\n") !=
                std::string::npos);
    // The reasons were kept and reach the next log that opens.
    CHILD_CHECK(InitLog(path));
    Log_Info("opened\n");
    fprintf(stderr, "%s", planted.c_str());
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  const std::string &planted = r.err;
  EXPECT_EQ(Count(r.log, "[msg.log.openIsLink] Log file '" + planted + "' is a symbolic link.\n"),
            2u)
      << r.log;
  EXPECT_TRUE(Has(r.log, "[msg.log.setOutputFailed] Unable to establish log output as specified."));
  for (const std::string &piece :
       {std::string("Parameters:"), "fileName (" + planted + ")", std::string("config (<NULL>)"),
        std::string("systemLoggerID (tarnwell)"), std::string("systemLoggerUse 0")}) {
    EXPECT_TRUE(Has(r.log, piece)) << piece << "\n" << r.log;
  }
}

TEST(LogOpen, FailureNamesTheFileAndTheSystemError) {
  ChildResult r = InChild([](const std::string &path) {
    std::string missing = DirOf(path) + "/no/such/dir.log";
    CHILD_CHECK(!Log_InitWithFile(missing.c_str(), "tarnwell"));
    CHILD_CHECK(InitLog(path));
    Log_Info("opened\n");
    fprintf(stderr, "%s", missing.c_str());
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  EXPECT_TRUE(Has(r.log, "[msg.log.openFailed] Cannot open or create the log file '" + r.err +
                             "': No such file or directory"))
      << r.log;
}

// An explicit file keeps its content and is never rotated at start,
// whatever the keys say; each start appends its own header block.
TEST(LogOpen, ExplicitFileAppendsWithoutRotatingOrTruncating) {
  ChildResult r = InChild([](const std::string &path) {
    Settings(DirOf(path), {"log.append=FALSE", "log.keepOld=2"});
    CHILD_CHECK(testsupport::WriteFile(path, "old content\n"));
    CHILD_CHECK(Log_InitWithFile(path.c_str(), "tarnwell"));
    CHILD_CHECK(strcmp(Log_GetFileName(), path.c_str()) == 0);
    Log_Info("first start\n");
    CHILD_CHECK(Log_InitWithFile(path.c_str(), "tarnwell"));
    Log_Info("second start\n");
    CHILD_CHECK(!Exists(DirOf(path) + "/test-0.log"));
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  EXPECT_TRUE(r.log.starts_with("old content\n"));
  EXPECT_EQ(Count(r.log, "| I120: Log for brellis-tarnwell pid="), 2u) << r.log;
  std::vector<std::string> texts = Texts(r.log);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "second start");
}

// A name from a configuration key (no explicit file): the old files move
// aside, in either scheme, and the log starts empty; appending keeps them.
TEST(LogOpen, KeyNamedFileIsRotatedAndTruncatedAtStart) {
  struct Case {
    bool fastRotation;
    bool append;
    std::vector<std::pair<std::string, std::string>> after;  // file, content start
  };
  const Case cases[] = {
      {false, false, {{"keyed-0.log", "old\n"}, {"keyed-1.log", "older\n"}}},
      {true, false, {{"keyed-0.log", "older\n"}, {"keyed-1.log", "old\n"}}},
      {false, true, {{"keyed.log", "old\n"}, {"keyed-0.log", "older\n"}}},
  };
  for (const Case &c : cases) {
    ChildResult r = InChild([&](const std::string &path) {
      std::string dir = DirOf(path);
      std::string keyed = dir + "/keyed.log";
      Settings(DirOf(path), {});
      Preference_SetFromString(("my.logFile=" + keyed).c_str(), true);
      CHILD_CHECK(testsupport::WriteFile(keyed, "old\n"));
      CHILD_CHECK(testsupport::WriteFile(dir + "/keyed-0.log", "older\n"));
      LogInitParams p;
      Log_GetInitDefaults(&p);
      p.config = "my.logFile";
      p.keepOld = 2;
      p.fastRotation = c.fastRotation;
      p.append = c.append;
      CHILD_CHECK(Log_InitWithParams(&p));
      CHILD_CHECK(strcmp(Log_GetFileName(), keyed.c_str()) == 0);
      Log_Info("new\n");
      for (const auto &[file, start] : c.after) {
        CHILD_CHECK(testsupport::ReadFile(dir + "/" + file).starts_with(start));
      }
      std::string log = testsupport::ReadFile(keyed);
      CHILD_CHECK(c.append || Parse(SplitLines(log)[0]).text.starts_with("Log for "));
      CHILD_CHECK(log.ends_with("new\n"));
      return 0;
    });
    EXPECT_TRUE(r.Ok()) << "fast " << c.fastRotation << " append " << c.append << ": " << r.err;
  }
}

TEST(LogOpen, NoFileWanted) {
  ChildResult r = InChild([](const std::string &) {
    LogInitParams p;
    Log_GetInitDefaults(&p);
    p.systemLoggerUse = 1;  // a file and the system logger, but no file
    snprintf(p.systemLoggerID, sizeof p.systemLoggerID, "id");
    CHILD_CHECK(!Log_InitWithParams(&p));
    p.systemLoggerUse = 0;  // nothing at all
    CHILD_CHECK(Log_InitWithParams(&p));
    CHILD_CHECK(Log_GetFileName() == nullptr);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// ---- The default name and the private temporary directory ----

std::string UserName() {
  struct passwd *pw = getpwuid(geteuid());
  return pw != nullptr ? pw->pw_name : "uid-" + std::to_string(geteuid());
}

TEST(LogDefaultName, ProcessFileInThePrivateTemporaryDirectory) {
  ChildResult r = InChild([](const std::string &path) {
    std::string dir = DirOf(path);
    setenv("TMPDIR", dir.c_str(), 1);
    Settings(dir, {});
    std::string privateDir = dir + "/brellis-" + UserName();
    std::string expected = privateDir + "/brellis-probe-" + std::to_string(getpid()) + ".log";
    LogInitParams p;
    Log_GetInitDefaults(&p);
    p.config = "log.unsetKey";  // names no file: the default is taken
    p.appPrefix = "probe";
    CHILD_CHECK(Log_InitWithParams(&p));
    CHILD_CHECK(Log_GetFileName() != nullptr && Log_GetFileName() == expected);
    CHILD_CHECK(logState.defaultName);
    struct stat st;
    CHILD_CHECK(lstat(privateDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    CHILD_CHECK((st.st_mode & 07777) == 0700 && st.st_uid == geteuid());
    Log_Info("in the default file\n");
    CHILD_CHECK(testsupport::ReadFile(expected).ends_with("in the default file\n"));
    // Without a prefix the name is the library's alone.
    p.appPrefix = nullptr;
    CHILD_CHECK(Log_InitWithParams(&p));
    CHILD_CHECK(Log_GetFileName() == privateDir + "/brellis-" + std::to_string(getpid()) + ".log");
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// The plain per-user name is used only when it is the user's own real
// directory that nobody else can enter; otherwise a numbered one is made.
struct PrivateDirCase {
  const char *what;
  mode_t mode;  // 0: nothing there
  uid_t owner;
  bool link;  // the plain name is a link to such a directory
  bool accepted;
};

void ExpectPrivateDirectory(const PrivateDirCase &c) {
  const uid_t me = geteuid();
  ChildResult r = InChild([&](const std::string &path) {
    std::string dir = DirOf(path);
    setenv("TMPDIR", dir.c_str(), 1);
    std::string plain = dir + "/brellis-" + UserName();
    std::string made = c.link ? dir + "/good" : plain;
    if (c.mode != 0) {
      CHILD_CHECK(mkdir(made.c_str(), 0700) == 0 && chmod(made.c_str(), c.mode) == 0);
      CHILD_CHECK(chown(made.c_str(), c.owner, static_cast<gid_t>(-1)) == 0);
      CHILD_CHECK(!c.link || symlink(made.c_str(), plain.c_str()) == 0);
    }
    std::unique_ptr<char, decltype(&free)> got(File_GetSafeTmpDir(false), free);
    CHILD_CHECK(got != nullptr);
    std::string safe = got.get();
    if (c.accepted) {
      CHILD_CHECK(safe == plain);
      return 0;
    }
    CHILD_CHECK(safe.starts_with(plain + "-") &&
                safe.find_first_not_of("0123456789", plain.size() + 1) == std::string::npos);
    struct stat st;
    CHILD_CHECK(lstat(safe.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    CHILD_CHECK((st.st_mode & 07777) == 0700 && st.st_uid == me);
    got.reset(File_GetSafeTmpDir(false));  // found again, not made anew
    CHILD_CHECK(got != nullptr && safe == got.get());
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << c.what << ": " << r.err;
}

TEST(LogDefaultName, PrivateDirectoryRefusesWhatIsNotTheUsersOwn) {
  const uid_t me = geteuid();
  const PrivateDirCase cases[] = {
      {"absent", 0, me, false, true},
      {"set-group-id", 02700, me, false, true},
      {"open to others", 0755, me, false, false},
      {"sticky", 01700, me, false, false},
      {"a link", 0700, me, true, false},
  };
  for (const PrivateDirCase &c : cases) {
    ExpectPrivateDirectory(c);
  }
}

TEST(LogDefaultName, PrivateDirectoryRefusesSomeoneElses) {
  SKIP_UNLESS_ROOT("give a directory to another user (chown)");
  ExpectPrivateDirectory({"someone else's", 0700, testsupport::kNobody, false, false});
}

// ---- The header block ----

TEST(LogHeader, NamesTheProcessTheCodeSetAndTheHost) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("G_FILENAME_ENCODING", "ISO-8859-1,UTF-8", 1);
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.appName = "probe";
      p.appVersion = "1.2";
    }));
    Log_Info("body\n");
    fprintf(stderr, "%d", static_cast<int>(getpid()));
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  std::vector<std::string> lines = SplitLines(r.log);
  ASSERT_EQ(lines.size(), 5u) << r.log;
  for (const std::string &line : lines) {
    // One prefix each, of level 120.
    EXPECT_EQ(Parse(line).designator, "I120") << line;
    EXPECT_EQ(Count(line, "| I120: "), 1u) << line;
  }
  EXPECT_EQ(Parse(lines[0]).text,
            "Log for probe pid=" + r.err + " version=1.2 build=build-3904909 option=Release");
  EXPECT_EQ(Parse(lines[1]).text, "The process is " + std::to_string(sizeof(void *) * 8) + "-bit.");
  EXPECT_EQ(Parse(lines[2]).text, "Host codepage=ISO-8859-1 encoding=ISO-8859-1");
  // The kernel, then the distribution's name.
  char *os = Hostinfo_OSFullName();
  ASSERT_NE(os, nullptr);
  EXPECT_EQ(Parse(lines[3]).text, std::string("Host is ") + os);
  EXPECT_EQ(std::string(os).rfind(std::string(u.sysname) + " " + u.release + " ", 0), 0u);
  free(os);
}

// Without time stamps in the prefix the header says when the log began.
TEST(LogHeader, CreationTimeWithoutTimeStamps) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("TZ", "UTC", 1);
    tzset();
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) { p.useTimeStamps = false; }));
    Log_Info("body\n");
    // time() reads a coarse clock that may lag the one the log reads by a
    // tick, which once made the header look a second in the future.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    fprintf(stderr, "%lld", static_cast<long long>(ts.tv_sec));
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> lines = SplitLines(r.log);
  ASSERT_EQ(lines.size(), 6u) << r.log;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      lines[3], m,
      std::regex(
          R"(^[^|]*\| I120: Log creation time is (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z\n$)")))
      << lines[3];
  struct tm tm = {};
  ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
  long long stamp = static_cast<long long>(timegm(&tm));
  long long now = std::stoll(r.err);
  EXPECT_LE(stamp, now);
  EXPECT_GE(stamp, now - 5);
  EXPECT_TRUE(lines[4].starts_with("vthread-0| I120: Host is ")) << lines[4];
}

// A character set the encoding table does not know is taken as UTF-8, so
// the log starts on its file as usual.
TEST(LogHeader, UnknownEncodingDoesNotStopTheLog) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("G_FILENAME_ENCODING", "NO-SUCH-CHARSET", 1);
    CHILD_CHECK(InitLog(path));
    LogInitParams p;
    Log_GetInitDefaults(&p);
    CHILD_CHECK(Log_InitWithParams(&p));
    // An unknown character set is taken as UTF-8 rather than left unknown.
    CHILD_CHECK(logState.hostEncoding != nullptr && strcmp(logState.hostEncoding, "UTF-8") == 0);
    CHILD_CHECK(strcmp(logState.hostCodeSet, "NO-SUCH-CHARSET") == 0);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// ---- Size rotation ----

// Every file starts with exactly one header block, holds about rotateSize
// bytes, and together the newest files hold the newest lines without a gap.
void ExpectWholeFiles(const std::vector<std::string> &newestFirst) {
  int next = -1;
  for (const std::string &content : newestFirst) {
    std::vector<std::string> texts = Texts(content);
    ASSERT_GE(texts.size(), 5u) << content;
    EXPECT_TRUE(texts[0].starts_with("Log for ")) << content;
    EXPECT_EQ(Count(content, "Log for "), 1u) << content;
    EXPECT_LE(content.size(), 1000u + 200u);
    int last = std::stoi(texts.back().substr(5, 3));
    if (next != -1) {
      EXPECT_EQ(last, next) << "a line went missing between files";
    }
    int first = std::stoi(texts[4].substr(5, 3));
    next = first - 1;
  }
}

TEST(LogRotation, BySizeWithNumberedBackupsInBothSchemes) {
  for (bool fast : {false, true}) {
    ChildResult r = InChild([&](const std::string &path) {
      CHILD_CHECK(InitLog(path, [&](LogInitParams &p) {
        p.rotateSize = 1000;
        p.keepOld = 3;
        p.fastRotation = fast;
      }));
      for (int i = 0; i < 100; i++) {
        Log_Info("line %03d %s\n", i, std::string(60, 'r').c_str());
      }
      // Hand the parent the files newest first, separated by form feeds.
      std::string dir = DirOf(path);
      std::vector<std::string> names = {"test.log"};
      if (fast) {
        std::vector<int> numbers;
        for (int k = 1; k < 100; k++) {
          if (Exists(dir + "/test-" + std::to_string(k) + ".log")) {
            numbers.push_back(k);
          }
        }
        CHILD_CHECK(numbers.size() == 3);
        CHILD_CHECK(numbers[2] - numbers[0] == 2);
        for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
          names.push_back("test-" + std::to_string(*it) + ".log");
        }
      } else {
        CHILD_CHECK(!Exists(dir + "/test-3.log"));
        for (int k = 0; k < 3; k++) {
          names.push_back("test-" + std::to_string(k) + ".log");
        }
      }
      for (const std::string &name : names) {
        fprintf(stderr, "%s\f", testsupport::ReadFile(dir + "/" + name).c_str());
      }
      return 0;
    });
    ASSERT_TRUE(r.Ok()) << r.err;
    std::vector<std::string> files;
    for (size_t start = 0, ff; (ff = r.err.find('\f', start)) != std::string::npos;
         start = ff + 1) {
      files.push_back(r.err.substr(start, ff - start));
    }
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(Texts(files[0]).back().substr(0, 8), "line 099");
    ExpectWholeFiles(files);
  }
}

// Keeping no old files, the same file is reopened: its content stays and a
// new header block follows it.
TEST(LogRotation, KeepingNoneReopensTheSameFile) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.rotateSize = 1000;
      p.keepOld = 0;
    }));
    for (int i = 0; i < 30; i++) {
      Log_Info("line %03d %s\n", i, std::string(60, 'r').c_str());
    }
    CHILD_CHECK(!Exists(DirOf(path) + "/test-0.log"));
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> body;
  for (const std::string &line : Body(r.log)) {
    body.push_back(Parse(line).text.substr(0, 8));
  }
  ASSERT_EQ(body.size(), 30u) << r.log;
  for (int i = 0; i < 30; i++) {
    EXPECT_EQ(body[static_cast<size_t>(i)], Numbered(i));
  }
  // 30 lines of about 110 bytes, and the headers: at least 3 rotations.
  EXPECT_GE(Count(r.log, "Log for "), 4u);
}

// A switch that fails leaves the lines in the file the log has, records why,
// and is tried again only after another rotateSize bytes.
TEST(LogRotation, FailedSwitchKeepsWritingAndTriesAgainLater) {
  ChildResult r = InChild([](const std::string &path) {
    std::string dir = DirOf(path);
    std::string kept = dir + "/kept.log";
    std::string elsewhere = dir + "/elsewhere";
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.rotateSize = 1000;
      p.keepOld = 0;
    }));
    Log_Info("before\n");
    // The open file stays reachable as kept.log; a link takes its name.
    CHILD_CHECK(link(path.c_str(), kept.c_str()) == 0 && unlink(path.c_str()) == 0);
    CHILD_CHECK(symlink(elsewhere.c_str(), path.c_str()) == 0);
    int i = 0;
    while (!Msg_Present() && i < 100) {
      Log_Info("line %03d %s\n", i++, std::string(60, 'r').c_str());
    }
    CHILD_CHECK(Msg_Present());
    CHILD_CHECK(!Exists(elsewhere));
    CHILD_CHECK(
        std::string(Msg_GetMessages())
            .starts_with("Unable to open the log file \"" + path + "\". Make sure that the path"));
    Msg_Reset(false);
    // Not again before another 1000 bytes.
    for (int k = 0; k < 5; k++) {
      Log_Info("line %03d %s\n", i++, std::string(60, 'r').c_str());
    }
    CHILD_CHECK(!Msg_Present());
    CHILD_CHECK(unlink(path.c_str()) == 0);
    while (!Exists(path) && i < 200) {
      Log_Info("line %03d %s\n", i++, std::string(60, 'r').c_str());
    }
    CHILD_CHECK(Exists(path));
    CHILD_CHECK(!Msg_Present());
    std::string old = testsupport::ReadFile(kept);
    CHILD_CHECK(old.find("[msg.log.switchFailed] Unable to open the log file") !=
                std::string::npos);
    fprintf(stderr, "%s", old.c_str());
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  // The old file held every line up to the switch; the new one starts with
  // its header and the next line.
  std::vector<std::string> oldTexts = Texts(r.err);
  ASSERT_FALSE(oldTexts.empty());
  std::vector<std::string> newTexts = Texts(r.log);
  ASSERT_GE(newTexts.size(), 5u) << r.log;
  EXPECT_TRUE(newTexts[0].starts_with("Log for "));
  int lastOld = std::stoi(oldTexts.back().substr(5, 3));
  EXPECT_EQ(newTexts[4].substr(0, 8), Numbered(lastOld + 1));
  EXPECT_GT(r.err.size(), 2000u);  // it grew well past the size before the retry
}

// ---- Keep flag and file name ----

TEST(LogFileName, AndKeepFollowTheOutput) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(Log_GetFileName() == nullptr);
    Log_SetKeep(true);  // before initialisation: nothing to keep
    CHILD_CHECK(!logState.keep);
    CHILD_CHECK(InitLog(path));
    CHILD_CHECK(Log_GetFileName() == path);
    Log_SetKeep(true);
    CHILD_CHECK(logState.keep);
    LogInitParams p;
    Log_GetInitDefaults(&p);
    p.systemLoggerUse = 2;
    snprintf(p.systemLoggerID, sizeof p.systemLoggerID, "only");
    CHILD_CHECK(Log_InitWithParams(&p));
    CHILD_CHECK(Log_GetFileName() == nullptr);
    logState.keep = false;
    Log_SetKeep(true);  // the system logger alone has no file to keep
    CHILD_CHECK(!logState.keep);
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

}  // namespace
