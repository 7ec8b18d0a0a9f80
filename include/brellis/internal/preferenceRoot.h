// Why this header exists: tests of more than one module (the configuration's
// and the log's) start children that must not read the host's own
// configuration files. Moving the fixed paths is a test seam, never
// something a program should do, so it is not in <brellis/preference.h>.
// Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_PREFERENCEROOT_H
#define BRELLIS_INTERNAL_PREFERENCEROOT_H

// A directory put in front of the fixed paths ("/etc/brellis/config" and
// the default libdir), or NULL for none. Takes effect at the next
// Preference_Init.
void PreferenceSetRootForTest(const char *root);

#endif
