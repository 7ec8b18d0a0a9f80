// The log's line path: level filter, bounded formatting, line prefix,
// splitting into lines, the ring of pending lines, the byte-rate throttle
// and the destinations (log file, system logger, standard error).
//
// Nothing here allocates once the log is initialised: messages are
// formatted into a stack buffer and only long ones borrow one of the
// preallocated spare buffers, handed out by atomic exchange.

#include "log/logInt.h"

#include <brellis/internal/writeAll.h>

#include <brellis/hostinfo.h>
#include <brellis/str.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>

extern "C" constexpr LogLevelRow logLevelMap[LOG_LEVEL_MAP_ROWS] = {
    {100, LOG_EMERG, 'E'},  {105, LOG_ERR, 'E'},   {110, LOG_WARNING, 'W'}, {115, LOG_NOTICE, 'A'},
    {120, LOG_NOTICE, 'I'}, {125, LOG_INFO, 'I'},  {130, LOG_INFO, 'I'},    {135, LOG_DEBUG, 'D'},
    {136, LOG_DEBUG, 'D'},  {137, LOG_DEBUG, 'D'}, {138, LOG_DEBUG, 'D'},   {139, LOG_DEBUG, 'D'},
    {140, LOG_DEBUG, 'D'},  {141, LOG_DEBUG, 'D'}, {142, LOG_DEBUG, 'D'},   {143, LOG_DEBUG, 'D'},
    {144, LOG_DEBUG, 'D'},  {145, LOG_DEBUG, 'D'},
};

constinit LogState logState;

namespace {

constexpr uint32_t kLevelMask = 0x3FFFFFFF;
constexpr size_t kRecordSize = sizeof(LogPrefixRecord);
constexpr char kLongLineTruncation[] = "*LONG LINE TRUNCATION*\n";

// The level designators "%c%03d%s " of every row, with ':' and with '+',
// fixed by the table, so the hot path copies them instead of formatting.
struct Designator {
  std::array<char, 8> text;
  size_t length;
};
constexpr Designator MakeDesignator(const LogLevelRow &row, bool continuation) {
  Designator d{};
  int level = row.level;
  d.text[0] = static_cast<char>(row.designator);
  d.text[1] = static_cast<char>('0' + level / 100 % 10);
  d.text[2] = static_cast<char>('0' + level / 10 % 10);
  d.text[3] = static_cast<char>('0' + level % 10);
  d.text[4] = continuation ? '+' : ':';
  d.text[5] = ' ';
  d.length = 6;
  return d;
}
constexpr auto kDesignators = [] {
  std::array<std::array<Designator, 2>, LOG_LEVEL_MAP_ROWS> table{};
  for (size_t i = 0; i < LOG_LEVEL_MAP_ROWS; i++) {
    table[i][0] = MakeDesignator(logLevelMap[i], false);
    table[i][1] = MakeDesignator(logLevelMap[i], true);
  }
  return table;
}();

std::atomic<uint64_t (*)(void)> timerHook{nullptr};

class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper &) = delete;
  ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

 private:
  int saved_;
};

// Holds the log's lock for a scope. A signal handler only tries it: the
// code it interrupted may hold the lock, in another thread (which the
// handler could wait on for ever) or in this one (whose half-made line a
// recursive re-entry would corrupt). Without the lock, held() is false.
class LogLockHeld {
 public:
  LogLockHeld() {
    if (!VThreadBase_IsInSignal()) {
      lock_ = LogLock();
      MXUser_AcquireRecLock(lock_);
      return;
    }
    MXUserRecLock *lock = __atomic_load_n(&logState.lock, __ATOMIC_ACQUIRE);
    if (lock != nullptr && !MXUser_IsCurThreadHoldingRecLock(lock) &&
        MXUser_TryAcquireRecLock(lock)) {
      lock_ = lock;
    }
  }
  ~LogLockHeld() {
    if (lock_ != nullptr) {
      MXUser_ReleaseRecLock(lock_);
    }
  }
  LogLockHeld(const LogLockHeld &) = delete;
  LogLockHeld &operator=(const LogLockHeld &) = delete;
  bool held() const { return lock_ != nullptr; }

