// Path-level operations built over the POSIX primitives: names, directory
// chains, search paths, rotation, and copying and moving.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/posix.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include "file/fileInt.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using fileint::Dup;
using fileint::UniqueChars;

namespace {

// Where the last component of a path begins.
size_t BaseStart(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// The position of the extension's "." in the last component, or npos.
size_t ExtensionStart(std::string_view path) {
  size_t dot = path.rfind('.');
  return dot == std::string_view::npos || dot < BaseStart(path) ? std::string_view::npos : dot;
}

std::string ErrText(int err) {
  return Err_Errno2String(err);
}

// Frees a listing from File_ListDirectory.
struct Listing {
  char **names = nullptr;
  int count = -1;
  ~Listing() {
    for (int i = 0; i < count; i++) {
      free(names[i]);
    }
    free(names);
  }
};

// ---- Rotation ----

void RotateByRename(const char *path, int n, const std::string &stem, const std::string &ext,
                    char **newName) {
  static constexpr const char *kFn = "FileRotateByRename";
  auto backup = [&](int k) { return stem + "-" + std::to_string(k) + ext; };

  if (n == 0) {
    if (FileDeletion(path, false) != 0 && errno != ENOENT) {
      Log_Info("FILE: %s: failed to remove %s: %s\n", kFn, path, Err_ErrString());
    }
    return;
  }
  // The oldest backup goes; a link there loses only the link.
  std::string oldest = backup(n - 1);
  if (FileDeletion(oldest.c_str(), false) != 0 && errno != ENOENT) {
    Log_Info("FILE: %s: failed to remove %s: %s\n", kFn, oldest.c_str(), Err_ErrString());
  }
  for (int k = n - 2; k >= 0; k--) {
    std::string from = backup(k);
    std::string to = backup(k + 1);
    int err = File_Rename(from.c_str(), to.c_str());
    if (err != 0 && err != ENOENT) {
      Log_Info("FILE: %s: failed to rename %s -> %s: %s\n", kFn, from.c_str(), to.c_str(),
               ErrText(err).c_str());
    }
  }
  std::string newest = backup(0);
  int err = File_Rename(path, newest.c_str());
  if (err == 0) {
    if (newName != nullptr) {
      *newName = Dup(newest);
    }
  } else if (err != ENOENT) {
    Log_Info("FILE: %s: failed to rename %s -> %s: %s\n", kFn, path, newest.c_str(),
             ErrText(err).c_str());
  }
}

// The number in base-N+ext, where N is one or more decimal digits that fit
// 32 bits; false for any other name.
bool BackupNumber(std::string_view name, std::string_view base, std::string_view ext,
                  uint32_t &number) {
  if (name.size() <= base.size() + 1 + ext.size() || name.substr(0, base.size()) != base ||
      name[base.size()] != '-' || name.substr(name.size() - ext.size()) != ext) {
    return false;
  }
  std::string_view digits =
      name.substr(base.size() + 1, name.size() - base.size() - 1 - ext.size());
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return false;
    }
  }
  number = static_cast<uint32_t>(value);
  return true;
}

