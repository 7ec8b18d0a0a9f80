// The random-device reader without its log lines, for callers that cannot
// log yet (the lock layer while it seeds its signatures, which the log's own
// lock needs).
#ifndef LIB_MISC_RANDOMINT_H
#define LIB_MISC_RANDOMINT_H

#include <cstddef>

// As Random_Crypto, but a failure is formatted into why (the line
// Random_Crypto would log) instead of being logged.
bool RandomCryptoQuiet(size_t size, void *buffer, char *why, size_t whySize);

#endif