 private:
  MXUserRecLock *lock_ = nullptr;
};

// A spare buffer taken for the duration of a scope, or none when another
// producer has it.
class SpareBuffer {
 public:
  SpareBuffer() = default;
  explicit SpareBuffer(LogSpare slot) { Take(slot); }
  ~SpareBuffer() {
    if (buffer_ != nullptr) {
      logState.spare[slot_].store(buffer_, std::memory_order_release);
    }
  }
  SpareBuffer(const SpareBuffer &) = delete;
  SpareBuffer &operator=(const SpareBuffer &) = delete;
  // True when the buffer of slot is now held here.
  bool Take(LogSpare slot) {
    slot_ = slot;
    buffer_ = logState.spare[slot].exchange(nullptr, std::memory_order_acquire);
    return buffer_ != nullptr;
  }
  char *get() const { return buffer_; }

 private:
  LogSpare slot_ = kLogSpareFormatA;
  char *buffer_ = nullptr;
};

int RowIndexOf(uint32_t level) {
  for (int i = 0; i < LOG_LEVEL_MAP_ROWS; i++) {
    if (static_cast<uint32_t>(logLevelMap[i].level) == level) {
      return i;
    }
  }
  return kLogDefaultRow;
}

// The longest prefix of text[0, max) that ends on a whole UTF-8 sequence.
size_t Utf8Cut(const char *text, size_t max) {
  if (max == 0) {
    return 0;
  }
  size_t start = max - 1;
  for (int back = 0; back < 3 && start > 0; back++) {
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
      break;
    }
    start--;
  }
  unsigned char lead = static_cast<unsigned char>(text[start]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return start + need <= max ? max : start;
}

// Copies text into a fixed field, NUL-terminated, cut at a whole UTF-8
// sequence; line ends become blanks so the ring never sees a stray one.
void CopyField(char *field, size_t size, const char *text) {
  size_t len = Utf8Cut(text, strnlen(text, size - 1));
  for (size_t i = 0; i < len; i++) {
    field[i] = text[i] == '\n' ? ' ' : text[i];
  }
  memset(field + len, 0, size - len);
}

// The clock throttling measures by: the monotonic clock unless a test put
// its own in.
uint64_t ThrottleClockMicros() {
  uint64_t (*hook)(void) = timerHook.load(std::memory_order_acquire);
  return hook != nullptr ? hook() / 1000 : Hostinfo_MonotonicMicros();
}

void FormatZone(char *zone, size_t size, long offset) {
  if (offset == 0) {
    Str_Snprintf(zone, size, "Z");
    return;
  }
  long magnitude = offset < 0 ? -offset : offset;
  Str_Snprintf(zone, size, "%c%02ld:%02ld", offset > 0 ? '+' : '-', magnitude / 3600,
               magnitude % 3600 / 60);
}