void RotateByRenumber(const char *path, int n, const std::string &stem, const std::string &ext,
                      char **newName) {
  static constexpr const char *kFn = "FileRotateByRenumber";
  UniqueChars full(File_FullPath(stem.c_str()));
  if (full == nullptr) {
    Log_Info("FILE: %s: failed to get full path for '%s'.\n", kFn, stem.c_str());
    return;
  }
  char *dirRaw = nullptr;
  char *baseRaw = nullptr;
  File_GetPathName(full.get(), &dirRaw, &baseRaw);
  UniqueChars dir(dirRaw);
  UniqueChars base(baseRaw);
  if (*dir == '\0' || *base == '\0') {
    Log_Info("FILE: %s: failed to get base dir for path '%s'.\n", kFn, stem.c_str());
    return;
  }
  Listing listing;
  listing.count = File_ListDirectory(dir.get(), &listing.names);
  if (listing.count < 0) {
    Log_Info("FILE: %s: failed to read the directory '%s'.\n", kFn, dir.get());
    return;
  }
  // Names are kept as listed, so the ones pruned are exactly those found.
  std::vector<std::pair<uint32_t, std::string>> found;
  for (int i = 0; i < listing.count; i++) {
    uint32_t number;
    if (BackupNumber(listing.names[i], base.get(), ext, number)) {
      found.emplace_back(number, listing.names[i]);
    }
  }
  std::sort(found.begin(), found.end());

  std::string prefix = std::string(dir.get()) + "/" + base.get() + "-";
  if (!found.empty() && found.back().first == UINT32_MAX) {
    std::string next = prefix + "4294967296" + ext;
    Log_Info("FILE: %s: failed to rename %s -> %s failed: %s\n", kFn, path, next.c_str(),
             ErrText(EOVERFLOW).c_str());
    return;
  }
  uint32_t nextNumber = found.empty() ? 1 : found.back().first + 1;
  std::string next = prefix + std::to_string(nextNumber) + ext;
  int err = File_Rename(path, next.c_str());
  if (err != 0) {
    if (err != ENOENT) {
      Log_Info("FILE: %s: failed to rename %s -> %s failed: %s\n", kFn, path, next.c_str(),
               ErrText(err).c_str());
    }
    return;  // nothing moved, so nothing is pruned
  }
  if (newName != nullptr) {
    *newName = Dup(next);
  }
  size_t keep = n > 0 ? static_cast<size_t>(n) : 1;
  if (found.size() >= keep) {
    size_t excess = found.size() - keep + 1;
    for (size_t i = 0; i < excess; i++) {
      std::string victim = std::string(dir.get()) + "/" + found[i].second;
      if (FileDeletion(victim.c_str(), false) != 0) {
        Log_Info("FILE: %s: failed to remove %s: %s\n", kFn, victim.c_str(), Err_ErrString());
      }
    }
  }
}

// ---- Copying ----

