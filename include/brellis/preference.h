/*
 * Layered configuration: preference files read at start-up and the typed
 * getters every module reads its settings through. Getters return the
 * caller's default when a setting is missing or malformed.
 *
 * A lookup tries six layers in order and the first that defines the name
 * wins: the global settings (libdir + "/settings"), the in-memory layer
 * (Preference_SetFromString), the user's preferences
 * ("~/.brellis/preferences"), the user's configuration
 * ("~/.brellis/config"), the host configuration ("/etc/brellis/config") and
 * the site configuration (libdir + "/config"). libdir is the "libdir"
 * setting of the host configuration, "/usr/lib/brellis" by default. The
 * user files are read only when the real and effective user and group ids
 * agree, and only from an absolute home directory.
 *
 * A name no layer defines yields the default and remembers it: later
 * lookups of that name answer the first default. Any thread may read after
 * Preference_Init; the layers are guarded by one lock.
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
/* The same; keyLocator would unlock encrypted layers. */
bool Preference_InitWithKeyLocator(void *keyLocator);
/* Frees every layer; getters return defaults afterwards. */
void Preference_Exit(void);
/* Leaves the user's preferences file unread; call before Preference_Init. */
void Preference_DisableUserPreferences(void);

bool Preference_GetBool(bool defaultValue, const char *name);
/* 0, 1 or -1 (default). */
int32_t Preference_GetTriState(int32_t defaultValue, const char *name);
int32_t Preference_GetInt32(int32_t defaultValue, const char *name);
int64_t Preference_GetInt64(int64_t defaultValue, const char *name);
double Preference_GetDouble(double defaultValue, const char *name);
/* New copies (caller frees); NULL for a NULL default when unset. */
char *Preference_GetString(const char *defaultValue, const char *name);
char *Preference_GetStringPlain(const char *defaultValue, const char *name);
/* The string with "~" and "$VARIABLE" expanded (Util_ExpandString). */
char *Preference_GetPathName(const char *defaultValue, const char *name);
/* A new copy of the allowed value (NULL-terminated choices) matching the
 * setting without regard to case, else of the default. */
char *Preference_GetStringEnum(const char *defaultValue, const char **choices, const char *name);
/* True when no layer sets the name (remembered defaults do not count), and
 * always before Preference_Init. */
bool Preference_NotSet(const char *name);
/* Adds "name=value" to the in-memory layer; an existing name is kept
 * unless overwrite. */
void Preference_SetFromString(const char *string, bool overwrite);
/* Log where each layer was found, and each layer's settings. */
void Preference_Log(void);
void Preference_LogLayers(void);

/*
 * The getters with printf-style names, expanded into 1024 bytes. A name
 * that does not fit yields the default.
 */
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
