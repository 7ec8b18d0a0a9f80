/*
 * Layered configuration: preference files read at start-up and the typed
 * getters every module reads its settings through. Getters return the
 * caller's default when a setting is missing or malformed.
 */
#ifndef BRELLIS_PREFERENCE_H
#define BRELLIS_PREFERENCE_H

#include <stdbool.h>
#include <stdint.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the layers; always true (missing files are not an error). */
bool Preference_Init(void);
/* Frees every layer; getters return defaults afterwards. */
void Preference_Exit(void);

bool Config_GetBool(bool defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
int32_t Config_GetTriState(int32_t defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
int32_t Config_GetLong(int32_t defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
int64_t Config_GetInt64(int64_t defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
double Config_GetDouble(double defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
/* Allocated copy of the value or of the default (caller frees); NULL for a NULL default. */
char *Config_GetString(const char *defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
char *Config_GetPathName(const char *defaultValue, const char *fmt, ...) BRELLIS_PRINTF(2, 3);
bool Config_NotSet(const char *fmt, ...) BRELLIS_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_PREFERENCE_H */
