#include "zone.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const char not_regular[] = "not a regular file";
static const char not_a_zone_file[] = "not a time zone file";

bool zone_names_utc(const char *zone)
{
	static const char *const names[] = {"UTC", "UCT", "GMT", "GMT0",
	    "GMT+0", "GMT-0", "Greenwich", "Universal", "Zulu"};
	const char *last = std::strrchr(zone, '/');

	last = last != nullptr ? last + 1 : zone;
	for (const char *name : names)
		if (strcasecmp(last, name) == 0)
			return true;
	return false;
}

// How much of a text glibc's reading of a rule would take in.
enum rule_reading {
	rule_partial, // glibc would read it in part, or not at all
	rule_whole,   // a rule, every character of it
	rule_undated  // a whole rule with a summer time but no dates, which
	              // glibc takes from the zone "posixrules"
};

// Reads a number of at most digits digits, up to max.
static bool read_number(const char *&p, int digits, int max, int &value)
{
	const char *start = p;

	value = 0;
	while (*p >= '0' && *p <= '9' && p - start < digits)
		value = value * 10 + (*p++ - '0');
	return p > start && value <= max;
}

static bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A zone's name: three letters or more, or three or more letters, digits,
// "+" and "-" between "<" and ">".
static bool read_name(const char *&p)
{
	const char *start = p;

	if (*p != '<') {
		while (is_letter(*p))
			++p;
		return p - start >= 3;
	}
	start = ++p;
	while (is_letter(*p) || (*p >= '0' && *p <= '9') || *p == '+' ||
	    *p == '-')
		++p;
	if (*p != '>' || p - start < 3)
		return false;
	++p;
	return true;
}

// [+-]hh[:mm[:ss]]: an offset of up to 24 hours, or the time of a change
// of up to 167 hours either way, as zone files of version 3 have them.
static bool read_time(const char *&p, int max_hours)
{
	int value;

	if (*p == '+' || *p == '-')
		++p;
	if (!read_number(p, max_hours > 99 ? 3 : 2, max_hours, value))
		return false;
	for (int i = 0; i < 2 && *p == ':'; ++i)
		if (!read_number(++p, 2, 59, value))
			return false;
	return true;
}

// The day of a change, Jn (1 to 365), n (0 to 365) or Mm.w.d (month 1 to
// 12, week 1 to 5, day 0 to 6), with its time after a "/".
static bool read_date(const char *&p)
{
	int value;

	if (*p == 'M') {
		if (!read_number(++p, 2, 12, value) || value < 1 || *p != '.' ||
		    !read_number(++p, 1, 5, value) || value < 1 || *p != '.' ||
		    !read_number(++p, 1, 6, value))
			return false;
	} else if (*p == 'J') {
		if (!read_number(++p, 3, 365, value) || value < 1)
			return false;
	} else if (!read_number(p, 3, 365, value)) {
		return false;
	}
	return *p != '/' || read_time(++p, 167);
}

// Says whether text begins as a rule does: a name, then its offset.
static bool begins_as_rule(const char *p)
{
	return *p == '<' || (read_name(p) && ((*p >= '0' && *p <= '9') ||
	    *p == '+' || *p == '-'));
}

// Reads text as a rule, "std offset [dst [offset] [,start,end]]".
static rule_reading read_rule(const char *p)
{
	if (!read_name(p) || !read_time(p, 24))
		return rule_partial;
	if (*p == '\0')
		return rule_whole;
	if (!read_name(p) || (*p != ',' && *p != '\0' && !read_time(p, 24)))
		return rule_partial;
	if (*p == '\0')
		return rule_undated;
	if (*p != ',' || !read_date(++p) || *p != ',' || !read_date(++p))
		return rule_partial;
	return *p == '\0' ? rule_whole : rule_partial;
}

// The size of the data after a zone file's header, whose counts are
// big-endian from byte 20, with times of time_size bytes.
static std::uint64_t data_size(const unsigned char *header, int time_size)
{
	std::uint64_t counts[6];

	for (int i = 0; i < 6; ++i) {
		const unsigned char *p = header + 20 + 4 * i;
		counts[i] = std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 |
		    std::uint64_t{p[2]} << 8 | p[3];
	}
	// isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt.
	auto time = static_cast<std::uint64_t>(time_size);
	return counts[0] + counts[1] + counts[2] * (time + 4) +
	    counts[3] * (time + 1) + counts[4] * 6 + counts[5];
}

