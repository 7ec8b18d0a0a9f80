// Runs code that ends the process in a forked child whose log goes to a
// file, and hands back how the child ended, its standard error and its log.
#ifndef TESTS_LOCK_CHILDPROCESS_H
#define TESTS_LOCK_CHILDPROCESS_H

#include <brellis/log.h>

#include <support/tempDir.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace locktest {

struct ChildResult {
  int status = 0;
  std::string err;
  std::string log;

  bool ExitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool LogHas(const std::string &text) const { return log.find(text) != std::string::npos; }
};

inline ChildResult RunInChild(const std::function<void()> &body) {
  testsupport::TempDir dir;
  std::string logPath = dir / "child.log";
  int fds[2];
  ChildResult result;
  if (pipe(fds) != 0) {
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    Log_InitWithFile(logPath.c_str(), "lockTest");
    body();
    _exit(0);
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

}  // namespace locktest

#endif
