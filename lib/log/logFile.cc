// The log file's lifecycle: the initialisation parameters, choosing and
// opening the file with its safety checks, the header block that starts
// every log file and the reopening after a size rotation.

#include "log/logInt.h"

#include <brellis/err.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
using OwnedText = std::unique_ptr<char, FreeDeleter>;

// The messages produced while the output is being set up; they are logged
// once the log can take them.
using LogMessages = std::vector<OwnedText>;

constexpr char kMessageMark[] = "@&!*@*@(";

void AddMessage(LogMessages *messages, OwnedText text) {
  if (messages != nullptr && text != nullptr) {
    messages->push_back(std::move(text));
  }
}

// Logs one collected message as "[id] text", with a line end.
void LogMessage(const char *message) {
  std::string_view text(message);
  std::string_view id;
  if (text.starts_with(kMessageMark)) {
    size_t close = text.find(')');
    if (close != std::string_view::npos) {
      id = text.substr(sizeof kMessageMark - 1, close - (sizeof kMessageMark - 1));
      text.remove_prefix(close + 1);
    }
  }
  Log_Info("[%.*s] %.*s%s", static_cast<int>(id.size()), id.data(), static_cast<int>(text.size()),
           text.data(), text.ends_with('\n') ? "" : "\n");
}

char *CopyOrNull(const char *text) {
  return Util_SafeStrdup(-1, text, __FILE__, __LINE__);
}

void Replace(char **field, char *value) {
  free(*field);
  *field = value;
}

// Opens path for appending, refusing a symbolic link in its place or a file
// swapped between the open and the check. Returns the descriptor or -1.
int LogOpenLogFile(const char *path, LogMessages *messages) {
  int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd == -1) {
    int error = errno;
    struct stat st;
    if (error == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
      AddMessage(messages, OwnedText(Str_Asprintf(
                               nullptr, "%smsg.log.openIsLink)Log file '%s' is a symbolic link.\n",
                               kMessageMark, path)));
    } else {
      AddMessage(messages,
                 OwnedText(Str_Asprintf(
                     nullptr, "%smsg.log.openFailed)Cannot open or create the log file '%s': %s\n",
                     kMessageMark, path, Err_Errno2String(error))));
    }
    return -1;
  }
  struct stat byFd;
  struct stat byPath;
  OwnedText failure;
  if (fstat(fd, &byFd) == -1) {
    failure.reset(Str_Asprintf(nullptr,
                               "%smsg.log.openFstatFailed)Cannot fstat the file %s: '%s'\n",
                               kMessageMark, path, Err_ErrString()));
  } else if (lstat(path, &byPath) == -1) {
    failure.reset(Str_Asprintf(nullptr, "%smsg.log.openLstatFailed)Cannot stat the file %s: '%s'\n",
                               kMessageMark, path, Err_ErrString()));
  } else if (S_ISLNK(byPath.st_mode)) {
    failure.reset(Str_Asprintf(nullptr, "%smsg.log.openIsLink)Log file '%s' is a symbolic link.\n",
                               kMessageMark, path));
  } else if (byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) {
    failure.reset(Str_Asprintf(nullptr, "%smsg.log.openChanged)Log file '%s' has changed.\n",
                               kMessageMark, path));
  } else {
    return fd;
  }
  close(fd);
  AddMessage(messages, std::move(failure));
  return -1;
}

