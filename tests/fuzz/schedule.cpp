// Feeds logind's schedule files to their reading. A time it takes must
// come from a line "USEC=" of digits.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
    std::size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);
	std::time_t due = -1;
	if (host_schedule_due(text.data(), text.size(), &due) &&
	    (due < 0 || (text.rfind("USEC=", 0) != 0 &&
	    text.find("\nUSEC=") == std::string::npos)))
		std::abort();
	return 0;
}
