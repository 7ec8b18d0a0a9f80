// Lock files: a bakery protocol played out in a directory next to the
// locked file, so that processes on different hosts sharing a file system
// agree on who holds a lock without any kernel locking.
//
// Invariants the code keeps:
// - a contender's entry directory exists exactly while it chooses its
//   ticket, so a waiter never compares against a half-chosen number;
// - a member file is published complete (written as an entry file, then
//   renamed), so readers never see a partial one;
// - nothing in the lock directory is ever followed: the directory itself is
//   examined with lstat and members are opened with O_NOFOLLOW, since
//   anyone may write there;
// - a failed attempt removes its own member, so it blocks nobody.

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/log.h>
#include <brellis/posix.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include "file/fileInt.h"
#include "file/fileLockInt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using fileint::UniqueChars;

struct FileLockToken {
  uint32_t signature;
  bool portable;
  char *pathName;    // the normalised path of the locked file
  char *memberPath;  // our member file, or kImplicitLock
};

namespace {

constexpr uint32_t kTokenSignature = 0x4B434C46;  // "FLCK" in memory
constexpr size_t kMemberSize = 512;
constexpr size_t kMaxFields = 16;
constexpr uint32_t kEntryAbandonMs = 8000;
constexpr uint32_t kScanPauseMs = 200;
constexpr mode_t kSharedDirMode = 0777;  // every contender creates entries

// The member path of a shared lock granted without files.
char kImplicitLock[] = "";

struct EntrySeen {
  std::string name;
  uint32_t ageMs;
  bool marked;
};

// A contender's values: our own, or those read from a member file.
struct LockValues {
  std::string machineID;
  std::string executionID;
  std::string lockType;
  std::string locationChecksum;
  std::string memberName;
  uint32_t lamportNumber = 0;
  bool exclusivity = false;
  uint32_t waitTime = 0;
  uint32_t msecMaxWaitTime = 0;
  std::vector<EntrySeen> entries;
};

using ScanCallback = int (*)(const std::string &lockDir, const std::string &fileName,
                             const LockValues &member, LockValues &own);

std::string Join(const std::string &dir, std::string_view name) {
  std::string path = dir;
  path += '/';
  path += name;
  return path;
}

const char *ErrText(int err) {
  return Err_Errno2String(err);
}

// Removes a name in the lock directory without following it: a link goes,
// never its target. A missing name counts as removed.
int FileLockRemoveLockingFile(const std::string &lockDir, const std::string &name) {
  std::string path = Join(lockDir, name);
  int err = 0;
  if (Posix_Unlink(path.c_str()) == -1) {
    err = errno;
    if (err == EISDIR) {
      err = Posix_Rmdir(path.c_str()) == 0 ? 0 : errno;
    }
  }
  if (err != 0 && err != ENOENT) {
    Log_Warning("FILE: %s of '%s' failed: %s\n", "FileLockRemoveLockingFile", path.c_str(),
                ErrText(err));
    return err;
  }
  return 0;
}

// mkdir, then the mode set on what was made: the process-wide umask is
// never touched, since other threads create files meanwhile.
int MakeSharedDirectory(const std::string &path) {
  if (Posix_Mkdir(path.c_str(), kSharedDirMode) == -1) {
    return errno;
  }
  int fd = Posix_Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd != -1) {
    (void)fchmod(fd, kSharedDirMode);  // a directory replaced meanwhile keeps its own mode
    close(fd);
  }
  return 0;
}

std::string LocationChecksum(std::string_view lockDir) {
  uint32_t hash = 5381;
  for (char c : lockDir) {
    hash = hash * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  }
  return std::to_string(hash);
}

