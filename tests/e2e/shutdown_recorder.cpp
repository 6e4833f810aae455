// Stands in for Windows' shutdown.exe in the tests' private Wine prefix:
// records how it was called and whether the marker existed, prints one
// line, and restarts nothing.
#include <cstdio>
#include <cstdlib>
#include <io.h>

int main(int argc, char **argv)
{
	std::FILE *log = std::fopen("shutdown-calls.log", "ab");
	if (log == nullptr)
		return 2;
	std::fputs("args=", log);
	for (int i = 1; i < argc; ++i) {
		if (i > 1)
			std::fputc(' ', log);
		std::fputs(argv[i], log);
	}
	std::fprintf(log, " marker=%s\n",
	    _access("rebooted.txt", 0) == 0 ? "yes" : "no");
	std::fclose(log);

	std::puts("recorder: shutdown called");
	const char *status = std::getenv("RECORDER_STATUS");
	return status != nullptr ? std::atoi(status) : 0;
}
