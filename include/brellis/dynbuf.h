/*
 * A growable byte buffer: data, used length and allocated size. Growth may
 * fail; the operations then return false and leave the buffer as it was.
 * The buffer owns its data until DynBuf_Detach hands it to the caller.
 */
#ifndef BRELLIS_DYNBUF_H
#define BRELLIS_DYNBUF_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DynBuf {
  char *data;
  size_t size;      /* bytes in use */
  size_t allocated; /* bytes allocated */
} DynBuf;

/* An empty buffer without storage. */
void DynBuf_Init(DynBuf *b);
/* Frees the storage (zeroed first) and leaves the buffer empty. */
void DynBuf_Destroy(DynBuf *b);
/* Makes room for at least minSize bytes in all. */
bool DynBuf_Enlarge(DynBuf *b, size_t minSize);
bool DynBuf_Append(DynBuf *b, const void *data, size_t size);
/* Sets the used length; it must not exceed the allocated size. */
void DynBuf_SetSize(DynBuf *b, size_t size);
/* Shrinks the allocation to the used length. */
bool DynBuf_Trim(DynBuf *b);
/* Hands the data to the caller (who frees it) and leaves the buffer empty. */
void *DynBuf_Detach(DynBuf *b);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_DYNBUF_H */