bool ValidName(std::string_view name) {
  if (name.size() != 10 || (name[0] != 'M' && name[0] != 'D' && name[0] != 'E')) {
    return false;
  }
  for (size_t i = 1; i < 6; i++) {
    if (name[i] < '0' || name[i] > '9') {
      return false;
    }
  }
  return name.substr(6) == ".lck";
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool ValidExtension(std::string_view field) {
  size_t eq = field.find('=');
  return eq != std::string_view::npos && eq > 0 && eq + 1 < field.size();
}

std::vector<std::string> SplitFields(std::string_view text) {
  std::vector<std::string> fields;
  while (!text.empty() && fields.size() <= kMaxFields) {
    size_t space = text.find(' ');
    std::string_view field = text.substr(0, space);
    if (!field.empty()) {
      fields.emplace_back(field);
    }
    if (space == std::string_view::npos) {
      break;
    }
    text.remove_prefix(space + 1);
  }
  return fields;
}

bool Problematic(const std::vector<std::string> &argv) {
  if (argv.size() < 5 || argv.size() > kMaxFields) {
    return true;
  }
  for (size_t i = 5; i < argv.size(); i++) {
    if (!ValidExtension(argv[i])) {
      return true;
    }
  }
  if (!AllDigits(argv[2]) || strtoull(argv[2].c_str(), nullptr, 10) > UINT32_MAX) {
    return true;
  }
  return argv[3] != "X" && argv[3] != "S";
}

int DiscardProblematic(const std::string &lockDir, const std::string &fileName,
                       const std::vector<std::string> &argv) {
  static constexpr const char *kFn = "FileLockMemberValues";
  std::string path = Join(lockDir, fileName);
  Log_Warning("FILE: %s removing problematic lock file '%s'\n", kFn, path.c_str());
  Log_Info("FILE: %s '%s' contents are:\n", kFn, path.c_str());
  for (size_t i = 0; i < argv.size(); i++) {
    Log_Info("FILE: %s %s argv[%u]: '%s'\n", kFn, fileName.c_str(), static_cast<unsigned>(i),
             argv[i].c_str());
  }
  int err = FileLockRemoveLockingFile(lockDir, fileName);
  return err == 0 ? ENOENT : err;  // gone: scanners pass over it
}

// Reads one member file. Only a regular file of exactly the member size is
// accepted; anything else planted under a member's name is discarded.
int FileLockMemberValues(const std::string &lockDir, const std::string &fileName,
                         LockValues &member) {
  static constexpr const char *kFn = "FileLockMemberValues";
  std::string path = Join(lockDir, fileName);
  int fd = Posix_Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    int err = errno;
    if (err == ELOOP) {
      return DiscardProblematic(lockDir, fileName, {});
    }
    if (err != ENOENT) {
      Log_Warning("FILE: %s open failure on '%s': %s\n", kFn, path.c_str(), ErrText(err));
    }
    return err;
  }
  struct stat st;
  if (fstat(fd, &st) == -1) {
    int err = errno;
    Log_Warning("FILE: %s file size failure on '%s': %s\n", kFn, path.c_str(), ErrText(err));
    close(fd);
    return err;
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != kMemberSize) {
    if (S_ISREG(st.st_mode)) {
      Log_Warning("FILE: %s file '%s': size %" PRIu64 ", required size %zd\n", kFn, path.c_str(),
                  static_cast<uint64_t>(st.st_size), static_cast<ssize_t>(kMemberSize));
    }
    close(fd);
    return DiscardProblematic(lockDir, fileName, {});
  }
  char buffer[kMemberSize + 1] = {};
  ssize_t got;
  while ((got = read(fd, buffer, kMemberSize)) == -1 && errno == EINTR) {
  }
  int readErr = errno;
  close(fd);
  if (got == -1) {
    Log_Warning("FILE: %s read failure on '%s': %s\n", kFn, path.c_str(), ErrText(readErr));
    return readErr;
  }
  if (static_cast<size_t>(got) != kMemberSize) {
    Log_Warning("FILE: %s read length issue on '%s': %zd and %zd\n", kFn, path.c_str(), got,
                static_cast<ssize_t>(kMemberSize));
    return EIO;
  }

  std::vector<std::string> argv = SplitFields(buffer);
  // The older layout had no start time in the execution id.
  if (argv.size() == 6 && argv[1].find_first_of("-()") == std::string::npos &&
      ValidExtension(argv[5])) {
    std::string updated = argv[0] + " " + argv[1] + "-" + argv[4] + " " + argv[2] + " " + argv[3] +
                          " " + argv[4] + " " + argv[5];
    argv = SplitFields(updated);
  }
  if (Problematic(argv)) {
    return DiscardProblematic(lockDir, fileName, argv);
  }
  member.machineID = argv[0];
  member.executionID = argv[1];
  member.lamportNumber = static_cast<uint32_t>(strtoul(argv[2].c_str(), nullptr, 10));
  member.lockType = argv[3];
  member.exclusivity = argv[3] == "X";
  member.locationChecksum.clear();
  for (size_t i = 5; i < argv.size(); i++) {
    if (argv[i].starts_with("lc=")) {
      member.locationChecksum = argv[i].substr(3);
    }
  }
  member.memberName = fileName;
  return 0;
}

