// The process log: level filter, line prefix, line splitting and output to
// the log file, the system logger and standard error.
//
// This is the log's first shape. Lines produced before initialisation wait
// in a list instead of the fixed-size ring, messages are formatted on the
// heap rather than in the stack and spare buffers, and there is no
// throttling, size rotation or full header block yet; the rest of the
// logging layer replaces this file with those in place.

#include <brellis/err.h>
#include <brellis/log.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/vthreadBase.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

extern "C" const LogLevelRow logLevelMap[LOG_LEVEL_MAP_ROWS] = {
    {100, LOG_EMERG, 'E'},  {105, LOG_ERR, 'E'},    {110, LOG_WARNING, 'W'},
    {115, LOG_NOTICE, 'A'}, {120, LOG_NOTICE, 'I'}, {125, LOG_INFO, 'I'},
    {130, LOG_INFO, 'I'},   {135, LOG_DEBUG, 'D'},  {136, LOG_DEBUG, 'D'},
    {137, LOG_DEBUG, 'D'},  {138, LOG_DEBUG, 'D'},  {139, LOG_DEBUG, 'D'},
    {140, LOG_DEBUG, 'D'},  {141, LOG_DEBUG, 'D'},  {142, LOG_DEBUG, 'D'},
    {143, LOG_DEBUG, 'D'},  {144, LOG_DEBUG, 'D'},  {145, LOG_DEBUG, 'D'},
};

namespace {

struct PendingLine {
  std::string prefix;  // empty when the line continues a partial one
  std::string text;
};

struct LogState {
  std::recursive_mutex lock;
  int fd = -1;
  bool initialised = false;
  bool partialLine = false;
  bool headerPending = false;
  bool useTimeStamps = false;
  bool useMilliseconds = false;
  bool useThreadName = false;
  bool useLevelDesignator = true;
  bool syncAfterWrite = false;
  bool keep = false;
  int32_t logMinLevel = 120;
  int32_t stderrMinLevel = -1;
  int32_t systemLoggerUse = 0;
  std::string systemLoggerID;
  std::string openedLoggerID;
  std::string fileName;
  std::string appName;
  std::string appVersion;
  std::vector<PendingLine> pending;
};

LogState &State() {
  // Never destroyed: lines may be logged from atexit handlers and children.
  static LogState *state = new LogState;
  return *state;
}

const LogLevelRow &RowOf(uint32_t level) {
  for (const LogLevelRow &row : logLevelMap) {
    if (static_cast<uint32_t>(row.level) == level) {
      return row;
    }
  }
  return logLevelMap[4];  // the row of 120
}

std::string TimeStamp(const LogState &st) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tm);
  char buf[64];
  int n = Str_Snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string out(buf, static_cast<size_t>(n));
  if (st.useMilliseconds) {
    Str_Snprintf(buf, sizeof buf, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    out += buf;
  }
  // The offset in force now, so daylight-saving time shows as it is.
  long offset = tm.tm_gmtoff;
  if (offset == 0) {
    out += "Z";
  } else {
    long mag = offset < 0 ? -offset : offset;
    Str_Snprintf(buf, sizeof buf, "%c%02ld:%02ld", offset > 0 ? '+' : '-', mag / 3600,
                 (mag % 3600) / 60);
    out += buf;
  }
  return out;
}

std::string Prefix(const LogState &st, const LogLevelRow &row, bool continuation) {
  std::string out;
  if (st.useTimeStamps) {
    out += TimeStamp(st);
    out += "| ";
  }
  if (st.useThreadName) {
    out += VThreadBase_CurName();
    out += "| ";
  }
  if (st.useLevelDesignator) {
    char buf[16];
    Str_Snprintf(buf, sizeof buf, "%c%03d%s ", static_cast<char>(row.designator), row.level,
                 continuation ? "+" : ":");
    out += buf;
  }
  return out;
}

