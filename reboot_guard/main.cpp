// reboot_guard: restarts the machine at most once a day, in local hour 1.
// Whatever starts it decides how often it checks; the marker file in the
// working directory keeps repeated runs from restarting more than once.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "run.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef __GLIBC__
#include <sys/auxv.h>

#include "zone.h"
#endif

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "event_log.h"

// Task Scheduler keeps no stderr: failures and requests go to the
// Application log too.
static event_logger *const log_event = event_log_write;
#else
// The journal, cron's mail or a log file keeps stderr already.
static event_logger *const log_event = nullptr;
#endif

#ifdef _WIN32
// Says whether two descriptors lead to the same file; pipes and consoles
// have no file identity and cannot tell.
static bool same_sink(int a, int b)
{
	FILE_ID_INFO first, second;
	auto handle_a = reinterpret_cast<HANDLE>(_get_osfhandle(a));
	auto handle_b = reinterpret_cast<HANDLE>(_get_osfhandle(b));
	return GetFileInformationByHandleEx(handle_a, FileIdInfo, &first,
	    sizeof first) && GetFileInformationByHandleEx(handle_b, FileIdInfo,
	    &second, sizeof second) &&
	    first.VolumeSerialNumber == second.VolumeSerialNumber &&
	    std::memcmp(&first.FileId, &second.FileId, sizeof first.FileId) == 0;
}

static bool is_journal(int)
{
	return false;
}
#else
// Says whether two descriptors lead to the same file, pipe or socket.
static bool same_sink(int a, int b)
{
	struct stat first, second;
	return fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
	    first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// systemd names the journal's stream in JOURNAL_STREAM, as "device:inode".
static bool is_journal(int fd)
{
	const char *stream = std::getenv("JOURNAL_STREAM");
	unsigned long long device, inode;
	char rest;
	struct stat status;
	return stream != nullptr &&
	    std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
	    fstat(fd, &status) == 0 && status.st_dev == device &&
	    status.st_ino == inode;
}
#endif

#ifdef __linux__
// logind keeps one scheduled shutdown in this file, and removes it when
// the shutdown is cancelled, fails or comes due as a dry run: "USEC=" its
// time in microseconds of the real-time clock, "MODE=", and "DRY_RUN=1"
// (or, from older versions, a mode beginning "dry-") for one that only
// warns. A new request would replace it.
static bool logind_schedule(std::time_t *due)
{
	char text[4096];
	struct stat status;
	ssize_t length = -1;

	// Not blocking: nothing but logind's own file may keep the run
	// waiting.
	int fd = open("/run/systemd/shutdown/scheduled",
	    O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
	if (fd == -1)
		return false;
	if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
		length = read(fd, text, sizeof text - 1);
	close(fd);
	if (length <= 0)
		return false;
	text[length] = '\0';

	bool timed = false, dry_run = false;
	for (char *line = text; line != nullptr && *line != '\0';) {
		char *end = std::strchr(line, '\n');
		if (end != nullptr)
			*end++ = '\0';
		char *rest;
		if (std::strncmp(line, "USEC=", 5) == 0 && line[5] >= '0' &&
		    line[5] <= '9') {
			errno = 0;
			unsigned long long usec = std::strtoull(line + 5, &rest, 10);
			timed = errno == 0 && *rest == '\0';
			*due = static_cast<std::time_t>(usec / 1000000);
		} else if (std::strcmp(line, "DRY_RUN=1") == 0 ||
		    std::strncmp(line, "MODE=dry-", 9) == 0) {
			dry_run = true;
		}
		line = end;
	}
	return timed && !dry_run;
}

static shutdown_schedule *const read_schedule = logind_schedule;
#else
static shutdown_schedule *const read_schedule = nullptr;
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
	clock_reading clock{0, nullptr, 0, nullptr, nullptr};
#ifdef _WIN32
	// msvcrt would take a TZ from the environment, in a form of its own
	// and with United States summer dates, over the system's zone: the
	// system's zone decides, as the rest of the environment decides
	// nothing.
	_putenv("TZ=");
#elif defined(__GLIBC__)
	// glibc would take a zone it cannot load for UTC, in silence; its
	// zone names say where it did.
	static char zone[2 * 4096 + 8]; // the longest path and its link
	const char *tz = std::getenv("TZ");
	const char *zone_dir = std::getenv("TZDIR");
	if (zone_dir == nullptr || *zone_dir == '\0')
		zone_dir = "/usr/share/zoneinfo";
	clock.zone_error = zone_check(tz, {"/etc/localtime", zone_dir,
	    getauxval(AT_SECURE) != 0}, zone, sizeof zone);
	if (clock.zone_error != nullptr)
		clock.unknown_zone = zone;
#endif
	if (clock.unknown_zone == nullptr) {
		clock.now = std::time(nullptr);
		if (clock.now != static_cast<std::time_t>(-1))
			clock.local_time = std::localtime(&clock.now);
		if (clock.local_time == nullptr)
			clock.error = errno;
	}
#ifdef __GLIBC__
	// The check's spelling of the host zone was for this clock alone: the
	// restart command gets TZ as the run was given it.
	if (tz == nullptr)
		unsetenv("TZ");
	else
		setenv("TZ", tz, 1);
#endif

	// A failure line must not be glued to the report's open last line
	// where both go to one log, and the journal must file it as an error.
	run_streams streams{stdout, stderr, same_sink(1, 2), is_journal(2)};
	int status = reboot_guard_run(clock, streams, run_with_system,
	    read_schedule, log_event);
	return status == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
