// What reboot_guard needs of Windows, through msvcrt and the Windows API.
#include "host.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "messages.h"

// Pinned to the system's own copy: the command processor would otherwise
// run a shutdown.exe, .bat or .cmd planted in the working directory, with
// the rights of this program.
const char restart_command[] =
    "%SystemRoot%\\System32\\shutdown.exe /f /r /t 300";

// msvcrt would take a TZ from the environment, in a form of its own and
// with United States summer dates, over the system's zone: the system's
// zone decides, as the rest of the environment decides nothing. Read
// again here, as reading the clock may already have read TZ.
void host_local_time(clock_reading &clock)
{
	_putenv("TZ=");
	_tzset();
	clock.local_time = std::localtime(&clock.now);
	if (clock.local_time == nullptr)
		clock.error = errno;
}

// Says whether two descriptors lead to the same file; pipes and consoles
// have no file identity and cannot tell.
static bool same_sink(int a, int b)
{
	FILE_ID_INFO first, second;
	auto handle_a = reinterpret_cast<HANDLE>(_get_osfhandle(a));
	auto handle_b = reinterpret_cast<HANDLE>(_get_osfhandle(b));
	return GetFileInformationByHandleEx(handle_a, FileIdInfo, &first,
	    sizeof first) && GetFileInformationByHandleEx(handle_b, FileIdInfo,
	    &second, sizeof second) &&
	    first.VolumeSerialNumber == second.VolumeSerialNumber &&
	    std::memcmp(&first.FileId, &second.FileId, sizeof first.FileId) == 0;
}

// No signal ends a Windows program for a write that fails, and there is
// no journal.
run_streams host_prepare()
{
	return {stdout, stderr, same_sink(1, 2), false};
}

int host_run_command(const char *command)
{
	return std::system(command);
}

// Windows keeps no schedule that says when another's countdown ends;
// shutdown.exe answers that one runs.
bool host_scheduled_shutdown(std::time_t *)
{
	return false;
}

// GetProcAddress gives every function the same type; say which it is.
template <typename function> static function *find(HMODULE dll,
    const char *name)
{
	auto address = reinterpret_cast<void (*)()>(GetProcAddress(dll, name));
	return reinterpret_cast<function *>(address);
}

// Task Scheduler keeps no stderr: failures and requests go to the
// Application log too, from the source "reboot_guard". A failure to log
// is silent: it never changes what a run reports or returns.
void host_log_event(event_kind kind, const char *text)
{
	// Loaded here, not imported: ordinary runs log nothing and should not
	// pay for it. From system32 only, never from the working directory.
	HMODULE advapi = LoadLibraryExA("advapi32.dll", nullptr,
	    LOAD_LIBRARY_SEARCH_SYSTEM32);
	if (advapi == nullptr)
		return;
	// Their types from the declarations alone, which import nothing.
	auto register_source = find<decltype(RegisterEventSourceA)>(advapi,
	    "RegisterEventSourceA");
	auto report_event = find<decltype(ReportEventA)>(advapi, "ReportEventA");
	auto deregister_source = find<decltype(DeregisterEventSource)>(advapi,
	    "DeregisterEventSource");
	if (register_source != nullptr && report_event != nullptr &&
	    deregister_source != nullptr) {
		// Unregistered (installed from the zip), the source still logs;
		// Event Viewer then cannot find the message table to show it.
		HANDLE source = register_source(nullptr, "reboot_guard");
		if (source != nullptr) {
			WORD type = kind == event_failure ? EVENTLOG_ERROR_TYPE :
			    kind == event_already_scheduled ?
			    EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
			DWORD id = kind == event_failure ? MSG_FAILURE :
			    kind == event_already_scheduled ?
			    MSG_ALREADY_SCHEDULED : MSG_RESTART_REQUEST;
			report_event(source, type, 0, id, nullptr, 1, 0, &text,
			    nullptr);
			deregister_source(source);
		}
	}
	FreeLibrary(advapi);
}

// While another's countdown runs (ERROR_SHUTDOWN_IS_SCHEDULED), and while
// a shutdown is under way (ERROR_SHUTDOWN_IN_PROGRESS).
bool host_shutdown_pending(int status)
{
	return status == 1190 || status == 1115;
}

void host_describe_status(int status, char *reason, std::size_t size)
{
	std::snprintf(reason, size, "exit status %d", status);
}

// _access with mode 0 asks for existence only and does not follow a
// symbolic link, so neither read rights nor a missing target matter.
bool host_name_exists(const char *name)
{
	return _access(name, 0) == 0;
}

// Binary, so the content is written as it is; msvcrt's fopen ignores the
// "x" mode, hence the low-level exclusive open.
int host_create_new(const char *name)
{
	return _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
	    _S_IREAD | _S_IWRITE);
}

long host_write(int fd, const char *data, unsigned int length)
{
	return _write(fd, data, length);
}

// Commits the content to the disk before the restart can begin.
bool host_sync(int fd)
{
	return _commit(fd) == 0;
}

bool host_close(int fd)
{
	return _close(fd) == 0;
}

// The commit carries the new name along with the file's own metadata.
bool host_sync_working_directory()
{
	return true;
}

// msvcrt's remove takes files only; an empty folder of that name is
// cleared as remove clears it on POSIX hosts, or the folder would block
// every restart for good.
int host_remove(const char *name)
{
	struct _stat status;

	if (_stat(name, &status) == 0 && (status.st_mode & _S_IFDIR))
		return _rmdir(name);
	return std::remove(name);
}
