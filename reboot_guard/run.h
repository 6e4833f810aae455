// One run of the daily reboot check: report the local time, request a
// restart in hour 1 unless the marker says one was already requested, and
// clear the marker in hour 15.
#ifndef REBOOT_GUARD_RUN_H
#define REBOOT_GUARD_RUN_H

#include <cstdio>
#include <ctime>

// Hands one command line to the host's command processor and returns what
// `system` returned for it.
typedef int command_runner(const char *command);

// Puts into due the time at which a shutdown that someone else scheduled
// is due, and returns true; returns false where none is scheduled, or none
// that the host can tell of.
typedef bool shutdown_schedule(std::time_t *due);

// What a run has the host's system log keep, where nothing keeps stderr.
enum event_kind {
	event_failure,          // the same text as the failure's line on stderr
	event_restart_request,  // written before the restart command runs
	event_already_scheduled // a shutdown someone else scheduled stands,
	                        // and this run requested none
};

// Writes one event, text without a line end, to the host's system log.
typedef void event_logger(event_kind kind, const char *text);

// Where a run writes, and what it must know of where that leads.
struct run_streams {
	std::FILE *out;      // the report
	std::FILE *err;      // one line per failure
	bool shared;         // out and err lead to the same file or stream
	bool err_is_journal; // err is systemd's journal, which reads a
	                     // level prefix on each line
};

// One reading of the clock, turned into local time.
struct clock_reading {
	std::time_t now;           // the reading
	const std::tm *local_time; // null when there is no local time to
	                           // trust
	int error;                 // when the clock could not be read or
	                           // turned into local time, the errno of
	                           // that failure (0 when there was none)
	const char *unknown_zone;  // the time zone that could not be loaded,
	                           // or null
	const char *zone_error;    // and why it could not
};

// The command line that asks the host for a forced restart in five minutes.
extern const char restart_command[];

// Runs the checks once for one clock reading. The report goes to
// streams.out, one line per failure goes to streams.err, and each failure
// and restart request goes to log_event as well unless it is null. In the
// reboot hour it asks scheduled, unless it is null, whether someone else's
// shutdown is due, before it makes the marker. Returns 0 when every step
// worked and 1 when anything failed.
int reboot_guard_run(const clock_reading &clock, const run_streams &streams,
    command_runner *run_command, shutdown_schedule *scheduled,
    event_logger *log_event);

#endif
