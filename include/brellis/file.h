/*
 * Paths and directories.
 *
 * Paths are UTF-8 with "/" as the separator; they reach the system in the
 * current local encoding (a path that cannot be converted fails with errno
 * EINVAL). Strings returned are allocated and owned by the caller; NULL
 * means failure with errno from the failing call. Checks answer false on
 * any error. Messages meant for users go to the calling thread's pending
 * messages (msg.h).
 */
#ifndef BRELLIS_FILE_H
#define BRELLIS_FILE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <brellis/fileIO.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Path names ---- */

/* The current directory; drive is ignored here. NULL on failure. */
char *File_Cwd(const char *drive);
/*
 * An absolute path: resolved with realpath when it exists; otherwise the
 * current directory joined with a relative path, with runs of "/" collapsed
 * ("." and ".." stay). A NULL path gives the current directory.
 */
char *File_FullPath(const char *pathName);
bool File_IsFullPath(const char *pathName);
/*
 * volume is always ""; directory is everything up to and including the last
 * "/"; base is the rest. Each out-parameter may be NULL.
 */
void File_SplitName(const char *pathName, char **volume, char **directory, char **base);
/* As File_SplitName, with the directory's trailing "/" removed ("/" gives ""). */
void File_GetPathName(const char *fullPath, char **pathName, char **base);
/* Removes trailing "/" from a path whose base part is empty. */
char *File_StripSlashes(const char *path);
/* directory + "/" + base, without doubled separators at the seam. */
char *File_PathJoin(const char *dirName, const char *baseName);

/* ---- Checks (following symbolic links unless named otherwise) ---- */

#define FILE_TYPE_REGULAR 0
#define FILE_TYPE_DIRECTORY 1
#define FILE_TYPE_BLOCKDEVICE 2
#define FILE_TYPE_CHARDEVICE 3
#define FILE_TYPE_SYMLINK 4
#define FILE_TYPE_UNCERTAIN 7

/* Attributes from stat; times are seconds since the epoch. */
typedef struct FileData {
  int64_t fileAccessTime;
  int64_t fileCreationTime; /* status change */
  int64_t fileModificationTime;
  uint64_t fileSize;
  int32_t fileType;
  int32_t fileMode;
  uint32_t fileOwner;
  uint32_t fileGroup;
} FileData;

/* 0, or an errno value (also left in errno). */
int File_GetData(const char *pathName, FileData *fileData);

bool File_IsFile(const char *pathName);
bool File_IsDirectory(const char *pathName);
bool File_IsCharDevice(const char *pathName);
bool File_IsSymLink(const char *pathName); /* does not follow */
bool File_IsEmptyDirectory(const char *pathName);
bool File_Exists(const char *pathName);
bool File_GetFilePermissions(const char *pathName, int *mode);
bool File_SetFilePermissions(const char *pathName, int mode);
/* A directory the process can create entries in (write and search rights). */
bool File_IsWritableDir(const char *pathName);
/* Same name, or same device and inode (on NFS also same attributes). */
bool File_IsSameFile(const char *path1, const char *path2);
/* True on NFS, SMB and CIFS, and when the file system cannot be asked. */
bool File_IsRemote(const char *pathName);

/* ---- Directories ---- */

/* mkdir with mode 0777 (the umask applies); true on success. */
bool File_CreateDirectory(const char *pathName);
/* As File_CreateDirectory, but true also when a directory is there already. */
bool File_EnsureDirectory(const char *pathName);
/*
 * Creates every missing directory along pathName, top down. When
 * topmostCreated is given it receives the first directory actually created
 * (the caller frees it), or NULL. A directory created concurrently by
 * someone else counts as there.
 */
bool File_CreateDirectoryHierarchy(const char *pathName, char **topmostCreated);
/* rmdir; true on success. */
bool File_DeleteEmptyDirectory(const char *pathName);
/*
 * Deletes a directory and everything below it, never following symbolic
 * links (a path that is a link loses the link only). A missing path counts
 * as deleted.
 */
bool File_DeleteDirectoryTree(const char *pathName);
/*
 * The number of entries other than "." and "..", or -1 with errno set. With
 * ids not NULL it receives an array of that many UTF-8 names in directory
 * order (a name not valid in the local encoding is replaced by three U+FFFD
 * characters); the caller frees each name and the array.
 */
int File_ListDirectory(const char *pathName, char ***ids);

/* ---- Deleting, renaming, copying and moving ---- */

/*
 * Deletion: File_Unlink deletes a symbolic link's target too (a relative
 * target counts from the link's directory), File_UnlinkNoFollow only the
 * name, File_UnlinkIfExists is File_Unlink with a missing file counted as
 * success. 0 on success, -1 with errno set.
 */
int File_Unlink(const char *pathName);
int File_UnlinkNoFollow(const char *pathName);
int File_UnlinkIfExists(const char *pathName);
/* rename; 0 or the errno value. */
int File_Rename(const char *oldName, const char *newName);
/* Gives newFile oldFile's permissions, then renames it over oldFile. */
bool File_Replace(const char *oldFile, const char *newFile);

