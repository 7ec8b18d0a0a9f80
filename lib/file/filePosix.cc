// Path operations on POSIX: status, listing, deletion, times, space and
// the mount table.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/internal/pathEncoding.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/posix.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using fileint::Dup;
using fileint::UniqueChars;

namespace {

constexpr int64_t kEpochIn100ns = 116444736000000000LL;  // 1601-01-01 to 1970-01-01
constexpr unsigned long kSmbMagic = 0x517B;
constexpr unsigned long kCifsMagic = 0xFF534D42;
constexpr unsigned kMaxBindMounts = 10;

int64_t To100ns(const struct timespec &ts) {
  return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 + kEpochIn100ns;
}

struct timeval ToTimeval(int64_t time100ns) {
  int64_t sinceEpoch = time100ns - kEpochIn100ns;
  int64_t sec = sinceEpoch / 10000000;
  int64_t rest = sinceEpoch % 10000000;
  if (rest < 0) {
    sec -= 1;
    rest += 10000000;
  }
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(sec);
  tv.tv_usec = static_cast<suseconds_t>(rest / 10);
  return tv;
}

bool StatType(const char *pathName, mode_t type) {
  struct stat st;
  return Posix_Stat(pathName, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

// Bytes that cannot be shown as they are, escaped as \xNN.
std::string Escape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == '\\' || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool FileIsGroupsMember(gid_t gid) {
  std::vector<gid_t> groups(16);
  for (;;) {
    int n = getgroups(static_cast<int>(groups.size()), groups.data());
    if (n >= 0) {
      groups.resize(static_cast<size_t>(n));
      break;
    }
    if (errno != EINVAL) {
      Log_Warning("FILE: %s: Couldn't getgroups\n", "FileIsGroupsMember");
      return false;
    }
    int needed = getgroups(0, nullptr);
    if (needed < 0) {
      Log_Warning("FILE: %s: Couldn't getgroups\n", "FileIsGroupsMember");
      return false;
    }
    groups.resize(static_cast<size_t>(needed) + 1);
  }
  for (gid_t g : groups) {
    if (g == gid) {
      return true;
    }
  }
  return false;
}

// Walks the tree below an open directory without following links.
// Deletes everything in it when remove is set, and adds the sizes of the
// non-directory entries to total; false when any step failed.
bool WalkTreeAt(int dirFd, bool remove, uint64_t &total) {
  DIR *dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent *entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        ok = false;
      }
      break;
    }
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
      continue;
    }
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child == -1 || !WalkTreeAt(child, remove, total)) {
        ok = false;
        continue;
      }
      if (remove && unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0) {
        ok = false;
      }
    } else {
      total += static_cast<uint64_t>(st.st_size);
      if (remove && unlinkat(dirfd(dir), name, 0) != 0) {
        ok = false;
      }
    }
  }
  int savedErrno = errno;
  closedir(dir);
  errno = savedErrno;
  return ok;
}