// Backs off before the next look at a conflicting member: 100 ms at first,
// then longer steps up to 2 s. EAGAIN once the wait allowed is used up.
int FileLockSleeper(LockValues &own, uint32_t &loopCount) {
  if (own.msecMaxWaitTime == FILELOCK_TRYLOCK_WAIT ||
      (own.msecMaxWaitTime != FILELOCK_INFINITE_WAIT && own.msecMaxWaitTime < own.waitTime)) {
    return EAGAIN;
  }
  uint32_t ms;
  if (loopCount <= 20) {
    ms = 100;
    loopCount++;
  } else if (loopCount < 40) {
    ms = loopCount * 100 - 1900;
    loopCount++;
  } else {
    ms = 2000;
  }
  own.waitTime += ms;
  while (ms > 0) {
    ms -= FileSleeper(ms > 900 ? 900 : ms, ms > 900 ? 900 : ms);
  }
  return 0;
}

// Ticket choice: ours will be one above every ticket published.
int FileLockNumberScan(const std::string &, const std::string &, const LockValues &member,
                       LockValues &own) {
  if (member.lamportNumber > own.lamportNumber) {
    own.lamportNumber = member.lamportNumber;
  }
  return 0;
}

int FileLockWaitForPossession(const std::string &lockDir, const std::string &fileName,
                              const LockValues &member, LockValues &own) {
  static constexpr const char *kFn = "FileLockWaitForPossession";
  bool before = member.lamportNumber < own.lamportNumber ||
                (member.lamportNumber == own.lamportNumber && fileName < own.memberName);
  if (!before || (!member.exclusivity && !own.exclusivity)) {
    return 0;
  }
  bool thisMachine = FileLockMachineIDMatch(own.machineID.c_str(), member.machineID.c_str());
  std::string path = Join(lockDir, fileName);
  uint32_t loopCount = 0;
  int err;
  for (;;) {
    err = FileLockSleeper(own, loopCount);
    if (err != 0) {
      break;
    }
    struct stat st;
    if (Posix_Lstat(path.c_str(), &st) == -1) {
      err = errno == ENOENT ? 0 : errno;
      break;
    }
    if (thisMachine && !FileLockValidExecutionID(member.executionID.c_str())) {
      Log_Warning("FILE: %s discarding file '%s'; invalid executionID.\n", kFn, path.c_str());
      err = FileLockRemoveLockingFile(lockDir, fileName);
      break;
    }
  }
  if (err == EAGAIN && own.msecMaxWaitTime != FILELOCK_TRYLOCK_WAIT) {
    if (thisMachine) {
      Log_Info("FILE: %s timeout on '%s' due to a local process '%s'\n", kFn, path.c_str(),
               member.executionID.c_str());
    } else {
      Log_Info("FILE: %s timeout on '%s' due to another machine '%s'\n", kFn, path.c_str(),
               member.machineID.c_str());
    }
  }
  return err;
}