/*
 * Copying in 8192-byte pieces. Destinations are created new, or emptied
 * when overwriting is allowed. Failures append messages for the user.
 */
bool File_CopyFromFdToFd(FileIODescriptor src, FileIODescriptor dst);
FileIOResult File_CopyFromFdToName(FileIODescriptor src, const char *dstName,
                                   bool overwriteExisting);
bool File_Copy(const char *srcName, const char *dstName, bool overwriteExisting);
/* Copies the contents of srcDir into the existing directory dstDir. */
bool File_CopyTree(const char *srcDir, const char *dstDir, bool overwriteExisting,
                   bool followSymlinks);
/*
 * Moves by rename, falling back to copy and delete. asRename (may be NULL)
 * tells whether the rename did it.
 */
bool File_Move(const char *oldFile, const char *newFile, bool *asRename);
bool File_MoveTree(const char *srcDir, const char *dstDir, bool overwriteExisting, bool *asMove);

/* ---- Times, sizes and space ---- */

/*
 * Times in 100-nanosecond units since 1601-01-01, from lstat; -1 where the
 * platform has none (creation). File_SetTimes leaves times <= 0 unchanged
 * and cannot set the status-change time.
 */
bool File_GetTimes(const char *pathName, int64_t *createTime, int64_t *accessTime,
                   int64_t *writeTime, int64_t *attrChangeTime);
bool File_SetTimes(const char *pathName, int64_t createTime, int64_t accessTime, int64_t writeTime,
                   int64_t attrChangeTime);
/* Size in bytes, or -1. File_GetSizeEx sums a directory's tree. */
int64_t File_GetSize(const char *pathName);
int64_t File_GetSizeEx(const char *pathName);
/* Bytes in the file system holding pathName (or its nearest ancestor), or -1. */
int64_t File_GetCapacity(const char *pathName);
int64_t File_GetFreeSpace(const char *pathName, bool doNotAscend);
/* Whether a file of fileSize bytes can be made next to (or at) pathName. */
bool File_SupportsFileSize(const char *pathName, uint64_t fileSize);
/* The device mounted where pathName lies (bind mounts followed), or NULL. */
char *File_GetBlockDevice(const char *pathName);

/* ---- Names and search paths ---- */

/* The path without the extension of its last component. */
char *File_RemoveExtension(const char *pathName);
/*
 * Replaces the extension of the last component by newExtension (which
 * carries its "."): any extension when numExtensions is 0, else only one of
 * the numExtensions const char * extensions given.
 */
char *File_ReplaceExtension(const char *pathName, const char *newExtension, uint32_t numExtensions,
                            ...);
/*
 * Replaces the first of oldPrefixes that pathName starts with (followed by
 * "/" or the end) by its counterpart in newPrefixes; NULL when none does.
 */
char *File_MapPathPrefix(const char *oldPath, const char **oldPrefixes, const char **newPrefixes,
                         size_t numPrefixes);
/* Looks for file as given, then along the ";"-separated searchPath. */
bool File_FindFileInSearchPath(const char *file, const char *searchPath, const char *cwd,
                               char **result);
/* elem + ";" + searchPath, without elem's earlier place in it. */
char *File_PrependToPath(const char *searchPath, const char *elem);

/* ---- Rotation ---- */

/*
 * Moves fileName aside into numbered backups, keeping n of them.
 * noRename false: backups are stem-0.ext (newest) to stem-(n-1).ext, shifted
 * by renaming; n 0 just deletes the file. noRename true: the file becomes
 * stem-N.ext with N one above the highest number present, and the lowest
 * numbers are deleted so that n remain (n >= 1). Backups are deleted
 * without following links. newFileName (may be NULL) receives the name the
 * file was moved to, or NULL. Failed steps are logged, never returned.
 */
void File_Rotate(const char *fileName, int n, bool noRename, char **newFileName);

/* ---- Temporary files ---- */

/*
 * The calling user's private directory for temporary files: base + "/" +
 * "brellis-" + user name (or "uid-" + the effective user id when the user
 * has no name), or that name followed by "-" and a number when the plain
 * one is taken. base is the first writable directory of: the setting
 * "tmpDirectory" (only when useConf), $TMPDIR, "/tmp", "~", the current
 * directory and "/". The directory is created with mode 0700 if it is not
 * there; one that is there counts only when it is a real directory (not a
 * link), owned by the effective user, with no rights for anyone else (mode
 * 0700, a set-group-id bit allowed). The caller frees the path; NULL when
 * no such directory can be had.
 */
char *File_GetSafeTmpDir(bool useConf);

/*
 * Creates a new file stem + number in dir (O_EXCL, mode 0600, close-on-exec)
 * and returns its descriptor, handing its path to *presult (the caller
 * frees it); -1 with errno on failure (EFAULT for a NULL argument).
 */
int File_MakeTempEx(const char *dir, const char *stem, char **presult);
/*
 * File_MakeTempEx in a place chosen by tag: a full path is split into the
 * directory and the stem; any other tag is the stem inside
 * File_GetSafeTmpDir(true); no tag is the stem "brellis" there.
 */
int File_MakeTemp(const char *tag, char **presult);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_FILE_H */
