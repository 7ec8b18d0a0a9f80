/*
 * File I/O handles with typed results.
 *
 * A FileIODescriptor lives in the caller's own records; put it into the
 * invalid state with FileIO_Invalidate before first use. The module owns the
 * name and the lock token kept inside the handle. Paths are UTF-8.
 */
#ifndef BRELLIS_FILEIO_H
#define BRELLIS_FILEIO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FileLockToken FileLockToken;

typedef struct FileIODescriptor {
  int32_t posix;            /* -1 when invalid */
  uint32_t flags;           /* access flags after lock-bit resolution */
  char *fileName;           /* owned copy of the path, or NULL */
  FileLockToken *lockToken; /* advisory lock held, or NULL */
} FileIODescriptor;

typedef enum FileIOResult {
  FILEIO_SUCCESS = 0,
  FILEIO_CANCELLED = 1,
  FILEIO_ERROR = 2,
  FILEIO_OPEN_ERROR_EXIST = 3,
  FILEIO_LOCK_FAILED = 4,
  FILEIO_READ_ERROR_EOF = 5,
  FILEIO_FILE_NOT_FOUND = 6,
  FILEIO_NO_PERMISSION = 7,
  FILEIO_FILE_NAME_TOO_LONG = 8,
  FILEIO_WRITE_ERROR_FBIG = 9,
  FILEIO_WRITE_ERROR_NOSPC = 10,
  FILEIO_WRITE_ERROR_DQUOT = 11,
  FILEIO_ERROR_LAST = 12 /* the count of codes, not a code */
} FileIOResult;

/* Access flags. */
#define FILEIO_OPEN_ACCESS_READ 0x1u
#define FILEIO_OPEN_ACCESS_WRITE 0x2u
#define FILEIO_OPEN_SYNC 0x4u
#define FILEIO_OPEN_DELETE_ASAP 0x8u
#define FILEIO_OPEN_UNBUFFERED 0x10u
#define FILEIO_OPEN_LOCKED 0x20u
#define FILEIO_OPEN_NONBLOCK 0x80u
#define FILEIO_OPEN_PRIVILEGED 0x100u
#define FILEIO_OPEN_EXCLUSIVE_READ 0x200u
#define FILEIO_OPEN_EXCLUSIVE_WRITE 0x400u
#define FILEIO_OPEN_LOCK_MANDATORY 0x2000u
#define FILEIO_OPEN_APPEND 0x20000u
#define FILEIO_OPEN_ACCESS_NOFOLLOW 0x40000u
#define FILEIO_OPEN_LOCK_ADVISORY 0x100000u
#define FILEIO_OPEN_LOCK_ENFORCED 0x200000u

/* Open actions. */
typedef enum FileIOOpenAction {
  FILEIO_OPEN = 0,
  FILEIO_OPEN_EMPTY = 1,
  FILEIO_OPEN_CREATE = 2,
  FILEIO_OPEN_CREATE_SAFE = 3,
  FILEIO_OPEN_CREATE_EMPTY = 4
} FileIOOpenAction;

/* Seek origins. */
typedef enum FileIOSeekOrigin {
  FILEIO_SEEK_BEGIN = 0,
  FILEIO_SEEK_CURRENT = 1,
  FILEIO_SEEK_END = 2
} FileIOSeekOrigin;

/* Access-check bits for FileIO_Access. */
#define FILEIO_ACCESS_READ 1
#define FILEIO_ACCESS_WRITE 2
#define FILEIO_ACCESS_EXEC 4
#define FILEIO_ACCESS_EXISTS 8

void FileIO_Invalidate(FileIODescriptor *fd);
bool FileIO_IsValid(const FileIODescriptor *fd);
const char *FileIO_Filename(const FileIODescriptor *fd);

/* Opens or creates pathName; mode is used only when the action creates. */
FileIOResult FileIO_Create(FileIODescriptor *fd, const char *pathName, uint32_t access,
                           FileIOOpenAction action, int mode);
FileIOResult FileIO_Open(FileIODescriptor *fd, const char *pathName, uint32_t access,
                         FileIOOpenAction action);

/* True when the close failed (errno holds why); the handle ends invalid. */
bool FileIO_Close(FileIODescriptor *fd);
bool FileIO_CloseAndUnlink(FileIODescriptor *fd);

/* actual (may be NULL) receives the bytes transferred, also on failure. */
FileIOResult FileIO_Read(FileIODescriptor *fd, void *buf, size_t requested, size_t *actual);
FileIOResult FileIO_Write(FileIODescriptor *fd, const void *buf, size_t requested,
                          size_t *actual);

/* The new offset, or -1. */
int64_t FileIO_Seek(const FileIODescriptor *fd, int64_t distance, FileIOSeekOrigin origin);

int64_t FileIO_GetSize(const FileIODescriptor *fd);
int64_t FileIO_GetSizeByPath(const char *pathName);
int FileIO_Sync(const FileIODescriptor *fd);
bool FileIO_Truncate(FileIODescriptor *fd, uint64_t newSize);

/* FILEIO_SUCCESS when access(2) grants every requested bit, else FILEIO_ERROR. */
FileIOResult FileIO_Access(const char *pathName, int accessMode);

FILE *FileIO_DescriptorToStream(FileIODescriptor *fd, bool textMode);
FileIODescriptor FileIO_CreateFDPosix(int posixFd, int flags);

FileIOResult FileIO_Lock(FileIODescriptor *fd, int access);
FileIOResult FileIO_Unlock(FileIODescriptor *fd);

/* Static message texts, with and without the message-id prefix. */
const char *FileIO_MsgError(FileIOResult status);
const char *FileIO_ErrorEnglish(FileIOResult status);

/* The errno mapping shared by every operation. */
FileIOResult FileIOErrno2Result(int error);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_FILEIO_H */
