// The log file's lifecycle: the initialisation parameters and the
// configuration keys that complete them, choosing and opening the file with
// its safety checks, the header block that starts every log file, and the
// size rotation.

#include "log/logInt.h"

#include <brellis/codeset.h>
#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/hostinfo.h>
#include <brellis/internal/freeDeleter.h>
#include <brellis/internal/newHandler.h>
#include <brellis/internal/productInfo.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/panic.h>
#include <brellis/posix.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

using brellis::UniqueChars;

constexpr char kBuild[] = "build-3904909";
constexpr char kBuildOption[] = "Release";
constexpr char kDestinationKey[] = "log.destination";

char *CopyOrNull(const char *text) {
  return Util_SafeStrdup(-1, text, __FILE__, __LINE__);
}

void Replace(char **field, char *value) {
  free(*field);
  *field = value;
}

bool IsEmpty(const char *text) {
  return text == nullptr || *text == '\0';
}

// ---- Configuration keys ----------------------------------------------

// A key is read under its plain name first and, when that leaves it unset,
// under the application's name followed by the key.
class KeyReader {
 public:
  explicit KeyReader(const char *appName) : app_(IsEmpty(appName) ? nullptr : appName) {}

  // -1 when neither name is set.
  int32_t TriState(const char *key) const {
    int32_t value = Config_GetTriState(-1, "%s", key);
    if (value == -1 && app_ != nullptr) {
      value = Config_GetTriState(-1, "%s.%s", app_, key);
    }
    return value;
  }
  // Negative when neither name holds a value of 0 or more.
  int32_t Long(const char *key) const {
    int32_t value = Config_GetLong(-1, "%s", key);
    if (value < 0 && app_ != nullptr) {
      value = Config_GetLong(-1, "%s.%s", app_, key);
    }
    return value;
  }
  bool Bool(bool defaultValue, const char *key) const {
    if (!Config_NotSet("%s", key) || app_ == nullptr) {
      return Config_GetBool(defaultValue, "%s", key);
    }
    return Config_GetBool(defaultValue, "%s.%s", app_, key);
  }
  void Flag(const char *key, bool *field) const {
    int32_t value = TriState(key);
    if (value != -1) {
      *field = value != 0;
    }
  }
  void Number(const char *key, int32_t *field) const {
    int32_t value = Long(key);
    if (value >= 0) {
      *field = value;
    }
  }
  const char *app() const { return app_; }

 private:
  const char *app_;
};

enum class Destination { kUnset, kNone, kFile, kFileAndLogger, kLogger };

// The plain key only knows "none" and "syslog"; the application's own key
// also chooses the file, alone or with the system logger. Anything else is
// reported and means the file.
Destination ParseDestination(const char *key, const char *value, bool plain) {
  std::string_view v(value);
  if (v == "none") {
    return Destination::kNone;
  }
  if (v == "syslog") {
    return Destination::kLogger;
  }
  if (!plain && v == "disk") {
    return Destination::kFile;
  }
  if (!plain && (v == "disk-and-syslog" || v == "syslog-and-disk")) {
    return Destination::kFileAndLogger;
  }
  Log_Info("%s: invalid %s content (%s); ignored\n", "LogGetDestination", key, value);
  return Destination::kFile;
}

Destination ReadDestination(const KeyReader &keys) {
  UniqueChars value(Config_GetString(nullptr, "%s", kDestinationKey));
  if (value != nullptr) {
    return ParseDestination(kDestinationKey, value.get(), true);
  }
  if (keys.app() == nullptr) {
    return Destination::kUnset;
  }
  UniqueChars key(Str_SafeAsprintf(nullptr, "%s.%s", keys.app(), kDestinationKey));
  value.reset(Config_GetString(nullptr, "%s", key.get()));
  return value != nullptr ? ParseDestination(key.get(), value.get(), false) : Destination::kUnset;
}

void NoFile(LogInitParams *params) {
  params->fileName = nullptr;
  params->config = nullptr;
}

// ---- Opening the file ------------------------------------------------

