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

// Asks the C library whether it loaded the zone that TZ names, in the
// environment: a zone file or a whole rule.
typedef bool zone_verdict();

// Checks that the zone which tz names (the value of TZ, or null when it is
// unset) can be loaded. Returns null when it can, and when it needs no
// file: a rule such as "EST5EDT" or "XYZ-05:30", UTC or GMT by any of
// their names, an empty TZ, or no TZ and no host zone at all. Otherwise
// puts the zone's name into name and returns why it cannot be loaded.
// Where c_library_loaded is not null, it decides on a TZ that is set, once
// the zone is known to be safe to open; else the file itself is read. A
// file that is not a regular one is refused either way, and so is a host
// zone that does not load, as the C library gives no sign of that.
const char *zone_check(const char *tz, const zone_places &places,
    zone_verdict *c_library_loaded, char *name, std::size_t size);

// Says whether zone, or the last part of its path, is one of UTC's names.
bool zone_names_utc(const char *zone);

#ifdef __GLIBC__
// glibc leaves the second of its zone names empty where it loaded neither
// a zone file nor a whole rule; either repeats the first name where there
// is no summer time.
bool glibc_loaded_zone();
#endif

#endif