// Fills the time stamp pieces of rec. The local time is converted at most
// once a second; inside a signal handler it is not converted at all (the
// conversion takes locks the interrupted code may hold), and the stamp is
// the last one plus the time elapsed since.
void MakeTimeStamp(LogState &st, LogPrefixRecord &rec) {
  uint64_t micros;
  HostinfoGetTimeOfDayMicros(&micros);
  uint64_t nowMs = micros / 1000;
  LogTimeCache &tc = st.time;
  if (VThreadBase_IsInSignal()) {
    uint64_t elapsed = nowMs > tc.milliseconds ? nowMs - tc.milliseconds : 0;
    uint64_t seconds = std::min<uint64_t>(elapsed / 1000, INT32_MAX);
    Str_Snprintf(rec.dateTime, sizeof rec.dateTime, "%s%s[+%d", tc.dateTime, tc.zone,
                 static_cast<int>(seconds));
    Str_Snprintf(rec.msecs, sizeof rec.msecs, ".%03d", static_cast<int>(elapsed % 1000));
    Str_Snprintf(rec.zone, sizeof rec.zone, "]");
    return;
  }
  auto second = static_cast<int64_t>(micros / 1000000);
  if (second != tc.second) {
    time_t t = static_cast<time_t>(second);
    struct tm tm;
    localtime_r(&t, &tm);
    if (tm.tm_hour != tc.hour || tm.tm_isdst != tc.isDst) {
      // A new hour may bring a changed zone setting; read it again.
      tzset();
      localtime_r(&t, &tm);
      tc.hour = tm.tm_hour;
      tc.isDst = tm.tm_isdst;
    }
    Str_Snprintf(tc.dateTime, sizeof tc.dateTime, "%04d-%02d-%02dT%02d:%02d:%02d",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    // The offset in force at that moment, daylight-saving time included.
    FormatZone(tc.zone, sizeof tc.zone, tm.tm_gmtoff);
    tc.second = second;
  }
  tc.milliseconds = nowMs;
  memcpy(rec.dateTime, tc.dateTime, sizeof rec.dateTime);
  memcpy(rec.zone, tc.zone, sizeof rec.zone);
  unsigned ms = static_cast<unsigned>(nowMs % 1000);
  rec.msecs[0] = '.';
  rec.msecs[1] = static_cast<char>('0' + ms / 100);
  rec.msecs[2] = static_cast<char>('0' + ms / 10 % 10);
  rec.msecs[3] = static_cast<char>('0' + ms % 10);
  memset(rec.msecs + 4, 0, sizeof rec.msecs - 4);
}

void MakeRecord(LogState &st, LogPrefixRecord &rec, int row, bool withTime, bool withName) {
  memset(&rec, 0, sizeof rec);
  if (withTime) {
    MakeTimeStamp(st, rec);
  }
  if (withName) {
    CopyField(rec.threadName, sizeof rec.threadName, VThreadBase_CurName());
  }
  rec.continuation = 'F';
  rec.rowIndex = static_cast<char>('A' + row);
}

// Appends text to buf[*pos] as long as it leaves the terminating NUL room.
void Append(char *buf, size_t cap, size_t *pos, std::string_view text) {
  size_t room = cap - 1 - *pos;
  size_t n = text.size() <= room ? text.size() : Utf8Cut(text.data(), room);
  memcpy(buf + *pos, text.data(), n);
  *pos += n;
}

// The prefix of rec as the flags ask for it; returns its length.
size_t FormatPrefix(const LogState &st, const LogPrefixRecord &rec, char *buf, size_t cap) {
  size_t pos = 0;
  auto field = [](const char *f, size_t size) { return std::string_view(f, strnlen(f, size)); };
  if (st.useTimeStamps) {
    Append(buf, cap, &pos, field(rec.dateTime, sizeof rec.dateTime));
    if (st.useMilliseconds) {
      Append(buf, cap, &pos, field(rec.msecs, sizeof rec.msecs));
    }
    Append(buf, cap, &pos, field(rec.zone, sizeof rec.zone));
    Append(buf, cap, &pos, "| ");
  }
  if (st.useThreadName) {
    // The name gives way to the designator; with too little room it goes.
    size_t left = cap - 1 - pos;
    size_t reserve = st.useLevelDesignator ? 6 : 0;
    if (left >= reserve + 4) {
      std::string_view name = field(rec.threadName, sizeof rec.threadName);
      size_t keep = std::min(name.size(), left - reserve - 2);
      keep = keep == name.size() ? keep : Utf8Cut(name.data(), keep);
      Append(buf, cap, &pos, name.substr(0, keep));
      Append(buf, cap, &pos, "| ");
    }
  }
  if (st.useLevelDesignator) {
    int row = rec.rowIndex - 'A';
    if (row < 0 || row >= LOG_LEVEL_MAP_ROWS) {
      row = kLogDefaultRow;
    }
    const Designator &d = kDesignators[static_cast<size_t>(row)][rec.continuation == 'T'];
    Append(buf, cap, &pos, std::string_view(d.text.data(), d.length));
  }
  buf[pos] = '\0';
  return pos;
}

using brellis::WriteAll;

void SystemLoggerSend(LogState &st, int priority, const char *text) {
  if (!st.loggerOpened || strcmp(st.openedLoggerID, st.systemLoggerID) != 0) {
    closelog();
    Str_Strcpy(st.openedLoggerID, st.systemLoggerID, sizeof st.openedLoggerID);
    openlog(st.openedLoggerID, LOG_PID, LOG_USER);
    st.loggerOpened = true;
  }
  syslog(priority, "%s", text);
}

// One line to the file: first the report of what was lost before, if
// anything was, then the line; what does not make it is counted.
void FileWrite(LogState &st, const char *buf, size_t len) {
  if (st.discardedBytes != 0) {
    char notice[kLogNoticeBufferSize];
    size_t p = LogMakeInfoPrefix(&st, notice, sizeof notice);
    int n = Str_Snprintf(notice + p, sizeof notice - p,
                         ">>> Error writing log, %" PRIu64 " bytes discarded. Disk full?\n",
                         st.discardedBytes);
    if (n >= 0) {
      size_t total = p + static_cast<size_t>(n);
      if (LogWriteFile(&st, notice, total) == total) {
        st.discardedBytes = 0;
      }
    }
  }
  st.discardedBytes += len - LogWriteFile(&st, buf, len);
  if (st.syncAfterWrite) {
    fsync(st.fd);
  }
}

// The line text to emit, in at most two pieces (a ring entry may wrap).
struct LineText {
  std::span<const char> first;
  std::span<const char> second;
  size_t size() const { return first.size() + second.size(); }
  char last() const { return second.empty() ? first.back() : second.back(); }
};

void Emit(LogState &st, const LogPrefixRecord &rec, bool withPrefix, const LineText &line) {
  char stackBuf[kLogStackBufferSize];
  SpareBuffer spare(kLogSpareEmit);
  char *buf = spare.get() != nullptr ? spare.get() : stackBuf;
  size_t cap = spare.get() != nullptr ? kLogSpareSize : sizeof stackBuf;
  size_t pos = withPrefix ? FormatPrefix(st, rec, buf, cap) : 0;
  size_t total = line.size();
  size_t room = cap - 1 - pos;
  if (total <= room) {
    std::copy(line.first.begin(), line.first.end(), buf + pos);
    std::copy(line.second.begin(), line.second.end(), buf + pos + line.first.size());
    pos += total;
  } else if (room > 0) {
    // Too long for the buffer: keep whole characters, and the line end if
    // the line had one, so the next line starts on a line of its own.
    size_t a = std::min(room, line.first.size());
    std::copy_n(line.first.begin(), a, buf + pos);
    std::copy_n(line.second.begin(), room - a, buf + pos + a);
    bool complete = line.last() == '\n';
    size_t keep = Utf8Cut(buf + pos, complete ? room - 1 : room);
    pos += keep;
    if (complete) {
      buf[pos++] = '\n';
    }
  }
  buf[pos] = '\0';
  if (st.fd >= 0) {
    FileWrite(st, buf, pos);
  }
  if (st.systemLoggerUse > 0) {
    int row = rec.rowIndex - 'A';
    row = row >= 0 && row < LOG_LEVEL_MAP_ROWS ? row : kLogDefaultRow;
    SystemLoggerSend(st, logLevelMap[row].priority, buf);
  }
}

// --- The ring ---------------------------------------------------------

void RingPut(LogRing &ring, const char *data, size_t len) {
  size_t first = std::min<size_t>(len, kLogRingSize - ring.writePos);
  memcpy(ring.buffer + ring.writePos, data, first);
  memcpy(ring.buffer, data + first, len - first);
  ring.writePos = static_cast<uint32_t>((ring.writePos + len) % kLogRingSize);
  ring.count += static_cast<uint32_t>(len);
}

void RingGet(const LogRing &ring, uint32_t offset, char *out, size_t len) {
  uint32_t at = (ring.readPos + offset) % kLogRingSize;
  size_t first = std::min<size_t>(len, kLogRingSize - at);
  memcpy(out, ring.buffer + at, first);
  memcpy(out + first, ring.buffer, len - first);
}

// The length from offset up to and including the next '\n', or up to the
// end of the ring's content when there is none.
uint32_t RingLineLength(const LogRing &ring, uint32_t offset) {
  uint32_t at = (ring.readPos + offset) % kLogRingSize;
  uint32_t left = ring.count - offset;
  uint32_t first = std::min(left, kLogRingSize - at);
  if (const void *nl = memchr(ring.buffer + at, '\n', first)) {
    return static_cast<uint32_t>(static_cast<const char *>(nl) - (ring.buffer + at)) + 1;
  }
  if (const void *nl = memchr(ring.buffer, '\n', left - first)) {
    return first + static_cast<uint32_t>(static_cast<const char *>(nl) - ring.buffer) + 1;
  }
  return left;
}

void RingClear(LogRing &ring) {
  ring.readPos = ring.writePos = ring.count = 0;
  ring.tailOpen = false;
}

// Drops the oldest line; with no line end left the ring is emptied.
void RingDropOldest(LogRing &ring) {
  uint32_t len = RingLineLength(ring, 0);
  if (len >= ring.count) {
    RingClear(ring);
    return;
  }
  ring.readPos = (ring.readPos + len) % kLogRingSize;
  ring.count -= len;
}

void RingStore(LogState &st, LogPrefixRecord rec, bool withPrefix, std::string_view line) {
  LogRing &ring = st.ring;
  if (ring.buffer == nullptr) {
    ring.buffer = static_cast<char *>(Util_SafeMalloc(-1, kLogRingSize, __FILE__, __LINE__));
    RingClear(ring);
  }
  // An entry must leave the ring a byte to spare, so a line too long for it
  // loses its tail (whole characters) and becomes a complete line.
  bool addLineEnd = false;
  constexpr size_t kMaxLine = kLogRingSize - kRecordSize - 2;
  if (line.size() > kMaxLine) {
    line = line.substr(0, Utf8Cut(line.data(), kMaxLine));
    addLineEnd = true;
  }
  bool complete = addLineEnd || line.back() == '\n';
  if (withPrefix && ring.tailOpen) {
    // The waiting line will not be continued any more.
    if (ring.count + 1 >= kLogRingSize) {
      RingDropOldest(ring);
    }
    if (ring.tailOpen) {
      RingPut(ring, "\n", 1);
      ring.tailOpen = false;
    }
  }
  bool join = !withPrefix && ring.tailOpen;
  size_t need = line.size() + (addLineEnd ? 1 : 0) + (join ? 0 : kRecordSize);
  while (kLogRingSize - ring.count <= need) {
    RingDropOldest(ring);
    if (join && !ring.tailOpen) {
      // The line this text continued is gone: it starts a line of its own.
      join = false;
      withPrefix = true;
      need += kRecordSize;
    }
  }
  if (!join) {
    rec.continuation = withPrefix ? rec.continuation : kLogNoPrefix;
    RingPut(ring, reinterpret_cast<const char *>(&rec), kRecordSize);
  }
  RingPut(ring, line.data(), line.size());
  if (addLineEnd) {
    RingPut(ring, "\n", 1);
  }
  ring.tailOpen = !complete;
}

// Emits every line kept in the ring, oldest first. A last line still open
// goes too: the text about to be emitted is what continues it.
void RingEmitAll(LogState &st) {
  LogRing &ring = st.ring;
  while (ring.buffer != nullptr && ring.count > 0) {
    if (ring.count < kRecordSize) {
      RingClear(ring);  // cannot happen: entries always start with a record
      break;
    }
    LogPrefixRecord rec;
    RingGet(ring, 0, reinterpret_cast<char *>(&rec), kRecordSize);
    uint32_t len = RingLineLength(ring, kRecordSize);
    uint32_t at = (ring.readPos + static_cast<uint32_t>(kRecordSize)) % kLogRingSize;
    uint32_t first = std::min(len, kLogRingSize - at);
    LineText line{{ring.buffer + at, first}, {ring.buffer, len - first}};
    if (len > 0) {
      Emit(st, rec, rec.continuation != kLogNoPrefix, line);
    }
    ring.readPos = (at + len) % kLogRingSize;
    ring.count -= static_cast<uint32_t>(kRecordSize) + len;
  }
  if (ring.buffer != nullptr) {
    RingClear(ring);
  }
}

// --- Splitting and the throttle ---------------------------------------

// Cuts text after each line end and emits or stores each line with a
// prefix exactly when the output before it ended a line.
void SplitLines(LogState &st, std::string_view text, int row, bool toRing) {
  if (text.empty()) {
    return;
  }
  LogPrefixRecord rec;
  MakeRecord(st, rec, row, toRing || st.useTimeStamps, toRing || st.useThreadName);
  // Lines from here on are line ends only, and are not continuations.
  size_t lastText = text.find_last_not_of('\n');
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view line = text.substr(start, end - start);
    bool onlyLineEnds = lastText == std::string_view::npos || start > lastText;
    rec.continuation = start > 0 && !onlyLineEnds ? 'T' : 'F';
    bool withPrefix = !st.partialLine;
    st.partialLine = line.back() != '\n';
    if (toRing) {
      RingStore(st, rec, withPrefix, line);
    } else {
      Emit(st, rec, withPrefix, LineText{{line.data(), line.size()}, {}});
    }
    start = end;
  }
}

