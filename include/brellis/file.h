/*
 * Paths and directories. Paths are UTF-8; strings returned are allocated and
 * owned by the caller.
 */
#ifndef BRELLIS_FILE_H
#define BRELLIS_FILE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* mkdir with mode 0777 (the umask applies); true on success. */
bool File_CreateDirectory(const char *pathName);
/* As File_CreateDirectory, but true also when a directory is there already. */
bool File_EnsureDirectory(const char *pathName);
/*
 * Creates every missing directory along pathName, top down. When
 * topmostCreated is given it receives the first directory actually created
 * (the caller frees it), or NULL.
 */
bool File_CreateDirectoryHierarchy(const char *pathName, char **topmostCreated);

bool File_IsDirectory(const char *pathName);
bool File_Exists(const char *pathName);

/*
 * Deletion: File_Unlink deletes a symbolic link's target too,
 * File_UnlinkNoFollow only the name, File_UnlinkIfExists is File_Unlink with
 * a missing file counted as success. 0 on success, -1 with errno set.
 */
int File_Unlink(const char *pathName);
int File_UnlinkNoFollow(const char *pathName);
int File_UnlinkIfExists(const char *pathName);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_FILE_H */
