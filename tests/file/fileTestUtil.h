// Shared pieces of the file layer's tests: running checks in a child
// process (to change users, limits or mount namespaces without touching the
// test process) and reading what a child logged.
#ifndef TESTS_FILE_FILETESTUTIL_H
#define TESTS_FILE_FILETESTUTIL_H

#include <brellis/file.h>
#include <brellis/log.h>

#include <support/childProcess.h>
#include <support/tempDir.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace filetest {

// Exit code of a child whose environment refused what the check needs.
constexpr int kSkip = 77;

struct ChildResult : testsupport::ChildResult {
  bool Passed() const { return ExitedWith(0); }
  bool Skipped() const { return ExitedWith(kSkip); }
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
  return ChildResult{testsupport::RunInChild([&](const std::string &logPath) {
    Log_InitWithFile(logPath.c_str(), "fileTest");
    return body();
  })};
}

// The names File_ListDirectory gives for dir, sorted.
inline std::vector<std::string> List(const std::string &dir) {
  char **ids = nullptr;
  int n = File_ListDirectory(dir.c_str(), &ids);
  std::vector<std::string> names;
  for (int i = 0; i < n; i++) {
    names.push_back(ids[i]);
    free(ids[i]);
  }
  free(ids);
  std::sort(names.begin(), names.end());
  return names;
}

using testsupport::EnterPrivateMountNamespace;

// In a child whose set-up the system refused: says what and why on
// standard error (as an ordinary user, that it needs root) and gives the
// exit code that skips the case.
inline int Refused(const char *what) {
  fprintf(stderr, "%s %s: %s", geteuid() == 0 ? "the system refused to" : "needs root to", what,
          strerror(errno));
  return kSkip;
}

#define EXPECT_CHILD_PASSED(result)                             \
  do {                                                          \
    auto &&r_ = (result);                                       \
    if (r_.Skipped()) {                                         \
      GTEST_SKIP() << r_.err;                                   \
    }                                                           \
    EXPECT_TRUE(r_.Passed()) << r_.err << "\nlog:\n" << r_.log; \
  } while (0)

}  // namespace filetest

#endif