uint64_t SizeOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Sets the output at initialisation: file name F, configuration key K,
// fileNameAbsent A, system logger use M and identity S.
bool LogSetOutput(LogState &st, const LogInitParams &params, LogMessages *messages) {
  const char *f = params.fileName;
  const char *k = params.config;
  bool haveF = f != nullptr && *f != '\0';
  bool haveK = k != nullptr && *k != '\0';
  int32_t m = params.systemLoggerUse;
  bool ok = false;
  if (!haveF && !haveK) {
    // No file wanted.
    ok = m != 1 && (m != 2 || params.systemLoggerID[0] != '\0');
    if (ok) {
      st.systemLoggerUse = m;
      Str_Strcpy(st.systemLoggerID, params.systemLoggerID, sizeof st.systemLoggerID);
    }
  } else if (m == 2) {
    ok = true;
  } else {
    OwnedText name;
    if (haveK) {
      name.reset(Config_GetString(nullptr, "%s", k));
      if (name != nullptr && *name == '\0') {
        name.reset();
      }
    }
    if (name == nullptr && haveF) {
      name.reset(CopyOrNull(f));
    }
    // A generated default name needs the private temporary directory, which
    // this layer does not provide yet: without a name there is no file.
    int fd = -1;
    if (name != nullptr) {
      if (st.append) {
        fd = LogOpenLogFile(name.get(), messages);
        if (fd == -1 && !haveF) {
          st.append = false;
        }
      }
      if (fd == -1 && !(st.append && haveF)) {
        fd = LogOpenLogFile(name.get(), messages);
      }
      if (fd != -1 && params.fileNameAbsent && !st.append && ftruncate(fd, 0) != 0) {
        close(fd);
        unlink(name.get());
        fd = -1;
      }
    }
    if (fd != -1) {
      st.fd = fd;
      st.headerPending = true;
      Replace(&st.fileName, name.release());
      st.defaultName = false;
      st.systemLoggerUse = m;
      Str_Strcpy(st.systemLoggerID, params.systemLoggerID, sizeof st.systemLoggerID);
      st.fileSize = SizeOf(fd);
      ok = true;
    }
  }
  if (!ok) {
    auto orNull = [](const char *s) { return s != nullptr ? s : "<NULL>"; };
    AddMessage(messages,
               OwnedText(Str_Asprintf(nullptr,
                                      "%smsg.log.setOutputFailed)Unable to establish log output "
                                      "as specified.\nParameters:\nfileName (%s)\nconfig (%s)\n"
                                      "systemLoggerID (%s)\nsystemLoggerUse %u\n",
                                      kMessageMark, orNull(f), orNull(k), params.systemLoggerID,
                                      static_cast<unsigned>(m))));
  }
  return ok;
}

// Back to the state of program start; the lock, the spare buffers and the
// lines waiting in the ring stay.
void LogResetState(LogState &st) {
  if (st.fd >= 0) {
    close(st.fd);
  }
  st.fd = -1;
  st.systemLoggerUse = 0;
  st.logMinLevel.store(120, std::memory_order_relaxed);
  st.stderrMinLevel.store(-1, std::memory_order_relaxed);
  st.useLevelDesignator = true;
  st.throttle = LogThrottleInfo{};
  st.useTimeStamps = st.useThreadName = st.useMilliseconds = false;
  st.partialLine = st.headerPending = st.initialised = false;
  st.fileSize = st.discardedBytes = 0;
  st.syncAfterWrite = false;
  st.systemLoggerID[0] = '\0';
  Replace(&st.fileName, nullptr);
  Replace(&st.appName, nullptr);
  Replace(&st.appVersion, nullptr);
  Replace(&st.appPrefix, nullptr);
  st.defaultName = st.append = st.fastRotation = st.keep = st.rotating = false;
  st.keepOld = 0;
  st.rotateSize = 0;
}

class LockHeld {
 public:
  explicit LockHeld(MXUserRecLock *lock) : lock_(lock) { MXUser_AcquireRecLock(lock_); }
  ~LockHeld() { MXUser_ReleaseRecLock(lock_); }
  LockHeld(const LockHeld &) = delete;
  LockHeld &operator=(const LockHeld &) = delete;

 private:
  MXUserRecLock *lock_;
};

}  // namespace

bool LogWriteHeader(LogState *st) {
  char prefix[kLogNoticeBufferSize];
  size_t p = LogMakeInfoPrefix(st, prefix, sizeof prefix);
  char line[kLogNoticeBufferSize + 512];
  bool complete = true;
  auto put = [&](const char *format, auto... args) {
    memcpy(line, prefix, p);
    int n = Str_Snprintf(line + p, sizeof line - p, format, args...);
    size_t len = n >= 0 ? p + static_cast<size_t>(n) : strlen(line);
    complete = LogWriteFile(st, line, len) == len && complete;
  };
  auto orEmpty = [](const char *s) { return s != nullptr ? s : ""; };
  put("Log for %s pid=%d version=%s build=%s option=%s\n", orEmpty(st->appName),
      static_cast<int>(getpid()), orEmpty(st->appVersion), "build-3904909", "Release");
  put("The process is %zu-bit.\n", sizeof(void *) * 8);
  if (!st->useTimeStamps) {
    char stamp[64];
    LogTimeStampText(st, stamp, sizeof stamp);
    put("Log creation time is %s\n", static_cast<const char *>(stamp));
  }
  return complete;
}

void LogRotateBySize(LogState *st) {
  if (st->fileSize <= st->rotateSize || st->rotating || st->fileName == nullptr) {
    return;
  }
  st->rotating = true;
  int fd = LogOpenLogFile(st->fileName, nullptr);
  bool ok = fd != -1;
  if (ok) {
    st->fileSize = 0;
    st->discardedBytes = 0;
    if (fd != st->fd) {
      ok = dup2(fd, st->fd) != -1;
      close(fd);
    }
    ok = ok && LogWriteHeader(st);
  }
  if (!ok) {
    // File output stops for good; the system logger, if used, goes on.
    close(st->fd);
    st->fd = -1;
  }
  st->rotating = false;
}

