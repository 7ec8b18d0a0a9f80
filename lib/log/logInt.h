// What the log's line path and its file lifecycle share: the process-wide
// state record, the ring of pending lines and the internal operations each
// half calls in the other. Not part of the library's interface.
#ifndef LIB_LOG_LOGINT_H
#define LIB_LOG_LOGINT_H

#include <brellis/internal/lockHeld.h>
#include <brellis/log.h>
#include <brellis/userlock.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kLogSpareSize = 32 * 1024;
inline constexpr uint32_t kLogRingSize = 32 * 1024;
inline constexpr size_t kLogStackBufferSize = 320;
inline constexpr size_t kLogNoticeBufferSize = 192;
// The row of level 120: the row of every level missing from the table.
inline constexpr int kLogDefaultRow = 4;
inline constexpr MX_Rank kLogLockRank = 0xFF000001;

// One byte-rate throttle. bytesPerSec -1 turns it off, 0 stops logging once
// threshold bytes have passed; times are microseconds of the monotonic timer.
struct LogThrottleInfo {
  const char *name = "Log";
  bool throttled = false;
  uint32_t threshold = 0;
  int32_t bytesPerSec = -1;
  uint64_t bytesLogged = 0;
  uint64_t lastCheckTime = 0;
  uint64_t bytesAtLastCheck = 0;
};

// What a line's prefix is made from, kept in front of each line stored in
// the ring so that a late line shows when and where it was produced. No
// field ever holds a '\n': the ring finds line ends by scanning for it.
struct LogPrefixRecord {
  char dateTime[32];
  char msecs[8];
  char zone[8];
  char threadName[32];
  char continuation;  // 'T' or 'F', or kLogNoPrefix for a line continuing the previous one
  char rowIndex;      // the level's row in logLevelMap, plus 'A'
};
static_assert(sizeof(LogPrefixRecord) == 82, "the ring's record layout is fixed");
inline constexpr char kLogNoPrefix = '-';

// Pending lines: each entry is a LogPrefixRecord followed by the line text.
// Every entry but the newest ends with '\n'; the newest may be a line still
// waiting for its continuation (tailOpen), which later text joins without a
// record of its own.
struct LogRing {
  char *buffer = nullptr;
  uint32_t readPos = 0;
  uint32_t writePos = 0;
  uint32_t count = 0;
  bool tailOpen = false;
};

// The spare buffers: two for formatting, so two producers of long lines at
// once both keep their text, and one for emitting under the lock.
enum LogSpare { kLogSpareFormatA, kLogSpareFormatB, kLogSpareEmit, kLogSpareCount };

// The pieces of the last local time stamp, reused within the same second.
struct LogTimeCache {
  int64_t second = -1;
  uint64_t milliseconds = 0;  // wall-clock milliseconds of the last stamp
  int hour = -1;
  int isDst = -1;
  char dateTime[32] = "";
  char zone[8] = "";
};

struct LogState {
  int fd = -1;
  int32_t systemLoggerUse = 0;
  MXUserRecLock *lock = nullptr;
  // Read without the lock by the level filter.
  std::atomic<int32_t> logMinLevel{120};
  std::atomic<int32_t> stderrMinLevel{-1};
  bool useLevelDesignator = true;
  LogThrottleInfo throttle;
  bool useTimeStamps = false;
  bool useThreadName = false;
  bool useMilliseconds = false;
  bool partialLine = false;
  bool headerPending = false;
  bool initialised = false;
  int32_t nesting = 0;
  uint64_t fileSize = 0;
  uint64_t discardedBytes = 0;
  bool syncAfterWrite = false;
  char systemLoggerID[128] = "";
  // The identity the system logger was last opened with; it holds the
  // text openlog keeps pointing at.
  char openedLoggerID[128] = "";
  bool loggerOpened = false;
  std::atomic<char *> spare[kLogSpareCount] = {};
  LogRing ring;
  LogTimeCache time;

  // The file's lifecycle.
  char *fileName = nullptr;
  bool defaultName = false;
  char *appName = nullptr;
  char *appVersion = nullptr;
  char *appPrefix = nullptr;
  bool append = false;
  int32_t keepOld = 0;
  uint64_t rotateSize = 0;
  bool fastRotation = false;
  bool keep = false;
  bool rotating = false;
  // The process that may rotate, rename or reopen the file. A forked child
  // shares the file and its state with its parent; were it to rotate, the
  // parent would go on writing into the renamed file and rotate again.
  pid_t ownerPid = 0;
  // After a size rotation failed, the file is not rotated again before it
  // has grown past this size: another rotateSize bytes.
  uint64_t rotateRetrySize = 0;

  // What the header block says about the host, found at initialisation:
  // the code set and encoding names live as long as the process, the
  // operating system's name is owned (NULL when it is not known).
  const char *hostCodeSet = nullptr;
  const char *hostEncoding = nullptr;
  char *hostOSName = nullptr;
};

extern LogState logState;

// The log's recursive lock, created on first use.
MXUserRecLock *LogLock();

// Builds a level-120 prefix with a fresh time stamp into buf (capacity cap);
// returns its length. Called with the lock held.
size_t LogMakeInfoPrefix(LogState *st, char *buf, size_t cap);
// The full time stamp text (date-time, milliseconds, zone) into buf.
void LogTimeStampText(LogState *st, char *buf, size_t cap);
// Writes len bytes to the log file, retrying interrupted and short writes;
// adds what was written to fileSize and returns it.
size_t LogWriteFile(LogState *st, const char *buf, size_t len);
// Puts a '\n' after a ring line left waiting for its continuation, so that
// output after a reset starts on a line of its own.
void LogRingCloseTail(LogState *st);
// Allocates the spare buffers and the ring if they are not there yet.
void LogAllocateBuffers(LogState *st);

// The file lifecycle's parts of the line path, called with the lock held.
// LogWriteHeader writes the header block, one write per line, and answers
// whether every line was written whole. LogRotateBySize moves the file
// aside once it has grown past rotateSize and starts a new one with its
// header; when that fails, the old file keeps the lines and the switch is
// tried again after another rotateSize bytes.
bool LogWriteHeader(LogState *st);
void LogRotateBySize(LogState *st);

using brellis::LockHeld;

// Test seam: replaces the monotonic timer (nanoseconds) the throttle reads;
// nullptr restores the system's.
void LogSetTimerHook(uint64_t (*timer)(void));

#endif  // LIB_LOG_LOGINT_H
