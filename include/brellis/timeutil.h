/*
 * Time of day and broken-down time.
 */
#ifndef BRELLIS_TIMEUTIL_H
#define BRELLIS_TIMEUTIL_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Seconds and microseconds of the time of day. */
typedef struct TimeUtil_TimeOfDay {
  int64_t seconds;
  int32_t useconds;
} TimeUtil_TimeOfDay;

/* A broken-down time: four-digit year, month 1..12, day, hour, minute, second. */
typedef struct TimeUtil_Date {
  int32_t year;
  int32_t month;
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t second;
} TimeUtil_Date;

void TimeUtil_GetTimeOfDay(TimeUtil_TimeOfDay *timeOfDay);
/* The current time in local time (local true) or universal time. */
void TimeUtil_GetBrokenDownTime(bool local, TimeUtil_Date *date);
/* ctime_r text of seconds without its line end (caller frees), or NULL. */
char *TimeUtil_GetTimeText(int64_t seconds);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_TIMEUTIL_H */
