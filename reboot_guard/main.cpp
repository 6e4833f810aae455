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

	// The clock is read once, in a zone known to be the one the host
	// names; both checks use this one reading.
	clock_reading clock{0, nullptr, 0, nullptr, nullptr};
	clock.zone_error = host_check_zone(&clock.unknown_zone);
	if (clock.zone_error == nullptr) {
		clock.now = std::time(nullptr);
		if (clock.now != static_cast<std::time_t>(-1))
			clock.local_time = std::localtime(&clock.now);
		if (clock.local_time == nullptr)
			clock.error = errno;
	}

	int status = reboot_guard_run(clock, streams, host_run_command,
	    host_scheduled_shutdown, host_log_event);
	return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
