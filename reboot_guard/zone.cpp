#include "zone.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const char not_regular[] = "not a regular file";
static const char not_a_zone_file[] = "not a time zone file";
static const char not_a_rule[] = "not a rule";
static const char no_answer[] = "its data end before now, and no rule "
    "follows them";
// glibc would take the dates from the zone "posixrules", and shift them.
static const char undated[] = "its summer time names no dates: write "
    "them, as in CET-1CEST,M3.5.0,M10.5.0/3, or name the zone, as "
    "Europe/Berlin";

// Says whether zone, or the last part of its path, is one of UTC's names.
static bool names_utc(const char *zone)
{
	const char *last = std::strrchr(zone, '/');

	for (const char *name : {"UTC", "UCT", "GMT", "Greenwich", "Universal",
	    "Zulu"})
		if (strcasecmp(last != nullptr ? last + 1 : zone, name) == 0)
			return true;
	return false;
}

// The day of a change: 'J' (day 1 to 365, never 29 February), 'n' (day
// 0 to 365) or 'M' (day of week 0 to 6 in week 1 to 5 of a month), and
// its local time in seconds.
struct change {
	char kind;
	int month, week, day;
	long time;
};

// A rule's offsets, in seconds east of UTC, and its changes.
struct rule {
	long standard, summer;
	bool has_summer;
	change start, end;
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

// [+-]hh[:mm[:ss]] into seconds: an offset of up to 24 hours, or the time
// of a change of up to 167 hours either way, as zone files of version 3
// have them.
static bool read_time(const char *&p, int max_hours, long &seconds)
{
	int value, sign = *p == '-' ? -1 : 1;

	if (*p == '+' || *p == '-')
		++p;
	if (!read_number(p, max_hours > 99 ? 3 : 2, max_hours, value))
		return false;
	seconds = value * 3600L;
	for (long unit = 60; unit > 0 && *p == ':'; unit -= 59) {
		if (!read_number(++p, 2, 59, value))
			return false;
		seconds += value * unit;
	}
	seconds *= sign;
	return true;
}

// The day of a change, Jn (1 to 365), n (0 to 365) or Mm.w.d (month 1 to
// 12, week 1 to 5, day 0 to 6), with its time after a "/", 02:00 without.
static bool read_date(const char *&p, change &date)
{
	date = {*p == 'M' || *p == 'J' ? *p : 'n', 0, 0, 0, 7200};
	if (*p == 'M') {
		if (!read_number(++p, 2, 12, date.month) || date.month < 1 ||
		    *p != '.' || !read_number(++p, 1, 5, date.week) ||
		    date.week < 1 || *p != '.' || !read_number(++p, 1, 6, date.day))
			return false;
	} else if (*p == 'J') {
		if (!read_number(++p, 3, 365, date.day) || date.day < 1)
			return false;
	} else if (!read_number(p, 3, 365, date.day)) {
		return false;
	}
	return *p != '/' || read_time(++p, 167, date.time);
}

// Says whether text begins as a rule does: a name, then its offset.
static bool begins_as_rule(const char *p)
{
	return *p == '<' || (read_name(p) && ((*p >= '0' && *p <= '9') ||
	    *p == '+' || *p == '-'));
}

// Reads text as a rule, "std offset [dst [offset] [,start,end]]", every
// character of it, and returns null; or undated, or not_a_rule where
// glibc would read it in part or not at all. POSIX counts offsets west; a
// summer time without its own offset is an hour ahead.
static const char *read_rule(const char *p, rule &zone)
{
	long west;

	zone.has_summer = false;
	if (!read_name(p) || !read_time(p, 24, west))
		return not_a_rule;
	zone.standard = -west;
	if (*p == '\0')
		return nullptr;
	zone.has_summer = true;
	west -= 3600;
	if (!read_name(p) || (*p != ',' && *p != '\0' && !read_time(p, 24, west)))
		return not_a_rule;
	zone.summer = -west;
	if (*p == '\0')
		return undated;
	if (*p != ',' || !read_date(++p, zone.start) || *p != ',' ||
	    !read_date(++p, zone.end) || *p != '\0')
		return not_a_rule;
	return nullptr;
}

static bool is_leap(long long year)
{
	return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Days from 1 January 1970 to 1 January of year, of the Gregorian
// calendar.
static long long days_to(long long year)
{
	return 365 * (year - 1970) + (year - 1) / 4 - (year - 1) / 100 +
	    (year - 1) / 400 - 477;
}

// The time of a change in year, in seconds after 1 January 00:00 UTC, for
// the local time whose offset is offset.
static long long change_time(long long year, const change &date, long offset)
{
	static const int month_start[] = {0, 31, 59, 90, 120, 151, 181, 212,
	    243, 273, 304, 334, 365};
	bool leap = is_leap(year);
	long long day = date.kind == 'J' ? date.day - 1 + (leap && date.day >= 60) :
	    date.day;

	if (date.kind == 'M') {
		int first = month_start[date.month - 1] + (leap && date.month > 2);
		int length = month_start[date.month] + (leap && date.month >= 2) -
		    first;
		// 1 January 1970 was a Thursday, day 4.
		long long weekday = ((days_to(year) + first + 4) % 7 + 7) % 7;
		day = (date.day - weekday + 7) % 7 + 7 * (date.week - 1);
		while (day >= length)
			day -= 7; // week 5 is the last
		day += first;
	}
	return day * 86400 + date.time - offset;
}

// The rule's offset at now, as the time zone database's reference code
// reads it: each start turns summer time on, each end turns it off, start
// times in standard time and end times in summer time, and a year whose
// summer time lasts a year or more has no change. The changes repeat
// every 400 years; a rule none of whose years has a change is summer time
// all year.
static long rule_offset_at(const rule &zone, std::time_t now)
{
	if (!zone.has_summer)
		return zone.standard;
	long long year = 1970 + now / (366 * 86400LL);
	while (days_to(year) * 86400 > now)
		--year;
	while (days_to(year + 1) * 86400 <= now)
		++year;
	for (long long y = year + 1; y >= year - 400; --y) {
		long long first = days_to(y) * 86400;
		long long on = change_time(y, zone.start, zone.standard);
		long long off = change_time(y, zone.end, zone.summer);
		long long length = (is_leap(y) ? 366 : 365) * 86400LL;
		bool reversed = off < on;
		if (!reversed && (off <= on || off - on >= length))
			continue;
		// The later of the year's two changes first.
		if (first + (reversed ? on : off) <= now)
			return reversed ? zone.summer : zone.standard;
		if (first + (reversed ? off : on) <= now)
			return reversed ? zone.standard : zone.summer;
	}
	return zone.summer;
}

const char *zone_rule_offset(const char *text, std::time_t now, long *offset)
{
	rule zone;
	const char *reason = read_rule(text, zone);

	if (reason == nullptr)
		*offset = rule_offset_at(zone, now);
	return reason;
}

// A zone file's numbers are big-endian.
static std::int32_t at32(const unsigned char *p)
{
	return static_cast<std::int32_t>(std::uint32_t{p[0]} << 24 |
	    std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]);
}

// A transition time, of 4 or 8 bytes.
static long long time_at(const unsigned char *p, std::uint64_t size)
{
	return size == 4 ? at32(p) : static_cast<long long>(std::uint64_t{
	    static_cast<std::uint32_t>(at32(p))} << 32 |
	    static_cast<std::uint32_t>(at32(p + 4)));
}

const char *zone_file_offset(const unsigned char *data, std::size_t size,
    std::time_t now, long *offset)
{
	std::uint64_t time_size = 4, at = 0, counts[6], length = 0;

	// Version 2 and later say it all again with 64-bit times, after the
	// 32-bit data, each after a header of its own.
	if (size < 44)
		return not_a_zone_file;
	for (int pass = data[4] == '\0' ? 1 : 0; pass < 2; ++pass) {
		at += length;
		if (size < at || size - at < 44 ||
		    std::memcmp(data + at, "TZif", 4) != 0)
			return not_a_zone_file;
		// isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt.
		for (int i = 0; i < 6; ++i)
			counts[i] = static_cast<std::uint32_t>(at32(data + at + 20 +
			    4 * i));
		time_size = pass == 1 && data[4] != '\0' ? 8 : 4;
		at += 44;
		length = counts[0] + counts[1] + counts[2] * (time_size + 4) +
		    counts[3] * (time_size + 1) + counts[4] * 6 + counts[5];
		if (size - at < length)
			return not_a_zone_file;
	}
	std::uint64_t times = counts[3], types = counts[4];
	if (types == 0 || counts[5] == 0 || (counts[0] != 0 &&
	    counts[0] != types) || (counts[1] != 0 && counts[1] != types))
		return not_a_zone_file;
	const unsigned char *time = data + at, *index = time + times * time_size;
	const unsigned char *type = index + times;
	for (std::uint64_t i = 0; i < times; ++i)
		if (index[i] >= types)
			return not_a_zone_file;
	for (std::uint64_t i = 0; i < types; ++i) {
		std::int32_t east = at32(type + 6 * i);
		if (east < -89999 || east > 93599 || type[6 * i + 4] > 1)
			return not_a_zone_file;
	}

	// The rule after the last change, between two line ends at the end.
	char footer[256] = "";
	if (time_size == 8) {
		std::uint64_t end = at + length, rest = size - end;
		if (rest < 2 || rest - 2 >= sizeof footer || data[end] != '\n' ||
		    data[size - 1] != '\n')
			return not_a_zone_file;
		std::memcpy(footer, data + end + 1, rest - 2);
		footer[rest - 2] = '\0';
		if (std::strlen(footer) != rest - 2)
			return not_a_zone_file;
	}
	rule zone;
	const char *reason = *footer != '\0' ? read_rule(footer, zone) : nullptr;
	if (reason != nullptr)
		return reason == undated ? undated : not_a_zone_file;

	// The last change at or before now, looked up.
	std::uint64_t low = 0, high = times;
	while (low < high) {
		std::uint64_t middle = low + (high - low) / 2;
		if (time_at(time + middle * time_size, time_size) <= now)
			low = middle + 1;
		else
			high = middle;
	}
	// After the last change the rule says; before the first, type 0.
	if (low == times && *footer != '\0')
		*offset = rule_offset_at(zone, now);
	else if (low == times && times > 0)
		return no_answer;
	else
		*offset = at32(type + 6 * (low == 0 ? 0 : index[low - 1]));
	return nullptr;
}

// Reads the zone file at path, which glibc would open as any file and
// wait for a FIFO's writer or take a terminal, and works out its offset.
static const char *file_offset(const char *path, std::time_t now,
    long *offset)
{
	// The largest zone file shipped is a few kilobytes; this is room for
	// tens of thousands of changes.
	static unsigned char data[1 << 20];
	struct stat status;
	const char *reason = not_regular;

	// Not blocking: a FIFO put in the file's place since it was looked at
	// must not keep the run waiting.
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd == -1)
		return std::strerror(errno);
	if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
		std::size_t size = 0;
		ssize_t got;
		while ((got = read(fd, data + size, sizeof data - size)) > 0)
			size += static_cast<std::size_t>(got);
		reason = got < 0 ? std::strerror(errno) : size == sizeof data ?
		    not_a_zone_file : zone_file_offset(data, size, now, offset);
	}
	close(fd);
	return reason;
}