// Opens path for appending. A symbolic link in its place is refused before
// anything is opened, and the open itself does not follow one, so no file
// is ever created through a planted link; a file swapped between the open
// and the check is refused too. Returns the descriptor or -1, with the
// reason appended to messages (when given).
int LogOpenLogFile(const char *path, MsgList **messages) {
  struct stat byPath;
  if (Posix_Lstat(path, &byPath) == 0 && S_ISLNK(byPath.st_mode)) {
    MsgList_Append(messages, "@&!*@*@(msg.log.openIsLink)Log file '%s' is a symbolic link.\n",
                   path);
    return -1;
  }
  int fd = Posix_Open(path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) {
    int error = errno;
    if (error == ELOOP && Posix_Lstat(path, &byPath) == 0 && S_ISLNK(byPath.st_mode)) {
      MsgList_Append(messages, "@&!*@*@(msg.log.openIsLink)Log file '%s' is a symbolic link.\n",
                     path);
    } else {
      MsgList_Append(messages,
                     "@&!*@*@(msg.log.openFailed)Cannot open or create the log file '%s': %s\n",
                     path, Err_Errno2String(error));
    }
    return -1;
  }
  struct stat byFd;
  if (fstat(fd, &byFd) == -1) {
    MsgList_Append(messages, "@&!*@*@(msg.log.openFstatFailed)Cannot fstat the file %s: '%s'\n",
                   path, Err_ErrString());
  } else if (Posix_Lstat(path, &byPath) == -1) {
    MsgList_Append(messages, "@&!*@*@(msg.log.openLstatFailed)Cannot stat the file %s: '%s'\n",
                   path, Err_ErrString());
  } else if (S_ISLNK(byPath.st_mode)) {
    MsgList_Append(messages, "@&!*@*@(msg.log.openIsLink)Log file '%s' is a symbolic link.\n",
                   path);
  } else if (byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) {
    MsgList_Append(messages, "@&!*@*@(msg.log.openChanged)Log file '%s' has changed.\n", path);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

uint64_t SizeOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The file the record asks for: the value of its configuration key, else
// its file name, else a name of this process in the user's private
// temporary directory (isDefault set). NULL when no file is wanted.
// Chosen before the log's lock is taken: the configuration and the
// temporary directory have locks of their own and log under them.
UniqueChars LogChooseFileName(const LogInitParams &params, bool *isDefault) {
  *isDefault = false;
  bool haveF = !IsEmpty(params.fileName);
  bool haveK = !IsEmpty(params.config);
  if ((!haveF && !haveK) || params.systemLoggerUse == 2) {
    return nullptr;
  }
  if (haveK) {
    UniqueChars configured(Config_GetString(nullptr, "%s", params.config));
    if (!IsEmpty(configured.get())) {
      return configured;
    }
  }
  if (haveF) {
    return UniqueChars(CopyOrNull(params.fileName));
  }
  UniqueChars dir(File_GetSafeTmpDir(true));
  if (dir == nullptr) {
    Panic("Cannot get temporary directory for log file.\n");
  }
  bool prefixed = !IsEmpty(params.appPrefix);
  UniqueChars pattern(Str_Asprintf(nullptr, "%s%s%s-$PID.log", "brellis", prefixed ? "-" : "",
                                   prefixed ? params.appPrefix : ""));
  UniqueChars base(pattern != nullptr ? Util_ExpandString(pattern.get()) : nullptr);
  UniqueChars name(base != nullptr ? File_PathJoin(dir.get(), base.get()) : nullptr);
  if (name == nullptr) {
    Panic("Cannot get log file name.\n");
  }
  *isDefault = true;
  return name;
}

// Sets the output at initialisation (no log file is open): file name F,
// configuration key K, fileNameAbsent A, system logger use M and identity
// S from the record, and the file name N already chosen from them.
bool LogSetOutput(LogState &st, const LogInitParams &params, UniqueChars name, bool isDefault,
                  MsgList **messages) {
  const char *f = params.fileName;
  const char *k = params.config;
  int32_t m = params.systemLoggerUse;
  bool ok = false;
  if ((IsEmpty(f) && IsEmpty(k)) || m == 2) {
    // No file wanted: the system logger alone, or no output at all. A file
    // named along with the system logger alone is not wanted either; the
    // system logger is still set up, not silently left out.
    ok = m != 1 && (m != 2 || params.systemLoggerID[0] != '\0');
    if (ok) {
      st.systemLoggerUse = m;
      Str_Strcpy(st.systemLoggerID, params.systemLoggerID, sizeof st.systemLoggerID);
    }
  } else {
    int fd = -1;
    bool triedAppend = false;
    if (st.append) {
      fd = LogOpenLogFile(name.get(), messages);
      triedAppend = true;
      if (fd == -1 && IsEmpty(f)) {
        st.append = false;
      }
    }
    if (fd == -1 && st.keepOld != 0 && !isDefault && params.fileNameAbsent && !st.append) {
      File_Rotate(name.get(), st.keepOld, st.fastRotation, nullptr);
    }
    // An explicit file that could not be opened for appending is not tried
    // a second time in the same way.
    if (fd == -1 && !(triedAppend && st.append)) {
      fd = LogOpenLogFile(name.get(), messages);
    }
    if (fd != -1 && params.fileNameAbsent && !st.append && ftruncate(fd, 0) != 0) {
      close(fd);
      Posix_Unlink(name.get());
      fd = -1;
    }
    if (fd != -1) {
      st.fd = fd;
      st.headerPending = true;
      Replace(&st.fileName, name.release());
      st.defaultName = isDefault;
      st.systemLoggerUse = m;
      Str_Strcpy(st.systemLoggerID, params.systemLoggerID, sizeof st.systemLoggerID);
      st.fileSize = SizeOf(fd);
      ok = true;
    }
  }
  if (!ok) {
    auto orNull = [](const char *s) { return s != nullptr ? s : "<NULL>"; };
    MsgList_Append(messages,
                   "@&!*@*@(msg.log.setOutputFailed)Unable to establish log output as "
                   "specified.\nParameters:\nfileName (%s)\nconfig (%s)\nsystemLoggerID (%s)\n"
                   "systemLoggerUse %u\n",
                   orNull(f), orNull(k), params.systemLoggerID, static_cast<unsigned>(m));
  }
  return ok;
}

// Back to the state of program start; the lock, the spare buffers, the
// lines waiting in the ring and the host facts stay.
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
  st.rotateRetrySize = 0;
}

// The collected messages join the thread's pending messages, as every
// module's do, which logs each of them in the order they were produced.
void LogCollected(MsgList *messages) {
  Msg_AppendMsgList(messages);
  MsgList_Free(messages);
}

}  // namespace

