// The collector's word to systemd, through libsystemd's sd_notify.

#include "serviceNotify.h"

#include <brellis/err.h>
#include <brellis/log.h>
#include <brellis/str.h>

#ifdef TARNWELL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

#ifdef TARNWELL_HAVE_SYSTEMD
void Notify(const char *state) {
  // The environment is kept: STOPPING=1 needs NOTIFY_SOCKET long after
  // READY=1, and what the post-processing scripts inherit of it is ignored,
  // since systemd listens to the main process only.
  int rc = sd_notify(0, state);
  static bool reported;
  if (rc < 0 && !reported) {
    reported = true;
    Log_Info("Could not tell the service manager \"%s\": %s\n", state, Err_Errno2String(-rc));
  }
}
#endif

}  // namespace

bool ServiceNotifyBuiltIn() {
#ifdef TARNWELL_HAVE_SYSTEMD
  return true;
#else
  return false;
#endif
}

void ServiceNotifyReady(const char *status) {
#ifdef TARNWELL_HAVE_SYSTEMD
  char state[256];
  Str_Snprintf(state, sizeof state, "READY=1\nSTATUS=%s", status);
  Notify(state);
#else
  (void)status;
#endif
}

void ServiceNotifyStopping() {
#ifdef TARNWELL_HAVE_SYSTEMD
  Notify("STOPPING=1");
#endif
}
