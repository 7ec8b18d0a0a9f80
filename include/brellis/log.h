/*
 * The process log.
 *
 * Every message of the system goes through Log_Level: filtered by level,
 * given a prefix (time stamp, thread name, level designator) and written to
 * the log file and/or the system logger. Lines produced before the log is
 * initialised wait in memory and are written after it. All entry points
 * keep errno unchanged.
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
  const char *fileName;   /* explicit log file path, or NULL */
  const char *config;     /* configuration key naming the path, or NULL */
  const char *appPrefix;  /* word used in the default file name, or NULL */
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

void Log_GetInitDefaults(LogInitParams *params);
/* Completes params from the configuration for application appName. */
void LogGetDestination(const char *appName, LogInitParams *params);
/* True when the log is ready. */
bool Log_InitWithParams(const LogInitParams *params);
/* The collector's way in: an explicit file for application appName. */
bool Log_InitWithFile(const char *fileName, const char *appName);
/* The current log file path (owned by the log), or NULL. */
const char *Log_GetFileName(void);
void Log_SetKeep(bool keep);

void Log_Level(uint32_t level, const char *format, ...) BRELLIS_PRINTF(2, 3);
void Log_LevelV(uint32_t level, const char *format, va_list ap);
void Log_Info(const char *format, ...) BRELLIS_PRINTF(1, 2);
void Log_Warning(const char *format, ...) BRELLIS_PRINTF(1, 2);
void Log_DisableThrottling(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_LOG_H */
