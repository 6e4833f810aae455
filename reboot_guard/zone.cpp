#include "zone.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
// file nor a whole rule from TZ; either repeats the first where there is
// no summer time.
static bool glibc_loaded()
{
	tzset();
	return tzname[1][0] != '\0';
}

// glibc takes a broken host zone for UTC without a sign when TZ is unset
// or names it as "/etc/localtime", but not the same file by another
// spelling of its path: so it is asked under one, which stays in TZ.
static const char *check_host_zone(const char *localtime, char *name,
    std::size_t size)
{
	struct stat status;
	char target[PATH_MAX], respelled[PATH_MAX + 2];

	if (lstat(localtime, &status) != 0 && errno == ENOENT)
		return nullptr; // no host zone at all is UTC
	int kind = look_at(localtime, "", target);
	const char *reason = kind < 0 ? not_regular :
	    kind > 0 ? std::strerror(kind) : nullptr;
	if (reason == nullptr) {
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
	char path[PATH_MAX], rules[PATH_MAX];
	const char *reason, *shown = tz;

	// A leading colon changes nothing in how the name is looked up; a
	// colon alone, like no TZ, names the host's zone.
	const char *zone = tz == nullptr ? "" : *tz == ':' ? tz + 1 : tz;
	if (tz == nullptr || (*tz == ':' && *zone == '\0') ||
	    std::strcmp(zone, places.localtime) == 0)
		return check_host_zone(places.localtime, name, size);
	// An empty TZ is UTC, from this file where there is one.
	if (*zone == '\0') {
		zone = "Universal";
		shown = path;
	}
	int kind = look_at(zone, places.zone_dir, path);
	// Without a file, glibc reads TZ as a rule, and one with a summer
	// time but no dates takes them from this file.
	if (kind > 0 && look_at("posixrules", places.zone_dir, rules) < 0) {
		std::snprintf(name, size, "%s", rules);
		return not_regular;
	}
	if (kind < 0)
		reason = not_regular;
	else if (zone_names_utc(zone) || glibc_loaded())
		return nullptr;
	else if (kind == 0)
		reason = not_a_zone_file;
	else if (kind == ENAMETOOLONG)
		reason = "name too long";
	// A name that is not a path and holds what only rules hold was
	// meant as one.
	else if (std::strchr(zone, '/') == nullptr && (*zone == '<' ||
	    std::strpbrk(zone, "0123456789+-,") != nullptr))
		reason = "not a rule";
	else
		reason = std::strerror(kind);
	std::snprintf(name, size, "%s", shown);
	return reason;
}
