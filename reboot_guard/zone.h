// The time zone that turns the clock into local time. Where glibc cannot
// load the zone named for it, it takes UTC without a word, and the hour it
// gives is invented; only its zone names tell. Where it reads a rule only
// in part, it takes the rest as no summer time or summer time all year.
#ifndef REBOOT_GUARD_ZONE_H
#define REBOOT_GUARD_ZONE_H

#include <cstddef>

// Where the host keeps its zones.
struct zone_places {
	const char *localtime; // the host's own zone, used when TZ is unset:
	                       // an absolute path
	const char *zone_dir;  // where zone names that are not paths are found
	bool secure;           // glibc's secure mode (a setuid program): it
	                       // opens the host's zone by that path alone
};

// Asks glibc whether it loads the zone that tz names (the value of TZ, or
// null when it is unset), once every file it may open for it is known to
// be a regular one or absent, and every rule it would read, in TZ or at
// the end of a zone file, is known to be whole. Returns null when it does,
// and when the zone needs no file: UTC or GMT by any of their names, an
// empty TZ or a colon alone, or no TZ and no host zone at all. Otherwise
// puts the zone's name into name and returns why it cannot be loaded. For
// the host's own zone it may set TZ to another spelling of its path, which
// the caller puts back to tz once the clock is read.
const char *zone_check(const char *tz, const zone_places &places,
    char *name, std::size_t size);

// Says whether zone, or the last part of its path, is one of UTC's names.
bool zone_names_utc(const char *zone);

#endif
