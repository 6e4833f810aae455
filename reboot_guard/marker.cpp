#include "marker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
static int name_exists()
{
	// _access with mode 0 asks for existence only and does not follow a
	// symbolic link, so neither read rights nor a missing target matter.
	return _access(MARKER_NAME, 0) == 0;
}

static int open_new_marker()
{
	// Binary, so the content is written as it is; msvcrt's fopen ignores
	// the "x" mode, hence the low-level exclusive open.
	return _open(MARKER_NAME, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
	    _S_IREAD | _S_IWRITE);
}

static int write_some(int fd, const char *data, unsigned int length)
{
	return _write(fd, data, length);
}

// Commits the content to the disk before the restart can begin.
static int sync_marker(int fd)
{
	return _commit(fd) == 0;
}

static int close_marker(int fd)
{
	return _close(fd) == 0;
}

// The commit carries the new name along with the file's own metadata.
static int sync_folder()
{
	return 1;
}

static int remove_name()
{
	struct _stat status;

	// msvcrt's remove takes files only; an empty folder of that name is
	// cleared as remove clears it on POSIX hosts, or the folder would
	// block every restart for good.
	if (_stat(MARKER_NAME, &status) == 0 && (status.st_mode & _S_IFDIR))
		return _rmdir(MARKER_NAME);
	return std::remove(MARKER_NAME);
}
#else
static int name_exists()
{
	struct stat status;

	// lstat looks at the entry itself: a link whose target is missing and
	// a file nobody may read both exist.
	return lstat(MARKER_NAME, &status) == 0;
}

static int open_new_marker()
{
	return open(MARKER_NAME, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
	    0644);
}

static ssize_t write_some(int fd, const char *data, size_t length)
{
	return write(fd, data, length);
}

// A power cut before the file system commits on its own (seconds later)
// would lose the marker, and the machine would come back in hour 1 and
// restart again.
static int sync_marker(int fd)
{
	return fsync(fd) == 0;
}

static int close_marker(int fd)
{
	return close(fd) == 0;
}

// The marker's name lives in the working directory, which must reach the
// disk as well, or the synced content has no name after a power cut.
static int sync_folder()
{
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		return 0;
	int synced = fsync(fd) == 0;
	int error = errno;
	close(fd);
	errno = error;
	return synced;
}

static int remove_name()
{
	// Takes an empty directory as well as a file.
	return std::remove(MARKER_NAME);
}
#endif

// Writes the whole content, going on after a short write so that a full
// disk or a file-size limit gives its own errno.
static int write_content(int fd)
{
	const char *data = MARKER_CONTENT;
	unsigned int left = sizeof MARKER_CONTENT - 1;

	while (left > 0) {
		auto written = write_some(fd, data, left);
		if (written < 0)
			return 0;
		if (written == 0) {
			errno = EIO;
			return 0;
		}
		data += written;
		left -= static_cast<unsigned int>(written);
	}
	return 1;
}

marker_presence marker_test()
{
	if (name_exists())
		return marker_present;
	// Only a missing name means no marker; any other failure leaves the
	// question open, and the caller must not restart on a guess.
	if (errno == ENOENT)
		return marker_absent;
	return marker_unknown;
}

marker_creation marker_create()
{
	int fd = open_new_marker();
	if (fd == -1)
		return errno == EEXIST ? marker_existed : marker_not_created;

	int lasting = write_content(fd) && sync_marker(fd);
	int error = errno;
	if (!close_marker(fd) && lasting) {
		lasting = 0;
		error = errno;
	}
	bool folder_failed = lasting && !sync_folder();
	if (folder_failed) {
		lasting = 0;
		error = errno;
	}
	if (lasting)
		return marker_created;

	// No restart follows this marker. Left in place, it would make every
	// later run of the day find it and do nothing, without a word; and a
	// marker that may not outlive a power cut cannot stand for a restart.
	if (remove_name() != 0) {
		errno = error;
		return marker_left_behind;
	}
	errno = error;
	return folder_failed ? marker_folder_not_synced : marker_not_created;
}

int marker_remove()
{
	if (remove_name() == 0)
		return 0;
	int error = errno;
	// Some hosts refuse before they look for the name, as a read-only
	// file system does: nothing to clear is not a failure.
	if (error == ENOENT || marker_test() == marker_absent)
		return 0;
	errno = error;
	return -1;
}
