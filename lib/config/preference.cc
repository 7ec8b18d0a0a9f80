// Preference layers and the configuration getters.
//
// The layers are not read yet: until the dictionary files are loaded, every
// getter answers the caller's default, which is what a host without any
// configuration file sees.

#include <brellis/preference.h>

#include <cstdlib>
#include <cstring>

namespace {
bool initialized = false;

char *CopyOrNull(const char *s) { return s == nullptr ? nullptr : strdup(s); }
}  // namespace

extern "C" {

bool Preference_Init(void) {
  initialized = true;
  return true;
}

void Preference_Exit(void) { initialized = false; }

bool Config_GetBool(bool defaultValue, const char *, ...) { return defaultValue; }
int32_t Config_GetTriState(int32_t defaultValue, const char *, ...) { return defaultValue; }
int32_t Config_GetLong(int32_t defaultValue, const char *, ...) { return defaultValue; }
int64_t Config_GetInt64(int64_t defaultValue, const char *, ...) { return defaultValue; }
double Config_GetDouble(double defaultValue, const char *, ...) { return defaultValue; }
char *Config_GetString(const char *defaultValue, const char *, ...) {
  return CopyOrNull(defaultValue);
}
char *Config_GetPathName(const char *defaultValue, const char *, ...) {
  return CopyOrNull(defaultValue);
}
bool Config_NotSet(const char *, ...) { return true; }

}  // extern "C"