bool LogWriteHeader(LogState *st) {
  char prefix[kLogNoticeBufferSize];
  size_t p = LogMakeInfoPrefix(st, prefix, sizeof prefix);
  char line[kLogNoticeBufferSize + 512];
  bool complete = true;
  auto put = [&](const char *format, auto... args) {
    memcpy(line, prefix, p);
    // One byte is held back so that a line cut short still ends the line.
    int n = Str_Snprintf(line + p, sizeof line - p - 1, format, args...);
    size_t len = n >= 0 ? p + static_cast<size_t>(n) : strlen(line);
    if (n < 0) {
      line[len++] = '\n';
    }
    complete = LogWriteFile(st, line, len) == len && complete;
  };
  auto orEmpty = [](const char *s) { return s != nullptr ? s : ""; };
  auto orUnknown = [](const char *s) { return s != nullptr ? s : "unknown"; };
  put("Log for %s pid=%d version=%s build=%s option=%s\n", orEmpty(st->appName),
      static_cast<int>(getpid()), orEmpty(st->appVersion), kBuild, kBuildOption);
  put("The process is %zu-bit.\n", sizeof(void *) * 8);
  put("Host codepage=%s encoding=%s\n", orUnknown(st->hostCodeSet), orUnknown(st->hostEncoding));
  if (!st->useTimeStamps) {
    char stamp[64];
    LogTimeStampText(st, stamp, sizeof stamp);
    put("Log creation time is %s\n", static_cast<const char *>(stamp));
  }
  put("Host is %s\n", orUnknown(st->hostOSName));
  return complete;
}

