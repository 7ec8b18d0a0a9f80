// Runs a companion program to its end and keeps what it printed.
#ifndef TESTS_TOOLS_RUNTOOL_H
#define TESTS_TOOLS_RUNTOOL_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace tooltest {

struct ToolResult {
  int exitStatus = -1;  // -1 when it did not exit normally in time
  std::string out;
  std::string err;
};

// Runs program with args; standard output and error are captured apart. A
// program still running after timeout is killed.
inline ToolResult RunTool(const std::string &program, const std::vector<std::string> &args,
                          std::chrono::seconds timeout = std::chrono::seconds(120)) {
  int outPipe[2], errPipe[2];
  ToolResult result;
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return result;
  std::vector<std::string> argvStrings = {program};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      } else {
        sinks[i]->append(buf, static_cast<size_t>(n));
      }
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  for (auto &f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

}  // namespace tooltest

#endif
