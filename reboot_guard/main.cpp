// reboot_guard: restarts the machine at most once a day, in local hour 1.
// Whatever starts it decides how often it checks; the marker file in the
// working directory keeps repeated runs from restarting more than once.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "host.h"
#include "run.h"

int main()
{
	run_streams streams = host_prepare();

	// The clock is read once; both checks use this one reading, in the
	// zone the host names.
	clock_reading clock{std::time(nullptr), nullptr, 0, nullptr, nullptr};
	if (clock.now == static_cast<std::time_t>(-1))
		clock.error = errno;
	else
		host_local_time(clock);

	int status = reboot_guard_run(clock, streams, host_run_command,
	    host_scheduled_shutdown, host_log_event);
	return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
