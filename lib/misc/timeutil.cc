// Time of day and broken-down time.

#include <brellis/panic.h>
#include <brellis/timeutil.h>
#include <brellis/util.h>

#include <sys/time.h>
#include <cstring>
#include <ctime>

extern "C" {

void TimeUtil_GetTimeOfDay(TimeUtil_TimeOfDay *timeOfDay) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  timeOfDay->seconds = tv.tv_sec;
  timeOfDay->useconds = static_cast<int32_t>(tv.tv_usec);
}

void TimeUtil_GetBrokenDownTime(bool local, TimeUtil_Date *date) {
  time_t now = time(nullptr);
  struct tm tm;
  if ((local ? localtime_r(&now, &tm) : gmtime_r(&now, &tm)) == nullptr) {
    Panic("NOT_IMPLEMENTED %s:%d\n", "lib/misc/timeutil", 481);
  }
  date->year = tm.tm_year + 1900;
  date->month = tm.tm_mon + 1;
  date->day = tm.tm_mday;
  date->hour = tm.tm_hour;
  date->minute = tm.tm_min;
  date->second = tm.tm_sec;
}

char *TimeUtil_GetTimeText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  // ctime_r writes at most 26 bytes for years of four digits; a time it
  // cannot render (a year past 9999, say) yields none.
  char buf[128];
  if (static_cast<int64_t>(t) != seconds || ctime_r(&t, buf) == nullptr) {
    return nullptr;
  }
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[len - 1] = '\0';
  }
  return Util_SafeStrdup(-1, buf, __FILE__, __LINE__);
}

}  // extern "C"
