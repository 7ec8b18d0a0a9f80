// The operators' controls beyond the protocol, read from the configuration
// at start: who may send, the free-space floor, how many dumps a host
// keeps, whether done waits for stable storage, and the metrics file.
#ifndef TARNWELL_OPERATOR_SETTINGS_H
#define TARNWELL_OPERATOR_SETTINGS_H

#include <cstdint>
#include <string>

#include "senderFilter.h"

struct OperatorSettings {
  SenderFilter allowed;          // tarnwell.allowedSenders
  int64_t minFreeSpaceMB = 0;    // tarnwell.minFreeSpaceMB; 0 = no floor
  int32_t keepDumpsPerHost = 0;  // tarnwell.keepDumpsPerHost; 0 = keep all
  bool syncOnDone = true;        // tarnwell.syncOnDone
  std::string metricsFile;       // tarnwell.metricsFile; empty = none
  int32_t socketBufferKB = 0;    // tarnwell.socketBufferKB; 0 = room for every slot
};

extern OperatorSettings tarnwellOperatorSettings;

// Reads and logs the settings; a bad value is fatal with a message that
// names it. Then logs what the base directory holds.
void TarnwellReadOperatorSettings();

#endif  // TARNWELL_OPERATOR_SETTINGS_H
