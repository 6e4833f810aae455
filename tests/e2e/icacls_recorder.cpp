// Stands in for Windows' icacls.exe in the tests' private Wine prefix,
// whose own icacls changes nothing: records how it was called in
// C:\icacls-calls.log and exits with ICACLS_STATUS (0 when unset).
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
	std::FILE *log = std::fopen("C:\\icacls-calls.log", "ab");
	if (log == nullptr)
		return 2;
	for (int i = 1; i < argc; ++i)
		std::fprintf(log, "%s%s", i > 1 ? " " : "", argv[i]);
	std::fputs("\n", log);
	std::fclose(log);
	const char *status = std::getenv("ICACLS_STATUS");
	return status != nullptr ? std::atoi(status) : 0;
}