void ThrottleNotice(LogState &st, const LogThrottleInfo &info) {
  char notice[kLogNoticeBufferSize];
  size_t p = LogMakeInfoPrefix(&st, notice, sizeof notice);
  int n = Str_Snprintf(notice + p, sizeof notice - p, "<<< %s Throttled >>>\n", info.name);
  size_t total = n >= 0 ? p + static_cast<size_t>(n) : strlen(notice);
  if (st.fd >= 0) {
    FileWrite(st, notice, total);
  }
  if (st.systemLoggerUse > 0) {
    SystemLoggerSend(st, logLevelMap[kLogDefaultRow].priority, notice);
  }
}

// True when a line of bytes bytes must not be written now.
bool ThrottleCheck(LogState &st, LogThrottleInfo &info, size_t bytes) {
  if (info.bytesPerSec == -1) {
    return false;
  }
  info.bytesLogged += bytes;
  if (info.bytesLogged < static_cast<uint64_t>(info.threshold)) {
    return false;
  }
  bool wasThrottled = info.throttled;
  if (info.bytesPerSec == 0) {
    info.throttled = true;
  } else {
    uint64_t now = ThrottleClockMicros();
    uint64_t elapsed = now > info.lastCheckTime ? now - info.lastCheckTime : 0;
    uint64_t period = info.throttled ? 60000000u : 5000000u;
    if (elapsed > period) {
      uint64_t logged = info.bytesLogged - info.bytesAtLastCheck;
      uint64_t rate = logged > UINT64_MAX / 1000000u ? UINT64_MAX : logged * 1000000u / elapsed;
      info.lastCheckTime = now;
      info.bytesAtLastCheck = info.bytesLogged;
      info.throttled = static_cast<uint64_t>(info.bytesPerSec) < rate;
    }
  }
  if (info.throttled && !wasThrottled) {
    ThrottleNotice(st, info);
  }
  return info.throttled;
}

}  // namespace

