/*
 * The collector's process-wide settings and entry points.
 */
#ifndef TARNWELL_TARNWELL_H
#define TARNWELL_TARNWELL_H

#include <stdbool.h>
#include <stdint.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARNWELL_PATH_MAX 1024

/* Settings filled by the option parser and read by the serving loop. */
extern char tarnwellCoreDir[TARNWELL_PATH_MAX];
extern char tarnwellLogFile[TARNWELL_PATH_MAX];
extern uint8_t tarnwellIpAddr[4]; /* the octets in written order */
extern int32_t tarnwellPort;
extern int32_t _verbose;
/* Set (by SIGTERM or SIGINT) to make the serving loop return. */
extern volatile bool stopTarnwell;
/* The path separator of every path the collector builds. */
extern const char pathsep[];

/* Writes the message to standard error and the log, then exits with 1. */
void TarnwellFatal(const char *format, ...) BRELLIS_PRINTF(1, 2) __attribute__((noreturn));
/* TarnwellFatal with the usage text for the program named progName. */
void TarnwellUsage(const char *progName) __attribute__((noreturn));
/* Prepares the library and opens the log; fatal on failure. */
void TarnwellInitLog(void);

/* The whole program: options, checks, then the serving loop. */
int TarnwellMain(int argc, char **argv);

/* The serving loop; returns 0 once stopTarnwell is seen set. */
int TarnwellServe(void);

#ifdef __cplusplus
}
#endif

#endif /* TARNWELL_TARNWELL_H */
