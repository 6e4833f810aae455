#include "marker.h"

#include <cerrno>

#include "host.h"

// Writes the whole content, going on after a short write so that a full
// disk or a file-size limit gives its own errno.
static int write_content(int fd)
{
	const char *data = MARKER_CONTENT;
	unsigned int left = sizeof MARKER_CONTENT - 1;

	while (left > 0) {
		long written = host_write(fd, data, left);
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
	if (host_name_exists(MARKER_NAME))
		return marker_present;
	// Only a missing name means no marker; any other failure leaves the
	// question open, and the caller must not restart on a guess.
	if (errno == ENOENT)
		return marker_absent;
	return marker_unknown;
}

marker_creation marker_create()
{
	int fd = host_create_new(MARKER_NAME);
	if (fd == -1)
		return errno == EEXIST ? marker_existed : marker_not_created;

	int lasting = write_content(fd) && host_sync(fd);
	int error = errno;
	if (!host_close(fd) && lasting) {
		lasting = 0;
		error = errno;
	}
	bool folder_failed = lasting && !host_sync_working_directory();
	if (folder_failed) {
		lasting = 0;
		error = errno;
	}
	if (lasting)
		return marker_created;

	// No restart follows this marker. Left in place, it would make every
	// later run of the day find it and do nothing, without a word; and a
	// marker that may not outlive a power cut cannot stand for a restart.
	if (host_remove(MARKER_NAME) != 0) {
		errno = error;
		return marker_left_behind;
	}
	errno = error;
	return folder_failed ? marker_folder_not_synced : marker_not_created;
}

int marker_remove()
{
	if (host_remove(MARKER_NAME) == 0)
		return 0;
	int error = errno;
	// Some hosts refuse before they look for the name, as a read-only
	// file system does: nothing to clear is not a failure.
	if (error == ENOENT || marker_test() == marker_absent)
		return 0;
	errno = error;
	return -1;
}
