// What the collector counts, and its publication as a metrics file in the
// Prometheus text exposition format for the node exporter's textfile
// collector. The file is replaced whole, so a reader never sees half of it.
#ifndef TARNWELL_METRICS_H
#define TARNWELL_METRICS_H

#include <cstdint>
#include <string>

struct CollectorStats {
  uint64_t dumpsStarted = 0;
  uint64_t dumpsCompleted = 0;
  uint64_t dumpsDroppedIdle = 0;
  // Inits refused: no free slot, the free-space floor, the file could not
  // be created.
  uint64_t refusedNoSlot = 0;
  uint64_t refusedLowSpace = 0;
  uint64_t refusedCreateFailed = 0;
  uint64_t bytesWritten = 0;
  uint64_t writeErrors = 0;  // blocks answered with an I/O error
  uint64_t writeCalls = 0;   // writes of data; adjacent blocks arriving together share one
  // Datagrams received, by type.
  uint64_t datagramsInit = 0;
  uint64_t datagramsData = 0;
  uint64_t datagramsDone = 0;
  uint64_t datagramsStatusCheck = 0;
  uint64_t datagramsOther = 0;
  uint64_t datagramsBad = 0;         // too short, or a wrong magic number
  uint64_t datagramsNotAllowed = 0;  // from senders not on the allowed list
};

struct MetricsSnapshot {
  CollectorStats stats;
  uint64_t slotsInUse = 0;
  uint64_t slots = 0;
  uint64_t scriptsRunning = 0;
  uint64_t scriptsQueued = 0;
  uint64_t syncsPending = 0;
  uint64_t freeBytes = 0;  // UINT64_MAX when unknown
  double startTimeSeconds = 0;
};

// The exposition text of a snapshot.
std::string FormatMetrics(const MetricsSnapshot &m);
// Writes the text to a sibling of path and renames it over path. False
// (with errno) on failure; path is then unchanged.
bool WriteMetricsFile(const std::string &path, const MetricsSnapshot &m);

#endif  // TARNWELL_METRICS_H
