#include "support/childProcess.h"

#include "support/tempDir.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport {

bool ChildResult::ExitedWith(int code) const {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool ChildResult::LogHas(const std::string &text) const {
  return log.find(text) != std::string::npos;
}

ChildResult RunInChild(const std::function<int(const std::string &logPath)> &body,
                       const std::string &logName) {
  TempDir dir;
  std::string logPath = dir / logName;
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) {
    return result;
  }
  fflush(nullptr);  // nothing buffered is written twice
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    _exit(body(logPath));
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) {
    result.err.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  waitpid(pid, &result.status, 0);
  result.log = ReadFile(logPath);
  return result;
}

bool BecomeOrdinaryUser() {
  if (geteuid() != 0) {
    return true;
  }
  // Groups first: once the user id is gone, so is the right to change them.
  return setgroups(0, nullptr) == 0 && setresgid(kNoGroup, kNoGroup, kNoGroup) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0;
}

bool EnterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool InMountNamespaceOf(pid_t pid, const std::function<bool()> &body) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    std::string ns = "/proc/" + std::to_string(pid) + "/ns/mnt";
    int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    _exit(fd >= 0 && setns(fd, CLONE_NEWNS) == 0 && body() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace testsupport
