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
 * An unsupported current character set is taken as UTF-8.
 *
 * Texts handed back (link texts, resolved paths, environment values, user
 * and mount records) are UTF-8; bytes from the system that are not valid in
 * the current encoding make such a call fail with EINVAL (NULL, -1, or the
 * error number for the _r forms).
 */
#ifndef BRELLIS_POSIX_H
#define BRELLIS_POSIX_H

#include <dirent.h>
#include <mntent.h>
#include <pwd.h>
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
/* The link's text as a new string, or NULL; ENAMETOOLONG when it is 4095
 * bytes or longer. */
char *Posix_ReadLink(const char *pathName);
/* The resolved absolute path, or NULL. */
char *Posix_RealPath(const char *pathName);

FILE *Posix_Popen(const char *command, const char *mode);
/* Converts fileName and the NULL-terminated argVal; returns only on
 * failure, -1 (EINVAL when some text cannot be represented). */
int Posix_Execvp(const char *fileName, char *const argVal[]);

/*
 * The variable's value, or NULL. The string belongs to the library and
 * stays valid for the life of the process; two calls for an unchanged
 * variable return the same pointer.
 */
const char *Posix_Getenv(const char *name);

/*
 * The user record with its text fields in UTF-8, in one process-wide record
 * that the next call of either function replaces (not safe from two threads
 * at once, like the calls they wrap); NULL when there is no such user or a
 * field does not convert (EINVAL).
 */
struct passwd *Posix_Getpwnam(const char *name);
struct passwd *Posix_Getpwuid(uid_t uid);
/*
 * getpwuid_r with the text fields converted to UTF-8 and packed into buf.
 * The system's error number; ENOMEM when the converted fields do not fit,
 * EINVAL when one does not convert (*result is then NULL).
 */
int Posix_Getpwuid_r(uid_t uid, struct passwd *pw, char *buf, size_t size, struct passwd **result);
/* getmntent_r with the text fields converted to UTF-8 and packed into buf;
 * NULL at the end of the table, or with ENOMEM or EINVAL as above. */
struct mntent *Posix_Getmntent_r(FILE *fp, struct mntent *m, char *buf, int size);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_POSIX_H */
