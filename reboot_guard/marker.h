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
	marker_created,    // this call made the marker and wrote its content
	marker_existed,    // the name was taken already; nothing was touched
	marker_not_created // the marker could not be made; errno says why
};

// Looks for the name without opening or following it, so that a marker
// that cannot be read, or a link whose target is missing, still counts.
marker_presence marker_test();

// Makes the marker only if the name is free, so that it never follows a
// link, never truncates a file and only one of two racing runs wins.
marker_creation marker_create();

// Deletes the marker. Returns 0 when it is gone, including when there was
// none, and -1 with errno set when it could not be removed.
int marker_remove();

#endif