// One look at every member, or 0 / an error from the callback.
int EvaluateMembers(const std::string &lockDir, const std::vector<std::string> &names,
                    ScanCallback callback, LockValues &own) {
  for (const std::string &name : names) {
    if (name[0] != 'M') {
      continue;
    }
    int err;
    if (name == own.memberName) {
      err = callback(lockDir, name, own, own);
    } else {
      LockValues member;
      err = FileLockMemberValues(lockDir, name, member);
      if (err == ENOENT) {
        continue;
      }
      if (err != 0) {
        return err;
      }
      const char *reason = nullptr;
      if (FileLockMachineIDMatch(own.machineID.c_str(), member.machineID.c_str())) {
        if (!FileLockValidExecutionID(member.executionID.c_str())) {
          reason = "invalid executionID.";
        } else if (member.executionID == own.executionID && !member.locationChecksum.empty() &&
                   member.locationChecksum != own.locationChecksum) {
          reason = "lock file has been moved.";
        }
      }
      if (reason != nullptr) {
        Log_Info("FILE: %s discarding %s from %s': %s\n", "FileLockScanDirectory", name.c_str(),
                 lockDir.c_str(), reason);
        FileLockRemoveLockingFile(lockDir, name);
        continue;
      }
      err = callback(lockDir, name, member, own);
    }
    if (err != 0) {
      return err;
    }
  }
  return 0;
}

// Entry directories older than kEntryAbandonMs belong to a contender that
// died while choosing its ticket; they and their files are cleared away.
void AgeEntries(const std::string &lockDir, LockValues &own) {
  std::vector<EntrySeen> kept;
  for (EntrySeen &entry : own.entries) {
    if (!entry.marked) {
      continue;
    }
    if (entry.ageMs <= kEntryAbandonMs) {
      entry.ageMs += kScanPauseMs;
      kept.push_back(entry);
      continue;
    }
    Log_Info("FILE: %s discarding %s data from '%s'.\n", "FileLockScanner", entry.name.c_str(),
             lockDir.c_str());
    std::string name = entry.name;
    name[0] = 'M';
    FileLockRemoveLockingFile(lockDir, name);
    name[0] = 'E';
    FileLockRemoveLockingFile(lockDir, name);
    FileLockRemoveLockingFile(lockDir, entry.name);
  }
  own.entries = std::move(kept);
}

int FileLockScanner(const std::string &lockDir, ScanCallback callback, LockValues &own,
                    bool waitForEntries) {
  static constexpr const char *kFn = "FileLockScanner";
  for (;;) {
    char **ids = nullptr;
    int count = File_ListDirectory(lockDir.c_str(), &ids);
    if (count < 0) {
      Log_Info("FILE: %s: Could not read the directory '%s': %d\n", kFn, lockDir.c_str(), errno);
      return EDOM;
    }
    std::vector<std::string> names;
    for (int i = 0; i < count; i++) {
      names.emplace_back(ids[i]);
      free(ids[i]);
    }
    free(ids);

    for (EntrySeen &entry : own.entries) {
      entry.marked = false;
    }
    std::vector<std::string> members;
    for (const std::string &name : names) {
      if (!ValidName(name)) {
        Log_Info("FILE: %s discarding %s from %s'; invalid file name.\n", kFn, name.c_str(),
                 lockDir.c_str());
        int err = FileLockRemoveLockingFile(lockDir, name);
        if (err != 0) {
          return err;
        }
      } else if (name[0] == 'D') {
        if (!waitForEntries) {
          continue;
        }
        bool known = false;
        for (EntrySeen &entry : own.entries) {
          if (entry.name == name) {
            entry.marked = known = true;
          }
        }
        if (!known) {
          own.entries.push_back({name, 0, true});
        }
      } else {
        members.push_back(name);
      }
    }

    bool evaluated = false;
    if (own.entries.empty()) {
      int err = EvaluateMembers(lockDir, members, callback, own);
      if (err != 0) {
        return err;
      }
      evaluated = true;
    }
    AgeEntries(lockDir, own);
    if (evaluated && own.entries.empty()) {
      return 0;
    }
    FileSleeper(kScanPauseMs, kScanPauseMs);
  }
}

