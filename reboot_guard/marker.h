// The reboot marker: the file "rebooted.txt" in the working directory.
// Its presence, never its content, means that a restart has already been
// requested since the marker was last cleared.
#ifndef REBOOT_GUARD_MARKER_H
#define REBOOT_GUARD_MARKER_H

// The marker's name, resolved against the working directory of the run.
#define MARKER_NAME "rebooted.txt"

// The 8 bytes written into a new marker, with no line end and no zero.
#define MARKER_CONTENT "Rebooted"

enum marker_presence {
	marker_absent,  // no directory entry has the name
	marker_present, // an entry of any kind has the name
	marker_unknown  // the look failed; errno says why
};

enum marker_creation {
	marker_created,     // this call made the marker, and its content and
	                    // name are on disk
	marker_existed,     // the name was taken already; nothing was touched
	marker_not_created, // no marker was made, or the one that could not
	                    // be written or synced was removed again; errno
	                    // says why
	marker_folder_not_synced, // the working directory, which holds the
	                    // marker's name, could not be synced, and the
	                    // marker was removed again; errno says why
	marker_left_behind  // the content could not be written or synced and
	                    // the file could not be removed; errno says why
};

// Looks for the name without opening or following it, so that a marker
// that cannot be read, or a link whose target is missing, still counts.
marker_presence marker_test();

// Makes the marker only if the name is free, so that it never follows a
// link, never truncates a file and only one of two racing runs wins. It
// returns once the content and the name are on disk, so that the marker
// outlives a restart that follows at once. A marker that could not be
// written or synced is removed again: no restart follows it, so it must
// not keep the later runs from trying.
marker_creation marker_create();

// Deletes the marker, or an empty directory of that name. Returns 0 when
// it is gone, including when there was none, and -1 with errno set when
// it could not be removed.
int marker_remove();

#endif
