// Why this header exists: the lock layer seeds its signatures from the
// random device before the log can be used (the log's own lock needs those
// signatures), so it needs the device reader without its log line.
// Programs use Random_Crypto. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_RANDOMQUIET_H
#define BRELLIS_INTERNAL_RANDOMQUIET_H

#include <cstddef>

// As Random_Crypto, but a failure is formatted into why (the line
// Random_Crypto would log) instead of being logged.
bool RandomCryptoQuiet(size_t size, void *buffer, char *why, size_t whySize);

#endif
