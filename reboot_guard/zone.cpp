#include "zone.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef PATH_MAX
#define PATH_MAX 4096
#endif

static const char name_too_long[] = "name too long";
static const char not_a_zone_file[] = "not a time zone file";
static const char not_regular[] = "not a regular file";

static bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// A zone's name in a rule: three letters or more, or three or more of
// letters, digits, plus and minus in angle brackets. Moves p past it.
static bool rule_name(const char *&p)
{
	const char *start = p;

	while (is_letter(*p))
		++p;
	if (p - start >= 3)
		return true;
	p = start;
	if (*p++ != '<')
		return false;
	start = p;
	while (is_letter(*p) || is_digit(*p) || *p == '+' || *p == '-')
		++p;
	return *p++ == '>' && p - start >= 4;
}

// One number of an offset as the C library reads it, with scanf's %hu:
// blanks, a sign and digits. Moves p past it.
static bool offset_number(const char *&p)
{
	const char *q = p;

	while (*q == ' ' || (*q >= '\t' && *q <= '\r'))
		++q;
	if (*q == '+' || *q == '-')
		++q;
	if (!is_digit(*q))
		return false;
	while (is_digit(*q))
		++q;
	p = q;
	return true;
}

// A rule such as "EST5EDT" or "XYZ-05:30" needs no file. It is whole, as
// the C library takes it, when its first name and offset are followed by
// nothing or by a second name; what comes after that is its own affair.
static bool is_rule(const char *zone)
{
	const char *p = zone;

	if (!rule_name(p))
		return false;
	if (*p != '+' && *p != '-' && !is_digit(*p))
		return false;
	if (*p == '+' || *p == '-')
		++p;
	if (!offset_number(p))
		return false;
	for (int i = 0; i < 2 && *p == ':'; ++i) {
		const char *q = p + 1;
		if (!offset_number(q))
			break;
		p = q;
	}
	return *p == '\0' || rule_name(p);
}

// A name that is not a path and holds what only rules hold was meant as
// one.
static bool looks_like_rule(const char *zone)
{
	return std::strchr(zone, '/') == nullptr &&
	    (*zone == '<' || std::strpbrk(zone, "0123456789+-,") != nullptr);
}

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

// Opens path for reading when it is a regular file, without waiting for
// a writer or taking a terminal. Returns -1 and sets reason otherwise.
static int open_zone(const char *path, const char **reason)
{
	struct stat status;

	if (stat(path, &status) != 0) {
		*reason = std::strerror(errno);
		return -1;
	}
	if (!S_ISREG(status.st_mode)) {
		*reason = not_regular;
		return -1;
	}
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
	if (fd < 0) {
		*reason = std::strerror(errno);
		return -1;
	}
	if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
		*reason = not_regular;
		close(fd);
		return -1;
	}
	return fd;
}

static std::uint64_t count_at(const unsigned char *header, int i)
{
	const unsigned char *p = header + 20 + 4 * i;
	return std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 |
	    std::uint64_t{p[2]} << 8 | p[3];
}

// Reads the header at offset and returns how many bytes of data it says
// follow it, with times of time_size bytes; 0 when it is no header.
static std::uint64_t header_data(int fd, off_t offset, int time_size,
    char *version)
{
	unsigned char header[44];

	if (pread(fd, header, sizeof header, offset) !=
	    static_cast<ssize_t>(sizeof header) ||
	    std::memcmp(header, "TZif", 4) != 0)
		return 0;
	std::uint64_t isut = count_at(header, 0), isstd = count_at(header, 1),
	    leap = count_at(header, 2), time = count_at(header, 3),
	    type = count_at(header, 4), chars = count_at(header, 5);
	if (type == 0 || isut > type || isstd > type)
		return 0;
	*version = static_cast<char>(header[4]);
	return time * (static_cast<std::uint64_t>(time_size) + 1) + type * 6 +
	    chars + leap * (static_cast<std::uint64_t>(time_size) + 4) + isstd +
	    isut;
}