// Puts into path where glibc looks for zone (itself where it is a path,
// else in zone_dir) and returns 0 for a regular file there, -1 for a file
// of another kind, and otherwise why there is none (ENOENT: nothing).
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

const char *zone_check(const char *tz, const zone_places &places,
    std::time_t now, long *offset, char *name, std::size_t size)
{
	char path[PATH_MAX];
	struct stat status;

	*offset = 0;
	// A leading colon changes nothing in how the name is looked up.
	const char *zone = tz == nullptr ? places.localtime : *tz == ':' ?
	    tz + 1 : tz;
	bool host = std::strcmp(zone, places.localtime) == 0;
	std::snprintf(name, size, "%s", host ? zone : tz);
	if (host) {
		// Named by the link's target too, where it is one.
		ssize_t length = readlink(zone, path, sizeof path - 1);
		if (length > 0)
			std::snprintf(name, size, "%s -> %.*s", zone,
			    static_cast<int>(length), path);
		// No host zone at all is UTC.
		if (lstat(zone, &status) != 0 && errno == ENOENT)
			return nullptr;
	} else if (*zone == '\0') {
		// A colon alone is UTC, and glibc opens nothing for it; an empty
		// TZ is UTC, from this file where there is one.
		if (*tz == ':')
			return nullptr;
		zone = "Universal";
		std::snprintf(name, size, "%s/%s", places.zone_dir, zone);
	}
	int kind = look_at(zone, places.zone_dir, path);
	if (kind == 0)
		return file_offset(path, now, offset);
	if (kind < 0)
		return not_regular;
	if (host)
		return std::strerror(kind);
	// Where glibc finds no file of that name it reads TZ as a rule, and
	// takes UTC's names, which are none, for UTC.
	if (names_utc(zone))
		return nullptr;
	const char *reason = zone_rule_offset(zone, now, offset);
	return reason == not_a_rule && !begins_as_rule(zone) ?
	    std::strerror(kind) : reason;
}