// Creates our entry directory (which says "choosing a ticket") under a
// fresh random number whose member name is free; fills the three names.
int FileLockCreateEntryDirectory(const std::string &lockDir, std::string &entryDir,
                                 std::string &entryFile, std::string &memberFile,
                                 std::string &memberName) {
  static constexpr const char *kFn = "FileLockCreateEntryDirectory";
  for (;;) {
    struct stat st;
    if (Posix_Lstat(lockDir.c_str(), &st) == -1) {
      int err = errno;
      if (err != ENOENT) {
        Log_Warning("FILE: %s stat failure on '%s': %s\n", kFn, lockDir.c_str(), ErrText(err));
        return err;
      }
      err = MakeSharedDirectory(lockDir);
      if (err != 0 && err != EEXIST) {
        Log_Warning("FILE: %s creation failure on '%s': %s\n", kFn, lockDir.c_str(), ErrText(err));
        return err;
      }
      continue;  // look again at what is there now
    }
    if (S_ISREG(st.st_mode)) {
      Log_Info("FILE: %s: '%s' exists; an old style lock file?\n", kFn, lockDir.c_str());
      return EBUSY;
    }
    if (!S_ISDIR(st.st_mode)) {
      // A link (dangling or not) or anything else: removed, never followed.
      if (Posix_Unlink(lockDir.c_str()) == -1 && errno != ENOENT) {
        Log_Warning("FILE: %s: '%s' exists and is not a directory.\n", kFn, lockDir.c_str());
        return ENOTDIR;
      }
      continue;
    }
    for (;;) {
      unsigned number = (FileSimpleRandom() >> 8) & 0xFFFF;
      char names[3][16];
      Str_Sprintf(names[0], sizeof names[0], "D%05u%s", number, ".lck");
      Str_Sprintf(names[1], sizeof names[1], "E%05u%s", number, ".lck");
      Str_Sprintf(names[2], sizeof names[2], "M%05u%s", number, ".lck");
      entryDir = Join(lockDir, names[0]);
      entryFile = Join(lockDir, names[1]);
      memberFile = Join(lockDir, names[2]);
      memberName = names[2];
      int err = MakeSharedDirectory(entryDir);
      if (err == 0) {
        if (Posix_Lstat(memberFile.c_str(), &st) == -1 && errno == ENOENT) {
          return 0;
        }
        Posix_Rmdir(entryDir.c_str());
        continue;
      }
      if (err == ENOENT || err == EEXIST) {
        break;  // from the top: the lock directory may have gone
      }
      Log_Warning("FILE: %s creation failure on '%s': %s\n", kFn, entryDir.c_str(), ErrText(err));
      return err;
    }
  }
}

// Writes our member's text into the entry file and publishes it under the
// member name.
int FileLockCreateMemberFile(int fd, const std::string &entryFile, const std::string &memberFile,
                             const LockValues &own) {
  static constexpr const char *kFn = "FileLockCreateMemberFile";
  unsigned long long creation = 0;
  int pid;
  sscanf(own.executionID.c_str(), "%d-%llu", &pid, &creation);
  char buffer[kMemberSize] = {};
  Str_Snprintf(buffer, sizeof buffer, "%s %s %u %s %llu lc=%s", own.machineID.c_str(),
               own.executionID.c_str(), own.lamportNumber, own.lockType.c_str(), creation,
               own.locationChecksum.c_str());
  ssize_t written;
  while ((written = write(fd, buffer, sizeof buffer)) == -1 && errno == EINTR) {
  }
  int err = 0;
  if (written == -1) {
    err = errno;
    Log_Warning("FILE: %s write of '%s' failed: %s\n", kFn, entryFile.c_str(), ErrText(err));
  } else if (static_cast<size_t>(written) != sizeof buffer) {
    Log_Warning("FILE: %s write length issue on '%s': %zd and %zd\n", kFn, entryFile.c_str(),
                written, static_cast<ssize_t>(sizeof buffer));
    err = EIO;
  }
  if (close(fd) == -1 && err == 0) {
    err = errno;
    Log_Warning("FILE: %s close of '%s' failed: %s\n", kFn, entryFile.c_str(), ErrText(err));
  }
  if (err != 0) {
    return err;
  }
  if (Posix_Rename(entryFile.c_str(), memberFile.c_str()) == -1) {
    err = errno;
    Log_Warning("FILE: %s FileRename of '%s' to '%s' failed: %s\n", kFn, entryFile.c_str(),
                memberFile.c_str(), ErrText(err));
  }
  return err;
}