// Returns null when path is a zone file that holds all its header says it
// does, else why it is not.
static const char *load(const char *path)
{
	const char *reason = nullptr;
	int fd = open_zone(path, &reason);
	if (fd < 0)
		return reason;
	struct stat status;
	char version = '\0';
	std::uint64_t end = 44;
	std::uint64_t data = header_data(fd, 0, 4, &version);
	if (data != 0 && version != '\0') {
		// From version 2 on, a second header with 64-bit times follows
		// the first one's data; that part is the one read.
		end += data + 44;
		data = header_data(fd, static_cast<off_t>(end - 44), 8, &version);
	}
	end += data;
	if (data == 0 || fstat(fd, &status) != 0 ||
	    static_cast<std::uint64_t>(status.st_size) < end)
		reason = not_a_zone_file;
	close(fd);
	return reason;
}

// The path of zone that the C library would open, or null where it could
// open none, the name being too long for any path.
static const char *zone_path(const char *zone, const char *zone_dir,
    char *path, std::size_t size)
{
	int length = *zone == '/' ? std::snprintf(path, size, "%s", zone) :
	    std::snprintf(path, size, "%s/%s", zone_dir, zone);
	return length >= 0 && static_cast<std::size_t>(length) < size ? path :
	    nullptr;
}

// Why the C library would not load zone, a name or a path: null when it
// would.
static const char *check_named_zone(const char *zone, const char *zone_dir)
{
	char path[PATH_MAX];
	struct stat status;

	if (is_rule(zone))
		return nullptr;
	if (zone_path(zone, zone_dir, path, sizeof path) == nullptr)
		return name_too_long;
	const char *reason = load(path);
	if (reason != nullptr && looks_like_rule(zone) &&
	    stat(path, &status) != 0)
		return "not a rule";
	return reason;
}

// The host's own zone: none at all is UTC, as the C library takes it.
static const char *check_host_zone(const char *localtime, char *name,
    std::size_t size)
{
	struct stat status;
	char target[PATH_MAX];

	if (lstat(localtime, &status) != 0 && errno == ENOENT)
		return nullptr;
	const char *reason = load(localtime);
	if (reason == nullptr)
		return nullptr;
	ssize_t length = readlink(localtime, target, sizeof target);
	if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
		std::snprintf(name, size, "%s", localtime);
		return reason;
	}
	target[length] = '\0';
	if (reason != not_regular && zone_names_utc(target))
		return nullptr;
	std::snprintf(name, size, "%s -> %s", localtime, target);
	return reason;
}

const char *zone_check(const char *tz, const zone_places &places,
    zone_verdict *c_library_loaded, char *name, std::size_t size)
{
	char path[PATH_MAX];
	struct stat status;
	const char *reason;

	if (tz == nullptr)
		return check_host_zone(places.localtime, name, size);
	// A leading colon changes nothing in how the name is looked up.
	const char *zone = *tz == ':' ? tz + 1 : tz;
	if (*zone == '\0')
		return nullptr;
	// Named outright, the host's zone falls back to UTC in silence, as
	// when TZ is unset.
	if (std::strcmp(zone, places.localtime) == 0)
		return check_host_zone(places.localtime, name, size);
	// The C library tries a file of that name first, even for a rule or
	// UTC: it must not keep the run waiting for a writer.
	if (zone_path(zone, places.zone_dir, path, sizeof path) != nullptr &&
	    stat(path, &status) == 0 && !S_ISREG(status.st_mode))
		reason = not_regular;
	else if (zone_names_utc(zone))
		return nullptr;
	else if (c_library_loaded != nullptr) {
		if (c_library_loaded())
			return nullptr;
		// It said no; the file check tells why as well as it can.
		reason = check_named_zone(zone, places.zone_dir);
		if (reason == nullptr)
			reason = looks_like_rule(zone) ? "not a rule" :
			    not_a_zone_file;
	} else {
		reason = check_named_zone(zone, places.zone_dir);
		if (reason == nullptr)
			return nullptr;
	}
	std::snprintf(name, size, "%s", tz);
	return reason;
}

#ifdef __GLIBC__
bool glibc_loaded_zone()
{
	tzset();
	return tzname[1][0] != '\0';
}
#endif
