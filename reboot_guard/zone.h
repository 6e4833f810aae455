// The time zone that turns the clock into local time. Where the zone named
// for it has no file, or a file that is not a zone, the C library takes UTC
// without a word, and the hour it gives is invented.
#ifndef REBOOT_GUARD_ZONE_H
#define REBOOT_GUARD_ZONE_H

#include <cstddef>

// Where the host keeps its zones.
struct zone_places {
	const char *localtime; // the host's own zone, used when TZ is unset
	const char *zone_dir;  // where zone names that are not paths are found
};

// Checks that the zone which tz names (the value of TZ, or null when it is
// unset) can be loaded. Returns null when it can, and when it needs no
// file: a rule such as "EST5EDT" or "XYZ-05:30", UTC or GMT by any of
// their names, an empty TZ, or no TZ and no host zone at all. Otherwise
// puts the zone's name into name and returns why it cannot be loaded.
const char *zone_check(const char *tz, const zone_places &places,
    char *name, std::size_t size);

#endif
