// Tells a supervising service manager what the collector is doing: ready
// once its socket is bound, stopping once its loop ends. Under systemd with
// Type=notify that is what lets units ordered after the collector start only
// when dumps can be taken.
//
// Both calls do nothing when the collector was built without libsystemd or
// runs without a supervisor listening (NOTIFY_SOCKET unset); a failure to
// tell is logged once and never stops the collector.
#ifndef TARNWELL_SERVICENOTIFY_H
#define TARNWELL_SERVICENOTIFY_H

// Whether this build tells a supervisor anything at all.
bool ServiceNotifyBuiltIn();
// READY=1, with a one-line STATUS naming where the collector listens.
void ServiceNotifyReady(const char *status);
// STOPPING=1: the loop has ended and the collector is finishing its work.
void ServiceNotifyStopping();

#endif  // TARNWELL_SERVICENOTIFY_H