// statfs of the full path, or of its nearest existing ancestor when ascend.
bool StatfsAscending(const char *pathName, bool ascend, struct statfs &sfs) {
  UniqueChars full(File_FullPath(pathName));
  if (full == nullptr) {
    return false;
  }
  std::string path(full.get());
  for (;;) {
    if (Posix_Statfs(path.c_str(), &sfs) == 0) {
      return true;
    }
    if (!ascend || errno != ENOENT || path == "/") {
      return false;
    }
    size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

uint64_t BlockSize(const struct statfs &sfs) {
  return static_cast<uint64_t>(sfs.f_frsize != 0 ? sfs.f_frsize : sfs.f_bsize);
}

// ---- The mount table ----

struct MountEntry {
  std::string device;
  std::string mountPoint;
  std::string options;
};

// Undoes the table's octal escapes (\040 for a space and so on).
std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); i++) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool ReadMountTable(std::vector<MountEntry> &entries) {
  int fd = open("/etc/mtab", O_RDONLY | O_CLOEXEC);
  if (fd == -1 && errno == ENOENT) {
    fd = open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
  }
  if (fd == -1) {
    return false;
  }
  std::string table;
  constexpr size_t kChunk = 16 * 1024;
  for (;;) {
    size_t used = table.size();
    table.resize(used + kChunk);
    ssize_t n = read(fd, table.data() + used, kChunk);
    if (n < 0 && errno == EINTR) {
      table.resize(used);
      continue;
    }
    if (n <= 0) {
      table.resize(used);
      if (n < 0) {
        int savedErrno = errno;
        close(fd);
        errno = savedErrno;
        return false;
      }
      break;
    }
    table.resize(used + static_cast<size_t>(n));
  }
  close(fd);
  std::string_view rest(table);
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size() && fields.size() < 4) {
      size_t start = line.find_first_not_of(" \t", pos);
      if (start == std::string_view::npos) break;
      size_t end = line.find_first_of(" \t", start);
      if (end == std::string_view::npos) end = line.size();
      fields.push_back(line.substr(start, end - start));
      pos = end;
    }
    if (fields.size() < 4 || fields[0].front() == '#') {
      continue;
    }
    entries.push_back({Unescape(fields[0]), Unescape(fields[1]), std::string(fields[3])});
  }
  return true;
}

bool HasBindOption(std::string_view options) {
  while (!options.empty()) {
    size_t comma = options.find(',');
    std::string_view option = options.substr(0, comma);
    if (option == "bind" || option == "rbind") {
      return true;
    }
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

// The length of mountPoint when it holds path, else 0 (an empty mount
// point never matches).
size_t MountMatch(std::string_view mountPoint, std::string_view path) {
  if (mountPoint == "/") {
    return path.front() == '/' ? 1 : 0;
  }
  if (path.substr(0, mountPoint.size()) == mountPoint &&
      (path.size() == mountPoint.size() || path[mountPoint.size()] == '/')) {
    return mountPoint.size();
  }
  return 0;
}

}  // namespace

int FileDeletion(const char *pathName, bool handleLink) {
  if (pathName == nullptr) {
    errno = EFAULT;
    return EFAULT;
  }
  UniqueChars local(PosixToCurrent(pathName));
  if (local == nullptr) {
    Log_Info("FILE: %s: failed to convert \"%s\" to current encoding\n", "FileDeletion", pathName);
    errno = EINVAL;
    return EINVAL;
  }
  auto fail = [](int err) {
    errno = err;
    return err;
  };
  if (handleLink) {
    struct stat st;
    if (lstat(local.get(), &st) == -1) {
      return fail(errno);
    }
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
      ssize_t n = readlink(local.get(), target.data(), target.size());
      if (n == -1) {
        return fail(errno);
      }
      if (static_cast<size_t>(n) != static_cast<size_t>(st.st_size) || n == 0) {
        return fail(EIO);  // the link changed under us, or lstat misreported it
      }
      target.resize(static_cast<size_t>(n));
      // A relative target is relative to the link's own directory.
      if (target[0] != '/') {
        std::string linkPath(local.get());
        size_t slash = linkPath.rfind('/');
        if (slash != std::string::npos) {
          target = linkPath.substr(0, slash + 1) + target;
        }
      }
      if (unlink(target.c_str()) == -1 && errno != ENOENT) {
        return fail(errno);
      }
    }
  }
  if (unlink(local.get()) == -1) {
    return fail(errno);
  }
  return fail(0);
}

extern "C" {

// ---- Path names ----

char *File_Cwd(const char *drive) {
  if (drive != nullptr && *drive != '\0') {
    Log_Warning("FILE: %s: Drive letter %s on Linux?\n", "File_Cwd", drive);
  }
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr) {
    int err = errno;
    Msg_Append(
        "@&!*@*@(msg.filePosix.getcwd)Unable to retrieve the current working directory: "
        "%s. Check if the directory has been deleted or unmounted.\n",
        Err_Errno2String(err));
    Log_Warning("FILE: %s: getcwd() failed: %s\n", "File_Cwd", Err_Errno2String(err));
    errno = err;
    return nullptr;
  }
  return PosixFromCurrent(buf, strlen(buf));
}

