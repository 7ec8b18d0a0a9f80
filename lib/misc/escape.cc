// Escaping bytes as prefix + hex digits, and undoing it.

#include <brellis/dynbuf.h>
#include <brellis/escape.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void *Finish(DynBuf *b, size_t *sizeOut) {
  size_t len = b->size;
  if (!DynBuf_Append(b, "", 1)) {
    DynBuf_Destroy(b);
    return nullptr;
  }
  if (sizeOut != nullptr) {
    *sizeOut = len;
  }
  return DynBuf_Detach(b);
}

}  // namespace

extern "C" {

void *Escape_Do(const char *prefix, const int *bytesToEsc, const void *buf, size_t size,
                size_t *sizeOut) {
  const auto *in = static_cast<const unsigned char *>(buf);
  size_t prefixLen = strlen(prefix);
  DynBuf b;
  DynBuf_Init(&b);
  if (!DynBuf_Enlarge(&b, size + 1)) {
    return nullptr;
  }
  size_t start = 0;
  for (size_t i = 0; i < size; i++) {
    if (bytesToEsc[in[i]] == 0) {
      continue;
    }
    char hex[2] = {kHex[in[i] >> 4], kHex[in[i] & 0xF]};
    if (!DynBuf_Append(&b, in + start, i - start) || !DynBuf_Append(&b, prefix, prefixLen) ||
        !DynBuf_Append(&b, hex, 2)) {
      DynBuf_Destroy(&b);
      return nullptr;
    }
    start = i + 1;
  }
  if (!DynBuf_Append(&b, in + start, size - start)) {
    DynBuf_Destroy(&b);
    return nullptr;
  }
  return Finish(&b, sizeOut);
}

void *Escape_Undo(char escByte, const void *buf, size_t size, size_t *sizeOut) {
  const auto *in = static_cast<const unsigned char *>(buf);
  auto *out = static_cast<unsigned char *>(malloc(size + 1));
  if (out == nullptr) {
    return nullptr;
  }
  size_t o = 0;
  // An escape byte that does not start a valid sequence is copied together
  // with everything up to and including the byte that broke the sequence,
  // so "||41" stays "||41" rather than becoming "|A".
  for (size_t i = 0; i < size;) {
    if (in[i] != static_cast<unsigned char>(escByte)) {
      out[o++] = in[i++];
      continue;
    }
    size_t j = i + 1;
    int value = 0;
    while (j < size && j < i + 3) {
      int digit = HexValue(in[j]);
      if (digit < 0) {
        break;
      }
      value = value << 4 | digit;
      j++;
    }
    if (j == i + 3) {
      out[o++] = static_cast<unsigned char>(value);
      i = j;
      continue;
    }
    size_t stop = j < size ? j + 1 : size;
    while (i < stop) {
      out[o++] = in[i++];
    }
  }
  out[o] = '\0';
  if (sizeOut != nullptr) {
    *sizeOut = o;
  }
  return out;
}

}  // extern "C"
