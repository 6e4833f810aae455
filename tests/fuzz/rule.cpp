// Feeds TZ rules to the reading of a rule. A rule taken must be one the
// grammar allows, checked here by a pattern of its own and the bounds of
// each number, and its offset must be within a day and two hours of UTC.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <regex>
#include <string>

#include "zone.h"

namespace {

// Every number of a whole rule, in the pattern's groups, with its bounds:
// each offset's hours, minutes and seconds, then each date's Jn, its
// Mm.w.d, its n, and its time's hours, minutes and seconds.
const std::regex whole_rule(
    "(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)"
    "[+-]?(\\d{1,2})(?::(\\d{1,2})(?::(\\d{1,2}))?)?"
    "(?:(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)"
    "(?:[+-]?(\\d{1,2})(?::(\\d{1,2})(?::(\\d{1,2}))?)?)?"
    ",(?:J(\\d{1,3})|M(\\d{1,2})\\.(\\d)\\.(\\d)|(\\d{1,3}))"
    "(?:/[+-]?(\\d{1,3})(?::(\\d{1,2})(?::(\\d{1,2}))?)?)?"
    ",(?:J(\\d{1,3})|M(\\d{1,2})\\.(\\d)\\.(\\d)|(\\d{1,3}))"
    "(?:/[+-]?(\\d{1,3})(?::(\\d{1,2})(?::(\\d{1,2}))?)?)?)?");
const int low[] = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0,
    0, 0, 0};
const int high[] = {0, 24, 59, 59, 24, 59, 59, 365, 12, 5, 6, 365, 167, 59,
    59, 365, 12, 5, 6, 365, 167, 59, 59};

bool allowed(const std::string &rule)
{
	std::smatch groups;
	if (!std::regex_match(rule, groups, whole_rule))
		return false;
	for (std::size_t i = 1; i < groups.size(); ++i)
		if (groups[i].matched && (std::stoi(groups[i].str()) < low[i] ||
		    std::stoi(groups[i].str()) > high[i]))
			return false;
	return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
    std::size_t size)
{
	// As TZ holds it: up to its first zero.
	std::string rule(reinterpret_cast<const char *>(data), size);
	rule = rule.c_str();
	// 1900, 1970, the end of 2026 and 2100.
	for (std::time_t now : {-2208988800LL, 0LL, 1796995200LL, 4102444800LL}) {
		long offset = 0;
		if (zone_rule_offset(rule.c_str(), now, &offset) != nullptr)
			continue;
		if (!allowed(rule) || std::labs(offset) >= 26 * 3600)
			std::abort();
	}
	return 0;
}