void LogRotateBySize(LogState *st) {
  if (st->fileSize <= st->rotateSize || st->fileSize <= st->rotateRetrySize || st->rotating ||
      st->fileName == nullptr || st->fd < 0) {
    return;
  }
  // Asked only once the file is due, so the line path pays nothing for it.
  if (getpid() != st->ownerPid) {
    return;
  }
  st->rotating = true;
  if (st->keepOld != 0) {
    File_Rotate(st->fileName, st->keepOld, st->fastRotation, nullptr);
  }
  int fd = LogOpenLogFile(st->fileName, nullptr);
  bool switched = false;
  if (fd != -1) {
    // The new file takes the log's descriptor number, keeping close-on-exec.
    switched = dup3(fd, st->fd, O_CLOEXEC) != -1;
    close(fd);
  }
  bool ok = switched;
  if (switched) {
    st->fileSize = 0;
    st->discardedBytes = 0;
    st->rotateRetrySize = 0;
    ok = LogWriteHeader(st);
  }
  if (!ok) {
    Msg_Append(
        "@&!*@*@(msg.log.switchFailed)Unable to open the log file \"%s\". Make sure that the "
        "path specified for the log file is valid, and that you have write privileges in this "
        "directory.\n",
        st->fileName);
    // Lines keep going to the file the log has; stopping file output for
    // good would lose them all over a passing condition.
    st->rotateRetrySize = st->fileSize + st->rotateSize;
  }
  st->rotating = false;
}

