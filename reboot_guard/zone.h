// The time zone that turns the clock into local time. Where glibc cannot
// load the zone named for it, it takes UTC without a word; where it reads
// a rule only in part, or a file that says nothing of now, it invents the
// rest. So the run works the zone's offset out itself, for its one reading
// of the clock, and goes on only where glibc's is the same.
#ifndef REBOOT_GUARD_ZONE_H
#define REBOOT_GUARD_ZONE_H

#include <cstddef>
#include <ctime>

// Where the host keeps its zones.
struct zone_places {
	const char *localtime; // the host's own zone, used when TZ is unset:
	                       // an absolute path
	const char *zone_dir;  // where zone names that are not paths are found
};

// Puts into offset the seconds east of UTC that the zone tz names (the
// value of TZ, or null when it is unset) has at now, read from the file
// glibc would read for it or from the rule that tz is, and puts the
// zone's name into name. Returns null when it has one; otherwise returns
// why not. Refuses, before glibc reads anything, a zone glibc would read
// a FIFO or another file that is not a regular one for, a damaged file,
// one that says nothing of now, and a summer time without dates.
const char *zone_check(const char *tz, const zone_places &places,
    std::time_t now, long *offset, char *name, std::size_t size);

// The same for a TZ rule, "std offset [dst [offset] [,start,end]]", and
// for the bytes of a zone file. Null where they give an offset at now.
const char *zone_rule_offset(const char *rule, std::time_t now,
    long *offset);
const char *zone_file_offset(const unsigned char *data, std::size_t size,
    std::time_t now, long *offset);

#endif
