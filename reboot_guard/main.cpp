// reboot_guard: restarts the machine at most once a day, in local hour 1.
// Whatever starts it decides how often it checks; the marker file in the
// working directory keeps repeated runs from restarting more than once.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "run.h"

#ifdef _WIN32
#include "event_log.h"

// Task Scheduler keeps no stderr: failures and requests go to the
// Application log too.
static event_logger *const log_event = event_log_write;
#else
// The journal, cron's mail or a log file keeps stderr already.
static event_logger *const log_event = nullptr;
#endif

static int run_with_system(const char *command)
{
#ifndef _WIN32
	// A parent that ignores SIGCHLD passes that on through exec, and
	// system could then not collect the status of a request it made.
	std::signal(SIGCHLD, SIG_DFL);
#endif
	return std::system(command);
}

int main()
{
#ifndef _WIN32
	// A log reader that went away or a file-size limit must make a write
	// fail, not end the run between making the marker and requesting the
	// restart: whether anyone reads the report decides nothing.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
#endif

	// The clock is read once; both checks use this one reading.
	const std::tm *local_time = nullptr;
	int clock_error = 0;
	std::time_t now = std::time(nullptr);
	if (now != static_cast<std::time_t>(-1))
		local_time = std::localtime(&now);
	if (local_time == nullptr)
		clock_error = errno;

	int status = reboot_guard_run(local_time, clock_error, stdout, stderr,
	    run_with_system, log_event);
	return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
