// Seams of the core-dump code for tests: the kernel's core settings can be
// read from other files, and the name they give can be asked directly.
#ifndef LIB_SIG_SIGINT_H
#define LIB_SIG_SIGINT_H

#include <sys/types.h>

#include <string>

// Reads core_pattern and core_uses_pid from these files instead (nullptr
// restores the kernel's). The texts must outlive their use.
void SigSetCoreSettingsPaths(const char *patternPath, const char *usesPidPath);
// The core file a dump of process pid is written to, as the kernel names
// it; *wildcard says the name holds '*' for what cannot be known. False
// when the name does not fit.
bool SigGetCoreFileName(pid_t pid, std::string *name, bool *wildcard);

#endif
