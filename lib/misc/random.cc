// Random numbers: the random device, and the quick generator.

#include <brellis/err.h>
#include <brellis/internal/randomQuiet.h>
#include <brellis/log.h>
#include <brellis/random.h>
#include <brellis/str.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char randomDevice[] = "/dev/urandom";
constexpr const char randomWho[] = "RandomBytesPosix";

// The published initial state of the twisted generalised feedback shift
// register generator; the seed is mixed into every word.
constexpr uint32_t quickInitialWords[RANDOM_QUICK_WORDS] = {
    0x95f24dab, 0x0b685215, 0xe76ccae7, 0xaf3ec239, 0x715fad23, 0x24a590ad, 0x69e4b5ef,
    0xbf456141, 0x96bc1b7b, 0xa7bdf825, 0xc1de75b7, 0x8858a9c9, 0x2da87693, 0xb657f9dd,
    0xffdc8a9f, 0x8121da71, 0x8b823ecb, 0x885d05f5, 0x4e20cd47, 0x5a9ad5d9, 0x512c0c03,
    0xea857ccd, 0x4cc1d30f, 0x8891a8a1, 0xa6b7aadb,
};
constexpr uint32_t quickTwist = 0x8EBFD028;

}  // namespace

bool RandomCryptoQuiet(size_t size, void *buffer, char *why, size_t whySize) {
  // Close-on-exec: a child started meanwhile must not inherit the device.
  int fd = open(randomDevice, O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    Str_Snprintf(why, whySize, "%s: failed to open %s: %s\n", randomWho, randomDevice,
                 Err_Errno2String(errno));
    return false;
  }
  auto *out = static_cast<unsigned char *>(buffer);
  size_t missing = size;
  while (missing > 0) {
    ssize_t n = read(fd, out + (size - missing), missing);
    if (n == 0) {
      close(fd);
      Str_Snprintf(why, whySize, "%s: zero length read while reading from %s\n", randomWho,
                   randomDevice);
      return false;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      int savedErrno = errno;
      close(fd);
      Str_Snprintf(why, whySize, "%s: %zu byte read failed while reading from %s: %s\n", randomWho,
                   missing, randomDevice, Err_Errno2String(savedErrno));
      return false;
    }
    missing -= static_cast<size_t>(n);
  }
  if (close(fd) == -1) {
    // The bytes arrived; a failing close is only worth a line.
    char line[256];
    Str_Snprintf(line, sizeof line, "%s: failed to close %s: %s\n", randomWho, randomDevice,
                 Err_Errno2String(errno));
    Log_Info("%s", line);
  }
  return true;
}

extern "C" {

bool Random_Crypto(size_t size, void *buffer) {
  char why[256];
  if (!RandomCryptoQuiet(size, buffer, why, sizeof why)) {
    Log_Info("%s", why);
    return false;
  }
  return true;
}

RandomQuickState *Random_QuickSeed(uint32_t seed) {
  auto *rs = static_cast<RandomQuickState *>(malloc(sizeof(RandomQuickState)));
  if (rs == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < RANDOM_QUICK_WORDS; i++) {
    rs->x[i] = quickInitialWords[i] ^ seed;
  }
  rs->p = RANDOM_QUICK_WORDS - 1;
  rs->q = 6;
  return rs;
}

uint32_t Random_Quick(RandomQuickState *rs) {
  constexpr uint32_t last = RANDOM_QUICK_WORDS - 1;
  rs->p = rs->p == last ? 0 : rs->p + 1;
  rs->q = rs->q == last ? 0 : rs->q + 1;
  uint32_t z = rs->x[rs->p];
  uint32_t y = (z >> 1) ^ rs->x[rs->q] ^ ((z & 1) != 0 ? quickTwist : 0);
  rs->x[rs->p == last ? 0 : rs->p + 1] = y;
  y ^= (y << 7) & 0x2B5B2500;
  y ^= (y << 15) & 0xDB8B0000;
  return y ^ (y >> 16);
}

}  // extern "C"