FileLockToken *NewToken(const std::string &path, char *memberPath) {
  auto *token =
      static_cast<FileLockToken *>(Util_SafeMalloc(-1, sizeof(FileLockToken), __FILE__, __LINE__));
  token->signature = kTokenSignature;
  token->portable = true;
  token->pathName = fileint::Dup(path);
  token->memberPath = memberPath;
  return token;
}

FileLockToken *FileLockIntrinsicPortable(const std::string &pathName, bool exclusive,
                                         uint32_t maxWaitMsec, int &err) {
  std::string lockDir = pathName + ".lck";
  LockValues own;
  own.lockType = exclusive ? "X" : "S";
  own.exclusivity = exclusive;
  own.msecMaxWaitTime = maxWaitMsec;
  own.machineID = FileLockGetMachineID();
  UniqueChars executionID(FileLockProcessExecutionID(getpid()));
  own.executionID = executionID.get();
  own.locationChecksum = LocationChecksum(lockDir);

  std::string entryDir, entryFile, memberFile;
  err = FileLockCreateEntryDirectory(lockDir, entryDir, entryFile, memberFile, own.memberName);
  if (err != 0) {
    if ((err == EACCES || err == EROFS) && !exclusive) {
      // Nobody can write a lock here, so nobody can hold an exclusive one.
      Log_Warning("FILE: %s implicit %s lock succeeded on '%s'.\n", "FileLockIntrinsicPortable",
                  "S", pathName.c_str());
      err = 0;
      return NewToken(pathName, kImplicitLock);
    }
    return nullptr;
  }

  // While our entry directory exists nobody else can take our number, so
  // our E and M names are ours to delete; it goes last.
  auto abandonChoice = [&](int failure) {
    Posix_Unlink(entryFile.c_str());
    Posix_Unlink(memberFile.c_str());
    Posix_Rmdir(entryDir.c_str());
    Posix_Rmdir(lockDir.c_str());
    err = failure;
    return nullptr;
  };
  // Once published, only the member is ours: the number may be drawn
  // again by others as soon as it is gone.
  auto abandonMember = [&](int failure) {
    Posix_Unlink(memberFile.c_str());
    Posix_Rmdir(lockDir.c_str());
    err = failure;
    return nullptr;
  };

  int fd =
      Posix_Open(entryFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) {
    int failure = errno;
    Posix_Rmdir(entryDir.c_str());
    Posix_Rmdir(lockDir.c_str());
    err = failure;
    return nullptr;
  }
  (void)fchmod(fd, 0644);  // readable by every contender whatever our umask

  int scanErr = FileLockScanner(lockDir, FileLockNumberScan, own, false);
  if (scanErr != 0) {
    close(fd);
    return abandonChoice(scanErr);
  }
  own.lamportNumber++;
  int publishErr = FileLockCreateMemberFile(fd, entryFile, memberFile, own);
  if (publishErr != 0) {
    return abandonChoice(publishErr);
  }
  Posix_Rmdir(entryDir.c_str());  // done choosing

  int waitErr = FileLockScanner(lockDir, FileLockWaitForPossession, own, true);
  if (waitErr == EAGAIN) {
    return abandonMember(0);
  }
  // Anyone may delete in the lock directory: a member removed while we
  // waited (the whole directory, even) means others no longer see our
  // claim, whatever the scan made of it.
  struct stat st;
  if (Posix_Lstat(memberFile.c_str(), &st) == -1 || !S_ISREG(st.st_mode)) {
    Log_Warning("FILE: %s member '%s' vanished while waiting.\n", "FileLockIntrinsicPortable",
                memberFile.c_str());
    return abandonMember(0);
  }
  if (waitErr != 0) {
    return abandonMember(waitErr);
  }
  return NewToken(pathName, fileint::Dup(memberFile));
}