MXUserRecLock *LogLock() {
  LogState &st = logState;
  MXUserRecLock *lock = __atomic_load_n(&st.lock, __ATOMIC_ACQUIRE);
  if (lock == nullptr) {
    char name[64];
    Str_Snprintf(name, sizeof name, "logLock_%p", static_cast<void *>(&st));
    lock = MXUser_CreateSingletonRecLockSilent(&st.lock, name, kLogLockRank);
  }
  return lock;
}

size_t LogMakeInfoPrefix(LogState *st, char *buf, size_t cap) {
  LogPrefixRecord rec;
  MakeRecord(*st, rec, kLogDefaultRow, st->useTimeStamps, st->useThreadName);
  return FormatPrefix(*st, rec, buf, cap);
}

void LogTimeStampText(LogState *st, char *buf, size_t cap) {
  LogPrefixRecord rec;
  MakeTimeStamp(*st, rec);
  Str_Snprintf(buf, cap, "%s%s%s", rec.dateTime, rec.msecs, rec.zone);
}

size_t LogWriteFile(LogState *st, const char *buf, size_t len) {
  size_t written = WriteAll(st->fd, buf, len);
  st->fileSize += written;
  return written;
}

void LogRingCloseTail(LogState *st) {
  LogRing &ring = st->ring;
  if (ring.buffer == nullptr || !ring.tailOpen) {
    return;
  }
  if (ring.count + 1 >= kLogRingSize) {
    RingDropOldest(ring);
  }
  if (ring.tailOpen) {
    RingPut(ring, "\n", 1);
    ring.tailOpen = false;
  }
}

