// What reboot_guard needs of a POSIX system; Linux's and glibc's own parts
// (logind's schedule, the journal's stream, the zone check) included.
#include "host.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __GLIBC__
#include "zone.h"
#endif

// POSIX hosts have no Windows shutdown; their own restarts in five minutes.
const char restart_command[] = "shutdown -r +5";

#ifdef __GLIBC__
static void format_offset(long offset, char *text, std::size_t size)
{
	long east = offset < 0 ? -offset : offset;
	std::snprintf(text, size, "%c%02ld:%02ld:%02ld", offset < 0 ? '-' : '+',
	    east / 3600, east / 60 % 60, east % 60);
}
#endif

void host_local_time(clock_reading &clock)
{
#ifdef __GLIBC__
	// glibc would take a zone it cannot load for UTC, in silence, and
	// invent what a rule or a file does not say: the zone's own offset
	// for this reading is worked out first, before glibc reads anything,
	// and glibc's must be the same.
	static char name[2 * 4096 + 8], reason[128]; // the longest path and
	                                             // its link
	const char *zone_dir = std::getenv("TZDIR");
	if (zone_dir == nullptr || *zone_dir == '\0')
		zone_dir = "/usr/share/zoneinfo";
	long offset;
	clock.zone_error = zone_check(std::getenv("TZ"), {"/etc/localtime",
	    zone_dir}, clock.now, &offset, name, sizeof name);
	if (clock.zone_error != nullptr) {
		clock.unknown_zone = name;
		return;
	}
#endif
	clock.local_time = std::localtime(&clock.now);
	if (clock.local_time == nullptr) {
		clock.error = errno;
		return;
	}
#ifdef __GLIBC__
	if (clock.local_time->tm_gmtoff != offset) {
		char glibc[32], own[32];
		format_offset(clock.local_time->tm_gmtoff, glibc, sizeof glibc);
		format_offset(offset, own, sizeof own);
		std::snprintf(reason, sizeof reason, "glibc's offset %s is not "
		    "the zone's %s", glibc, own);
		clock.unknown_zone = name;
		clock.zone_error = reason;
	}
#endif
}

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

run_streams host_prepare()
{
	// A log reader that went away or a file-size limit must make a write
	// fail, not end the run: whether anyone reads the report decides
	// nothing.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	// A failure line must not be glued to the report's open last line
	// where both go to one log, and the journal must file it as an error.
	return {stdout, stderr, same_sink(1, 2), is_journal(2)};
}

int host_run_command(const char *command)
{
	// A parent that ignores SIGCHLD passes that on through exec, and
	// system could then not collect the status of a request it made.
	std::signal(SIGCHLD, SIG_DFL);
	return std::system(command);
}

bool host_schedule_due(const char *text, std::size_t length,
    std::time_t *due)
{
	for (const char *line = text, *end; line < text + length; line = end + 1) {
		end = static_cast<const char *>(std::memchr(line, '\n',
		    static_cast<std::size_t>(text + length - line)));
		if (end == nullptr)
			return false;
		if (end - line <= 5 || std::memcmp(line, "USEC=", 5) != 0)
			continue;
		unsigned long long usec = 0;
		for (const char *digit = line + 5; digit < end; ++digit) {
			if (*digit < '0' || *digit > '9' ||
			    usec > (ULLONG_MAX - 9) / 10)
				return false;
			usec = usec * 10 + static_cast<unsigned>(*digit - '0');
		}
		*due = static_cast<std::time_t>(usec / 1000000);
		return true;
	}
	return false;
}

#ifdef __linux__
// logind keeps one scheduled shutdown in this file, and removes it when
// the shutdown is cancelled or fails. A dry run (shutdown -k) is written
// as the shutdown it pretends, and cannot be told from one.
bool host_scheduled_shutdown(std::time_t *due)
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
		length = read(fd, text, sizeof text);
	close(fd);
	return length > 0 && host_schedule_due(text,
	    static_cast<std::size_t>(length), due);
}
#else
bool host_scheduled_shutdown(std::time_t *)
{
	return false;
}
#endif

// The journal, cron's mail or a log file keeps stderr already.
void host_log_event(event_kind, const char *)
{
}

// shutdown's answer does not tell another's shutdown from a failure;
// logind's schedule is read before the marker is made instead.
bool host_shutdown_pending(int)
{
	return false;
}

void host_describe_status(int status, char *reason, std::size_t size)
{
	if (WIFEXITED(status))
		std::snprintf(reason, size, "exit status %d",
		    WEXITSTATUS(status));
	else if (WIFSIGNALED(status))
		std::snprintf(reason, size, "killed by signal %d",
		    WTERMSIG(status));
	else
		std::snprintf(reason, size, "status %d", status);
}

// A link whose target is missing and a file nobody may read both exist.
bool host_name_exists(const char *name)
{
	struct stat status;

	return lstat(name, &status) == 0;
}

int host_create_new(const char *name)
{
	return open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

long host_write(int fd, const char *data, unsigned int length)
{
	return write(fd, data, length);
}

// A power cut before the file system commits on its own (seconds later)
// would lose the marker, and the machine would come back in hour 1 and
// restart again.
bool host_sync(int fd)
{
	return fsync(fd) == 0;
}

bool host_close(int fd)
{
	return close(fd) == 0;
}

// The marker's name lives in the working directory, which must reach the
// disk as well, or the synced content has no name after a power cut.
bool host_sync_working_directory()
{
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		return false;
	bool synced = fsync(fd) == 0;
	int error = errno;
	close(fd);
	errno = error;
	return synced;
}

// Takes an empty directory as well as a file.
int host_remove(const char *name)
{
	return std::remove(name);
}
