// Seams of the preference layers for the library's own tests.
#ifndef LIB_CONFIG_PREFERENCEINT_H
#define LIB_CONFIG_PREFERENCEINT_H

// A directory put in front of the fixed paths ("/etc/brellis/config" and
// the default libdir), or NULL for none. Takes effect at the next
// Preference_Init.
void PreferenceSetRootForTest(const char *root);

#endif
