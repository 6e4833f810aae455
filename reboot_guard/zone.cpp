#include "zone.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A rule starts with a name of three letters or more, or one in angle
// brackets, and an offset from UTC; the C library reads it without files.
static bool is_rule(const char *zone)
{
	const char *p = zone;

	if (*p == '<') {
		p = std::strchr(p, '>');
		if (p == nullptr)
			return false;
		++p;
	} else {
		while (std::isalpha(static_cast<unsigned char>(*p)))
			++p;
		if (p - zone < 3)
			return false;
	}
	if (*p == '+' || *p == '-')
		++p;
	return std::isdigit(static_cast<unsigned char>(*p)) != 0;
}

// Without its file, a zone named for UTC still gets UTC: the C library's
// silent fallback is then what was asked for.
static bool names_utc(const char *zone)
{
	static const char *const names[] = {"UTC", "UCT", "GMT", "Universal",
	    "Zulu"};
	const char *last = std::strrchr(zone, '/');

	last = last != nullptr ? last + 1 : zone;
	for (const char *name : names)
		if (std::strcmp(last, name) == 0)
			return true;
	return false;
}

// Returns null when path opens as a zone file, else why it does not.
static const char *load(const char *path)
{
	char magic[4];
	const char *reason = nullptr;
	int fd = open(path, O_RDONLY | O_CLOEXEC);

	if (fd < 0)
		return std::strerror(errno);
	ssize_t length = read(fd, magic, sizeof magic);
	if (length < 0)
		reason = std::strerror(errno);
	else if (length != sizeof magic ||
	    std::memcmp(magic, "TZif", sizeof magic) != 0)
		reason = "not a time zone file";
	close(fd);
	return reason;
}

// The host's own zone: none at all is UTC, as the C library takes it.
static const char *check_host_zone(const char *localtime, char *name,
    std::size_t size)
{
	struct stat status;
	char target[512];

	if (lstat(localtime, &status) != 0 && errno == ENOENT)
		return nullptr;
	const char *reason = load(localtime);
	if (reason == nullptr)
		return nullptr;
	ssize_t length = readlink(localtime, target, sizeof target - 1);
	if (length < 0) {
		std::snprintf(name, size, "%s", localtime);
		return reason;
	}
	target[length] = '\0';
	if (names_utc(target))
		return nullptr;
	std::snprintf(name, size, "%s -> %s", localtime, target);
	return reason;
}

const char *zone_check(const char *tz, const zone_places &places,
    char *name, std::size_t size)
{
	char path[1024];

	if (tz == nullptr)
		return check_host_zone(places.localtime, name, size);
	// A leading colon changes nothing in how the name is looked up.
	const char *zone = *tz == ':' ? tz + 1 : tz;
	if (*zone == '\0' || is_rule(zone))
		return nullptr;
	if (*zone == '/')
		std::snprintf(path, sizeof path, "%s", zone);
	else
		std::snprintf(path, sizeof path, "%s/%s", places.zone_dir, zone);
	const char *reason = load(path);
	if (reason == nullptr || names_utc(zone))
		return nullptr;
	std::snprintf(name, size, "%s", tz);
	return reason;
}
