#include "marker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
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

static int write_content(int fd)
{
	const unsigned int length = sizeof MARKER_CONTENT - 1;
	return _write(fd, MARKER_CONTENT, length) == static_cast<int>(length);
}

static int close_marker(int fd)
{
	return _close(fd) == 0;
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

static int write_content(int fd)
{
	const size_t length = sizeof MARKER_CONTENT - 1;
	return write(fd, MARKER_CONTENT, length) ==
	    static_cast<ssize_t>(length);
}

static int close_marker(int fd)
{
	return close(fd) == 0;
}
#endif

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

	errno = 0;
	int written = write_content(fd);
	int saved_errno = errno;
	int closed = close_marker(fd);
	if (!written) {
		// A short write sets no errno of its own.
		errno = saved_errno != 0 ? saved_errno : EIO;
		return marker_not_created;
	}
	if (!closed)
		return marker_not_created;
	return marker_created;
}

int marker_remove()
{
	if (std::remove(MARKER_NAME) == 0 || errno == ENOENT)
		return 0;
	return -1;
}
