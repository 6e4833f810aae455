// reboot_guard: restarts the machine at most once a day, in local hour 1.
// Whatever starts it decides how often it checks; the marker file in the
// working directory keeps repeated runs from restarting more than once.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "run.h"

static int run_with_system(const char *command)
{
	return std::system(command);
}

int main()
{
	// The clock is read once; both checks use this one reading.
	const std::tm *local_time = nullptr;
	int clock_error = 0;
	std::time_t now = std::time(nullptr);
	if (now != static_cast<std::time_t>(-1))
		local_time = std::localtime(&now);
	if (local_time == nullptr)
		clock_error = errno;

	int status = reboot_guard_run(local_time, clock_error, stdout, stderr,
	    run_with_system);
	return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