void LogAllocateBuffers(LogState *st) {
  for (auto &slot : st->spare) {
    if (slot.load(std::memory_order_acquire) == nullptr) {
      slot.store(static_cast<char *>(Util_SafeMalloc(-1, kLogSpareSize, __FILE__, __LINE__)),
                 std::memory_order_release);
    }
  }
  if (st->ring.buffer == nullptr) {
    st->ring.buffer = static_cast<char *>(Util_SafeMalloc(-1, kLogRingSize, __FILE__, __LINE__));
    RingClear(st->ring);
  }
}

void LogSetTimerHook(uint64_t (*timer)(void)) {
  timerHook.store(timer, std::memory_order_release);
}

extern "C" {

void Log_LevelV(uint32_t level, const char *format, va_list ap) {
  ErrnoKeeper keepErrno;
  LogState &st = logState;
  uint32_t lvl = level & kLevelMask;
  bool always = lvl == LOG_LEVEL_ALWAYS;
  auto value = static_cast<int64_t>(lvl);
  if (!always && value > st.stderrMinLevel.load(std::memory_order_relaxed) &&
      value > st.logMinLevel.load(std::memory_order_relaxed)) {
    return;
  }

  char stackBuf[kLogStackBufferSize];
  char *text = stackBuf;
  size_t cap = sizeof stackBuf;
  va_list aq;
  va_copy(aq, ap);
  int n = Str_Vsnprintf(stackBuf, sizeof stackBuf, format, aq);
  va_end(aq);
  SpareBuffer spare;
  if (n < 0) {
    if (spare.Take(kLogSpareFormatA) || spare.Take(kLogSpareFormatB)) {
      text = spare.get();
      cap = kLogSpareSize;
      va_copy(aq, ap);
      n = Str_Vsnprintf(text, kLogSpareSize, format, aq);
      va_end(aq);
    }
  }
  size_t len;
  if (n >= 0) {
    len = static_cast<size_t>(n);
  } else {
    // What fitted, cut to whole characters with room for the line end, so
    // the next line does not run on from this one.
    len = Utf8Cut(text, std::min(strnlen(text, cap - 1), cap - 2));
    if (len == 0) {
      len = sizeof kLongLineTruncation - 1;
      memcpy(text, kLongLineTruncation, len + 1);
    } else {
      text[len++] = '\n';
      text[len] = '\0';
    }
  }

  LogLockHeld held;
  if (!held.held()) {
    // A line written now beats one lost, or a handler that never returns.
    WriteAll(STDERR_FILENO, text, len);
    return;
  }
  st.nesting++;
  if (value <= st.stderrMinLevel.load(std::memory_order_relaxed)) {
    WriteAll(STDERR_FILENO, text, len);
  }
  if (always || value <= st.logMinLevel.load(std::memory_order_relaxed)) {
    int row = RowIndexOf(lvl);
    std::string_view message(text, len);
    if (st.initialised && st.nesting <= 1 && (st.fd >= 0 || st.systemLoggerUse > 0) &&
        !ThrottleCheck(st, st.throttle, len)) {
      if (st.fd >= 0) {
        if (st.rotateSize != 0 && !VThreadBase_IsInSignal()) {
          LogRotateBySize(&st);
        }
        if (st.headerPending && st.fd >= 0 && LogWriteHeader(&st)) {
          st.headerPending = false;
        }
      }
      RingEmitAll(st);
      SplitLines(st, message, row, false);
    } else {
      SplitLines(st, message, row, true);
    }
  }
  st.nesting--;
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

void Log_DisableThrottling(void) {
  ErrnoKeeper keepErrno;
  LogState &st = logState;
  LogLockHeld held;
  if (held.held() && st.initialised) {
    st.throttle.bytesPerSec = -1;
    st.throttle.throttled = false;
  }
}

}  // extern "C"
