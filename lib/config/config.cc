// The configuration getters with printf-style names.

#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <cstdarg>

namespace {

constexpr size_t kNameBufSize = 1024;

// A name cut to fit would be another setting's name: such a lookup answers
// the default instead.
#define CONFIG_NAME_OR(fallback)                              \
  char name[kNameBufSize];                                    \
  va_list ap;                                                 \
  va_start(ap, fmt);                                          \
  int nameLength = Str_Vsnprintf(name, sizeof name, fmt, ap); \
  va_end(ap);                                                 \
  if (nameLength < 0) {                                       \
    return fallback;                                          \
  }

}  // namespace

extern "C" {

bool Config_GetBool(bool defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(defaultValue)
  return Preference_GetBool(defaultValue, name);
}

int32_t Config_GetTriState(int32_t defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(defaultValue)
  return Preference_GetTriState(defaultValue, name);
}

int32_t Config_GetLong(int32_t defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(defaultValue)
  return Preference_GetInt32(defaultValue, name);
}

int64_t Config_GetInt64(int64_t defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(defaultValue)
  return Preference_GetInt64(defaultValue, name);
}

double Config_GetDouble(double defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(defaultValue)
  return Preference_GetDouble(defaultValue, name);
}

char *Config_GetString(const char *defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(Util_SafeStrdup(-1, defaultValue, __FILE__, __LINE__))
  return Preference_GetString(defaultValue, name);
}

char *Config_GetPathName(const char *defaultValue, const char *fmt, ...) {
  CONFIG_NAME_OR(Util_ExpandString(defaultValue))
  return Preference_GetPathName(defaultValue, name);
}

bool Config_NotSet(const char *fmt, ...) {
  CONFIG_NAME_OR(true)
  return Preference_NotSet(name);
}

}  // extern "C"