extern "C" {

void Log_GetInitDefaults(LogInitParams *params) {
  memset(params, 0, sizeof *params);
  params->magic = LOG_INIT_PARAMS_MAGIC;
  params->appName = ProductInfoName();
  params->appVersion = ProductInfoVersion();
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
  KeyReader keys(appName);
  if (!keys.Bool(true, "logging")) {
    NoFile(params);
    params->systemLoggerUse = 0;
    return;
  }
  switch (ReadDestination(keys)) {
    case Destination::kNone:
      NoFile(params);
      params->systemLoggerUse = 0;
      return;
    case Destination::kLogger:
      NoFile(params);
      params->systemLoggerUse = 2;
      break;
    case Destination::kFile:
      params->systemLoggerUse = 0;
      break;
    case Destination::kFileAndLogger:
      params->systemLoggerUse = 1;
      break;
    case Destination::kUnset:
      break;
  }

  const char *identity = keys.app() != nullptr ? keys.app() : "brellis";
  UniqueChars id(keys.app() != nullptr ? Config_GetString(nullptr, "%s.log.syslogID", keys.app())
                                       : nullptr);
  Str_Snprintf(params->systemLoggerID, sizeof params->systemLoggerID, "%s",
               IsEmpty(id.get()) ? identity : id.get());

  keys.Number("log.stderrMinLevel", &params->stderrMinLevel);
  keys.Number("log.logMinLevel", &params->logMinLevel);
  keys.Flag("log.useTimeStamps", &params->useTimeStamps);
  keys.Flag("log.useMilliseconds", &params->useMilliseconds);
  keys.Flag("log.useThreadName", &params->useThreadName);
  keys.Flag("log.useLevelDesignator", &params->useLevelDesignator);
  int32_t threshold = keys.Long("log.throttleThreshold");
  if (threshold >= 0) {
    params->throttleThreshold = static_cast<uint32_t>(threshold);
  }
  bool loggerOnly = params->systemLoggerUse == 2;
  if (!loggerOnly) {
    int32_t rate = keys.Long("log.throttleBytesPerSec");
    if (rate >= 0) {
      params->throttleBytesPerSec = rate == 0 ? -1 : rate;
    }
  }
  if (keys.TriState("log.noLogAfterThreshold") == 1) {
    params->throttleBytesPerSec = 0;
  }
  if (loggerOnly) {
    return;
  }
  keys.Flag("log.keep", &params->keep);
  keys.Flag("log.append", &params->append);
  keys.Number("log.keepOld", &params->keepOld);
  keys.Number("log.rotateSize", &params->rotateSize);
  keys.Flag("log.fastRotation", &params->fastRotation);
  keys.Flag("log.syncAfterWrite", &params->syncAfterWrite);
}

bool Log_InitWithParams(const LogInitParams *params) {
  UtilInstallNewHandler();
  MXUserRecLock *lock = LogLock();
  if (lock == nullptr) {
    return false;
  }
  LogState &st = logState;
  // What other modules provide is gathered before the lock is taken: they
  // have locks of their own and log while holding them.
  bool isDefault;
  UniqueChars name = LogChooseFileName(*params, &isDefault);
  const char *codeSet = CodeSet_GetCurrentCodeSet();
  int encoding = Unicode_GetCurrentEncoding();
  const char *encodingName =
      encoding == STRING_ENCODING_UNKNOWN ? nullptr : Unicode_EncodingEnumToName(encoding);
  UniqueChars osName(Hostinfo_OSFullName());

  MsgList *messages = nullptr;
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
    st.rotateRetrySize = 0;
    st.rotating = false;
    Replace(&st.fileName, nullptr);
    st.defaultName = false;
    if (params->systemLoggerUse == 2) {
      st.rotateSize = 0;
      st.keepOld = 0;
      st.append = false;
      st.fastRotation = false;
      Replace(&st.appName, nullptr);
      Replace(&st.appVersion, nullptr);
      Replace(&st.appPrefix, nullptr);
    } else {
      Replace(&st.appName, CopyOrNull(params->appName));
      Replace(&st.appVersion, CopyOrNull(params->appVersion));
      Replace(&st.appPrefix, CopyOrNull(params->appPrefix));
      st.keep = params->keep;
      st.syncAfterWrite = params->syncAfterWrite;
      st.append = params->append;
      st.keepOld = params->keepOld;
      st.rotateSize = params->rotateSize > 0 ? static_cast<uint64_t>(params->rotateSize) : 0;
      // The record's rotation scheme is honoured, at start and by size.
      st.fastRotation = params->fastRotation;
    }
    st.hostCodeSet = codeSet;
    st.hostEncoding = encodingName;
    Replace(&st.hostOSName, osName.release());
    ok = LogSetOutput(st, *params, std::move(name), isDefault, &messages);
    if (ok) {
      LogAllocateBuffers(&st);
      st.ownerPid = getpid();
      st.initialised = true;
    } else {
      LogResetState(st);
    }
  }
  LogCollected(messages);
  return ok;
}

bool Log_InitWithFile(const char *fileName, const char *appName) {
  UtilInstallNewHandler();
  LogInitParams params;
  Log_GetInitDefaults(&params);
  params.fileName = fileName;
  params.fileNameAbsent = IsEmpty(fileName);
  params.config = nullptr;
  params.appPrefix = nullptr;
  LogGetDestination(appName, &params);
  return Log_InitWithParams(&params);
}

const char *Log_GetFileName(void) {
  LockHeld held(LogLock());
  return logState.fileName;
}

void Log_TakeOverAfterFork(void) {
  LockHeld held(LogLock());
  logState.ownerPid = getpid();
}

void Log_CopyToStderr(void) {
  LogState &st = logState;
  int32_t level = st.logMinLevel.load(std::memory_order_relaxed);
  if (level > st.stderrMinLevel.load(std::memory_order_relaxed)) {
    st.stderrMinLevel.store(level, std::memory_order_relaxed);
  }
}

void Log_SetKeep(bool keep) {
  LockHeld held(LogLock());
  LogState &st = logState;
  if (st.initialised && st.systemLoggerUse != 2) {
    st.keep = keep;
  }
}

}  // extern "C"
