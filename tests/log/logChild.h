// The log is one per process, so every case runs in a fresh child: the
// child logs, the parent reads what reached the file and standard error.
#ifndef TESTS_LOG_LOGCHILD_H
#define TESTS_LOG_LOGCHILD_H

#include "log/logInt.h"
#include "support/childProcess.h"
#include "support/tempDir.h"

#include <brellis/log.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace logtest {

// In the child: reports a failed condition on standard error and fails.
#define CHILD_CHECK(cond)                                                   \
  do {                                                                      \
    if (!(cond)) {                                                          \
      fprintf(stderr, "child check failed line %d: %s\n", __LINE__, #cond); \
      return 1;                                                             \
    }                                                                       \
  } while (0)

struct ChildResult : testsupport::ChildResult {
  bool Ok() const { return ExitedWith(0); }
};

// Runs body(logPath) in a child; its result is the child's exit status.
inline ChildResult InChild(const std::function<int(const std::string &)> &body) {
  return ChildResult{testsupport::RunInChild(body, "test.log")};
}

// Opens the log on path with the defaults, throttling off, then tweak.
inline bool InitLog(const std::string &path,
                    const std::function<void(LogInitParams &)> &tweak = nullptr) {
  LogInitParams params;
  Log_GetInitDefaults(&params);
  params.fileName = path.c_str();
  params.fileNameAbsent = false;
  params.throttleBytesPerSec = -1;
  snprintf(params.systemLoggerID, sizeof params.systemLoggerID, "logtest");
  if (tweak) {
    tweak(params);
  }
  return Log_InitWithParams(&params);
}

// A whole prefixed line: time stamp, thread name, designator, text.
struct Parsed {
  bool ok = false;
  std::string stamp, zone, thread, designator, text;
  char separator = 0;
};

inline Parsed Parse(const std::string &line) {
  // Only the prefix goes through the expression: std::regex recurses per
  // character and would exhaust the stack on a long text.
  static const std::regex shape(
      R"(^(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{3})?(Z|[+-]\d{2}:\d{2}))\| ([^|]*)\| )"
      R"(([EWAID]\d{3})([:+]) )");
  Parsed p;
  size_t designator = line.find(": ");
  size_t continued = line.find("+ ");
  size_t end = std::min(designator, continued);
  if (end == std::string::npos || end > 120 || line.empty() || line.back() != '\n' ||
      line.find('\n') != line.size() - 1) {
    return p;
  }
  std::string prefix = line.substr(0, end + 2);
  std::smatch m;
  if (std::regex_match(prefix, m, shape)) {
    p.ok = true;
    p.stamp = m[1];
    p.zone = m[3];
    p.thread = m[4];
    p.designator = m[5];
    p.separator = m[6].str()[0];
    p.text = line.substr(end + 2, line.size() - end - 3);
  }
  return p;
}

// The lines after the header block (the lines that begin "Log for" and
// follow it up to the first line that is not part of it).
inline std::vector<std::string> Body(const std::string &log) {
  std::vector<std::string> out;
  for (const std::string &line : testsupport::SplitLines(log)) {
    Parsed p = Parse(line);
    if (p.ok && (p.text.starts_with("Log for ") || p.text.starts_with("The process is ") ||
                 p.text.starts_with("Host codepage=") ||
                 p.text.starts_with("Log creation time is ") || p.text.starts_with("Host is "))) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

}  // namespace logtest

#endif
