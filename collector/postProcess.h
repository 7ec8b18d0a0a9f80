// Post-processing of finished dumps. Every finished dump is handed to the
// operator's script in a child process of its own, while the collector goes
// on serving. Any host can finish dumps, so the children running at once
// are bounded; a dump finished while the bound is reached waits, in order,
// for a running script to end. None is dropped while the collector runs.
#ifndef TARNWELL_POST_PROCESS_H
#define TARNWELL_POST_PROCESS_H

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class PostProcessor {
 public:
  // script is run through the shell as "script dump >> logFile" (both
  // quoted where needed); socketFd is closed in the children.
  PostProcessor(std::string script, std::string logFile, int socketFd, int32_t maxRunning);
  // Neither waits for nor stops the children.
  ~PostProcessor();
  PostProcessor(const PostProcessor &) = delete;
  PostProcessor &operator=(const PostProcessor &) = delete;

  // A finished dump of sender ip (host byte order) from slot.
  void Submit(uint32_t ip, int32_t slot, const char *path);
  // Appends one descriptor per running child; it turns readable when the
  // child has ended. Hand the polled entries back to OnPolled.
  void AppendPollFds(std::vector<struct pollfd> *fds) const;
  // Forgets the children whose descriptors report their end and starts
  // waiting dumps in their place. fds are the entries AppendPollFds added.
  void OnPolled(const struct pollfd *fds, size_t count);
  // Starts waiting dumps while there is room: after a failed fork, the
  // dump stays first in line and this tries again.
  void Pump();
  // At a stop: every waiting dump is logged as not processed and dropped;
  // then the running children are waited for, until they have all ended or
  // one of the signals that waitMask lets in arrives.
  void Finish(const sigset_t *waitMask);

  // True while path waits for its script or its script runs.
  bool Busy(const std::string &path) const;
  size_t Running() const { return running_.size(); }
  size_t Waiting() const { return waiting_.size(); }

 private:
  struct Job {
    uint32_t ip;
    int32_t slot;
    std::string path;
  };
  struct Child {
    pid_t pid;
    int lifeline;  // read end of a pipe whose write end only the child holds
    Job job;
  };

  bool Start(const Job &job);
  [[noreturn]] void RunInChild(const Job &job);

  std::string script_;
  std::string logFile_;
  int socketFd_;
  size_t maxRunning_;
  std::vector<Child> running_;
  std::deque<Job> waiting_;
};

// Quotes text for the shell unless it holds only characters that need none.
std::string TarnwellShellQuote(const std::string &text);

#endif  // TARNWELL_POST_PROCESS_H
