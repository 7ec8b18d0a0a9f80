// Shared pieces of the file layer's tests: running checks in a child
// process (to change users, limits or mount namespaces without touching the
// test process) and reading what a child logged.
#ifndef TESTS_FILE_FILETESTUTIL_H
#define TESTS_FILE_FILETESTUTIL_H

#include <brellis/log.h>

#include <support/tempDir.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace filetest {

// Exit code of a child whose environment refused what the check needs.
constexpr int kSkip = 77;

struct ChildResult {
  int status = 0;
  std::string err;  // what the child wrote to standard error
  std::string log;  // the child's log file

  bool Passed() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  bool Skipped() const { return WIFEXITED(status) && WEXITSTATUS(status) == kSkip; }
  bool LogHas(const std::string &text) const { return log.find(text) != std::string::npos; }
};

// In a child: report a failed condition on standard error and end with 1.
#define CHILD_CHECK(cond)                                                            \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
      _exit(1);                                                                      \
    }                                                                                \
  } while (0)

// Runs body in a forked child with its log in a file; body returns the exit
// code (0 when every check held, kSkip when the environment refused).
inline ChildResult RunInChild(const std::function<int()> &body) {
  testsupport::TempDir dir;
  std::string logPath = dir / "child.log";
  int fds[2];
  ChildResult result;
  if (pipe(fds) != 0) {
    result.status = -1;
    return result;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    Log_InitWithFile(logPath.c_str(), "fileTest");
    _exit(body());
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) {
    result.err.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  waitpid(pid, &result.status, 0);
  result.log = testsupport::ReadFile(logPath);
  return result;
}

// In a child: a private mount namespace, so mounts vanish with the child.
// False when the system refuses one.
inline bool EnterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

#define EXPECT_CHILD_PASSED(result)                                          \
  do {                                                                       \
    auto &&r_ = (result);                                                    \
    if (r_.Skipped()) {                                                      \
      GTEST_SKIP() << "the system refused what the check needs: " << r_.err; \
    }                                                                        \
    EXPECT_TRUE(r_.Passed()) << r_.err << "\nlog:\n" << r_.log;              \
  } while (0)

}  // namespace filetest

#endif
