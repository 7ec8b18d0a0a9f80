#include "support/collectorProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testsupport {

struct CollectorProcess::Output {
  int fd = -1;
  std::mutex mutex;
  std::string text;
  std::atomic<bool> eof{false};

  ~Output() { close(fd); }
  // Whether everything written so far has been taken in.
  bool Drained() {
    int unread = 0;
    if (!eof && ioctl(fd, FIONREAD, &unread) == 0 && unread == 0) {
      std::lock_guard<std::mutex> lock(mutex);  // an append under way ends
    }
    return eof || unread == 0;
  }
};

int FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("bind to port 0 failed");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

CollectorProcess::~CollectorProcess() {
  if (pid_ > 0 && Running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void CollectorProcess::Start(const std::vector<std::string> &args, const std::string &cwd,
                             const std::function<bool()> &beforeExec) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argvStrings = {TARNWELL_BINARY};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argvStrings) {
    argv.push_back(s.data());
  }
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies must not leave its collector behind, holding the
    // test runner's output open.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(pipeFds[1], STDERR_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    if (beforeExec && !beforeExec()) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  output_ = std::make_shared<Output>();
  output_->fd = pipeFds[0];
  // Reads until every holder of the write end (the collector and its
  // post-processing children) has closed it.
  std::thread([out = output_] {
    char buf[4096];
    ssize_t n;
    while ((n = read(out->fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) {
        std::lock_guard<std::mutex> lock(out->mutex);
        out->text.append(buf, static_cast<size_t>(n));
      }
    }
    out->eof = true;
  }).detach();
}

std::string CollectorProcess::Stderr() {
  if (!output_) {
    return "";
  }
  std::lock_guard<std::mutex> lock(output_->mutex);
  return output_->text;
}

bool CollectorProcess::Running() {
  if (pid_ <= 0) {
    return false;
  }
  siginfo_t info{};
  // WNOWAIT leaves an ended child to be reaped by WaitExit.
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

std::optional<int> CollectorProcess::WaitExit(std::chrono::milliseconds timeout) {
  int status = 0;
  bool done = WaitFor(
      [&] {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        return r == pid_;
      },
      timeout);
  if (!done) {
    return std::nullopt;
  }
  pid_ = -1;
  // What the collector wrote before it ended is taken in: all of it once
  // the pipe reports its end. A post-processing child may still hold the
  // pipe; then what is in it has been read, and that is all there is of
  // the collector's.
  if (output_ && !WaitFor([&] { return output_->eof.load(); }, std::chrono::seconds(2))) {
    WaitFor([&] { return output_->Drained(); }, std::chrono::seconds(2));
  }
  return status;
}

std::optional<int> CollectorProcess::Stop(int signal) {
  if (pid_ <= 0) {
    return std::nullopt;
  }
  kill(pid_, signal);
  return WaitExit();
}

UdpClient::UdpClient(const std::string &sourceAddress) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, sourceAddress.c_str(), &addr.sin_addr);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind client to " + sourceAddress);
  }
}

UdpClient::~UdpClient() {
  close(fd_);
}

void UdpClient::Send(const std::vector<uint8_t> &datagram, int port,
                     const std::string &destination) {
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, destination.c_str(), &addr.sin_addr);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&addr),
         sizeof addr);
}

std::optional<std::vector<uint8_t>> UdpClient::Receive(std::chrono::milliseconds timeout) {
  struct pollfd pfd = {fd_, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> buf(65536);
  ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  if (n < 0) {
    return std::nullopt;
  }
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::optional<std::vector<uint8_t>> UdpClient::Exchange(const std::vector<uint8_t> &datagram,
                                                        int port,
                                                        std::chrono::milliseconds timeout) {
  Send(datagram, port);
  return Receive(timeout);
}

}  // namespace testsupport
