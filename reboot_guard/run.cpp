#include "run.h"

#include <cerrno>
#include <cstring>

#include "host.h"
#include "marker.h"

static const int reboot_hour = 1;
static const int clearing_hour = 15;

static const char already_scheduled[] =
    "reboot_guard: a shutdown is already scheduled; this run requested none";

// Says line on err, after the report written so far, so that a log
// holding both reads in order, and logs it as an event of kind. Where the
// report shares its sink with err and its last line is still open, line
// starts a line of its own; the journal files a failure as an error and
// anything else as a warning.
static void tell(const run_streams &streams, event_logger *log_event,
    event_kind kind, bool line_open, const char *line)
{
	std::fflush(streams.out);
	std::fprintf(streams.err, "%s%s%s\n",
	    line_open && streams.shared ? "\n" : "",
	    !streams.err_is_journal ? "" : kind == event_failure ? "<3>" : "<4>",
	    line);
	if (log_event != nullptr)
		log_event(kind, line);
}

// Says what failed and why. Returns the failed status.
static int complain(const run_streams &streams, event_logger *log_event,
    bool line_open, const char *subject, const char *reason,
    const char *consequence)
{
	char line[512];

	std::snprintf(line, sizeof line, "reboot_guard: %s: %s%s", subject,
	    reason, consequence);
	tell(streams, log_event, event_failure, line_open, line);
	return 1;
}

static int request_restart(const run_streams &streams,
    command_runner *run_command, event_logger *log_event)
{
	// Said before the command runs: a restart may end the run before it
	// can say anything afterwards.
	if (log_event != nullptr) {
		char line[160];
		std::snprintf(line, sizeof line,
		    "reboot_guard: requesting a restart: %s", restart_command);
		log_event(event_restart_request, line);
	}
	// Whatever the command prints must land after the report so far.
	std::fflush(streams.out);
	errno = 0;
	int status = run_command(restart_command);
	if (status == 0)
		return 0;
	// The machine goes down all the same, and whoever scheduled that
	// shutdown chose its time and kind: this run does not replace it.
	if (host_shutdown_pending(status)) {
		tell(streams, log_event, event_already_scheduled, false,
		    already_scheduled);
		return 0;
	}

	char reason[64];
	if (status == -1)
		std::snprintf(reason, sizeof reason, "%s", std::strerror(errno));
	else
		host_describe_status(status, reason, sizeof reason);
	return complain(streams, log_event, false, restart_command, reason,
	    "; " MARKER_NAME " stays, so this hour will not retry");
}

enum other_shutdown {
	none_due,      // none, or one in the past, or a dry run
	due_this_hour, // takes the place of this night's restart
	due_later      // may yet be cancelled before the night is over
};

// Says when another's shutdown is due, if at all, and puts its time into
// due.
static other_shutdown shutdown_due(const clock_reading &clock,
    shutdown_schedule *scheduled, std::time_t &due)
{
	if (scheduled == nullptr || !scheduled(&due) || due <= clock.now)
		return none_due;
	const std::tm *local_time = clock.local_time;
	std::time_t hour_end = clock.now + 3600 -
	    (local_time->tm_min * 60 + local_time->tm_sec);
	return due < hour_end ? due_this_hour : due_later;
}