// Reads length bytes at offset, all of them or none.
static bool read_at(int fd, void *buffer, std::uint64_t length,
    std::uint64_t offset)
{
	return offset <= INT64_MAX && pread(fd, buffer, length,
	    static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

// glibc loads a zone file of version 2 or later without looking at the
// rule at its end, which goes on after the last change, and reads it only
// as far as it can. Puts that rule into footer (empty where the file has
// none) and returns null when the file ends in the whole rule between two
// line ends; otherwise says why not.
static const char *read_footer(const char *path, char *footer,
    std::size_t size)
{
	unsigned char header[44];
	struct stat status;
	const char *reason = not_a_zone_file;

	*footer = '\0';
	// Not blocking: a FIFO put in the file's place since it was looked at
	// must not keep the run waiting.
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd == -1)
		return std::strerror(errno);
	if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
		reason = not_regular;
	else if (read_at(fd, header, sizeof header, 0) &&
	    std::memcmp(header, "TZif", 4) == 0) {
		std::uint64_t end = static_cast<std::uint64_t>(status.st_size);
		std::uint64_t at = sizeof header + data_size(header, 4);
		if (header[4] == '\0')
			reason = nullptr; // version 1 has no rule at its end
		else if (read_at(fd, header, sizeof header, at) &&
		    std::memcmp(header, "TZif", 4) == 0) {
			at += sizeof header + data_size(header, 8);
			std::uint64_t length = end > at ? end - at : 0;
			if (length >= 2 && length <= size &&
			    read_at(fd, footer, length, at) &&
			    footer[0] == '\n' && footer[length - 1] == '\n') {
				std::memmove(footer, footer + 1, length - 2);
				footer[length - 2] = '\0';
				if (*footer == '\0' ||
				    read_rule(footer) == rule_whole)
					reason = nullptr;
			}
		}
	}
	close(fd);
	return reason;
}

// glibc opens a zone's file as any file, and would wait for a FIFO's
// writer or take a terminal. Puts into path where glibc looks for zone
// (itself where it is a path, else in zone_dir) and returns 0 for a
// regular file there, -1 for a file of another kind, and otherwise why
// there is none (ENOENT: nothing there).
static int look_at(const char *zone, const char *zone_dir, char *path)
{
	struct stat status;
	int length = *zone == '/' ? std::snprintf(path, PATH_MAX, "%s", zone) :
	    std::snprintf(path, PATH_MAX, "%s/%s", zone_dir, zone);

	if (length < 0 || length >= PATH_MAX)
		return ENAMETOOLONG;
	if (stat(path, &status) != 0)
		return errno;
	return S_ISREG(status.st_mode) ? 0 : -1;
}

// glibc leaves its second zone name empty where it loaded neither a zone
// file nor a rule from TZ; either repeats the first where there is no
// summer time.
static bool glibc_loaded()
{
	tzset();
	return tzname[1][0] != '\0';
}

// glibc takes a broken host zone for UTC without a sign when TZ is unset
// or names it as "/etc/localtime", but not the same file by another
// spelling of its path: so it is asked under one, which stays in TZ. In
// secure mode it opens no other spelling, and its UTC then has UTC's
// names, which only UTC's own rule may give.
static const char *check_host_zone(const zone_places &places, char *name,
    std::size_t size)
{
	struct stat status;
	char target[PATH_MAX], respelled[PATH_MAX + 2], footer[256];
	const char *localtime = places.localtime;

	if (lstat(localtime, &status) != 0 && errno == ENOENT)
		return nullptr; // no host zone at all is UTC
	int kind = look_at(localtime, "", target);
	const char *reason = kind < 0 ? not_regular : kind > 0 ?
	    std::strerror(kind) : read_footer(localtime, footer, sizeof footer);
	if (reason == nullptr && places.secure) {
		tzset();
		if (std::strcmp(tzname[0], "UTC") != 0 ||
		    std::strcmp(footer, "UTC0") == 0)
			return nullptr;
		reason = not_a_zone_file;
	} else if (reason == nullptr) {
		std::snprintf(respelled, sizeof respelled, "/.%s", localtime);
		if (setenv("TZ", respelled, 1) != 0)
			reason = std::strerror(errno);
		else if (glibc_loaded())
			return nullptr;
		else
			reason = not_a_zone_file;
	}
	ssize_t length = readlink(localtime, target, sizeof target);
	if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
		std::snprintf(name, size, "%s", localtime);
		return reason;
	}
	target[length] = '\0';
	// A link to UTC by name means UTC, which glibc gives it anyway.
	if (reason != not_regular && zone_names_utc(target))
		return nullptr;
	std::snprintf(name, size, "%s -> %s", localtime, target);
	return reason;
}

const char *zone_check(const char *tz, const zone_places &places,
    char *name, std::size_t size)
{
	char path[PATH_MAX], rules[PATH_MAX], footer[256];
	const char *reason, *shown = tz;

	// A leading colon changes nothing in how the name is looked up.
	const char *zone = tz == nullptr ? "" : *tz == ':' ? tz + 1 : tz;
	if (tz == nullptr || std::strcmp(zone, places.localtime) == 0)
		return check_host_zone(places, name, size);
	// A colon alone is UTC, and glibc opens nothing for it.
	if (*tz == ':' && *zone == '\0')
		return nullptr;
	// An empty TZ is UTC, from this file where there is one.
	if (*zone == '\0') {
		zone = "Universal";
		shown = path;
	}
	int kind = look_at(zone, places.zone_dir, path);
	if (kind < 0) {
		std::snprintf(name, size, "%s", shown);
		return not_regular;
	}
	// Where glibc cannot load a file of that name it reads TZ as a rule,
	// and one with a summer time but no dates takes them from this file.
	if (*tz != '\0' && look_at("posixrules", places.zone_dir, rules) < 0) {
		std::snprintf(name, size, "%s", rules);
		return not_regular;
	}
	if (kind == 0) {
		reason = read_footer(path, footer, sizeof footer);
		if (reason == nullptr && glibc_loaded())
			return nullptr;
		if (reason == nullptr)
			reason = not_a_zone_file;
	} else if (zone_names_utc(zone) ||
	    (read_rule(zone) != rule_partial && glibc_loaded())) {
		return nullptr;
	} else if (kind == ENAMETOOLONG) {
		reason = "name too long";
	} else if (begins_as_rule(zone)) {
		reason = "not a rule";
	} else {
		reason = std::strerror(kind);
	}
	std::snprintf(name, size, "%s", shown);
	return reason;
}
