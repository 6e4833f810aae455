// The Windows Application event log, which keeps what Task Scheduler does
// not: the failures and restart requests of the runs.
#ifndef REBOOT_GUARD_EVENT_LOG_H
#define REBOOT_GUARD_EVENT_LOG_H

#include "run.h"

// Writes one event from the source "reboot_guard". A failure to log is
// silent: it never changes what a run reports or returns.
void event_log_write(event_kind kind, const char *text);

#endif
