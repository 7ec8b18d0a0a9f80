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
#include <sys/uio.h>

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

/* Puts a handle into the invalid state: posix -1, no flags, name or lock. */
void FileIO_Invalidate(FileIODescriptor *fd);
bool FileIO_IsValid(const FileIODescriptor *fd);
/* The name the handle was opened with (not a copy), or NULL. */
const char *FileIO_Filename(const FileIODescriptor *fd);

/*
 * Opens or creates pathName; mode is used only when the action creates. The
 * descriptor is close-on-exec. FILEIO_OPEN_LOCKED takes the advisory lock
 * file before the open; FILEIO_OPEN_LOCK_MANDATORY alone opens without a
 * lock and together with FILEIO_OPEN_LOCKED fails with FILEIO_LOCK_FAILED.
 * FILEIO_OPEN_PRIVILEGED opens with effective user id 0 (when the saved or
 * real user id allows it). FILEIO_OPEN_DELETE_ASAP removes the name right
 * after the open. A NULL path fails with errno EFAULT and leaves the handle
 * untouched; any other failure leaves it invalid, with errno from the
 * failing call.
 */
FileIOResult FileIO_Create(FileIODescriptor *fd, const char *pathName, uint32_t access,
                           FileIOOpenAction action, int mode);
/* FileIO_Create with mode 0600. */
FileIOResult FileIO_Open(FileIODescriptor *fd, const char *pathName, uint32_t access,
                         FileIOOpenAction action);

/*
 * True when the close failed (errno holds why). In every case the handle
 * ends invalid, its lock released and its name freed.
 */
bool FileIO_Close(FileIODescriptor *fd);
/* Closes, then deletes the file by its stored name; true when either failed. */
bool FileIO_CloseAndUnlink(FileIODescriptor *fd);

/*
 * Transfer exactly requested bytes (below 2^31), retrying interrupted and
 * partial calls. actual (may be NULL) receives the bytes transferred, also
 * on failure. A read that meets the end of the file gives
 * FILEIO_READ_ERROR_EOF; a write the system accepts no byte of gives
 * FILEIO_WRITE_ERROR_NOSPC.
 */
FileIOResult FileIO_Read(FileIODescriptor *fd, void *buf, size_t requested, size_t *actual);
FileIOResult FileIO_Write(FileIODescriptor *fd, const void *buf, size_t requested, size_t *actual);

/* The new offset, or -1. */
int64_t FileIO_Seek(const FileIODescriptor *fd, int64_t distance, FileIOSeekOrigin origin);

/* Sizes in bytes, or -1. */
int64_t FileIO_GetSize(const FileIODescriptor *fd);
int64_t FileIO_GetSizeByPath(const char *pathName);

/*
 * The logical size and the space allocated on disk (blocks of 512 bytes);
 * either pointer may be NULL.
 */
FileIOResult FileIO_GetAllocSize(const FileIODescriptor *fd, uint64_t *logicalBytes,
                                 uint64_t *allocedBytes);
/*
 * Reserves disk space up to size bytes without changing the file's size.
 * A size below what is already allocated fails with errno EINVAL.
 */
bool FileIO_SetAllocSize(const FileIODescriptor *fd, uint64_t size);
/*
 * Whether FileIO_SetAllocSize can work: the kernel must be 2.6.23 or later;
 * with checkFileSystem, pathName must also lie on an ext2/3/4 file system.
 */
bool FileIO_SupportsPrealloc(const char *pathName, bool checkFileSystem);

/* The fsync result. */
int FileIO_Sync(const FileIODescriptor *fd);
/* True on success. */
bool FileIO_Truncate(FileIODescriptor *fd, uint64_t newSize);

/*
 * FILEIO_SUCCESS when access(2) grants every requested bit, else
 * FILEIO_ERROR; a NULL path fails with errno EFAULT.
 */
FileIOResult FileIO_Access(const char *pathName, int accessMode);

/*
 * A buffered stream over a duplicate of the descriptor ("r+", "w" or "r"
 * after the handle's access), or NULL. The handle stays open and
 * independent; the caller closes the stream. textMode has no effect here.
 */
FILE *FileIO_DescriptorToStream(FileIODescriptor *fd, bool textMode);
/*
 * A handle around an existing descriptor, from its open flags: READ and
 * WRITE for O_RDWR, WRITE for O_WRONLY, READ otherwise, plus SYNC when all
 * of O_SYNC's bits are set and APPEND for O_APPEND. No name, no lock.
 */
FileIODescriptor FileIO_CreateFDPosix(int posixFd, int flags);

