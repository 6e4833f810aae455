// Drives whole runs through their seams: a made-up clock reading, report
// files instead of the console, and a fake command runner instead of the
// host's shutdown. Each test runs in a fresh working directory of its own.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef __linux__
#include <csignal>
#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#endif

#include "host.h"
#include "marker.h"
#include "run.h"
#ifdef __GLIBC__
#include "zone.h"
#endif

namespace fs = std::filesystem;

namespace {

const std::string intro =
    "Checks to see if it's 1pm and if a file exists, then reboots based on "
    "that.\nIf the file exists, then we don't reboot. The file is deleted "
    "at 3pm\n";
const std::string found = "- File found, not going to reboot\n";
const std::string not_found =
    "- File not found, going to create file and reboot in 5mins\n";

// The whole report of a run on 15 December 2026 at hh:07:12; reboot_line
// is what the reboot hour adds after "Checking if we have rebooted today".
std::string report(int hour, const std::string &reboot_line = "")
{
	char time_line[64];
	std::snprintf(time_line, sizeof time_line,
	    "Current local time and date: Tue Dec 15 %02d:07:12 2026\n\n",
	    hour);
	std::string text = intro + time_line +
	    "Checking if matched 1am (1 in 24hour time). Hour is: " +
	    std::to_string(hour) + "\n";
	if (hour == 1)
		text += "- Matched\n\nChecking if we have rebooted today\n" +
		    reboot_line;
	else
		text += "- Not matched\n\n";
	text += "Checking if matching for 3pm (15 in 24hour time) so "
	    "rebooted.txt file can be deleted. Hour is: " +
	    std::to_string(hour) + "\n";
	return text + (hour == 15 ? "- Matched" : "- Not matched");
}

// The restart command, written out: read from the program, it would
// agree with any change to it.
#ifdef _WIN32
const std::string restart_line =
    "%SystemRoot%\\System32\\shutdown.exe /f /r /t 300";
#else
const std::string restart_line = "shutdown -r +5";
#endif

// The event of a restart request.
std::string request_event()
{
	return "request: reboot_guard: requesting a restart: " + restart_line +
	    "\n";
}

std::tm reading(int hour)
{
	std::tm local_time{};
	local_time.tm_year = 2026 - 1900;
	local_time.tm_mon = 11;
	local_time.tm_mday = 15;
	local_time.tm_wday = 2;
	local_time.tm_hour = hour;
	local_time.tm_min = 7;
	local_time.tm_sec = 12;
	return local_time;
}

// What the fake runner saw; a plain function pointer cannot capture.
int calls;
std::string last_command;
bool marker_at_call;
std::string report_at_call;
std::string events_at_call;
int status_to_return;
int errno_to_return;

// What would have gone to the system log, one line per event.
std::string events;

void fake_logger(event_kind kind, const char *text)
{
	events += kind == event_failure ? "failure: " :
	    kind == event_already_scheduled ? "scheduled: " : "request: ";
	events += text;
	events += "\n";
}

std::string read_file(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

int fake_runner(const char *command)
{
	++calls;
	last_command = command;
	marker_at_call = fs::exists(fs::symlink_status(MARKER_NAME));
	report_at_call = read_file("report.txt");
	events_at_call = events;
	errno = errno_to_return;
	return status_to_return;
}

std::string read_stream(std::FILE *stream)
{
	std::string text;
	char buffer[512];
	std::fflush(stream);
	std::rewind(stream);
	std::size_t n;
	while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
		text.append(buffer, n);
	return text;
}

enum class marker_kind { none, file, empty_file, directory, full_directory,
	dangling_link };

class run_test : public ::testing::Test {
protected:
	fs::path old_directory;
	fs::path directory;
	std::FILE *out = nullptr;
	std::FILE *err = nullptr;

	void SetUp() override
	{
		old_directory = fs::current_path();
		directory = fs::temp_directory_path() /
		    ("reboot_guard_test_" + std::to_string(getpid()) + "_" +
		    ::testing::UnitTest::GetInstance()->current_test_info()->name());
		fs::remove_all(directory);
		fs::create_directories(directory);
		fs::current_path(directory);
		out = std::fopen("report.txt", "w+b");
		err = std::fopen("errors.txt", "w+b");
		ASSERT_NE(out, nullptr);
		ASSERT_NE(err, nullptr);
		calls = 0;
		last_command.clear();
		report_at_call.clear();
		events.clear();
		status_to_return = 0;
		errno_to_return = 0;
	}

	void TearDown() override
	{
		std::fclose(out);
		std::fclose(err);
		fs::current_path(old_directory);
		std::error_code ignored;
		fs::remove_all(directory, ignored);
	}

	// Empties both streams for the next run of a table.
	void fresh_streams()
	{
		ASSERT_EQ(std::freopen("report.txt", "w+b", out), out);
		ASSERT_EQ(std::freopen("errors.txt", "w+b", err), err);
	}

	int run(int hour)
	{
		std::tm local_time = reading(hour);
		return reboot_guard_run({0, &local_time, 0, nullptr, nullptr},
		    {out, err, false, false}, fake_runner, nullptr, fake_logger);
	}

	void make_marker(marker_kind kind)
	{
		switch (kind) {
		case marker_kind::none:
			break;
		case marker_kind::file:
			std::ofstream(MARKER_NAME) << "left by someone else\n";
			break;
		case marker_kind::empty_file:
			std::ofstream{MARKER_NAME};
			break;
		case marker_kind::full_directory:
			fs::create_directory(MARKER_NAME);
			std::ofstream(fs::path(MARKER_NAME) / "keep");
			break;
		case marker_kind::directory:
			fs::create_directory(MARKER_NAME);
			break;
		case marker_kind::dangling_link:
			fs::create_symlink("missing-target", MARKER_NAME);
			break;
		}
	}
};

struct hour_case {
	int hour;
	marker_kind marker;
	std::string reboot_line;
	int expected_calls;
	bool marker_after;
};

// Every kind of hour, with and without a marker, and markers that can
// not be read as a file but must still stop a second restart.
TEST_F(run_test, reports_and_decides_for_each_kind_of_hour)
{
	const hour_case cases[] = {
		{0, marker_kind::none, "", 0, false},
		{2, marker_kind::none, "", 0, false},
		{12, marker_kind::none, "", 0, false},
		{13, marker_kind::none, "", 0, false},
		{14, marker_kind::file, "", 0, true},
		{23, marker_kind::file, "", 0, true},
		{1, marker_kind::none, not_found, 1, true},
		{1, marker_kind::file, found, 0, true},
		{1, marker_kind::empty_file, found, 0, true},
		{1, marker_kind::directory, found, 0, true},
		{15, marker_kind::none, "", 0, false},
		{15, marker_kind::file, "", 0, false},
		{15, marker_kind::empty_file, "", 0, false},
		{15, marker_kind::directory, "", 0, false},
#ifndef _WIN32
		{1, marker_kind::dangling_link, found, 0, true},
		{15, marker_kind::dangling_link, "", 0, false},
#endif
	};
	for (const hour_case &c : cases) {
		SCOPED_TRACE("hour " + std::to_string(c.hour) + ", marker kind " +
		    std::to_string(static_cast<int>(c.marker)));
		std::error_code ignored;
		fs::remove_all(MARKER_NAME, ignored);
		make_marker(c.marker);
		std::string before = c.marker == marker_kind::file ?
		    read_file(MARKER_NAME) : "";
		calls = 0;
		events.clear();
		fresh_streams();

		EXPECT_EQ(run(c.hour), 0);
		EXPECT_EQ(read_stream(out), report(c.hour, c.reboot_line));
		EXPECT_EQ(read_stream(err), "");
		// Only a restart request is worth an event; the rest would
		// flood the log, a run every quarter hour.
		EXPECT_EQ(events, c.expected_calls == 1 ? request_event() : "");
		EXPECT_EQ(calls, c.expected_calls);
		EXPECT_EQ(fs::exists(fs::symlink_status(MARKER_NAME)),
		    c.marker_after);
		if (c.marker == marker_kind::file && c.marker_after) {
			EXPECT_EQ(read_file(MARKER_NAME), before);
		}
		EXPECT_FALSE(fs::exists("missing-target"));
	}
}

TEST_F(run_test, writes_the_marker_and_flushes_the_report_before_the_restart)
{
	EXPECT_EQ(run(1), 0);
	EXPECT_EQ(calls, 1);
	EXPECT_EQ(last_command, restart_line);
	EXPECT_TRUE(marker_at_call);
	EXPECT_EQ(events_at_call, request_event());
	EXPECT_EQ(read_file(MARKER_NAME), "Rebooted");
	std::string full = report(1, not_found);
	EXPECT_EQ(report_at_call, full.substr(0, full.find("Checking if matching")));

	// The same hour again, before or after the restart.
	fresh_streams();
	EXPECT_EQ(run(1), 0);
	EXPECT_EQ(calls, 1);
	EXPECT_EQ(read_stream(out), report(1, found));
}

// What the fake schedule says: a shutdown due then, or none where it is
// -1.
std::time_t other_due;

bool fake_schedule(std::time_t *due)
{
	*due = other_due;
	return other_due != -1;
}

struct due_case {
	std::time_t due; // after the reading, or -1: none scheduled
	std::string said;
	int calls;
	bool marker_after;
};

// Another's shutdown in this hour, up to 01:59:59, takes the night's
// place; one from 02:00:00 sharp may yet be cancelled; one due by now is
// none. Read at 01:07:12, 52 minutes and 48 seconds before the hour ends.
TEST_F(run_test, takes_another_shutdown_by_when_it_is_due)
{
	const std::time_t now = 1000000, hour_end = now + 3168;
	const std::string stands = "reboot_guard: a shutdown is already "
	    "scheduled; this run requested none\n";
	const due_case cases[] = {
		{-1, "", 1, true},
		{now - 600, "", 1, true},
		{now, "", 1, true},
		{now + 1, stands, 0, true},
		{hour_end - 1, stands, 0, true},
		{hour_end, "reboot_guard: a shutdown is already scheduled, due in "
		    "53 minutes, after this hour; this run requested none and made "
		    "no marker\n", 0, false},
	};
	std::tm local_time = reading(1);
	for (const due_case &c : cases) {
		SCOPED_TRACE("due " + std::to_string(c.due - now));
		std::remove(MARKER_NAME);
		fresh_streams();
		calls = 0;
		other_due = c.due;
		EXPECT_EQ(reboot_guard_run({now, &local_time, 0, nullptr, nullptr},
		    {out, err, false, false}, fake_runner, fake_schedule, nullptr), 0);
		EXPECT_EQ(read_stream(out), report(1, not_found));
		EXPECT_EQ(read_stream(err), c.said);
		EXPECT_EQ(calls, c.calls);
		EXPECT_EQ(fs::exists(MARKER_NAME), c.marker_after);
	}
}

#ifdef __linux__
struct schedule_case {
	std::string text;
	std::time_t due; // -1: none
};

// logind's schedule as systemd 247 and 257 write it; a wall message that
// passes 4 KB; no time, or a time that is not one.
TEST_F(run_test, reads_the_time_of_loginds_schedule)
{
	const std::string wall(5000, 'x');
	const schedule_case cases[] = {
		{"USEC=1796995200000000\nWARN_WALL=1\nMODE=reboot\n"
		    "WALL_MESSAGE=Back\\tsoon\n", 1796995200},
		{"USEC=1796995200999999\nWARN_WALL=1\nMODE=poweroff\nUID=0\n"
		    "TTY=pts/0\nWALL_MESSAGE=" + wall + "\n", 1796995200},
		{"WARN_WALL=1\nMODE=poweroff\nUSEC=1000000\n", 1},
		{"WARN_WALL=1\nMODE=poweroff\n", -1},
		{"USEC=\nMODE=poweroff\n", -1},
		{"USEC=17969952000000x\n", -1},
		{"USEC=1796995200000000", -1},
		{"USEC=99999999999999999999\n", -1},
	};
	for (const schedule_case &c : cases) {
		SCOPED_TRACE(c.text.substr(0, 60));
		std::time_t due = -1;
		EXPECT_EQ(host_schedule_due(c.text.data(), c.text.size(), &due),
		    c.due != -1);
		EXPECT_EQ(due, c.due);
	}
}
#endif

struct command_case {
	int status;
	int error;
	int run_status;
	std::string said;
	std::string event;
};

// A restart that was not accepted is said, the run fails, and the marker
// stays so that the same hour does not try again. One that someone else
// scheduled is left to stand, and that is no failure.
TEST_F(run_test, reports_what_became_of_the_restart_command)
{
#ifdef _WIN32
	const int exit_3 = 3;
#else
	const int exit_3 = 3 << 8;
#endif
	const std::string failed = "reboot_guard: " + restart_line + ": ";
	const std::string stays = "; rebooted.txt stays, so this hour will "
	    "not retry\n";
	const std::string scheduled = "reboot_guard: a shutdown is already "
	    "scheduled; this run requested none\n";
	const command_case cases[] = {
		{exit_3, 0, 1, failed + "exit status 3" + stays, "failure: "},
		{-1, EAGAIN, 1, failed + std::strerror(EAGAIN) + stays,
		    "failure: "},
#ifdef _WIN32
		{1190, 0, 0, scheduled, "scheduled: "},
		{1115, 0, 0, scheduled, "scheduled: "},
#endif
	};
	for (const command_case &c : cases) {
		SCOPED_TRACE(c.said);
		std::remove(MARKER_NAME);
		fresh_streams();
		events.clear();
		status_to_return = c.status;
		errno_to_return = c.error;

		EXPECT_EQ(run(1), c.run_status);
		EXPECT_EQ(read_stream(out), report(1, not_found));
		EXPECT_EQ(read_stream(err), c.said);
		EXPECT_EQ(events, request_event() + c.event + c.said);
		EXPECT_TRUE(fs::exists(MARKER_NAME));
	}
}

struct no_clock_case {
	clock_reading clock;
	std::string said;
};

// No hour to trust: a clock that cannot be read, or a time zone that the
// C library would have taken for UTC.
TEST_F(run_test, stops_after_the_first_message_without_a_local_hour)
{
	std::tm local_time = reading(1);
	const no_clock_case cases[] = {
		{{0, nullptr, EOVERFLOW, nullptr, nullptr},
		    std::string("cannot read the local time: ") +
		    std::strerror(EOVERFLOW)},
		{{0, &local_time, 0, "US/Eastern", "No such file or directory"},
		    "unknown time zone US/Eastern: No such file or directory"},
	};
	for (const no_clock_case &c : cases) {
		SCOPED_TRACE(c.said);
		fresh_streams();
		events.clear();
		EXPECT_EQ(reboot_guard_run(c.clock, {out, err, false, false},
		    fake_runner, nullptr, fake_logger), 1);
		EXPECT_EQ(read_stream(out), intro);
		std::string said = "reboot_guard: " + c.said + "\n";
		EXPECT_EQ(read_stream(err), said);
		EXPECT_EQ(events, "failure: " + said);
		EXPECT_EQ(calls, 0);
		EXPECT_FALSE(fs::exists(MARKER_NAME));
	}
}

TEST_F(run_test, stops_after_the_first_message_when_the_time_has_no_text)
{
	std::tm local_time = reading(1);
	local_time.tm_year = INT_MAX;
	if (std::asctime(&local_time) != nullptr)
		GTEST_SKIP() << "this C library formats any year";
	EXPECT_EQ(reboot_guard_run({0, &local_time, 0, nullptr, nullptr},
	    {out, err, false, false}, fake_runner, nullptr, nullptr), 1);
	EXPECT_EQ(read_stream(out), intro);
	EXPECT_NE(read_stream(err).find("cannot format the local time"),
	    std::string::npos);
	EXPECT_EQ(calls, 0);
	EXPECT_FALSE(fs::exists(MARKER_NAME));
}

TEST_F(run_test, reports_a_marker_that_cannot_be_removed)
{
	make_marker(marker_kind::full_directory);
	EXPECT_EQ(run(15), 1);
	EXPECT_EQ(read_stream(out), report(15));
	std::string said = read_stream(err);
	EXPECT_EQ(said.rfind("reboot_guard: rebooted.txt: ", 0), 0u) << said;
	EXPECT_NE(said.find("; the marker stays and blocks the next restart\n"),
	    std::string::npos) << said;
	EXPECT_TRUE(fs::exists(MARKER_NAME));
}

#ifndef _WIN32
// A working directory that has gone away takes no new files, even for
// root: the marker cannot be made, so no restart may be requested.
TEST_F(run_test, requests_no_restart_when_the_marker_cannot_be_made)
{
	fs::path gone = directory / "gone";
	fs::create_directory(gone);
	fs::current_path(gone);
	fs::remove(gone);

	EXPECT_EQ(run(1), 1);
	EXPECT_EQ(read_stream(out), report(1, not_found));
	EXPECT_EQ(read_stream(err),
	    std::string("reboot_guard: rebooted.txt: ") + std::strerror(ENOENT) +
	    "; no restart requested\n");
	EXPECT_EQ(calls, 0);
}

// A marker the run may not even look at counts as present: otherwise
// every run of hour 1 would restart the machine again.
TEST_F(run_test, counts_a_marker_it_cannot_look_at_as_present)
{
	fs::path locked = directory / "locked";
	fs::create_directory(locked);
	fs::permissions(locked, fs::perms::owner_all);
	EXPECT_EXIT(
	    {
		    // Root looks through any permission; run as nobody.
		    if (geteuid() == 0 &&
			(chown(locked.c_str(), 65534, 65534) != 0 ||
			    setgid(65534) != 0 || setuid(65534) != 0))
			    std::_Exit(90);
		    if (chdir(locked.c_str()) != 0 || chmod(".", 0) != 0)
			    std::_Exit(91);
		    int status = run(1);
		    std::fputs(read_stream(err).c_str(), stderr);
		    std::_Exit(calls == 0 && read_stream(out) ==
			    report(1, found) ? status : 92);
	    },
	    ::testing::ExitedWithCode(1),
	    "reboot_guard: rebooted.txt: Permission denied; counted as "
	    "present, no restart requested");
}
#endif

#ifdef __linux__
enum class fault { file_size_limit, read_only_folder, failing_sync,
	failing_close, unreadable_folder };

// Makes each of the given system calls fail with error, for the rest of
// this process's life.
bool fail_calls(std::initializer_list<unsigned int> numbers, int error)
{
	std::vector<sock_filter> filter{
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
	auto left = static_cast<unsigned char>(numbers.size());
	for (unsigned int number : numbers)
		filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number,
		    left--, 0));
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO |
	    static_cast<unsigned int>(error)));
	sock_fprog program{static_cast<unsigned short>(filter.size()),
	    filter.data()};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Puts this process where the file system fails it, for the rest of its
