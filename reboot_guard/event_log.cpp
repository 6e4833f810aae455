#include "event_log.h"

#include <windows.h>

#include "messages.h"

typedef HANDLE(WINAPI register_source_fn)(LPCSTR, LPCSTR);
typedef BOOL(WINAPI report_event_fn)(HANDLE, WORD, WORD, DWORD, PSID, WORD,
    DWORD, LPCSTR *, LPVOID);
typedef BOOL(WINAPI deregister_source_fn)(HANDLE);

// GetProcAddress gives every function the same type; say which it is.
template <typename function> static function *find(HMODULE dll,
    const char *name)
{
	auto address = reinterpret_cast<void (*)()>(GetProcAddress(dll, name));
	return reinterpret_cast<function *>(address);
}

void event_log_write(event_kind kind, const char *text)
{
	// Loaded here, not imported: ordinary runs log nothing and should not
	// pay for it. From system32 only, never from the working directory.
	HMODULE advapi = LoadLibraryExA("advapi32.dll", nullptr,
	    LOAD_LIBRARY_SEARCH_SYSTEM32);
	if (advapi == nullptr)
		return;
	auto register_source = find<register_source_fn>(advapi,
	    "RegisterEventSourceA");
	auto report_event = find<report_event_fn>(advapi, "ReportEventA");
	auto deregister_source = find<deregister_source_fn>(advapi,
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