char *File_FullPath(const char *pathName) {
  UniqueChars cwd;
  if (!File_IsFullPath(pathName)) {
    cwd.reset(File_Cwd(nullptr));
    if (cwd == nullptr) {
      return nullptr;
    }
    if (pathName == nullptr || *pathName == '\0') {
      return cwd.release();
    }
  }
  std::string candidate =
      cwd == nullptr ? std::string(pathName) : std::string(cwd.get()) + "/" + pathName;
  int savedErrno = errno;
  char *resolved = Posix_RealPath(candidate.c_str());
  errno = savedErrno;
  if (resolved != nullptr) {
    return resolved;
  }
  // Not there (yet): keep the path as written, without doubled separators.
  std::string collapsed;
  for (char c : candidate) {
    if (c != '/' || collapsed.empty() || collapsed.back() != '/') {
      collapsed += c;
    }
  }
  return Dup(collapsed);
}

// ---- Checks ----

int File_GetData(const char *pathName, FileData *fileData) {
  struct stat st;
  if (Posix_Stat(pathName, &st) != 0) {
    return errno;
  }
  fileData->fileAccessTime = static_cast<int64_t>(st.st_atime);
  fileData->fileCreationTime = static_cast<int64_t>(st.st_ctime);
  fileData->fileModificationTime = static_cast<int64_t>(st.st_mtime);
  fileData->fileSize = static_cast<uint64_t>(st.st_size);
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      fileData->fileType = FILE_TYPE_REGULAR;
      break;
    case S_IFDIR:
      fileData->fileType = FILE_TYPE_DIRECTORY;
      break;
    case S_IFBLK:
      fileData->fileType = FILE_TYPE_BLOCKDEVICE;
      break;
    case S_IFCHR:
      fileData->fileType = FILE_TYPE_CHARDEVICE;
      break;
    case S_IFLNK:
      fileData->fileType = FILE_TYPE_SYMLINK;
      break;
    default:
      fileData->fileType = FILE_TYPE_UNCERTAIN;
      break;
  }
  fileData->fileMode = static_cast<int32_t>(st.st_mode);
  fileData->fileOwner = st.st_uid;
  fileData->fileGroup = st.st_gid;
  return 0;
}

bool File_IsFile(const char *pathName) {
  return StatType(pathName, S_IFREG);
}
bool File_IsDirectory(const char *pathName) {
  return StatType(pathName, S_IFDIR);
}
bool File_IsCharDevice(const char *pathName) {
  return StatType(pathName, S_IFCHR);
}

bool File_IsSymLink(const char *pathName) {
  struct stat st;
  return Posix_Lstat(pathName, &st) == 0 && S_ISLNK(st.st_mode);
}

bool File_GetFilePermissions(const char *pathName, int *mode) {
  struct stat st;
  if (Posix_Stat(pathName, &st) != 0) {
    return false;
  }
  *mode = static_cast<int>(st.st_mode);
  return true;
}

bool File_SetFilePermissions(const char *pathName, int mode) {
  if (Posix_Chmod(pathName, static_cast<mode_t>(mode)) != 0) {
    Log_Info("FILE: %s: failed to change permissions on file \"%s\": %s\n",
             "File_SetFilePermissions", pathName, Err_ErrString());
    return false;
  }
  return true;
}