// life. The run's caller ignores SIGXFSZ, as main does.
bool impose(fault kind)
{
	if (kind == fault::file_size_limit) {
		std::signal(SIGXFSZ, SIG_IGN);
		rlimit limit{};
		getrlimit(RLIMIT_FSIZE, &limit);
		limit.rlim_cur = 0;
		return setrlimit(RLIMIT_FSIZE, &limit) == 0;
	}
	// A disk that fails as the marker is synced: it may not outlive a
	// power cut.
	if (kind == fault::failing_sync)
		return fail_calls({__NR_fsync, __NR_fdatasync}, EIO);
	// A close that reports a write that failed late, as NFS may.
	if (kind == fault::failing_close)
		return fail_calls({__NR_close}, ENOSPC);
	// A working directory one may write in but not read, which cannot be
	// opened to sync it. Root reads any; run as nobody.
	if (kind == fault::unreadable_folder)
		return (geteuid() != 0 || (chown(".", 65534, 65534) == 0 &&
		    setgid(65534) == 0 && setuid(65534) == 0)) &&
		    chmod(".", 0300) == 0;
	// Every deletion fails as on a read-only file system of a kernel that
	// refuses before it looks for the name.
#ifdef __NR_unlink
	return fail_calls({__NR_unlinkat, __NR_unlink, __NR_rmdir}, EROFS);
#else
	// Newer processors know unlinkat alone.
	return fail_calls({__NR_unlinkat}, EROFS);
#endif
}