static int reboot_check(const clock_reading &clock,
    const run_streams &streams, command_runner *run_command,
    shutdown_schedule *scheduled, event_logger *log_event)
{
	std::FILE *out = streams.out;

	std::fputs("Checking if we have rebooted today\n", out);

	marker_presence presence = marker_test();
	int error = errno;
	if (presence != marker_absent) {
		std::fputs("- File found, not going to reboot\n", out);
		if (presence == marker_unknown)
			return complain(streams, log_event, false, MARKER_NAME,
			    std::strerror(error),
			    "; counted as present, no restart requested");
		return 0;
	}

	std::fputs("- File not found, going to create file and reboot in "
	    "5mins\n", out);
	// Another's shutdown due in this hour stands in for the restart, and
	// the marker is made for it. One due later may yet be cancelled: no
	// marker is made, so that every later run of the hour decides again.
	std::time_t due;
	other_shutdown other = shutdown_due(clock, scheduled, due);
	if (other == due_later) {
		char line[200];
		std::snprintf(line, sizeof line, "reboot_guard: a shutdown is "
		    "already scheduled, due in %lld minutes, after this hour; "
		    "this run requested none and made no marker",
		    static_cast<long long>((due - clock.now + 59) / 60));
		tell(streams, log_event, event_already_scheduled, false, line);
		return 0;
	}
	marker_creation creation = marker_create();
	error = errno;
	if (creation == marker_existed)
		return 0; // another run made it first and requests the restart
	// A restart without its marker would repeat on every later run.
	if (creation == marker_not_created)
		return complain(streams, log_event, false, MARKER_NAME,
		    std::strerror(error), "; no restart requested");
	if (creation == marker_folder_not_synced)
		return complain(streams, log_event, false, ".",
		    std::strerror(error), "; no restart requested");
	if (creation == marker_left_behind)
		return complain(streams, log_event, false, MARKER_NAME,
		    std::strerror(error),
		    "; no restart requested, and the unwritten marker stays: "
		    "no restart until it is removed");
	if (other == due_this_hour) {
		tell(streams, log_event, event_already_scheduled, false,
		    already_scheduled);
		return 0;
	}
	return request_restart(streams, run_command, log_event);
}

static int clearing_check(const run_streams &streams,
    event_logger *log_event)
{
	std::fputs("- Matched", streams.out);
	if (marker_remove() == 0)
		return 0;
	// A marker that stays would block every later restart. The report's
	// last line has no line end.
	return complain(streams, log_event, true, MARKER_NAME,
	    std::strerror(errno),
	    "; the marker stays and blocks the next restart");
}

int reboot_guard_run(const clock_reading &clock, const run_streams &streams,
    command_runner *run_command, shutdown_schedule *scheduled,
    event_logger *log_event)
{
	std::FILE *out = streams.out;
	const std::tm *local_time = clock.local_time;
	int status = 0;

	std::fputs("Checks to see if it's 1pm and if a file exists, then "
	    "reboots based on that.\nIf the file exists, then we don't "
	    "reboot. The file is deleted at 3pm\n", out);

	// Without the local hour there is nothing to decide on, and an
	// invented one could restart the machine: so is the hour of a time
	// zone the C library could not load and silently took as UTC.
	if (clock.unknown_zone != nullptr) {
		// A name too long for the line keeps its start and leaves room
		// for the reason.
		const int shown = 300;
		char subject[480];
		std::snprintf(subject, sizeof subject, "unknown time zone %.*s%s",
		    shown, clock.unknown_zone,
		    std::strlen(clock.unknown_zone) > shown ? "..." : "");
		return complain(streams, log_event, false, subject,
		    clock.zone_error, "");
	}
	if (local_time == nullptr)
		return complain(streams, log_event, false,
		    "cannot read the local time",
		    clock.error != 0 ? std::strerror(clock.error) :
		    "unknown error", "");
	errno = 0;
	const char *time_text = std::asctime(local_time);
	if (time_text == nullptr)
		return complain(streams, log_event, false,
		    "cannot format the local time",
		    errno != 0 ? std::strerror(errno) : "unknown error", "");

	int hour = local_time->tm_hour;
	std::fprintf(out, "Current local time and date: %s\n", time_text);
	std::fprintf(out, "Checking if matched 1am (1 in 24hour time). "
	    "Hour is: %i\n", hour);
	if (hour == reboot_hour) {
		std::fputs("- Matched\n\n", out);
		status = reboot_check(clock, streams, run_command, scheduled,
		    log_event);
	} else {
		std::fputs("- Not matched\n\n", out);
	}

	std::fprintf(out, "Checking if matching for 3pm (15 in 24hour time) "
	    "so rebooted.txt file can be deleted. Hour is: %i\n", hour);
	if (hour == clearing_hour) {
		if (clearing_check(streams, log_event) != 0)
			status = 1;
	} else {
		std::fputs("- Not matched", out);
	}
	std::fflush(out);
	return status;
}
