// Who holds a lock file: this host's machine id and the execution ids of
// processes, which tell a lock of a live process from the debris of a dead
// one.

#include <brellis/err.h>
#include <brellis/hostinfo.h>
#include <brellis/log.h>
#include <brellis/posix.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include "file/fileInt.h"
#include "file/fileLockInt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

using fileint::UniqueChars;

namespace {

constexpr size_t kMaxCommandName = 64;  // with its parentheses
constexpr int kStartTimeField = 20;     // counted from the field after ") "

std::string Base64(const unsigned char *data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    uint32_t n = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < size) n |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) n |= data[i + 2];
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[n & 63] : '=';
  }
  return out;
}

bool ProcessGone(int pid) {
  return kill(pid, 0) == -1 && errno == ESRCH;
}

// "pid-starttime(command)" from one /proc stat line, or empty when the
// line does not have that shape.
std::string ExecutionIDFromStat(int pid, std::string_view line) {
  size_t open = line.find(" (");
  size_t close = line.rfind(") ");
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open) {
    return {};
  }
  std::string command(line.substr(open + 1, close - open));
  for (char &c : command) {
    if (c == ' ') c = '_';
  }
  if (command.size() > kMaxCommandName) {
    command.resize(kMaxCommandName);
    command.back() = ')';
  }
  std::string_view rest = line.substr(close + 2);
  for (int field = 1; field < kStartTimeField; field++) {
    size_t space = rest.find(' ');
    if (space == std::string_view::npos) {
      return {};
    }
    rest.remove_prefix(space + 1);
  }
  std::string_view start = rest.substr(0, rest.find(' '));
  if (start.empty() || start.find_first_not_of("0123456789") != std::string_view::npos) {
    return {};
  }
  return std::to_string(pid) + "-" + std::string(start) + command;
}

}  // namespace

const char *FileLockGetMachineID() {
  static std::atomic<char *> cached{nullptr};
  char *id = cached.load(std::memory_order_acquire);
  if (id != nullptr) {
    return id;
  }
  uint32_t hash;
  uint64_t hardware;
  Hostinfo_MachineID(&hash, &hardware);
  unsigned char raw[sizeof hash + sizeof hardware];
  memcpy(raw, &hash, sizeof hash);
  memcpy(raw + sizeof hash, &hardware, sizeof hardware);
  std::string text = Base64(raw, sizeof raw);
  for (char &c : text) {
    if (c == '/') c = '-';  // it becomes part of a file's text, never of a path
  }
  char *mine = fileint::Dup(text);
  char *expected = nullptr;
  if (!cached.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
    free(mine);
    return expected;
  }
  return mine;
}

bool FileLockMachineIDMatch(const char *hostMachineID, const char *otherMachineID) {
  if (strncmp(otherMachineID, "uuid=", 5) == 0) {
    return false;  // this host never writes that form
  }
  return strcmp(hostMachineID, otherMachineID) == 0;
}

char *FileLockProcessExecutionID(int pid) {
  if (ProcessGone(pid)) {
    return nullptr;
  }
  char path[64];
  Str_Sprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::string id;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd != -1) {
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n > 0) {
      std::string_view line(buf, static_cast<size_t>(n));
      id = ExecutionIDFromStat(pid, line.substr(0, line.find('\n')));
    }
  }
  if (id.empty()) {
    id = std::to_string(pid) + "-0";
  }
  return fileint::Dup(id);
}

bool FileLockValidExecutionID(const char *executionID) {
  int pid;
  unsigned long long storedTime = 0;
  int fields = sscanf(executionID, "%d-%llu", &pid, &storedTime);
  if (fields < 1 || pid < 0) {
    Log_Warning("FILE: %s parse error on '%s'. Assuming valid.\n", "FileLockValidExecutionID",
                executionID);
    return true;
  }
  UniqueChars current(FileLockProcessExecutionID(pid));
  if (current == nullptr) {
    return false;
  }
  unsigned long long currentTime = 0;
  sscanf(current.get(), "%*d-%llu", &currentTime);
  // A different start time is a later process that was given the same id.
  return storedTime == 0 || currentTime == 0 || storedTime == currentTime;
}

uint32_t FileSleeper(uint32_t minMs, uint32_t maxMs) {
  uint32_t ms = minMs;
  if (maxMs > minMs) {
    ms +=
        static_cast<uint32_t>((static_cast<uint64_t>(FileSimpleRandom()) * (maxMs - minMs)) >> 32);
  }
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
  return ms;
}
