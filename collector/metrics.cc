#include "metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace {

bool WriteWhole(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

class Exposition {
 public:
  void Family(const char *name, const char *type, const char *help) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const char *name, uint64_t value, const char *labels = nullptr) {
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64, value);
    Line(name, labels, text);
  }
  void Sample(const char *name, double value) {
    char text[40];
    snprintf(text, sizeof text, "%.3f", value);
    Line(name, nullptr, text);
  }
  std::string &Text() { return out_; }

 private:
  void Line(const char *name, const char *labels, const char *value) {
    out_ += name;
    if (labels != nullptr) {
      out_ += std::string("{") + labels + "}";
    }
    out_ += std::string(" ") + value + "\n";
  }
  std::string out_;
};

}  // namespace

std::string FormatMetrics(const MetricsSnapshot &m) {
  const CollectorStats &s = m.stats;
  Exposition e;
  e.Family("tarnwell_dumps_started_total", "counter", "Dumps whose init opened a new dump file.");
  e.Sample("tarnwell_dumps_started_total", s.dumpsStarted);
  e.Family("tarnwell_dumps_completed_total", "counter", "Dumps finished by their sender.");
  e.Sample("tarnwell_dumps_completed_total", s.dumpsCompleted);
  e.Family("tarnwell_dumps_dropped_idle_total", "counter",
           "Partial dumps removed after their sender stalled.");
  e.Sample("tarnwell_dumps_dropped_idle_total", s.dumpsDroppedIdle);
  e.Family("tarnwell_dumps_refused_total", "counter", "Inits refused, by reason.");
  e.Sample("tarnwell_dumps_refused_total", s.refusedNoSlot, "reason=\"no_free_slot\"");
  e.Sample("tarnwell_dumps_refused_total", s.refusedLowSpace, "reason=\"free_space_floor\"");
  e.Sample("tarnwell_dumps_refused_total", s.refusedCreateFailed, "reason=\"create_failed\"");
  e.Family("tarnwell_written_bytes_total", "counter", "Bytes of dump data written.");
  e.Sample("tarnwell_written_bytes_total", s.bytesWritten);
  e.Family("tarnwell_write_errors_total", "counter", "Data blocks answered with an I/O error.");
  e.Sample("tarnwell_write_errors_total", s.writeErrors);
  e.Family("tarnwell_write_calls_total", "counter",
           "Writes of dump data; adjacent blocks that arrive together share one.");
  e.Sample("tarnwell_write_calls_total", s.writeCalls);
  e.Family("tarnwell_datagrams_received_total", "counter", "Requests received, by type.");
  e.Sample("tarnwell_datagrams_received_total", s.datagramsInit, "type=\"init\"");
  e.Sample("tarnwell_datagrams_received_total", s.datagramsData, "type=\"data\"");
  e.Sample("tarnwell_datagrams_received_total", s.datagramsDone, "type=\"done\"");
  e.Sample("tarnwell_datagrams_received_total", s.datagramsStatusCheck, "type=\"status_check\"");
  e.Sample("tarnwell_datagrams_received_total", s.datagramsOther, "type=\"unknown\"");
  e.Family("tarnwell_datagrams_bad_total", "counter",
           "Datagrams dropped as too short or with a wrong magic number.");
  e.Sample("tarnwell_datagrams_bad_total", s.datagramsBad);
  e.Family("tarnwell_datagrams_not_allowed_total", "counter",
           "Datagrams dropped because their sender is not allowed.");
  e.Sample("tarnwell_datagrams_not_allowed_total", s.datagramsNotAllowed);
  e.Family("tarnwell_slots_in_use", "gauge", "Dumps in progress.");
  e.Sample("tarnwell_slots_in_use", m.slotsInUse);
  e.Family("tarnwell_slots", "gauge", "Dumps that may be in progress at once.");
  e.Sample("tarnwell_slots", m.slots);
  e.Family("tarnwell_scripts_running", "gauge", "Post-processing scripts running.");
  e.Sample("tarnwell_scripts_running", m.scriptsRunning);
  e.Family("tarnwell_scripts_queued", "gauge", "Finished dumps waiting for their script.");
  e.Sample("tarnwell_scripts_queued", m.scriptsQueued);
  e.Family("tarnwell_syncs_pending", "gauge", "Finished dumps being put on stable storage.");
  e.Sample("tarnwell_syncs_pending", m.syncsPending);
  if (m.freeBytes != UINT64_MAX) {
    e.Family("tarnwell_free_space_bytes", "gauge",
             "Free space of the base directory's file system.");
    e.Sample("tarnwell_free_space_bytes", m.freeBytes);
  }
  e.Family("tarnwell_start_time_seconds", "gauge", "Start time of the process since the epoch.");
  e.Sample("tarnwell_start_time_seconds", m.startTimeSeconds);
  return std::move(e.Text());
}

bool WriteMetricsFile(const std::string &path, const MetricsSnapshot &m) {
  std::string text = FormatMetrics(m);
  // A dot file beside the target: the textfile collector reads *.prom only.
  size_t slash = path.rfind('/');
  std::string tmp = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + "." +
                    path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    return false;
  }
  bool ok = WriteWhole(fd, text);
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    errno = saved;
  }
  return ok;
}
