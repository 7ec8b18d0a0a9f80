/*
 * The process log.
 *
 * Every message of the system goes through Log_Level: filtered by level,
 * formatted without allocating (long messages borrow a preallocated spare
 * buffer; a message too long for it is cut at a whole character and ended
 * with a line end), given a prefix (time stamp, thread name, level
 * designator) per line and written to the log file and/or the system
 * logger, and copied unchanged to standard error when its level asks for
 * it. A message without a line end is continued by the next one on the
 * same line. Lines that cannot be written yet (before initialisation,
 * while throttled, or logged from within the log itself) wait in a fixed
 * ring of the newest lines and are written, with the prefix of when they
 * were produced, before the next line that can be. Bytes the file refused
 * are counted and reported in the file by the next write that succeeds.
 * Any thread may log; lines never mix. All entry points keep errno
 * unchanged.
 */
#ifndef BRELLIS_LOG_H
#define BRELLIS_LOG_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One row of the level table: level, system logger priority, designator. */
typedef struct LogLevelRow {
  int32_t level;
  int32_t priority;
  int32_t designator;
} LogLevelRow;

#define LOG_LEVEL_MAP_ROWS 18
extern const LogLevelRow logLevelMap[LOG_LEVEL_MAP_ROWS];

/* The level that passes every filter. */
#define LOG_LEVEL_ALWAYS 115

/* The parameters of Log_InitWithParams; fill with Log_GetInitDefaults. */
typedef struct LogInitParams {
  uint32_t magic;
  const char *fileName;  /* explicit log file path, or NULL */
  const char *config;    /* configuration key naming the path, or NULL */
  const char *appPrefix; /* word used in the default file name, or NULL */
  const char *appName;
  const char *appVersion;
  bool append;
  bool fileNameAbsent;
  bool useThreadName;
  bool useTimeStamps;
  bool useMilliseconds;
  bool useLevelDesignator;
  bool fastRotation;
  bool keep;
  bool syncAfterWrite;
  int32_t stderrMinLevel;
  int32_t logMinLevel;
  int32_t keepOld;
  uint32_t throttleThreshold;
  int32_t throttleBytesPerSec;
  int32_t rotateSize;
  int32_t systemLoggerUse; /* 0 file only, 1 file and system logger, 2 system logger only */
  char systemLoggerID[128];
} LogInitParams;

#define LOG_INIT_PARAMS_MAGIC 0x1234567

/* The defaults: no file named, timestamps, milliseconds, thread names and
 * designators on, level 120 to the log and none to standard error, three
 * old files kept, no size rotation, throttling after 1,000,000 bytes at
 * 1,000 bytes a second, the file alone. */
void Log_GetInitDefaults(LogInitParams *params);
/*
 * Completes params from the configuration ("logging", "log.destination",
 * "<appName>.log.syslogID" and the "log.*" keys, each read under its plain
 * name first and then under appName + "." + the name; appName may be NULL
 * or empty). No destination, or the system logger alone, drops the file
 * name and the configuration key from the record.
 */
void LogGetDestination(const char *appName, LogInitParams *params);
/*
 * Opens the log as params say; true when it is ready. The file is chosen
 * from the configuration key params->config, else params->fileName, else
 * "brellis[-appPrefix]-<pid>.log" in the user's private temporary directory
 * (File_GetSafeTmpDir; the process ends when there is none). A symbolic
 * link in the file's place is refused. An explicit file is appended to;
 * any other is rotated away (keepOld files) and started empty unless
 * params->append. The file starts with a header block before its first
 * line and is rotated once it grows past rotateSize bytes (0: never).
 * Problems are logged as "[id] text" lines once there is output. On
 * failure the log is left as if it had never been opened (lines keep
 * waiting in its ring).
 */
bool Log_InitWithParams(const LogInitParams *params);
/* The defaults with fileName as the explicit file (none when NULL or
 * empty), completed by LogGetDestination for appName, then
 * Log_InitWithParams. */
bool Log_InitWithFile(const char *fileName, const char *appName);
/* The current log file path, or NULL. The log owns it; it stays valid
 * until the log is opened again. */
const char *Log_GetFileName(void);
/*
 * The log file belongs to the process that opened it: only that process
 * rotates, renames or reopens it. A forked child shares the file and only
 * appends its lines, whatever their size. A child that carries on as the
 * process itself (one that detached by forking while its parent exits)
 * calls this to take the file over.
 */
void Log_TakeOverAfterFork(void);
/*
 * From now on every message the log takes is also copied, as it stands, to
 * standard error: for a program in the foreground, whose terminal or
 * supervisor follows its log there. Raises the standard-error level to the
 * log's own and never lowers it.
 */
void Log_CopyToStderr(void);
/* Once the log is open on a file: whether the file is to be kept. */
void Log_SetKeep(bool keep);

/*
 * Logs a message at level (the two top bits are ignored; smaller is more
 * severe). It reaches the file and the system logger when level is at most
 * the log's minimum level or is LOG_LEVEL_ALWAYS, standard error when it is
 * at most the standard-error level. A level missing from logLevelMap is
 * shown, and sent to the system logger, as level 120.
 */
void Log_Level(uint32_t level, const char *format, ...) BRELLIS_PRINTF(2, 3);
void Log_LevelV(uint32_t level, const char *format, va_list ap) BRELLIS_PRINTF(2, 0);
/* Log_Level at 120. */
void Log_Info(const char *format, ...) BRELLIS_PRINTF(1, 2);
/* Log_Level at 110. */
void Log_Warning(const char *format, ...) BRELLIS_PRINTF(1, 2);
/* Once initialised: stops throttling for good, so final messages get out. */
void Log_DisableThrottling(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_LOG_H */
