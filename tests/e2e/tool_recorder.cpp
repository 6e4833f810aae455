// Stands in for Windows' icacls.exe and takeown.exe in the tests' private
// Wine prefix, whose own change nothing: records its name and how it was
// called in C:\tool-calls.log.
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
	std::FILE *log = std::fopen("C:\\tool-calls.log", "ab");
	if (log == nullptr)
		return 2;
	const char *name = std::strrchr(argv[0], '\\');
	std::fputs(name != nullptr ? name + 1 : argv[0], log);
	for (int i = 1; i < argc; ++i)
		std::fprintf(log, " %s", argv[i]);
	std::fputs("\n", log);
	std::fclose(log);
	return 0;
}
