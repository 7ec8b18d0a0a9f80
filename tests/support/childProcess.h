// Running code that may end the process (panics, fatal errors, changed
// users or limits) in a forked child, and what the child left behind.
#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

#include <functional>
#include <string>

namespace testsupport {

struct ChildResult {
  int status = -1;  // as waitpid gives it; -1 when no child could be run
  std::string err;  // what the child wrote to standard error
  std::string log;  // the content of the log file the child was given

  bool ExitedWith(int code) const;
  bool LogHas(const std::string &text) const;
};

// Runs body(logPath) in a forked child whose standard error is captured;
// the child ends with body's result. logPath names the file logName in a
// temporary directory that outlives the child and is read back afterwards.
ChildResult RunInChild(const std::function<int(const std::string &logPath)> &body,
                       const std::string &logName = "child.log");

}  // namespace testsupport

#endif
