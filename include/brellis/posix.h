/*
 * System calls on UTF-8 paths.
 *
 * Each call converts its text arguments from UTF-8 into the process's
 * current encoding, makes one system call and returns its result unchanged
 * (with the errno the call left). A NULL text argument is passed on as NULL.
 * When a text argument cannot be represented in the current encoding the
 * call fails as the system call would (-1 or NULL) with errno EINVAL,
 * without reaching the system; a successful conversion leaves errno alone.
 *
 * The current encoding is UTF-8 unless G_FILENAME_ENCODING names another
 * one (its first comma-separated element; "@locale" means the locale's
 * character set) or G_BROKEN_FILENAMES is set (the locale's character set).
 * It is chosen on first use and kept for the life of the process.
 *
 * Texts handed back (link texts, resolved paths) are new UTF-8 strings the
 * caller frees; bytes that are not valid in the current encoding make such
 * a call fail with EINVAL.
 *
 * This layer covers the calls the file layer makes; user and group look-ups,
 * environment access and process execution are not part of it yet.
 */
#ifndef BRELLIS_POSIX_H
#define BRELLIS_POSIX_H

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The mode is handed to open only when flags contain O_CREAT, else 0. */
int Posix_Open(const char *pathName, int flags, ...);
FILE *Posix_Fopen(const char *pathName, const char *mode);
int Posix_Unlink(const char *pathName);
int Posix_Rename(const char *fromPathName, const char *toPathName);
int Posix_Symlink(const char *target, const char *linkPathName);
int Posix_Link(const char *target, const char *linkPathName);
int Posix_Chmod(const char *pathName, mode_t mode);
int Posix_Mkdir(const char *pathName, mode_t mode);
int Posix_Rmdir(const char *pathName);
int Posix_Stat(const char *pathName, struct stat *statBuf);
int Posix_Lstat(const char *pathName, struct stat *statBuf);
int Posix_Statfs(const char *pathName, struct statfs *statfsBuf);
DIR *Posix_OpenDir(const char *pathName);
int Posix_Access(const char *pathName, int mode);
int Posix_EuidAccess(const char *pathName, int mode);
int Posix_Utimes(const char *pathName, const struct timeval *times);
/* The link's text (at most 4095 bytes), or NULL. */
char *Posix_ReadLink(const char *pathName);
/* The resolved absolute path, or NULL. */
char *Posix_RealPath(const char *pathName);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_POSIX_H */
