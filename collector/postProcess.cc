// Running the post-processing script on finished dumps, a bounded number at
// a time.
//
// The collector ignores SIGCHLD, so ended children are reaped by the kernel
// and never linger; it learns that a child has ended from a pipe instead:
// the child alone holds the write end, so the read end reports end of file
// once the child is gone, however it ended. The write end is close-on-exec,
// so the shell and the script never hold it.

#include "postProcess.h"

#include <brellis/err.h>
#include <brellis/log.h>
#include <brellis/str.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tarnwell.h"

namespace {

bool NeedsNoQuoting(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         strchr("/._+,:@=%-", c) != nullptr;
}

}  // namespace

std::string TarnwellShellQuote(const std::string &text) {
  bool plain = !text.empty();
  for (char c : text) {
    plain = plain && NeedsNoQuoting(c);
  }
  if (plain) {
    return text;
  }
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += "'";
  return out;
}

PostProcessor::PostProcessor(std::string script, std::string logFile, int socketFd,
                             int32_t maxRunning)
    : script_(std::move(script)),
      logFile_(std::move(logFile)),
      socketFd_(socketFd),
      maxRunning_(maxRunning > 0 ? static_cast<size_t>(maxRunning) : 1) {}

PostProcessor::~PostProcessor() {
  for (const Child &c : running_) {
    close(c.lifeline);
  }
}

void PostProcessor::Submit(uint32_t ip, int32_t slot, const char *path) {
  waiting_.push_back(Job{ip, slot, path});
  if (running_.size() >= maxRunning_) {
    Log_Info("Post-processing of %s waits: %zu scripts are running, %zu dumps wait.\n", path,
             running_.size(), waiting_.size());
    return;
  }
  Pump();
}

void PostProcessor::Pump() {
  while (!waiting_.empty() && running_.size() < maxRunning_) {
    if (!Start(waiting_.front())) {
      return;  // tried again when a child ends or at the next sweep
    }
    waiting_.pop_front();
  }
}

bool PostProcessor::Start(const Job &job) {
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0) {
    Log_Info("Cannot fork for post processing %u.%u.%u.%u, slot %d: %s.\n", IP_OCTETS(job.ip),
             job.slot, Err_Errno2String(errno));
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(lifeline[0]);
    close(lifeline[1]);
    Log_Info("Cannot fork for post processing %u.%u.%u.%u, slot %d: %s.\n", IP_OCTETS(job.ip),
             job.slot, Err_Errno2String(err));
    return false;
  }
  if (pid == 0) {
    // The write end stays open in the child until it ends.
    close(lifeline[0]);
    RunInChild(job);
  }
  close(lifeline[1]);
  running_.push_back(Child{pid, lifeline[0], job});
  return true;
}

void PostProcessor::RunInChild(const Job &job) {
  // The child runs one script and ends; it must not serve the port, and
  // system() needs SIGCHLD back to report the script's real status.
  if (socketFd_ >= 0) {
    close(socketFd_);
  }
  for (const Child &c : running_) {
    close(c.lifeline);
  }
  signal(SIGCHLD, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  std::string script = TarnwellShellQuote(script_);
  std::string dump = TarnwellShellQuote(job.path);
  std::string log = TarnwellShellQuote(logFile_);
  char *command = Str_Asprintf(nullptr, "%s %s >> %s", script.c_str(), dump.c_str(), log.c_str());
  if (command == nullptr) {
    Log_Info("Out of memory!. Couldn't allocate space for post-processing command.\n");
    _exit(0);
  }
  Log_Info("Post-processing %u.%u.%u.%u, slot %d: '%s'\n", IP_OCTETS(job.ip), job.slot, command);
  int rc = system(command);
  if (rc < 0) {
    Log_Info("Error while post-processing %u.%u.%u.%u, slot %d: %s.\n", IP_OCTETS(job.ip), job.slot,
             Err_Errno2String(errno));
  } else {
    Log_Info("Error while post-processing %u.%u.%u.%u, slot %d: rc=%d.\n", IP_OCTETS(job.ip),
             job.slot, rc);
  }
  free(command);
  _exit(0);
}

void PostProcessor::AppendPollFds(std::vector<struct pollfd> *fds) const {
  for (const Child &c : running_) {
    fds->push_back({c.lifeline, POLLIN, 0});
  }
}

void PostProcessor::OnPolled(const struct pollfd *fds, size_t count) {
  bool ended = false;
  // Entries match running_ in order; removing from the back keeps the
  // indices of those not yet looked at.
  for (size_t i = count; i-- > 0;) {
    if (i >= running_.size() || fds[i].fd != running_[i].lifeline || fds[i].revents == 0) {
      continue;
    }
    close(running_[i].lifeline);
    running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
    ended = true;
  }
  if (ended) {
    Pump();
  }
}

void PostProcessor::Finish(const sigset_t *waitMask) {
  if (!waiting_.empty()) {
    Log_Info("Stopping with %zu finished dumps not post-processed:\n", waiting_.size());
    for (const Job &job : waiting_) {
      Log_Info("Not post-processed: %s (from %u.%u.%u.%u, slot %d)\n", job.path.c_str(),
               IP_OCTETS(job.ip), job.slot);
    }
    waiting_.clear();
  }
  if (running_.empty()) {
    return;
  }
  Log_Info("Waiting for %zu post-processing scripts to finish.\n", running_.size());
  std::vector<struct pollfd> fds;
  while (!running_.empty()) {
    fds.clear();
    AppendPollFds(&fds);
    // A second signal may have come before the stop signals were blocked.
    int ready = stopSignalsSeen > 1 ? -1 : ppoll(fds.data(), fds.size(), nullptr, waitMask);
    if (ready < 0) {
      if (stopSignalsSeen > 1 || errno == EINTR) {
        Log_Info("Stopped waiting for %zu post-processing scripts.\n", running_.size());
      } else {
        Log_Info("Cannot wait for post-processing scripts: %s.\n", Err_Errno2String(errno));
      }
      return;
    }
    OnPolled(fds.data(), fds.size());
  }
}

bool PostProcessor::Busy(const std::string &path) const {
  for (const Child &c : running_) {
    if (c.job.path == path) {
      return true;
    }
  }
  for (const Job &j : waiting_) {
    if (j.path == path) {
      return true;
    }
  }
  return false;
}