extern "C" {

void Log_GetInitDefaults(LogInitParams *params) {
  memset(params, 0, sizeof *params);
  params->magic = LOG_INIT_PARAMS_MAGIC;
  params->appName = "brellis-tarnwell";
  params->appVersion = "XXX";
  params->fileNameAbsent = true;
  params->useThreadName = true;
  params->useTimeStamps = true;
  params->useMilliseconds = true;
  params->useLevelDesignator = true;
  params->stderrMinLevel = -1;
  params->logMinLevel = 120;
  params->keepOld = 3;
  params->throttleThreshold = 1000000;
  params->throttleBytesPerSec = 1000;
}

void LogGetDestination(const char *appName, LogInitParams *params) {
  const char *name = (appName != nullptr && *appName != '\0') ? appName : "brellis";
  char *id = Config_GetString(name, "%s.log.syslogID", name);
  Str_Snprintf(params->systemLoggerID, sizeof params->systemLoggerID, "%s",
               id != nullptr && *id != '\0' ? id : name);
  free(id);
  if (!Config_GetBool(true, "logging")) {
    params->fileName = nullptr;
    params->config = nullptr;
    params->systemLoggerUse = 0;
  }
}

bool Log_InitWithParams(const LogInitParams *params) {
  MXUserRecLock *lock = LogLock();
  if (lock == nullptr) {
    return false;
  }
  LogState &st = logState;
  LogMessages messages;
  bool ok;
  {
    LockHeld held(lock);
    // A second initialisation replaces the first output.
    if (st.fd >= 0) {
      close(st.fd);
      st.fd = -1;
    }
    st.initialised = false;
    st.systemLoggerUse = 0;
    st.partialLine = false;
    st.headerPending = false;
    LogRingCloseTail(&st);
    st.useTimeStamps = params->useTimeStamps;
    st.useMilliseconds = params->useMilliseconds;
    st.useThreadName = params->useThreadName;
    st.useLevelDesignator = params->useLevelDesignator;
    st.stderrMinLevel.store(params->stderrMinLevel, std::memory_order_relaxed);
    st.logMinLevel.store(params->logMinLevel, std::memory_order_relaxed);
    st.throttle = LogThrottleInfo{};
    st.throttle.threshold = params->throttleThreshold;
    st.throttle.bytesPerSec = params->throttleBytesPerSec;
    st.fileSize = 0;
    st.discardedBytes = 0;
    if (params->systemLoggerUse == 2) {
      st.rotateSize = 0;
      st.keepOld = 0;
      st.append = false;
      Replace(&st.appName, nullptr);
      Replace(&st.appVersion, nullptr);
      Replace(&st.appPrefix, nullptr);
      Replace(&st.fileName, nullptr);
    } else {
      Replace(&st.appName, CopyOrNull(params->appName));
      Replace(&st.appVersion, CopyOrNull(params->appVersion));
      Replace(&st.appPrefix, CopyOrNull(params->appPrefix));
      st.keep = params->keep;
      st.syncAfterWrite = params->syncAfterWrite;
      st.append = params->append;
      st.keepOld = params->keepOld;
      // Size rotation moves the old file away with the file layer's
      // rotation, which is not there yet; until it is, files do not rotate.
      st.rotateSize = 0;
    }
    st.fastRotation = false;
    ok = LogSetOutput(st, *params, &messages);
    if (ok) {
      LogAllocateBuffers(&st);
      st.initialised = true;
    } else {
      LogResetState(st);
    }
  }
  for (const OwnedText &message : messages) {
    LogMessage(message.get());
  }
  return ok;
}

bool Log_InitWithFile(const char *fileName, const char *appName) {
  LogInitParams params;
  Log_GetInitDefaults(&params);
  params.fileName = fileName;
  params.fileNameAbsent = fileName == nullptr || *fileName == '\0';
  LogGetDestination(appName, &params);
  return Log_InitWithParams(&params);
}

const char *Log_GetFileName(void) {
  LockHeld held(LogLock());
  return logState.fileName;
}

void Log_SetKeep(bool keep) {
  LockHeld held(LogLock());
  LogState &st = logState;
  if (st.initialised && st.systemLoggerUse != 2) {
    st.keep = keep;
  }
}

}  // extern "C"