// Says whether this process may filter its system calls; qemu-user, for
// one, refuses.
bool filters_work()
{
	pid_t child = fork();
	if (child == 0)
		_exit(fail_calls({__NR_getppid}, EPERM) ? 0 : 1);
	int status = 0;
	return child > 0 && waitpid(child, &status, 0) == child &&
	    WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct fault_case {
	int hour;
	marker_kind marker;
	fault kind;
	int status;
	std::string said;
	bool marker_after;
};

// A marker that could not be written or synced must not stay and block
// the day in silence; a marker that was never there needs no clearing.
TEST_F(run_test, leaves_the_marker_as_the_file_system_allows)
{
	const fault_case cases[] = {
		{1, marker_kind::none, fault::file_size_limit, 1,
		    "reboot_guard: rebooted.txt: File too large; no restart "
		    "requested\n", false},
		{1, marker_kind::none, fault::failing_sync, 1,
		    "reboot_guard: rebooted.txt: Input/output error; no restart "
		    "requested\n", false},
		{1, marker_kind::none, fault::failing_close, 1,
		    "reboot_guard: rebooted.txt: No space left on device; no "
		    "restart requested\n", false},

		{15, marker_kind::none, fault::read_only_folder, 0, "", false},
		{15, marker_kind::file, fault::read_only_folder, 1,
		    "reboot_guard: rebooted.txt: Read-only file system; the "
		    "marker stays and blocks the next restart\n", true},
		{1, marker_kind::none, fault::unreadable_folder, 1,
		    "reboot_guard: .: Permission denied; no restart requested\n",
		    false},
	};
	bool filtering = filters_work();
	for (const fault_case &c : cases) {
		SCOPED_TRACE("hour " + std::to_string(c.hour));
		if ((c.kind == fault::failing_sync || c.kind == fault::failing_close ||
		    c.kind == fault::read_only_folder) && !filtering) {
			std::printf("skipped: no system call filter here\n");
			continue;
		}
		std::error_code ignored;
		fs::remove_all(MARKER_NAME, ignored);
		make_marker(c.marker);
		EXPECT_EXIT(
		    {
			    // In memory: the limit would stop report files too.
			    out = fmemopen(nullptr, 4096, "w+");
			    err = fmemopen(nullptr, 4096, "w+");
			    if (out == nullptr || err == nullptr || !impose(c.kind))
				    std::_Exit(90);
			    int status = run(c.hour);
			    // The death test's own record of stderr is a file.
			    rlimit limit{};
			    getrlimit(RLIMIT_FSIZE, &limit);
			    limit.rlim_cur = limit.rlim_max;
			    setrlimit(RLIMIT_FSIZE, &limit);
			    std::string said = read_stream(err);
			    bool marker = fs::exists(fs::symlink_status(MARKER_NAME));
			    std::fprintf(stderr, "status %d, calls %d, marker %d, "
				"said: %s", status, calls, marker, said.c_str());
			    std::_Exit(status == c.status && said == c.said &&
				    events == (said.empty() ? "" : "failure: " +
				    said) && calls == 0 && marker == c.marker_after &&
				    read_stream(out) == report(c.hour,
				    c.hour == 1 ? not_found : "") ? 0 : 1);
		    },
		    ::testing::ExitedWithCode(0), "");
	}
	fs::permissions(directory, fs::perms::owner_all);
}
#endif

#ifdef __GLIBC__
// 2026-12-11 13:20 UTC, the instant at which every zone row is read.
const std::time_t instant = 1796995200 + 13 * 3600 + 20 * 60;

struct zone_case {
	const char *tz;        // null: TZ unset
	const char *localtime; // where the host's zone link points, or null
	const char *reason;    // null: the zone has an offset at the instant
	std::string name;      // "localtime ..." is the host's zone; empty:
	                       // tz itself
	const char *zone_dir = "zones";
};

// glibc's offset at time for the zone that tz names, with TZDIR as it is.
long glibc_offset(const char *tz, std::time_t time)
{
	setenv("TZ", tz, 1);
	tzset();
	std::tm local_time{};
	return localtime_r(&time, &local_time) != nullptr ?
	    local_time.tm_gmtoff : LONG_MIN;
}

// A zone glibc cannot load would be UTC in silence, and so would a host
// zone damaged in any way; a summer time without dates would take New
// York's; UTC's own names need no file, and a host without a zone is UTC.
// No file may keep the check waiting, and no name is cut to one that
// exists. Each zone taken has glibc's offset.
TEST_F(run_test, knows_which_time_zones_cannot_be_loaded)
{
	const fs::path zoneinfo = "/usr/share/zoneinfo";
	if (!fs::exists(zoneinfo / "Europe/Berlin"))
		GTEST_SKIP() << "needs the system's zone files (tzdata)";
	fs::create_directories("zones/Europe");
	fs::create_directories("zones/Etc");
	std::string zone = read_file(zoneinfo / "Europe/Berlin");
	auto write = [](const char *path, const std::string &text) {
		std::ofstream(path, std::ios::binary) << text;
	};
	write("zones/Europe/Berlin", zone);
	write("zones/Europe/Berlin.cut", zone.substr(0, 100));
	// Whole in length, but its first transition is to a type that does
	// not exist: in the 64-bit data after the first header's data and the
	// second header. A header's counts are big-endian, from byte 20.
	auto count = [&](std::size_t header, int i) {
		auto p = reinterpret_cast<const unsigned char *>(&zone[header + 20]);
		return std::size_t{p[4 * i]} << 24 | std::size_t{p[4 * i + 1]} << 16 |
		    std::size_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
	};
	std::size_t second = 44 + count(0, 3) * 5 + count(0, 4) * 6 +
	    count(0, 5) + count(0, 2) * 8 + count(0, 1) + count(0, 0);
	write("zones/Europe/Berlin.type", zone.substr(0, second + 44 +
	    count(second, 3) * 8) + '\x7f' + zone.substr(second + 45 +
	    count(second, 3) * 8));
	// Cut inside the rule at its end, or with a rule in its place that
	// glibc would read in part, or one with a summer time but no dates.
	write("zones/Europe/Berlin.rule", zone.substr(0, zone.size() - 5));
	std::string body = zone.substr(0, zone.rfind('\n', zone.size() - 2) + 1);
	write("zones/Europe/Berlin.month", body + "CET-1CEST,M13.5.0,M10.5.0\n");
	write("zones/Europe/Berlin.undated", body + "CET-1CEST\n");
	// Its footer's first line end gone; a rule of 255 characters there,
	// as long as one may be, and of 256.
	write("zones/Europe/Berlin.line", body.substr(0, body.size() - 1) +
	    "x" + zone.substr(body.size()));
	write("zones/Europe/Berlin.255", body + "<" + std::string(251, 'A') +
	    ">-1\n");
	write("zones/Europe/Berlin.256", body + "<" + std::string(252, 'A') +
	    ">-1\n");
	// Version 1: the 32-bit data alone, without the rule.
	write("zones/Europe/Berlin.v1", zone.substr(0, 4) + '\0' +
	    zone.substr(5, second - 5));
	// The host's zone a link named UTC, to a file that is not UTC.
	write("zones/Etc/UTC", zone.substr(0, zone.size() - 5));
	write("zones/Europe/Kyiv", "not a zone");
	// Zone files of version 2 made here, each with its counts (isutcnt,
	// isstdcnt, leapcnt, timecnt, typecnt, charcnt) after an empty first
	// block; its types are offsets east with their summer-time flags.
	auto tzif = [](std::vector<unsigned> counts, std::vector<long> types,
	    const std::string &changes, const std::string &footer) {
		auto big = [](long n, int bytes) {
			std::string text;
			for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
				text += static_cast<char>(n >> shift & 0xff);
			return text;
		};
		std::string file = "TZif2" + std::string(39, '\0') + "TZif2" +
		    std::string(15, '\0');
		for (unsigned n : counts)
			file += big(n, 4);
		file += changes;
		for (std::size_t i = 0; i + 1 < types.size(); i += 2)
			file += big(types[i], 4) + static_cast<char>(types[i + 1]) + '\0';
		return file + std::string("XYZ\0", counts[5]) +
		    std::string(counts[1] + counts[0], '\0') + "\n" + footer + "\n";
	};
	fs::create_directories("zones/Made");
	const std::string change = std::string(8, '\0');
	write("zones/Made/whole", tzif({1, 1, 0, 0, 1, 4}, {3600, 0}, "", ""));
	write("zones/Made/no_types", tzif({0, 0, 0, 0, 0, 4}, {}, "", ""));
	write("zones/Made/no_chars", tzif({0, 0, 0, 0, 1, 0}, {3600, 0}, "", ""));
	write("zones/Made/isutcnt", tzif({2, 0, 0, 0, 1, 4}, {3600, 0}, "", ""));
	write("zones/Made/isstdcnt", tzif({0, 2, 0, 0, 1, 4}, {3600, 0}, "", ""));
	write("zones/Made/index", tzif({0, 0, 0, 1, 1, 4}, {3600, 0},
	    change + '\0', "XYZ-1"));
	write("zones/Made/index_past", tzif({0, 0, 0, 1, 1, 4}, {3600, 0},
	    change + '\1', "XYZ-1"));
	write("zones/Made/summer", tzif({0, 0, 0, 0, 1, 4}, {3600, 1}, "", ""));
	write("zones/Made/summer_2", tzif({0, 0, 0, 0, 1, 4}, {3600, 2}, "", ""));
	write("zones/Made/east", tzif({0, 0, 0, 0, 1, 4}, {93599, 0}, "", ""));
	write("zones/Made/east_past", tzif({0, 0, 0, 0, 1, 4}, {93600, 0}, "",
	    ""));
	write("zones/Made/west", tzif({0, 0, 0, 0, 1, 4}, {-89999, 0}, "", ""));
	write("zones/Made/west_past", tzif({0, 0, 0, 0, 1, 4}, {-90000, 0}, "",
	    ""));
	ASSERT_EQ(mkfifo("zones/fifo", 0600), 0);
	fs::create_directory("fifos");
	ASSERT_EQ(mkfifo("fifos/UTC", 0600), 0);
	ASSERT_EQ(mkfifo("fifos/Universal", 0600), 0);
	std::string long_path = fs::current_path().string();
	for (int i = 0; i < 600; ++i)
		long_path += "/.";
	long_path += "/zones/Europe/Berlin";
	std::string too_long;
	for (int i = 0; i < 2045; ++i)
		too_long += "./";
	too_long += "Europe/BerlinX";
	const std::string missing = std::strerror(ENOENT);
	const std::string undated = "its summer time names no dates: write "
	    "them, as in CET-1CEST,M3.5.0,M10.5.0/3, or name the zone, as "
	    "Europe/Berlin";
	const std::string localtime = (directory / "localtime").string();
	const zone_case cases[] = {
		{"Europe/Berlin", nullptr, nullptr, ""},
		{":Europe/Berlin", nullptr, nullptr, ""},
		{long_path.c_str(), nullptr, nullptr, long_path},
		{"Europe/Berlin.cut", nullptr, "not a time zone file",
		    "Europe/Berlin.cut"},
		{"Europe/Berlin.type", nullptr, "not a time zone file",
		    "Europe/Berlin.type"},
		{"US/Eastern", nullptr, missing.c_str(), ""},
		{"CET", nullptr, missing.c_str(), ""},
		{"Europe/Berlin.rule", nullptr, "not a time zone file",
		    "Europe/Berlin.rule"},
		{"Europe/Berlin.month", nullptr, "not a time zone file",
		    "Europe/Berlin.month"},
		{"Europe/Berlin.undated", nullptr, undated.c_str(),
		    "Europe/Berlin.undated"},
		{"Europe/Kyiv", nullptr, "not a time zone file", ""},
		{"Europe/Berlin.line", nullptr, "not a time zone file",
		    "Europe/Berlin.line"},
		{"Europe/Berlin.255", nullptr, nullptr, ""},
		{"Europe/Berlin.256", nullptr, "not a time zone file",
		    "Europe/Berlin.256"},
		{"Europe/Berlin.v1", nullptr, nullptr, ""},
		{"Made/whole", nullptr, nullptr, ""},
		{"Made/no_types", nullptr, "not a time zone file", ""},
		{"Made/no_chars", nullptr, "not a time zone file", ""},
		{"Made/isutcnt", nullptr, "not a time zone file", ""},
		{"Made/isstdcnt", nullptr, "not a time zone file", ""},
		{"Made/index", nullptr, nullptr, ""},
		{"Made/index_past", nullptr, "not a time zone file", ""},
		{"Made/summer", nullptr, nullptr, ""},
		{"Made/summer_2", nullptr, "not a time zone file", ""},
		{"Made/east", nullptr, nullptr, ""},
		{"Made/east_past", nullptr, "not a time zone file", ""},
		{"Made/west", nullptr, nullptr, ""},
		{"Made/west_past", nullptr, "not a time zone file", ""},
		{"XYZ-1ABC-24,M3.5.0,M10.5.0", nullptr, nullptr, ""},
		{"XYZ-1ABC-25,M3.5.0,M10.5.0", nullptr, "not a rule", ""},
		{too_long.c_str(), nullptr, std::strerror(ENAMETOOLONG), too_long},
		{"fifo", nullptr, "not a regular file", ""},
		{"EST5EDT", nullptr, undated.c_str(), ""},
		{"XYZ-7ABC", nullptr, undated.c_str(), ""},
		{"XYZ-05:30", nullptr, nullptr, ""},
		{"<+03>-3", nullptr, nullptr, ""},
		{"AEST-10AEDT,M10.1.0,M4.1.0/3", nullptr, nullptr,
		    "AEST-10AEDT,M10.1.0,M4.1.0/3"},
		{"IST-2IDT,M3.4.4/26,M10.5.0", nullptr, nullptr,
		    "IST-2IDT,M3.4.4/26,M10.5.0"},
		{"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", nullptr, nullptr,
		    "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1"},
		{"<+3>-3", nullptr, "not a rule", ""},
		{"CET-1CEST;M3.5.0,M10.5.0/3", nullptr, "not a rule",
		    "CET-1CEST;M3.5.0,M10.5.0/3"},
		{"EST5EDT,garbage", nullptr, "not a rule", ""},
		{"CET-1CEST,M13.5.0,M10.5.0", nullptr, "not a rule",
		    "CET-1CEST,M13.5.0,M10.5.0"},
		{"CET-1CEST,M3.5.0,M10.5.0/3x", nullptr, "not a rule",
		    "CET-1CEST,M3.5.0,M10.5.0/3x"},
		{"XYZ-25", nullptr, "not a rule", ""},
		{"XY-3", nullptr, missing.c_str(), ""},
		{"CET-1CEST,M1.1.0,M12.5.6", nullptr, nullptr, ""},
		{"CET-1CEST,M0.1.0,M12.5.6", nullptr, "not a rule", ""},
		{"CET-1CEST,M1.1.0,M13.5.6", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.0.0,M10.5.0", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.0,M10.6.0", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.7,M10.5.0", nullptr, "not a rule", ""},
		{"CET-1CEST,J1,J365", nullptr, nullptr, ""},
		{"CET-1CEST,J0,J365", nullptr, "not a rule", ""},
		{"CET-1CEST,J1,J366", nullptr, "not a rule", ""},
		{"CET-1CEST,0,365", nullptr, nullptr, ""},
		{"CET-1CEST,0,366", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.0/-167,M10.5.0/167", nullptr, nullptr, ""},
		{"CET-1CEST,M3.5.0/-168,M10.5.0", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.0,M10.5.0/168", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.0/2:59:59,M10.5.0", nullptr, nullptr, ""},
		{"CET-1CEST,M3.5.0/2:60,M10.5.0", nullptr, "not a rule", ""},
		{"CET-1CEST,M3.5.0M10.5.0/3", nullptr, "not a rule", ""},
		{"XYZ-24", nullptr, nullptr, ""},
		{"XYZ24", nullptr, nullptr, ""},
		{"XYZ24ABC23,M3.5.0,M10.5.0", nullptr, nullptr, ""},
		{"XYZ-05:59:59", nullptr, nullptr, ""},
		{"XYZ-05:60", nullptr, "not a rule", ""},
		{"XYZ-05:00:60", nullptr, "not a rule", ""},
		{"<ABC>-3", nullptr, nullptr, ""},
		{"<AB>-3", nullptr, "not a rule", ""},
		{"UTC", nullptr, nullptr, ""},
		{"utc", nullptr, nullptr, ""},
		{"Zulu", nullptr, nullptr, ""},
		{"", nullptr, nullptr, "zones/Universal"},
		{"", nullptr, "not a regular file", "fifos/Universal", "fifos"},
		{nullptr, nullptr, nullptr, "localtime"},
		{nullptr, "zones/Europe/Berlin", nullptr,
		    "localtime -> zones/Europe/Berlin"},
		{nullptr, "zones/Europe/Berlin.cut", "not a time zone file",
		    "localtime -> zones/Europe/Berlin.cut"},
		{nullptr, "zones/Europe/Berlin.type", "not a time zone file",
		    "localtime -> zones/Europe/Berlin.type"},
		{nullptr, "zones/Europe/Berlin.rule", "not a time zone file",
		    "localtime -> zones/Europe/Berlin.rule"},
		{":", "zones/Europe/Berlin.type", nullptr, ":"},
		{localtime.c_str(), "zones/Europe/Kiev", missing.c_str(),
		    "localtime -> zones/Europe/Kiev"},
		{nullptr, "zones/Etc/UTC", "not a time zone file",
		    "localtime -> zones/Etc/UTC"},
		{nullptr, "zones/fifo", "not a regular file",
		    "localtime -> zones/fifo"},
		{nullptr, "fifos/UTC", "not a regular file",
		    "localtime -> fifos/UTC"},
	};
	// A check that waits for a FIFO's writer ends the tests here.
	alarm(60);
	for (const zone_case &c : cases) {
		SCOPED_TRACE(std::string(c.tz != nullptr ?
		    c.tz : "(unset)").substr(0, 80) + ", localtime " +
		    (c.localtime != nullptr ? c.localtime : "-"));
		std::remove("localtime");
		if (c.localtime != nullptr)
			fs::create_symlink(c.localtime, "localtime");
		static char name[8192];
		long offset = LONG_MIN;
		const char *reason = zone_check(c.tz, {localtime.c_str(),
		    c.zone_dir}, instant, &offset, name, sizeof name);
		EXPECT_STREQ(reason, c.reason);
		EXPECT_EQ(name, c.name.empty() ? c.tz : c.name.rfind("localtime",
		    0) == 0 ? directory.string() + "/" + c.name : c.name);
		if (reason == nullptr && c.tz != nullptr) {
			setenv("TZDIR", c.zone_dir, 1);
			EXPECT_EQ(offset, glibc_offset(c.tz, instant));
		}
	}
	alarm(0);
	unsetenv("TZDIR");
	unsetenv("TZ");
	tzset();
}

struct rule_case {
	const char *rule;
	const char *at; // UTC
	long offset;
	const char *glibc = nullptr; // glibc's offset where it differs
};

// Offsets worked out by hand, as the time zone database reads a rule; a
// run goes on only where glibc's is the same.
TEST_F(run_test, reads_a_rule_as_the_time_zone_database_does)
{
	const rule_case cases[] = {
		// A southern summer, in January, and its winter.
		{"AEST-10AEDT,M10.1.0,M4.1.0/3", "2026-01-15 00:00", 11 * 3600},
		{"AEST-10AEDT,M10.1.0,M4.1.0/3", "2026-07-15 00:00", 10 * 3600},
		// Summer from Sunday 2026-03-29 00:00 less 167 hours, that is
		// 03-22 01:00 standard time, 00:00 UTC.
		{"CET-1CEST,M3.5.0/-167,M10.5.0/3", "2026-03-21 23:59:59", 3600},
		{"CET-1CEST,M3.5.0/-167,M10.5.0/3", "2026-03-22 00:00", 7200},
		// Until Sunday 10-25 00:00 plus 167 hours: 10-31 23:00 summer
		// time, 21:00 UTC.
		{"CET-1CEST,M3.5.0,M10.5.0/167", "2026-10-31 20:59:59", 7200},
		{"CET-1CEST,M3.5.0,M10.5.0/167", "2026-10-31 21:00", 3600},
		// In 2028, J60 is 1 March and 59 is 29 February.
		{"XXX0YYY,J60/0,J300", "2028-02-29 12:00", 0},
		{"XXX0YYY,59/0,J300", "2028-02-29 12:00", 3600},
		// 2026 has summer time on 12 December alone; 2025's ended on 12
		// December and began again the day after, and held until then.
		{"AAA12BBB,M12.2.6/0,J346/23", "2026-12-11 13:20", -11 * 3600,
		    "-12:00:00 is not the zone's -11:00:00"},
		{"AAA12BBB,M12.2.6/0,J346/23", "2026-12-13 10:00", -12 * 3600},
		// Summer time all year, 1 January included.
		{"EST5EDT,0/0,J365/25", "2027-01-01 03:00", -4 * 3600,
		    "-05:00:00 is not the zone's -04:00:00"},
		{"XYZ-05:30", "2026-12-11 13:20", 19800},
	};
	for (const rule_case &c : cases) {
		SCOPED_TRACE(std::string(c.rule) + " at " + c.at);
		std::tm utc{};
		ASSERT_TRUE(strptime(c.at, "%Y-%m-%d %H:%M:%S", &utc) != nullptr ||
		    strptime(c.at, "%Y-%m-%d %H:%M", &utc) != nullptr);
		long offset = LONG_MIN;
		EXPECT_EQ(zone_rule_offset(c.rule, timegm(&utc), &offset), nullptr);
		EXPECT_EQ(offset, c.offset);
		clock_reading clock{timegm(&utc), nullptr, 0, nullptr, nullptr};
		setenv("TZ", c.rule, 1);
		host_local_time(clock);
		EXPECT_STREQ(clock.zone_error, c.glibc == nullptr ? nullptr :
		    (std::string("glibc's offset ") + c.glibc).c_str());
		EXPECT_STREQ(clock.unknown_zone, c.glibc == nullptr ? nullptr : c.rule);
	}
	unsetenv("TZ");
}

// Every zone the system has, as TZ names it and as the host's zone: each
// zone file is taken alike either way, with glibc's offset at instants
// from 1970 to 2037 and on each side of every change from 2020 to 2030,
// wherever the file says what the offset is; the right/ zones whose data
// end before the instant say so; any other file is refused.
TEST_F(run_test, agrees_with_glibc_on_every_zone_the_system_has)
{
	const fs::path zoneinfo = "/usr/share/zoneinfo";
	if (!fs::exists(zoneinfo / "Europe/Berlin"))
		GTEST_SKIP() << "needs the system's zone files (tzdata)";
	const std::string localtime = (directory / "localtime").string();
	const std::time_t from = 1577836800, to = 1924992000; // 2020 to 2031
	static char name[8192];
	int zones = 0;
	for (const auto &entry : fs::recursive_directory_iterator(zoneinfo)) {
		if (entry.is_directory())
			continue;
		std::string tz = entry.path().lexically_relative(zoneinfo);
		std::string data = read_file(entry.path());
		auto bytes = reinterpret_cast<const unsigned char *>(data.data());
		long by_name = 0, as_host = 0;
		const char *named = zone_check(tz.c_str(), {localtime.c_str(),
		    zoneinfo.c_str()}, instant, &by_name, name, sizeof name);
		std::remove("localtime");
		fs::create_symlink(entry.path(), "localtime");
		const char *host = zone_check(nullptr, {localtime.c_str(),
		    zoneinfo.c_str()}, instant, &as_host, name, sizeof name);
		EXPECT_STREQ(named, host) << tz;
		EXPECT_EQ(by_name, as_host) << tz;
		if (data.rfind("TZif", 0) != 0) {
			EXPECT_STREQ(named, "not a time zone file") << tz;
			continue;
		}
		if (named != nullptr) {
			EXPECT_TRUE(tz.rfind("right/", 0) == 0 &&
			    std::strcmp(named, "its data end before now, and no "
			    "rule follows them") == 0) << tz << ": " << named;
		}
		++zones;
		// The instants: spread over 1970 to 2037, and each change of
		// 2020 to 2030 that glibc shows day by day, found to the second.
		std::vector<std::time_t> instants;
		for (std::time_t t = 7 * 3600 + 11; t < 2145916800; t += 97 * 86400)
			instants.push_back(t);
		std::string path = entry.path().string();
		long before = glibc_offset(path.c_str(), from);
		for (std::time_t day = from + 86400; day < to; day += 86400) {
			long after = glibc_offset(path.c_str(), day);
			if (after == before)
				continue;
			std::time_t low = day - 86400, high = day;
			while (high - low > 1) {
				std::time_t middle = low + (high - low) / 2;
				(glibc_offset(path.c_str(), middle) == before ?
				    low : high) = middle;
			}
			instants.push_back(low);
			instants.push_back(high);
			before = after;
		}
		for (std::time_t t : instants) {
			long offset = 0;
			if (zone_file_offset(bytes, data.size(), t, &offset) == nullptr) {
				EXPECT_EQ(offset, glibc_offset(path.c_str(), t)) <<
				    tz << " at " << t;
			}
		}
	}
	EXPECT_GT(zones, 300);
	unsetenv("TZ");
	tzset();
}
#endif

#ifdef __GLIBC__
// Another run makes the marker between this run's look and its creation.
// A stream that makes the marker when message 7 is written stands in for
// that other run.
ssize_t write_and_race(void *, const char *data, size_t size)
{
	if (std::string(data, size).find("File not found") != std::string::npos)
		std::ofstream(MARKER_NAME) << "other run";
	return static_cast<ssize_t>(size);
}

TEST_F(run_test, leaves_the_restart_to_a_run_that_made_the_marker_first)
{
	cookie_io_functions_t io{};
	io.write = write_and_race;
	std::FILE *racing = fopencookie(nullptr, "w", io);
	ASSERT_NE(racing, nullptr);
	std::setvbuf(racing, nullptr, _IONBF, 0);
	std::tm local_time = reading(1);

	EXPECT_EQ(reboot_guard_run({0, &local_time, 0, nullptr, nullptr},
	    {racing, err, false, false}, fake_runner, nullptr, fake_logger), 0);
	std::fclose(racing);
	EXPECT_EQ(calls, 0);
	EXPECT_EQ(read_file(MARKER_NAME), "other run");
	EXPECT_EQ(read_stream(err), "");
}
#endif

} // namespace
