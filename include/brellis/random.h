/*
 * Random numbers: bytes from the operating system's random device, and a
 * fast non-cryptographic generator with per-caller state whose sequences
 * for a given seed are fixed (callers may rely on them).
 */
#ifndef BRELLIS_RANDOM_H
#define BRELLIS_RANDOM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Fills buffer with size bytes from the random device. False after a logged
 * failure (the buffer's content is then unspecified). Keeps no state; any
 * thread may call it.
 */
bool Random_Crypto(size_t size, void *buffer);

/* Quick generator state: 25 words and two indices. Not thread-safe: its
 * owner serialises use. */
#define RANDOM_QUICK_WORDS 25
typedef struct RandomQuickState {
  uint32_t x[RANDOM_QUICK_WORDS];
  uint32_t p;
  uint32_t q;
} RandomQuickState;

/* A new state for seed, which the caller frees with free(); NULL when memory
 * is short. */
RandomQuickState *Random_QuickSeed(uint32_t seed);
/* The next value of the sequence. */
uint32_t Random_Quick(RandomQuickState *state);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_RANDOM_H */
