#include "operatorSettings.h"

#include <brellis/log.h>
#include <brellis/preference.h>

#include <sys/statvfs.h>

#include <cstdlib>

#include "store.h"
#include "tarnwell.h"

OperatorSettings tarnwellOperatorSettings;

namespace {

std::string ConfigString(const char *name) {
  char *value = Config_GetString(nullptr, "%s", name);
  std::string out = value != nullptr ? value : "";
  free(value);
  return out;
}

}  // namespace

void TarnwellReadOperatorSettings() {
  OperatorSettings &s = tarnwellOperatorSettings;
  std::string bad;
  if (!s.allowed.Parse(ConfigString("tarnwell.allowedSenders"), &bad)) {
    TarnwellFatal(
        "Error setting tarnwell.allowedSenders: \"%s\" is not an IPv4 address or a CIDR block "
        "such as 10.0.0.0/8.\n",
        bad.c_str());
  }
  Log_Info("Senders allowed (tarnwell.allowedSenders): %s\n",
           s.allowed.AllowsAll() ? "every sender" : s.allowed.Describe().c_str());

  s.minFreeSpaceMB = Config_GetInt64(0, "tarnwell.minFreeSpaceMB");
  if (s.minFreeSpaceMB < 0 || s.minFreeSpaceMB > (INT64_MAX >> 20)) {
    TarnwellFatal("Error setting tarnwell.minFreeSpaceMB to %lld: give megabytes, 0 for none.\n",
                  static_cast<long long>(s.minFreeSpaceMB));
  }
  if (s.minFreeSpaceMB == 0) {
    Log_Info("Free-space floor (tarnwell.minFreeSpaceMB): none\n");
  } else {
    Log_Info("Free-space floor (tarnwell.minFreeSpaceMB): %lld MB\n",
             static_cast<long long>(s.minFreeSpaceMB));
  }

  s.keepDumpsPerHost = Config_GetLong(0, "tarnwell.keepDumpsPerHost");
  if (s.keepDumpsPerHost < 0) {
    TarnwellFatal("Error setting tarnwell.keepDumpsPerHost to %d: give a count, 0 for all.\n",
                  s.keepDumpsPerHost);
  }
  if (s.keepDumpsPerHost == 0) {
    Log_Info("Dumps kept per host (tarnwell.keepDumpsPerHost): all\n");
  } else {
    Log_Info("Dumps kept per host (tarnwell.keepDumpsPerHost): the newest %d\n",
             s.keepDumpsPerHost);
  }

  s.syncOnDone = Config_GetBool(true, "tarnwell.syncOnDone");
  Log_Info("Done answered once the dump is on stable storage (tarnwell.syncOnDone): %s\n",
           s.syncOnDone ? "TRUE" : "FALSE");

  s.metricsFile = ConfigString("tarnwell.metricsFile");
  Log_Info("Metrics file (tarnwell.metricsFile): %s\n",
           s.metricsFile.empty() ? "none" : s.metricsFile.c_str());

  s.socketBufferKB = Config_GetLong(0, "tarnwell.socketBufferKB");
  if (s.socketBufferKB < 0 || s.socketBufferKB > INT32_MAX / 2048) {
    TarnwellFatal("Error setting tarnwell.socketBufferKB to %d: give KiB, 0 for room for every "
                  "slot.\n",
                  s.socketBufferKB);
  }

  // What the store holds, from one walk of the tree.
  StoreCensus census = CountDumps(tarnwellCoreDir);
  struct statvfs st;
  if (statvfs(tarnwellCoreDir, &st) == 0) {
    Log_Info("Store %s holds %llu dump files, %llu bytes; %llu MB free.\n", tarnwellCoreDir,
             static_cast<unsigned long long>(census.files),
             static_cast<unsigned long long>(census.bytes),
             static_cast<unsigned long long>(static_cast<uint64_t>(st.f_bavail) * st.f_frsize >> 20));
  } else {
    Log_Info("Store %s holds %llu dump files, %llu bytes; free space unknown.\n", tarnwellCoreDir,
             static_cast<unsigned long long>(census.files),
             static_cast<unsigned long long>(census.bytes));
  }
}
