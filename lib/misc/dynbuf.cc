// The growable byte buffer behind the line layer and the conversions.

#include <brellis/dynbuf.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

void DynBuf_Init(DynBuf *b) {
  b->data = nullptr;
  b->size = 0;
  b->allocated = 0;
}

void DynBuf_Destroy(DynBuf *b) {
  if (b->data != nullptr) {
    // Buffers carry configuration values, some of them secret.
    explicit_bzero(b->data, b->allocated);
    free(b->data);
  }
  DynBuf_Init(b);
}

bool DynBuf_Enlarge(DynBuf *b, size_t minSize) {
  if (minSize <= b->allocated) {
    return true;
  }
  size_t newSize = b->allocated < 128 ? 128 : b->allocated;
  while (newSize < minSize) {
    if (newSize > SIZE_MAX / 2) {
      newSize = minSize;
      break;
    }
    newSize *= 2;
  }
  void *p = realloc(b->data, newSize);
  if (p == nullptr) {
    return false;
  }
  b->data = static_cast<char *>(p);
  b->allocated = newSize;
  return true;
}

bool DynBuf_Append(DynBuf *b, const void *data, size_t size) {
  if (size == 0) {
    return true;
  }
  if (size > SIZE_MAX - b->size || !DynBuf_Enlarge(b, b->size + size)) {
    return false;
  }
  memcpy(b->data + b->size, data, size);
  b->size += size;
  return true;
}

void DynBuf_SetSize(DynBuf *b, size_t size) {
  b->size = size <= b->allocated ? size : b->allocated;
}

bool DynBuf_Trim(DynBuf *b) {
  if (b->size == b->allocated || b->size == 0) {
    return true;
  }
  void *p = realloc(b->data, b->size);
  if (p == nullptr) {
    return false;
  }
  b->data = static_cast<char *>(p);
  b->allocated = b->size;
  return true;
}

void *DynBuf_Detach(DynBuf *b) {
  void *p = b->data;
  DynBuf_Init(b);
  return p;
}

}  // extern "C"