// The full path of the file's directory joined with its base name; the
// last component is not resolved, so a lock on a link is the link's own.
UniqueChars FileLockNormalizePath(const char *filePath) {
  if (filePath == nullptr || filePath[0] == '\0') {
    return nullptr;
  }
  char *dirRaw = nullptr;
  char *baseRaw = nullptr;
  File_GetPathName(filePath, &dirRaw, &baseRaw);
  UniqueChars dir(dirRaw), base(baseRaw);
  if (base == nullptr || base.get()[0] == '\0') {
    return nullptr;
  }
  const char *dirName = dir != nullptr && dir.get()[0] != '\0' ? dir.get()
                        : filePath[0] == '/'                   ? "/"
                                                               : ".";
  UniqueChars full(File_FullPath(dirName));
  if (full == nullptr) {
    return nullptr;
  }
  std::string_view f(full.get());
  const char *sep = !f.empty() && f.back() == '/' ? "" : "/";
  return UniqueChars(Str_SafeAsprintf(nullptr, "%s%s%s", full.get(), sep, base.get()));
}

void AppendLockMessage(MsgList **messages, int error) {
  int shown = error == 0 ? EAGAIN : error;
  MsgList_Append(messages, "@&!*@*@(msg.fileLock.posix)A file locking error (%d) has occurred: %s.",
                 shown, Err_Errno2String(shown));
}

}  // namespace

extern "C" {

FileLockToken *FileLock_Lock(const char *filePath, bool readOnly, uint32_t maxWaitMsec, int *err,
                             MsgList **msgs) {
  int error = 0;
  FileLockToken *token = nullptr;
  UniqueChars normalized(FileLockNormalizePath(filePath));
  if (normalized == nullptr) {
    error = EINVAL;
  } else {
    token = FileLockIntrinsicPortable(normalized.get(), !readOnly, maxWaitMsec, error);
  }
  if (err != nullptr) {
    *err = error;
  }
  if (token == nullptr) {
    AppendLockMessage(msgs, error);
  }
  return token;
}

bool FileLock_Unlock(FileLockToken *token, int *err, MsgList **msgs) {
  int error = 0;
  if (token == nullptr || token->signature != kTokenSignature) {
    error = EINVAL;
  } else {
    if (token->memberPath != kImplicitLock) {
      std::string member = token->memberPath;
      size_t slash = member.rfind('/');
      std::string lockDir = member.substr(0, slash);
      error = FileLockRemoveLockingFile(lockDir, member.substr(slash + 1));
      Posix_Rmdir(lockDir.c_str());  // fails while others still have entries
      free(token->memberPath);
    }
    free(token->pathName);
    token->signature = 0;
    free(token);
  }
  if (err != nullptr) {
    *err = error;
  }
  if (error != 0) {
    AppendLockMessage(msgs, error);
  }
  return error == 0;
}

bool FileLock_IsLocked(const char *filePath, int *err, MsgList **msgs) {
  int error = 0;
  bool locked = false;
  UniqueChars normalized(FileLockNormalizePath(filePath));
  if (normalized == nullptr) {
    error = EINVAL;
  } else {
    std::string lockDir = std::string(normalized.get()) + ".lck";
    char **ids = nullptr;
    int count = 0;
    struct stat st;
    // Only a real lock directory counts; a link there would be replaced by
    // the next locker, never followed.
    if (Posix_Lstat(lockDir.c_str(), &st) == -1) {
      error = errno == ENOENT ? 0 : errno;
    } else if (S_ISDIR(st.st_mode)) {
      count = File_ListDirectory(lockDir.c_str(), &ids);
      if (count < 0) {
        error = errno == ENOENT ? 0 : errno;
      }
    }
    for (int i = 0; i < count; i++) {
      locked = locked || ids[i][0] == 'M';
      free(ids[i]);
    }
    free(ids);
  }
  if (err != nullptr) {
    *err = error;
  }
  if (error != 0) {
    AppendLockMessage(msgs, error);
  }
  return locked;
}

}  // extern "C"
