/*
 * Byte escaping in the form prefix + two upper-case hexadecimal digits.
 * Results are new NUL-terminated buffers that the caller frees; NULL when
 * memory runs out.
 */
#ifndef BRELLIS_ESCAPE_H
#define BRELLIS_ESCAPE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Copy of buf[0..size) in which every byte b with bytesToEsc[b] non-zero is
 * replaced by prefix followed by its value in two upper-case hex digits.
 * The result length (without the NUL) goes to *sizeOut when not NULL.
 */
void *Escape_Do(const char *prefix, const int *bytesToEsc, const void *buf, size_t size,
                size_t *sizeOut);

/*
 * Copy of buf[0..size) in which escByte followed by two hex digits (either
 * case) becomes the byte they spell; an escByte not followed by two hex
 * digits is kept as it stands.
 */
void *Escape_Undo(char escByte, const void *buf, size_t size, size_t *sizeOut);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_ESCAPE_H */
