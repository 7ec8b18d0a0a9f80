// What the lock-file protocol needs to know about processes and hosts, and
// the seams its tests reach through.
#ifndef LIB_FILE_FILELOCKINT_H
#define LIB_FILE_FILELOCKINT_H

#include <brellis/fileLock.h>

#include <cstdint>

// This host's identity as written into member files: the host-name hash
// and hardware id, Base64-encoded with "-" for "/". Computed once; the
// string lives for the process.
const char *FileLockGetMachineID();
// Whether a machine id read from a member file names this host.
bool FileLockMachineIDMatch(const char *hostMachineID, const char *otherMachineID);

// The execution id of process pid: "pid-starttime(command)", or "pid-0"
// when its status cannot be read. Null when the process does not exist.
// The caller frees it.
char *FileLockProcessExecutionID(int pid);
// False only when the process an execution id names is known to be gone
// (or is a later process with the same id); unparsable ids count as valid.
bool FileLockValidExecutionID(const char *executionID);

// Sleeps between minMs and maxMs milliseconds (a random point in between
// when they differ) and returns how long.
uint32_t FileSleeper(uint32_t minMs, uint32_t maxMs);

// The device lock in a directory of the caller's choice (the public calls
// use "/var/lock").
int FileLockDeviceIn(const char *dir, const char *deviceName);
bool FileUnlockDeviceIn(const char *dir, const char *deviceName);

#endif
