// Running code that may end the process (panics, fatal errors, changed
// users or limits) in a forked child, and what the child left behind; and
// the cases only root can run.
#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

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

// The unprivileged user and group that root-run cases switch to.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// In a child about to meet permission checks: root passes them all, so as
// root it becomes kNobody/kNoGroup for good, without supplementary groups;
// an ordinary user stays as it is. False when the switch failed.
bool BecomeOrdinaryUser();

// In a child: a private mount namespace, so mounts vanish with the child
// (and with whatever it starts). False when the system refuses one.
bool EnterPrivateMountNamespace();

// Runs body in a forked child that has joined the mount namespace of pid
// (root only): mounts seen or changed there are pid's. True when body ran
// and returned true.
bool InMountNamespaceOf(pid_t pid, const std::function<bool()> &body);

}  // namespace testsupport

// Cases whose set-up only root can make (files given to other users, real
// and effective ids that differ, mounts) run when the suite runs as root, as
// CI runs it; for an ordinary user they are skipped with what needs root.
#define SKIP_UNLESS_ROOT(what)                    \
  do {                                            \
    if (geteuid() != 0) {                         \
      GTEST_SKIP() << "needs root to " << (what); \
    }                                             \
  } while (0)

#endif