bool IsDirectoryNoFollow(const char *path) {
  struct stat st;
  return Posix_Lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

extern "C" {

// ---- Path names ----

bool File_IsFullPath(const char *pathName) {
  return pathName != nullptr && pathName[0] == '/';
}

void File_SplitName(const char *pathName, char **volume, char **directory, char **base) {
  std::string_view path(pathName);
  size_t baseStart = BaseStart(path);
  if (volume != nullptr) *volume = Dup("");
  if (directory != nullptr) *directory = Dup(path.substr(0, baseStart));
  if (base != nullptr) *base = Dup(path.substr(baseStart));
}

void File_GetPathName(const char *fullPath, char **pathName, char **base) {
  std::string_view path(fullPath);
  size_t baseStart = BaseStart(path);
  if (pathName != nullptr) {
    std::string_view dir = path.substr(0, baseStart);
    while (!dir.empty() && dir.back() == '/') {
      dir.remove_suffix(1);
    }
    *pathName = Dup(dir);
  }
  if (base != nullptr) *base = Dup(path.substr(baseStart));
}

char *File_StripSlashes(const char *path) {
  std::string_view p(path);
  if (BaseStart(p) == p.size()) {
    while (!p.empty() && p.back() == '/') {
      p.remove_suffix(1);
    }
  }
  return Dup(p);
}

char *File_PathJoin(const char *dirName, const char *baseName) {
  std::string_view dir(dirName);
  std::string_view base(baseName);
  while (!base.empty() && base.front() == '/') base.remove_prefix(1);
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  std::string joined(dir);
  joined += '/';
  joined += base;
  return Dup(joined);
}

// ---- Checks ----

bool File_Exists(const char *pathName) {
  return FileIO_Access(pathName, FILEIO_ACCESS_EXISTS) == FILEIO_SUCCESS;
}

bool File_IsEmptyDirectory(const char *pathName) {
  return File_IsDirectory(pathName) && File_ListDirectory(pathName, nullptr) == 0;
}

// ---- Directories ----

bool File_EnsureDirectory(const char *pathName) {
  // Success means a directory is there in the end, not merely some entry.
  return File_CreateDirectory(pathName) || (errno == EEXIST && File_IsDirectory(pathName));
}

bool File_CreateDirectoryHierarchy(const char *pathName, char **topmostCreated) {
  if (topmostCreated != nullptr) {
    *topmostCreated = nullptr;
  }
  if (pathName == nullptr || *pathName == '\0') {
    return true;
  }
  std::string path(pathName);
  size_t index = 0;
  for (;;) {
    size_t slash = path.find('/', index + 1);
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && !File_IsDirectory(prefix.c_str())) {
      if (!File_CreateDirectory(prefix.c_str())) {
        // Another creator may have won the race: what counts is the result.
        if (errno != EEXIST || !File_IsDirectory(prefix.c_str())) {
          return false;
        }
      } else if (topmostCreated != nullptr && *topmostCreated == nullptr) {
        *topmostCreated = Dup(prefix);
      }
    }
    if (slash == std::string::npos) {
      return true;
    }
    index = slash;
  }
}

// ---- Names and search paths ----

char *File_RemoveExtension(const char *pathName) {
  std::string_view path(pathName);
  size_t dot = ExtensionStart(path);
  return Dup(dot == std::string_view::npos ? path : path.substr(0, dot));
}

char *File_ReplaceExtension(const char *pathName, const char *newExtension, uint32_t numExtensions,
                            ...) {
  std::string_view path(pathName);
  // The directory keeps its separator, so "/x.a" stays rooted.
  std::string_view dir = path.substr(0, BaseStart(path));
  std::string_view base = path.substr(BaseStart(path));
  size_t dot = base.rfind('.');
  if (dot != std::string_view::npos) {
    std::string_view ext = base.substr(dot);
    bool remove = numExtensions == 0;
    va_list ap;
    va_start(ap, numExtensions);
    for (uint32_t i = 0; i < numExtensions; i++) {
      const char *candidate = va_arg(ap, const char *);
      if (!remove && candidate != nullptr && ext == candidate) {
        remove = true;
      }
    }
    va_end(ap);
    if (remove) {
      base = base.substr(0, dot);
    }
  }
  std::string result(dir);
  result += base;
  result += newExtension;
  return Dup(result);
}

char *File_MapPathPrefix(const char *oldPath, const char **oldPrefixes, const char **newPrefixes,
                         size_t numPrefixes) {
  std::string_view path(oldPath);
  for (size_t i = 0; i < numPrefixes; i++) {
    UniqueChars oldPrefix(File_StripSlashes(oldPrefixes[i]));
    UniqueChars newPrefix(File_StripSlashes(newPrefixes[i]));
    std::string_view prefix(oldPrefix.get());
    if (path.substr(0, prefix.size()) == prefix &&
        (path.size() == prefix.size() || path[prefix.size()] == '/')) {
      std::string mapped(newPrefix.get());
      mapped += path.substr(prefix.size());
      return Dup(mapped);
    }
  }
  return nullptr;
}

bool File_FindFileInSearchPath(const char *file, const char *searchPath, const char *cwd,
                               char **result) {
  auto found = [](const std::string &candidate) {
    if (Posix_EuidAccess(candidate.c_str(), F_OK) == 0) {
      return true;
    }
    struct stat st;
    return errno == ENOSYS && Posix_Stat(candidate.c_str(), &st) == 0;
  };
  std::string candidate = File_IsFullPath(file) ? std::string(file) : std::string(cwd) + "/" + file;
  bool hit = found(candidate);
  if (!hit && strchr(file, '/') == nullptr && searchPath != nullptr) {
    std::string_view rest(searchPath);
    while (!hit) {
      size_t sep = rest.find(';');
      std::string element(rest.substr(0, sep));
      if (File_IsFullPath(element.c_str())) {
        candidate = element + "/" + file;
      } else if (strcasecmp(element.c_str(), ".") == 0) {
        candidate = std::string(cwd) + "/" + file;
      } else {
        candidate = std::string(cwd) + "/" + element + "/" + file;
      }
      hit = found(candidate);
      if (sep == std::string_view::npos) {
        break;
      }
      rest.remove_prefix(sep + 1);
    }
  }
  if (!hit) {
    return false;
  }
  if (result != nullptr) {
    *result = File_FullPath(candidate.c_str());
    return *result != nullptr;
  }
  return true;
}

char *File_PrependToPath(const char *searchPath, const char *elem) {
  if (*searchPath == '\0') {
    return Dup(elem);
  }
  std::string result(elem);
  std::string_view rest(searchPath);
  bool removed = false;
  for (;;) {
    size_t sep = rest.find(';');
    std::string_view element = rest.substr(0, sep);
    if (!removed && element == elem) {
      removed = true;
    } else {
      result += ';';
      result += element;
    }
    if (sep == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(sep + 1);
  }
  return Dup(result);
}

// ---- Rotation ----

void File_Rotate(const char *fileName, int n, bool noRename, char **newFileName) {
  if (newFileName != nullptr) {
    *newFileName = nullptr;
  }
  if (fileName == nullptr || n < 0) {
    return;
  }
  std::string path(fileName);
  // The extension belongs to the last component only: "/var/log.d/app" has
  // none.
  size_t dot = ExtensionStart(path);
  std::string stem = dot == std::string::npos ? path : path.substr(0, dot);
  std::string ext = dot == std::string::npos ? std::string() : path.substr(dot);
  if (noRename) {
    RotateByRenumber(fileName, n, stem, ext, newFileName);
  } else {
    RotateByRename(fileName, n, stem, ext, newFileName);
  }
}

// ---- Copying and moving ----

bool File_CopyFromFdToFd(FileIODescriptor src, FileIODescriptor dst) {
  char buf[8192];
  for (;;) {
    size_t got = 0;
    FileIOResult readResult = FileIO_Read(&src, buf, sizeof buf, &got);
    if (readResult != FILEIO_SUCCESS && readResult != FILEIO_READ_ERROR_EOF) {
      Msg_Append("@&!*@*@(msg.File.CopyFromFdToFd.read.failure)Read error: %s.\n\n",
                 FileIO_ErrorEnglish(readResult));
      return false;
    }
    if (got > 0) {
      FileIOResult writeResult = FileIO_Write(&dst, buf, got, nullptr);
      if (writeResult != FILEIO_SUCCESS) {
        Msg_Append("@&!*@*@(msg.File.CopyFromFdToFd.write.failure)Write error: %s.\n\n",
                   FileIO_ErrorEnglish(writeResult));
        return false;
      }
    }
    if (readResult == FILEIO_READ_ERROR_EOF) {
      return true;
    }
  }
}

FileIOResult File_CopyFromFdToName(FileIODescriptor src, const char *dstName,
                                   bool overwriteExisting) {
  FileIODescriptor dst;
  FileIO_Invalidate(&dst);
  FileIOResult status =
      FileIO_Open(&dst, dstName, FILEIO_OPEN_ACCESS_WRITE,
                  overwriteExisting ? FILEIO_OPEN_CREATE_EMPTY : FILEIO_OPEN_CREATE_SAFE);
  if (status != FILEIO_SUCCESS) {
    Msg_Append(
        "@&!*@*@(msg.File.CopyFromFdToName.create.failure)Unable to create a new '%s' file: "
        "%s.\n\n",
        dstName, FileIO_ErrorEnglish(status));
    return status;
  }
  bool copied = File_CopyFromFdToFd(src, dst);
  if (FileIO_Close(&dst)) {
    Msg_Append(
        "@&!*@*@(msg.File.CopyFromFdToName.close.failure)Unable to close the '%s' file: "
        "%s.\n\n",
        dstName, Err_ErrString());
    copied = false;
  }
  if (!copied) {
    int savedErrno = errno;
    File_UnlinkNoFollow(dstName);  // a partial copy must not look like a copy
    errno = savedErrno;
    return FILEIO_ERROR;
  }
  return FILEIO_SUCCESS;
}

bool File_Copy(const char *srcName, const char *dstName, bool overwriteExisting) {
  if (srcName == nullptr || dstName == nullptr) {
    errno = EFAULT;
    return false;
  }
  FileIODescriptor src;
  FileIO_Invalidate(&src);
  FileIOResult status = FileIO_Open(&src, srcName, FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN);
  if (status != FILEIO_SUCCESS) {
    Msg_Append(
        "@&!*@*@(msg.File.Copy.open.failure)Unable to open the '%s' file for read access: "
        "%s.\n\n",
        srcName, FileIO_ErrorEnglish(status));
    return false;
  }
  status = File_CopyFromFdToName(src, dstName, overwriteExisting);
  int savedErrno = errno;
  if (FileIO_Close(&src)) {
    Msg_Append("@&!*@*@(msg.File.Copy.close.failure)Unable to close the '%s' file: %s.\n\n",
               srcName, Err_ErrString());
    return false;
  }
  errno = savedErrno;
  return status == FILEIO_SUCCESS;
}

bool File_CopyTree(const char *srcDir, const char *dstDir, bool overwriteExisting,
                   bool followSymlinks) {
  if (!File_IsDirectory(srcDir)) {
    Msg_Append(
        "@&!*@*@(msg.File.CopyTree.source.notDirectory)Source path '%s' is not a "
        "directory.",
        srcDir);
    return false;
  }
  if (!File_IsDirectory(dstDir)) {
    Msg_Append(
        "@&!*@*@(msg.File.CopyTree.dest.notDirectory)Destination path '%s' is not a "
        "directory.",
        dstDir);
    return false;
  }
  Listing listing;
  listing.count = File_ListDirectory(srcDir, &listing.names);
  if (listing.count < 0) {
    Msg_Append(
        "@&!*@*@(msg.File.CopyTree.walk.failure)Unable to access '%s' when copying "
        "files.\n\n",
        srcDir);
    return false;
  }
  bool ok = true;
  for (int i = 0; i < listing.count; i++) {
    UniqueChars from(File_PathJoin(srcDir, listing.names[i]));
    UniqueChars to(File_PathJoin(dstDir, listing.names[i]));
    struct stat st;
    int rc = followSymlinks ? Posix_Stat(from.get(), &st) : Posix_Lstat(from.get(), &st);
    if (rc != 0) {
      Msg_Append(
          "@&!*@*@(msg.File.CopyTree.stat.failure)Unable to get information on '%s' "
          "when copying files.\n\n",
          from.get());
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!IsDirectoryNoFollow(to.get()) && !File_CreateDirectory(to.get())) {
        Msg_Append("@&!*@*@(msg.File.CopyTree.copy.failure)Unable to copy '%s' to '%s': %s\n\n",
                   from.get(), to.get(), Err_ErrString());
        ok = false;
        continue;
      }
      ok = File_CopyTree(from.get(), to.get(), overwriteExisting, followSymlinks) && ok;
    } else if (S_ISLNK(st.st_mode)) {
      UniqueChars target(Posix_ReadLink(from.get()));
      if (overwriteExisting && target != nullptr) {
        File_UnlinkNoFollow(to.get());
      }
      if (target == nullptr || Posix_Symlink(target.get(), to.get()) != 0) {
        Msg_Append(
            "@&!*@*@(msg.File.CopyTree.symlink.failure)Unable to symlink '%s' to '%s': "
            "%s\n\n",
            target != nullptr ? target.get() : from.get(), to.get(), Err_ErrString());
        ok = false;
      }
    } else if (!File_Copy(from.get(), to.get(), overwriteExisting)) {
      Msg_Append("@&!*@*@(msg.File.CopyTree.copy.failure)Unable to copy '%s' to '%s': %s\n\n",
                 from.get(), to.get(), Err_ErrString());
      ok = false;
    }
  }
  return ok;
}

bool File_Move(const char *oldFile, const char *newFile, bool *asRename) {
  if (asRename != nullptr) {
    *asRename = false;
  }
  if (File_Rename(oldFile, newFile) == 0) {
    if (asRename != nullptr) {
      *asRename = true;
    }
    return true;
  }
  // Across file systems the data has to travel by copy.
  if (!File_Copy(oldFile, newFile, true)) {
    return false;
  }
  return File_UnlinkNoFollow(oldFile) == 0;
}

bool File_MoveTree(const char *srcDir, const char *dstDir, bool overwriteExisting, bool *asMove) {
  if (asMove != nullptr) {
    *asMove = false;
  }
  if (!File_IsDirectory(srcDir)) {
    Msg_Append(
        "@&!*@*@(msg.File.MoveTree.source.notDirectory)Source path '%s' is not a "
        "directory.",
        srcDir);
    return false;
  }
  if (File_Rename(srcDir, dstDir) == 0) {
    if (asMove != nullptr) {
      *asMove = true;
    }
    return true;
  }
  struct stat st;
  if (Posix_Stat(dstDir, &st) != 0) {
    if (errno != ENOENT) {
      Msg_Append("@&!*@*@(msg.File.MoveTree.statFailed)%d:Failed to stat destination '%s'.\n\n",
                 errno, dstDir);
      return false;
    }
    if (!File_CreateDirectoryHierarchy(dstDir, nullptr)) {
      Msg_Append("@&!*@*@(msg.File.MoveTree.dst.couldntCreate)Could not create '%s'.\n\n", dstDir);
      return false;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    Msg_Append(
        "@&!*@*@(msg.File.MoveTree.dest.notDirectory)The destination path '%s' is not "
        "a directory.\n\n",
        dstDir);
    return false;
  }
  if (!File_CopyTree(srcDir, dstDir, overwriteExisting, false)) {
    Msg_Append(
        "@&!*@*@(msg.File.MoveTree.copyFailed)Could not rename and failed to copy "
        "source directory '%s'.\n\n",
        srcDir);
    return false;
  }
  if (!File_DeleteDirectoryTree(srcDir)) {
    // The data is at its destination; only the source is left behind.
    Msg_Append(
        "@&!*@*@(msg.File.MoveTree.cleanupFailed)Forced to copy '%s' into '%s' but "
        "unable to remove source directory.\n\n",
        srcDir, dstDir);
  }
  return true;
}

}  // extern "C"
