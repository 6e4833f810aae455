// What the program needs of the system it runs on, all of it in one file
// per system, host_posix.cpp or host_windows.cpp, which the build chooses:
// nothing else asks which system it runs on.
#ifndef REBOOT_GUARD_HOST_H
#define REBOOT_GUARD_HOST_H

#include <cstddef>
#include <ctime>

#include "run.h"

// For main: readies the process, so that a write that fails cannot end a
// run between the marker and the restart request, and returns the run's
// streams.
run_streams host_prepare();
// For main: turns clock.now into the local time of the zone the host
// names, where the C library's is known to be that zone's; otherwise says
// in clock why there is none to trust.
void host_local_time(clock_reading &clock);
// The run's command_runner, shutdown_schedule and event_logger.
int host_run_command(const char *command);
bool host_scheduled_shutdown(std::time_t *due);
void host_log_event(event_kind kind, const char *text);

// Reads a schedule of logind's, as systemd writes it: "KEY=value" lines,
// of which only USEC, the time in microseconds of the real-time clock,
// says anything here; its wall message is escaped, no line of its own.
// Puts that time into due and returns true, or returns false where the
// text has none.
bool host_schedule_due(const char *text, std::size_t length,
    std::time_t *due);

// For the run: whether the restart command refused because another's
// shutdown is scheduled or under way, and what a status other than 0 and
// -1 says went wrong.
bool host_shutdown_pending(int status);
void host_describe_status(int status, char *reason, std::size_t size);

// For the marker, in the working directory. Each fails with errno set.
// The name's entry exists, looked at itself and not through a link.
bool host_name_exists(const char *name);
// Opens name for writing where it is free, following no link.
int host_create_new(const char *name);
long host_write(int fd, const char *data, unsigned int length);
// Puts the file's content, or the working directory that holds its name,
// on disk.
bool host_sync(int fd);
bool host_sync_working_directory();
bool host_close(int fd);
// Deletes a file or an empty directory.
int host_remove(const char *name);

#endif
