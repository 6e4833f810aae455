// Feeds zone files to the reading of one. An offset it gives must be
// within a day and two hours of UTC.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "zone.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
    std::size_t size)
{
	// Before any change, 1970, the end of 2026, past 2038 and 2100.
	for (std::time_t now : {-4000000000LL, 0LL, 1796995200LL, 2200000000LL,
	    4102444800LL}) {
		long offset = 0;
		if (zone_file_offset(data, size, now, &offset) == nullptr &&
		    std::labs(offset) >= 26 * 3600)
			std::abort();
	}
	return 0;
}
