/*
 * The collector's process-wide settings and entry points.
 */
#ifndef TARNWELL_TARNWELL_H
#define TARNWELL_TARNWELL_H

#include <signal.h>
#include <stdbool.h>
#include <stdint.h>

#include <brellis/str.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARNWELL_PATH_MAX 1024

/* The four octets of a host-order address, most significant first, as
 * arguments for "%u.%u.%u.%u". */
#define IP_OCTETS(ip) ((ip) >> 24) & 0xFF, ((ip) >> 16) & 0xFF, ((ip) >> 8) & 0xFF, (ip)&0xFF

/* Settings filled by the option parser and read by the serving loop. */
extern char tarnwellCoreDir[TARNWELL_PATH_MAX];
extern char tarnwellLogFile[TARNWELL_PATH_MAX];
extern uint8_t tarnwellIpAddr[4]; /* the octets in written order */
extern int32_t tarnwellPort;
extern int32_t _verbose;
extern int32_t numClients;
extern bool daemonize;
/* The post-processing script as an absolute path, made at start from the
 * working directory of the start; set only when postProcessScriptGiven. */
extern char postProcessScript[TARNWELL_PATH_MAX];
extern bool postProcessScriptGiven;
/* Post-processing scripts running at once ("tarnwell.maxScripts"). */
extern int32_t tarnwellMaxScripts;
/* Set once the log follows on standard error, which then carries fatal
 * messages by itself. */
extern bool logOnStderr;
/* Set (by SIGTERM or SIGINT) to make the serving loop return. */
extern volatile sig_atomic_t stopTarnwell;
/* How many stop signals came, counted up to 2: a second one ends the wait for
 * running post-processing scripts. */
extern volatile sig_atomic_t stopSignalsSeen;
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
/* Wakes the serving loop wherever it waits, so that it sees stopTarnwell;
 * async-signal-safe. Does nothing before the loop's socket is bound. */
void TarnwellWakeServe(void);

#ifdef __cplusplus
}
#endif

#endif /* TARNWELL_TARNWELL_H */