/*
 * Take and release the advisory lock file for the handle's name
 * (fileLock.h): shared when access lacks FILEIO_OPEN_ACCESS_WRITE,
 * exclusive otherwise, waiting up to 2.5 s for others to let go (then
 * FILEIO_LOCK_FAILED). Access without a lock bit succeeds at once; with
 * FILEIO_OPEN_LOCK_MANDATORY it fails, as there are no mandatory locks.
 */
FileIOResult FileIO_Lock(FileIODescriptor *fd, int access);
FileIOResult FileIO_Unlock(FileIODescriptor *fd);

/*
 * Static message texts, with and without the message-id prefix.
 * FILEIO_ERROR_LAST is not a code: passing it ends the process.
 */
const char *FileIO_MsgError(FileIOResult status);
const char *FileIO_ErrorEnglish(FileIOResult status);

/*
 * Replacing a file without a moment in which it is missing:
 * FileIO_AtomicTempPath gives the temporary sibling's name (the full path
 * with "~" appended; the caller frees it); FileIO_AtomicTempFile creates it
 * with the replaced file's mode, owner and group; FileIO_AtomicUpdate
 * closes newFD, renames its file over the file of currFD (a symbolic link
 * there keeps pointing at the updated file) and reopens currFD on it,
 * keeping currFD's name and lock. It returns whether the rename succeeded
 * (errno from the rename otherwise); failing to reopen ends the process.
 */
char *FileIO_AtomicTempPath(const char *pathName);
FileIOResult FileIO_AtomicTempFile(FileIODescriptor *fileFD, FileIODescriptor *tempFD);
bool FileIO_AtomicUpdate(FileIODescriptor *newFD, FileIODescriptor *currFD);

/* Whether a seek to size lands exactly there; the position is kept. */
bool FileIO_SupportsFileSize(const FileIODescriptor *fd, uint64_t requestedSize);

/*
 * Positional transfers of a list of pieces at a 64-bit offset; the file
 * position neither is used nor moves. totalSize is the sum of the entries'
 * lengths (below 2^31); a list whose lengths do not add up to it fails with
 * FILEIO_ERROR and errno EINVAL. Interrupted and partial calls are retried;
 * a read that meets the end of the file gives FILEIO_READ_ERROR_EOF, a
 * write the system accepts no byte of FILEIO_WRITE_ERROR_NOSPC. A list of
 * several entries is gathered into one buffer and sent as one call.
 */
FileIOResult FileIO_Preadv(FileIODescriptor *fd, const struct iovec *entries, int count,
                           uint64_t offset, size_t totalSize);
FileIOResult FileIO_Pwritev(FileIODescriptor *fd, const struct iovec *entries, int count,
                            uint64_t offset, size_t totalSize);
/* The same with a single piece. */
FileIOResult FileIO_Pread(FileIODescriptor *fd, void *buffer, size_t length, uint64_t offset);
FileIOResult FileIO_Pwrite(FileIODescriptor *fd, const void *buffer, size_t length,
                           uint64_t offset);

/*
 * One readv / writev of the list at the current position (a list of many
 * small entries is gathered into one buffer first). A non-positive count is
 * FILEIO_ERROR. actual (may be NULL) receives the bytes transferred. Reads
 * retry interrupted calls and give FILEIO_READ_ERROR_EOF for fewer bytes
 * than totalSize; writes do not retry and give FILEIO_WRITE_ERROR_NOSPC
 * for fewer bytes.
 */
FileIOResult FileIO_Readv(FileIODescriptor *fd, const struct iovec *entries, int count,
                          size_t totalSize, size_t *actual);
FileIOResult FileIO_Writev(FileIODescriptor *fd, const struct iovec *entries, int count,
                           size_t totalSize, size_t *actual);

/*
 * The process's pool of page-aligned 1 MiB blocks for unbuffered transfers,
 * set up by the first transfer that gathers a list. PoolMalloc gives a
 * block (size at most 1 MiB) or NULL when the pool is missing, full or the
 * system refuses; PoolFree returns true when the block was the pool's
 * (blocks idle over a second are then returned to the system); PoolExit
 * releases the idle blocks and the pool itself. Blocks still handed out
 * stay valid and, once the pool is gone, are released with free().
 */
void *FileIOAligned_PoolMalloc(size_t size);
bool FileIOAligned_PoolFree(void *block);
void FileIOAligned_PoolExit(void);

/* The errno mapping shared by every operation. */
FileIOResult FileIOErrno2Result(int error);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_FILEIO_H */
