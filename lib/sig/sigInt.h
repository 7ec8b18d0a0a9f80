// What the signal module's parts share, and their seams for tests: the
// kernel's core settings can be read from other files, the name they give
// can be asked directly, and the core-dump regions can be read back.
#ifndef LIB_SIG_SIGINT_H
#define LIB_SIG_SIGINT_H

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Reads core_pattern and core_uses_pid from these files instead (nullptr
// restores the kernel's). The texts must outlive their use.
void SigSetCoreSettingsPaths(const char *patternPath, const char *usesPidPath);
// The core file a dump of process pid is written to, as the kernel names
// it; *wildcard says the name holds '*' for what cannot be known. False
// when the name does not fit.
bool SigGetCoreFileName(pid_t pid, std::string *name, bool *wildcard);

// The machine context of the first fatal signal the dispatcher handled by
// default, kept where a debugger finds it in the core.
extern mcontext_t sigCrashContext;

// One core-dump region as the table keeps it: the length rounded up to
// whole pages, with the low bit set for a region to keep.
struct SigCoreRegion {
  uintptr_t start;
  uint64_t value;
};
inline constexpr uint64_t kSigCoreRegionKeep = 1;
inline constexpr uint64_t kSigCorePageSize = 4096;

// The region table and its lock, made by Sig_Init and destroyed by Sig_Exit.
void SigCoreRegionsCreate();
void SigCoreRegionsDestroy();
// In the parent before the fork: the table's regions copied into an array
// kept large enough by every addition, so nothing is allocated now; walk
// order, none (count 0) without a table. The lock stays held, so the array
// stays as it is across the fork, until SigCoreRegionsRelease.
const SigCoreRegion *SigCoreRegionsCollect(size_t *count);
void SigCoreRegionsRelease();
// In the dumping child: keeps or unmaps each region, without allocating,
// locking or logging.
void SigCoreRegionsApply(const SigCoreRegion *regions, size_t count);

#endif