bool File_IsWritableDir(const char *pathName) {
  struct stat st;
  if (Posix_Stat(pathName, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  uid_t euid = geteuid();
  if (euid == 0) {
    return true;
  }
  mode_t wanted;
  if (st.st_uid == euid) {
    wanted = S_IWUSR | S_IXUSR;
  } else if (st.st_gid == getegid() || FileIsGroupsMember(st.st_gid)) {
    wanted = S_IWGRP | S_IXGRP;
  } else {
    wanted = S_IWOTH | S_IXOTH;
  }
  return (st.st_mode & wanted) == wanted;
}

bool File_IsSameFile(const char *path1, const char *path2) {
  if (strcmp(path1, path2) == 0) {
    return true;
  }
  struct stat st1, st2;
  if (Posix_Stat(path1, &st1) != 0 || Posix_Stat(path2, &st2) != 0) {
    return false;
  }
  if (st1.st_dev != st2.st_dev || st1.st_ino != st2.st_ino) {
    return false;
  }
  struct statfs sfs1, sfs2;
  if (Posix_Statfs(path1, &sfs1) != 0 || Posix_Statfs(path2, &sfs2) != 0) {
    return false;
  }
  if (sfs1.f_type != NFS_SUPER_MAGIC && sfs2.f_type != NFS_SUPER_MAGIC) {
    return true;
  }
  // NFS may hand out the same numbers for different files.
  return st1.st_mode == st2.st_mode && st1.st_nlink == st2.st_nlink && st1.st_uid == st2.st_uid &&
         st1.st_gid == st2.st_gid && st1.st_rdev == st2.st_rdev && st1.st_size == st2.st_size &&
         st1.st_blksize == st2.st_blksize && st1.st_blocks == st2.st_blocks;
}

bool File_IsRemote(const char *pathName) {
  struct statfs sfs;
  if (Posix_Statfs(pathName, &sfs) != 0) {
    Log_Info("FILE: %s: statfs(%s) failed: %s\n", "File_IsRemote", pathName, Err_ErrString());
    return true;
  }
  auto type = static_cast<unsigned long>(sfs.f_type);
  return type == NFS_SUPER_MAGIC || type == kSmbMagic || type == kCifsMagic;
}

// ---- Directories ----

bool File_CreateDirectory(const char *pathName) {
  return Posix_Mkdir(pathName, 0777) == 0;
}

bool File_DeleteEmptyDirectory(const char *pathName) {
  return Posix_Rmdir(pathName) == 0;
}

bool File_DeleteDirectoryTree(const char *pathName) {
  UniqueChars local(PosixToCurrent(pathName));
  if (local == nullptr) {
    return false;
  }
  struct stat st;
  if (lstat(local.get(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR;  // nothing there to delete
  }
  if (!S_ISDIR(st.st_mode)) {
    if (S_ISLNK(st.st_mode)) {
      return File_UnlinkNoFollow(pathName) == 0;  // the link, never its tree
    }
    errno = ENOTDIR;
    return false;
  }
  int fd = open(local.get(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) {
    return false;
  }
  uint64_t unused = 0;
  bool ok = WalkTreeAt(fd, true, unused);
  return File_DeleteEmptyDirectory(pathName) && ok;
}

int File_ListDirectory(const char *pathName, char ***ids) {
  DIR *dir = Posix_OpenDir(pathName);
  if (dir == nullptr) {
    return -1;
  }
  std::vector<char *> names;
  int count = 0;
  int err = 0;
  for (;;) {
    errno = 0;
    struct dirent *entry = readdir(dir);
    if (entry == nullptr) {
      err = errno;
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    count++;
    if (ids == nullptr) {
      continue;
    }
    size_t len = strlen(entry->d_name);
    char *name = PosixFromCurrent(entry->d_name, len);
    if (name == nullptr) {
      Log_Warning("%s: file '%s' in directory '%s' cannot be converted to UTF8\n",
                  "File_ListDirectory", Escape({entry->d_name, len}).c_str(), pathName);
      name = Dup("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    }
    names.push_back(name);
  }
  closedir(dir);
  if (err != 0) {
    for (char *name : names) {
      free(name);
    }
    errno = err;
    return -1;
  }
  if (ids != nullptr) {
    *ids = static_cast<char **>(
        Util_SafeMalloc(-1, (names.size() + 1) * sizeof(char *), __FILE__, __LINE__));
    if (!names.empty()) {  // an empty vector's data() may be null
      memcpy(*ids, names.data(), names.size() * sizeof(char *));
    }
    (*ids)[names.size()] = nullptr;
  }
  return count;
}

// ---- Deleting and renaming ----

int File_Unlink(const char *pathName) {
  return FileDeletion(pathName, true) == 0 ? 0 : -1;
}

int File_UnlinkNoFollow(const char *pathName) {
  return FileDeletion(pathName, false) == 0 ? 0 : -1;
}

int File_UnlinkIfExists(const char *pathName) {
  int err = FileDeletion(pathName, true);
  if (err == ENOENT) {
    errno = 0;
    return 0;
  }
  return err == 0 ? 0 : -1;
}

int File_Rename(const char *oldName, const char *newName) {
  return Posix_Rename(oldName, newName) == 0 ? 0 : errno;
}

bool File_Replace(const char *oldFile, const char *newFile) {
  for (const char *path : {oldFile, newFile}) {
    UniqueChars local(PosixToCurrent(path));
    if (local == nullptr) {
      Msg_Append(
          "@&!*@*@(msg.filePosix.replaceConversionFailed)Failed to convert file path "
          "\"%s\" to current encoding\n",
          path != nullptr ? path : "(null)");
      errno = EINVAL;
      return false;
    }
  }
  struct stat st;
  if (Posix_Stat(oldFile, &st) != 0 || Posix_Chmod(newFile, st.st_mode & 07777) != 0) {
    int err = errno;
    Msg_Append(
        "@&!*@*@(msg.filePosix.replaceChmodFailed)Failed to duplicate file permissions "
        "from \"%s\" to \"%s\": %s\n",
        oldFile, newFile, Err_Errno2String(err));
    errno = err;
    return false;
  }
  if (Posix_Rename(newFile, oldFile) != 0) {
    int err = errno;
    Msg_Append(
        "@&!*@*@(msg.filePosix.replaceRenameFailed)Failed to rename \"%s\" to \"%s\": "
        "%s\n",
        newFile, oldFile, Err_Errno2String(err));
    errno = err;
    return false;
  }
  return true;
}

// ---- Times, sizes and space ----

bool File_GetTimes(const char *pathName, int64_t *createTime, int64_t *accessTime,
                   int64_t *writeTime, int64_t *attrChangeTime) {
  *createTime = *accessTime = *writeTime = *attrChangeTime = -1;
  struct stat st;
  if (Posix_Lstat(pathName, &st) != 0) {
    Log_Info("FILE: %s: error stating file \"%s\": %s\n", "File_GetTimes", pathName,
             Err_ErrString());
    return false;
  }
  *accessTime = To100ns(st.st_atim);
  *writeTime = To100ns(st.st_mtim);
  *attrChangeTime = To100ns(st.st_ctim);
  return true;
}

bool File_SetTimes(const char *pathName, int64_t, int64_t accessTime, int64_t writeTime, int64_t) {
  static constexpr const char *kFn = "File_SetTimes";
  UniqueChars local(PosixToCurrent(pathName));
  if (local == nullptr) {
    Log_Info("FILE: %s: failed to convert \"%s\" to current encoding\n", kFn,
             pathName != nullptr ? pathName : "(null)");
    errno = EINVAL;
    return false;
  }
  struct stat st;
  if (stat(local.get(), &st) != 0) {
    Log_Info("FILE: %s: error stating file \"%s\": %s\n", kFn, pathName, Err_ErrString());
    return false;
  }
  struct timeval times[2];
  times[0] = accessTime > 0 ? ToTimeval(accessTime) : ToTimeval(To100ns(st.st_atim));
  times[1] = writeTime > 0 ? ToTimeval(writeTime) : ToTimeval(To100ns(st.st_mtim));
  if (utimes(local.get(), times) != 0) {
    Log_Info("FILE: %s: utimes error on file \"%s\": %s\n", kFn, pathName, Err_ErrString());
    return false;
  }
  return true;
}

int64_t File_GetSize(const char *pathName) {
  return FileIO_GetSizeByPath(pathName);
}

int64_t File_GetSizeEx(const char *pathName) {
  UniqueChars local(PosixToCurrent(pathName));
  if (local == nullptr) {
    return -1;
  }
  struct stat st;
  if (stat(local.get(), &st) != 0) {
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    return static_cast<int64_t>(st.st_size);
  }
  int fd = open(local.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  uint64_t total = 0;
  if (fd == -1 || !WalkTreeAt(fd, false, total)) {
    return -1;
  }
  return static_cast<int64_t>(total);
}

int64_t File_GetCapacity(const char *pathName) {
  struct statfs sfs;
  if (!StatfsAscending(pathName, true, sfs)) {
    Log_Warning("FILE: %s: Couldn't statfs\n", "File_GetCapacity");
    return -1;
  }
  return static_cast<int64_t>(BlockSize(sfs) * static_cast<uint64_t>(sfs.f_blocks));
}

int64_t File_GetFreeSpace(const char *pathName, bool doNotAscend) {
  struct statfs sfs;
  if (!StatfsAscending(pathName, !doNotAscend, sfs)) {
    Log_Warning("%s: Couldn't statfs %s\n", "File_GetFreeSpace", pathName);
    return -1;
  }
  return static_cast<int64_t>(BlockSize(sfs) * static_cast<uint64_t>(sfs.f_bavail));
}

bool File_SupportsFileSize(const char *pathName, uint64_t fileSize) {
  if (fileSize < (UINT64_C(1) << 31)) {
    return true;
  }
  UniqueChars full(File_FullPath(pathName));
  if (full == nullptr) {
    Log_Info("FILE: %s: Error acquiring full path\n", "File_SupportsFileSize");
    return false;
  }
  if (File_IsFile(full.get())) {
    FileIODescriptor fd;
    FileIO_Invalidate(&fd);
    if (FileIO_Open(&fd, full.get(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN) == FILEIO_SUCCESS) {
      bool supported = FileIO_SupportsFileSize(&fd, fileSize);
      FileIO_Close(&fd);
      return supported;
    }
  }
  UniqueChars dir;
  if (File_IsDirectory(full.get())) {
    dir.reset(Dup(full.get()));
  } else {
    char *parent = nullptr;
    File_GetPathName(full.get(), &parent, nullptr);
    dir.reset(*parent == '\0' ? (free(parent), Dup("/")) : parent);
  }
  char *tempRaw = nullptr;
  int posix = File_MakeTempEx(dir.get(), ".vmBigFileTest", &tempRaw);
  if (posix == -1) {
    return false;
  }
  UniqueChars tempPath(tempRaw);
  FileIODescriptor fd = FileIO_CreateFDPosix(posix, O_RDWR);
  bool supported = FileIO_SupportsFileSize(&fd, fileSize);
  close(posix);
  File_UnlinkNoFollow(tempPath.get());
  return supported;
}

char *File_GetBlockDevice(const char *pathName) {
  UniqueChars full(File_FullPath(pathName));
  UniqueChars local(PosixToCurrent(full.get()));
  if (local == nullptr) {
    return nullptr;
  }
  std::vector<MountEntry> table;
  if (!ReadMountTable(table)) {
    return nullptr;
  }
  std::string path(local.get());
  for (unsigned binds = 0;; binds++) {
    const MountEntry *best = nullptr;
    size_t bestLength = 0;
    for (const MountEntry &entry : table) {
      size_t length = MountMatch(entry.mountPoint, path);
      // A later entry with the same mount point is mounted over the earlier.
      if (length > 0 && length >= bestLength) {
        best = &entry;
        bestLength = length;
      }
    }
    if (best == nullptr) {
      errno = ENOENT;
      return nullptr;
    }
    if (!HasBindOption(best->options)) {
      return PosixFromCurrent(best->device.data(), best->device.size());
    }
    if (binds == kMaxBindMounts) {
      Log_Warning("FILE: %s: The --[r]bind mount count exceeds %u. Giving up.\n",
                  "FilePosixGetBlockDevice", kMaxBindMounts);
      errno = ELOOP;
      return nullptr;
    }
    // The bound directory lives inside the file system of its source.
    std::string remainder = best->mountPoint == "/" ? path : path.substr(best->mountPoint.size());
    path = best->device + remainder;
  }
}

}  // extern "C"
