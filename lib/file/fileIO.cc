// The portable half of the file handles: handle state, result texts and the
// errno mapping.

#include <brellis/err.h>
#include <brellis/fileIO.h>
#include <brellis/log.h>
#include <brellis/panic.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::array<const char *, FILEIO_ERROR_LAST> kMessages = {
    "@&!*@*@(msg.fileio.success)Success",
    "@&!*@*@(msg.fileio.cancel)The operation was canceled by the user",
    "@&!*@*@(msg.fileio.generic)Error",
    "@&!*@*@(msg.fileio.exists)The file already exists",
    "@&!*@*@(msg.fileio.lock)Failed to lock the file",
    "@&!*@*@(msg.fileio.eof)Tried to read beyond the end of the file",
    "@&!*@*@(msg.fileio.notfound)Could not find the file",
    "@&!*@*@(msg.fileio.noPerm)Insufficient permission to access the file",
    "@&!*@*@(msg.fileio.namelong)The file name is too long",
    "@&!*@*@(msg.fileio.fBig)The file is too large",
    "@&!*@*@(msg.fileio.noSpc)There is no space left on the device",
    "@&!*@*@(msg.fileio.dQuot)There is no space left on the device",
};

}  // namespace

extern "C" {

void FileIO_Invalidate(FileIODescriptor *fd) {
  memset(fd, 0, sizeof *fd);
  fd->posix = -1;
}

bool FileIO_IsValid(const FileIODescriptor *fd) { return fd->posix != -1; }

const char *FileIO_Filename(const FileIODescriptor *fd) { return fd->fileName; }

const char *FileIO_MsgError(FileIOResult status) {
  int code = static_cast<int>(status);
  if (code == FILEIO_ERROR_LAST) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  if (code < 0 || code > FILEIO_ERROR_LAST) {
    Log_Warning("%s: bad code %d\n", "FileIO_MsgError", code);
    return "@&!*@*@(msg.fileio.unknown)Unknown error";
  }
  return kMessages[static_cast<size_t>(code)];
}

const char *FileIO_ErrorEnglish(FileIOResult status) {
  const char *text = FileIO_MsgError(status);
  if (strncmp(text, "@&!*@*@(", 8) == 0) {
    const char *close = strchr(text, ')');
    if (close != nullptr) {
      return close + 1;
    }
  }
  return text;
}

FileIOResult FileIOErrno2Result(int error) {
  switch (error) {
    case ENOENT:
      return FILEIO_FILE_NOT_FOUND;
    case EACCES:
      return FILEIO_NO_PERMISSION;
    case EEXIST:
      return FILEIO_OPEN_ERROR_EXIST;
    case EFBIG:
      return FILEIO_WRITE_ERROR_FBIG;
    case ENOSPC:
      return FILEIO_WRITE_ERROR_NOSPC;
    case ENAMETOOLONG:
      return FILEIO_FILE_NAME_TOO_LONG;
    case EDQUOT:
      return FILEIO_WRITE_ERROR_DQUOT;
    default:
      Log_Info("%s: Unexpected errno=%d, %s\n", "FileIOErrno2Result", error,
               Err_Errno2String(error));
      return FILEIO_ERROR;
  }
}

}  // extern "C"
