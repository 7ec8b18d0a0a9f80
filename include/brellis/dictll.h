/*
 * The line layer of dictionary files: one `name = "value"` line at a time.
 *
 * Names run up to a blank, "#" or "="; a value is either bare (up to a blank
 * or "#") or quoted (up to the closing double quote), and may be followed by
 * blanks and a "#" comment. In values, "|" and two hex digits stand for one
 * byte; control bytes, the double quote, "|" and DEL are written that way.
 * Results are new strings owned by the caller.
 */
#ifndef BRELLIS_DICTLL_H
#define BRELLIS_DICTLL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>

#include <brellis/dynbuf.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Parses the NUL-terminated line (without its line end): *name and *value
 * (unescaped) are both set when it is an assignment, both NULL otherwise.
 */
void DictLL_ParseLine(const char *line, char **name, char **value);

/*
 * Parses the line at buf: up to the first "\n" within bufSize bytes, or to
 * the end. *line receives a copy of it without the "\n"; *name and *value
 * (unescaped) are both set when the line is an assignment, both NULL
 * otherwise. Returns the position just past the line, or NULL (with all
 * three NULL) when bufSize is 0.
 */
const char *DictLL_UnmarshalLine(const char *buf, size_t bufSize, char **line, char **name,
                                 char **value);

/*
 * Appends `name = "escaped value"` and "\n" to output, or, with a NULL name,
 * value itself and "\n". False only when the buffer cannot grow.
 */
bool DictLL_MarshalLine(DynBuf *output, const char *name, const char *value);

/*
 * Reads one line, ended by "\n", "\r\n" or a lone "\r", and parses it as
 * DictLL_UnmarshalLine does. Returns 0 on a read error (errno set), 1 at end
 * of file with nothing read, 2 when a line was read.
 */
int DictLL_ReadLine(FILE *stream, char **line, char **name, char **value);

/* Writes one marshalled line with a single fwrite; false on failure (errno
 * ENOMEM when the line could not be built). */
bool DictLL_WriteLine(FILE *stream, const char *name, const char *value);

/* Consumes a leading UTF-8 byte-order mark and returns true; otherwise
 * leaves the stream where it was and returns false. Standard input is never
 * probed. */
bool DictLL_ReadUTF8BOM(FILE *stream);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_DICTLL_H */
