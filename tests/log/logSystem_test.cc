// What the log asks of the platform: the system logger calls and the local
// time conversion. This program defines those functions itself, so the
// library's calls land here and can be checked.

#include "logChild.h"

#include <brellis/vthreadBase.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <syslog.h>

#include <cstdarg>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct LoggerCall {
  std::string what;  // "open", "close" or "send"
  std::string ident;
  int option = 0;
  int value = 0;  // facility for "open", priority for "send"
  std::string text;
};
std::vector<LoggerCall> loggerCalls;
int localTimeCalls = 0;

void Record(int priority, const char *format, va_list ap) {
  char buf[2048];
  vsnprintf(buf, sizeof buf, format, ap);
  loggerCalls.push_back({"send", "", 0, priority, buf});
}

}  // namespace

extern "C" {

void openlog(const char *ident, int option, int facility) {
  loggerCalls.push_back({"open", ident, option, facility, ""});
}

void closelog(void) {
  loggerCalls.push_back({"close"});
}

void syslog(int priority, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Record(priority, format, ap);
  va_end(ap);
}

void __syslog_chk(int priority, int, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Record(priority, format, ap);
  va_end(ap);
}

struct tm *localtime_r(const time_t *t, struct tm *out) {
  using Fn = struct tm *(*)(const time_t *, struct tm *);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "localtime_r"));
  localTimeCalls++;
  return real(t, out);
}

}  // extern "C"

namespace {

using logtest::ChildResult;
using logtest::InChild;
using logtest::InitLog;
using logtest::Parse;
using logtest::Parsed;

TEST(LogSystemLogger, IdentityProcessIdFacilityAndPriority) {
  ChildResult r = InChild([](const std::string &path) {
    CHILD_CHECK(InitLog(path, [](LogInitParams &p) {
      p.systemLoggerUse = 1;
      snprintf(p.systemLoggerID, sizeof p.systemLoggerID, "first");
    }));
    Log_Warning("careful\n");
    Log_Info("plain\n");
    CHILD_CHECK(loggerCalls.size() == 4);
    CHILD_CHECK(loggerCalls[0].what == "close");
    CHILD_CHECK(loggerCalls[1].what == "open" && loggerCalls[1].ident == "first");
    CHILD_CHECK(loggerCalls[1].option == LOG_PID && loggerCalls[1].value == LOG_USER);
    CHILD_CHECK(loggerCalls[2].value == LOG_WARNING);
    CHILD_CHECK(Parse(loggerCalls[2].text).text == "careful");
    CHILD_CHECK(loggerCalls[3].value == LOG_NOTICE);
    // The same text, prefix included, goes to the file.
    std::string file = testsupport::ReadFile(path);
    CHILD_CHECK(file.find(loggerCalls[2].text) != std::string::npos);
    // A new identity closes the logger and opens it again under that name.
    snprintf(logState.systemLoggerID, sizeof logState.systemLoggerID, "second");
    Log_Info("renamed\n");
    CHILD_CHECK(loggerCalls.size() == 7);
    CHILD_CHECK(loggerCalls[4].what == "close");
    CHILD_CHECK(loggerCalls[5].what == "open" && loggerCalls[5].ident == "second");
    CHILD_CHECK(Parse(loggerCalls[6].text).text == "renamed");
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

TEST(LogSystemLogger, LoggerOnlyHasNoFileAndNoHeader) {
  ChildResult r = InChild([](const std::string &) {
    LogInitParams p;
    Log_GetInitDefaults(&p);
    p.systemLoggerUse = 2;
    CHILD_CHECK(!Log_InitWithParams(&p));  // no identity: refused
    snprintf(p.systemLoggerID, sizeof p.systemLoggerID, "only");
    CHILD_CHECK(Log_InitWithParams(&p));
    CHILD_CHECK(Log_GetFileName() == nullptr);
    loggerCalls.clear();
    Log_Info("alone\n");
    CHILD_CHECK(loggerCalls.size() >= 3 && loggerCalls[1].ident == "only");
    // The refusal was logged while there was no output; it comes first.
    CHILD_CHECK(Parse(loggerCalls[2].text).text ==
                "[msg.log.setOutputFailed] Unable to establish log output as specified.");
    CHILD_CHECK(Parse(loggerCalls.back().text).text == "alone");
    for (const LoggerCall &call : loggerCalls) {
      CHILD_CHECK(call.text.find("Log for") == std::string::npos);
    }
    return 0;
  });
  EXPECT_TRUE(r.Ok()) << r.err;
}

// Inside a signal handler the local time is not converted: the stamp is the
// last one, its zone, and the time elapsed since, in brackets.
TEST(LogSignalContext, LocalTimeIsNotRead) {
  ChildResult r = InChild([](const std::string &path) {
    setenv("TZ", "UTC", 1);
    tzset();
    CHILD_CHECK(InitLog(path));
    Log_Info("normal\n");
    int before = localTimeCalls;
    CHILD_CHECK(before > 0);
    VThreadBase_SetIsInSignal(VThreadBase_CurID(), true);
    Log_Info("in handler\n");
    VThreadBase_SetIsInSignal(VThreadBase_CurID(), false);
    CHILD_CHECK(localTimeCalls == before);
    return 0;
  });
  ASSERT_TRUE(r.Ok()) << r.err;
  std::vector<std::string> lines = logtest::Body(r.log);
  ASSERT_EQ(lines.size(), 2u) << r.log;
  Parsed normal = Parse(lines[0]);
  ASSERT_TRUE(normal.ok);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m,
                               std::regex(R"(^(\S{19})Z\[\+(\d+)\.\d{3}\]\| [^|]*\| I120: )"
                                          R"(in handler\n$)")))
      << lines[1];
  EXPECT_EQ(m[1].str(), normal.stamp.substr(0, 19));
  EXPECT_LE(std::stoi(m[2].str()), 1);
}

}  // namespace