void WriteFile(LogState &st, const std::string &bytes) {
  if (st.fd < 0) {
    return;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(st.fd, bytes.data() + done, bytes.size() - done);
    if (n == -1 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (st.syncAfterWrite) {
    fsync(st.fd);
  }
}

void EmitLine(LogState &st, const PendingLine &line, int priority) {
  std::string bytes = line.prefix + line.text;
  WriteFile(st, bytes);
  if (st.systemLoggerUse > 0) {
    if (st.openedLoggerID != st.systemLoggerID) {
      closelog();
      st.openedLoggerID = st.systemLoggerID;
      openlog(st.openedLoggerID.c_str(), LOG_PID, LOG_USER);
    }
    syslog(priority, "%s", bytes.c_str());
  }
}

void WriteHeader(LogState &st) {
  PendingLine line;
  line.prefix = Prefix(st, RowOf(120), false);
  char buf[512];
  Str_Snprintf(buf, sizeof buf, "Log for %s pid=%d version=%s build=%s option=%s\n",
               st.appName.c_str(), static_cast<int>(getpid()), st.appVersion.c_str(),
               "build-3904909", "Release");
  line.text = buf;
  EmitLine(st, line, LOG_NOTICE);
  Str_Snprintf(buf, sizeof buf, "The process is %zu-bit.\n", sizeof(void *) * 8);
  line.text = buf;
  EmitLine(st, line, LOG_NOTICE);
}

// Splits text after each line end; each piece is emitted or kept pending.
void Output(LogState &st, const LogLevelRow &row, const std::string &text) {
  bool toOutput = st.initialised && (st.fd >= 0 || st.systemLoggerUse > 0);
  if (toOutput) {
    if (st.headerPending && st.fd >= 0) {
      st.headerPending = false;
      WriteHeader(st);
    }
    for (const PendingLine &line : st.pending) {
      EmitLine(st, line, LOG_NOTICE);
    }
    st.pending.clear();
  }
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    PendingLine line;
    line.text = text.substr(start, end - start);
    bool onlyLineEnds = text.find_first_not_of('\n', start) == std::string::npos;
    bool continuation = !first && !onlyLineEnds;
    if (!st.partialLine) {
      line.prefix = Prefix(st, row, continuation);
    }
    st.partialLine = line.text.back() != '\n';
    if (toOutput) {
      EmitLine(st, line, row.priority);
    } else {
      st.pending.push_back(std::move(line));
    }
    first = false;
    start = end;
  }
}

bool OpenLogFile(const std::string &path) {
  // A planted symbolic link must not make us create or append to its target.
  struct stat before;
  if (lstat(path.c_str(), &before) == 0 && S_ISLNK(before.st_mode)) {
    Log_Info("[msg.log.openIsLink] Log file '%s' is a symbolic link.\n", path.c_str());
    return false;
  }
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd == -1) {
    Log_Info("[msg.log.openFailed] Cannot open or create the log file '%s': %s\n", path.c_str(),
             Err_Errno2String(errno));
    return false;
  }
  struct stat byFd;
  struct stat byPath;
  if (fstat(fd, &byFd) == -1 || lstat(path.c_str(), &byPath) == -1 ||
      byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) {
    Log_Info("[msg.log.openChanged] Log file '%s' has changed.\n", path.c_str());
    close(fd);
    return false;
  }
  LogState &st = State();
  st.fd = fd;
  st.fileName = path;
  st.headerPending = true;
  return true;
}

}  // namespace

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
  Str_Snprintf(params->systemLoggerID, sizeof params->systemLoggerID, "%s", id ? id : name);
  free(id);
  if (!Config_GetBool(true, "logging")) {
    params->fileName = nullptr;
    params->config = nullptr;
    params->systemLoggerUse = 0;
  }
}

bool Log_InitWithParams(const LogInitParams *params) {
  LogState &st = State();
  std::lock_guard<std::recursive_mutex> guard(st.lock);
  st.useTimeStamps = params->useTimeStamps;
  st.useMilliseconds = params->useMilliseconds;
  st.useThreadName = params->useThreadName;
  st.useLevelDesignator = params->useLevelDesignator;
  st.stderrMinLevel = params->stderrMinLevel;
  st.logMinLevel = params->logMinLevel;
  st.syncAfterWrite = params->syncAfterWrite;
  st.keep = params->keep;
  st.appName = params->appName ? params->appName : "";
  st.appVersion = params->appVersion ? params->appVersion : "";
  st.systemLoggerID = params->systemLoggerID;
  bool wantFile = params->fileName != nullptr && *params->fileName != '\0';
  if (!wantFile) {
    if (params->systemLoggerUse == 1 ||
        (params->systemLoggerUse == 2 && st.systemLoggerID.empty())) {
      return false;
    }
    st.systemLoggerUse = params->systemLoggerUse;
  } else if (params->systemLoggerUse != 2) {
    if (!OpenLogFile(params->fileName)) {
      return false;
    }
    if (params->fileNameAbsent && !params->append && ftruncate(st.fd, 0) != 0) {
      close(st.fd);
      st.fd = -1;
      return false;
    }
    st.systemLoggerUse = params->systemLoggerUse;
  }
  st.initialised = true;
  return true;
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
  LogState &st = State();
  return st.fileName.empty() ? nullptr : st.fileName.c_str();
}

void Log_SetKeep(bool keep) { State().keep = keep; }

void Log_DisableThrottling(void) {}

void Log_LevelV(uint32_t level, const char *format, va_list ap) {
  int savedErrno = errno;
  LogState &st = State();
  uint32_t lvl = level & 0x3FFFFFFFu;
  bool always = lvl == LOG_LEVEL_ALWAYS;
  if (!always && static_cast<int64_t>(lvl) > st.stderrMinLevel &&
      static_cast<int64_t>(lvl) > st.logMinLevel) {
    errno = savedErrno;
    return;
  }
  va_list aq;
  va_copy(aq, ap);
  char *text = Str_Vasprintf(nullptr, format, aq);
  va_end(aq);
  if (text == nullptr) {
    errno = savedErrno;
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(st.lock);
    if (static_cast<int64_t>(lvl) <= st.stderrMinLevel) {
      fputs(text, stderr);
    }
    if (always || static_cast<int64_t>(lvl) <= st.logMinLevel) {
      Output(st, RowOf(lvl), text);
    }
  }
  free(text);
  errno = savedErrno;
}

void Log_Level(uint32_t level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Log_LevelV(level, format, ap);
  va_end(ap);
}

void Log_Info(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Log_LevelV(120, format, ap);
  va_end(ap);
}

void Log_Warning(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Log_LevelV(110, format, ap);
  va_end(ap);
}

}  // extern "C"
