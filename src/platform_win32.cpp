// platform_win32.cpp: the platform services on Windows, each a direct KERNEL32 or VERSION call.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "text.h"
#include "words.h"

// The runtime must not expand wildcards: the tool reads its own command line.
extern "C" {
int _dowildcard = 0;
}

namespace {

static_assert(WAIT_FOREVER_MS == INFINITE, "the core's endless wait must be the Win32 one");
static_assert(sizeof(HANDLE) <= sizeof(intptr_t), "handles travel as intptr_t");

constexpr std::size_t OUTPUT_BLOCK_SIZE = 4096;

// The longest command line Windows passes, terminator included; every word
// takes at least one character or a separating blank, so words never need
// more room than the text itself, plus one terminator.
constexpr std::size_t COMMAND_LINE_SIZE = 32768;
constexpr std::size_t MAX_TOOL_WORDS = COMMAND_LINE_SIZE / 2 + 1;

// The most ANSI bytes converted to UTF-8 at once: four times the longest
// text the tool keeps.
constexpr std::size_t WIDE_TEXT_SIZE = 4 * TEXT_SIZE;

HANDLE handle_of(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t value_of(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// calendar_time has the fields of SYSTEMTIME, in the same order.
calendar_time from_system_time(const SYSTEMTIME &st) {
    return calendar_time{st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                         st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
}

SYSTEMTIME to_system_time(const calendar_time &t) {
    SYSTEMTIME st;
    st.wYear = t.year;
    st.wMonth = t.month;
    st.wDayOfWeek = t.day_of_week;
    st.wDay = t.day;
    st.wHour = t.hour;
    st.wMinute = t.minute;
    st.wSecond = t.second;
    st.wMilliseconds = t.milliseconds;
    return st;
}

// Room for a system message before it is cut to the caller's buffer.
constexpr std::size_t MESSAGE_SIZE = 512;

// The system's words for error as one line (its line ends made blanks), cut
// to size; "%1" in them, a placeholder for a file name, becomes name.
void system_message(DWORD error, const char *name, char *reason, std::size_t reason_size) {
    char message[MESSAGE_SIZE];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                             message, static_cast<DWORD>(sizeof message), NULL);
    if (n == 0) {
        std::snprintf(reason, reason_size, "error %lu", static_cast<unsigned long>(error));
        return;
    }
    while (n > 0 && (message[n - 1] == '\r' || message[n - 1] == '\n' || message[n - 1] == ' '))
        message[--n] = '\0';
    if (reason_size == 0) return;
    std::size_t length = 0;
    for (const char *p = message; *p != '\0' && length + 1 < reason_size; ++p) {
        if (p[0] == '%' && p[1] == '1' && (p[2] < '0' || p[2] > '9') && name != nullptr) {
            for (const char *q = name; *q != '\0' && length + 1 < reason_size; ++q)
                reason[length++] = *q;
            ++p;
        } else if (*p == '\r' || *p == '\n') {
            if (length == 0 || reason[length - 1] != ' ') reason[length++] = ' ';
        } else {
            reason[length++] = *p;
        }
    }
    reason[length] = '\0';
}

bool name_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_PATHNAME || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

// The system hands a batch file to the command interpreter with our command
// line, which holds only the argument text: the interpreter would run that
// text as a command. Windows drops trailing dots and blanks from a name.
bool is_batch_file(const char *name) {
    std::size_t n = std::strlen(name);
    while (n > 0 && (name[n - 1] == '.' || name[n - 1] == ' '))
        --n;
    constexpr std::size_t SUFFIX_CHARS = 4;
    if (n < SUFFIX_CHARS) return false;
    char suffix[SUFFIX_CHARS + 1];
    std::memcpy(suffix, name + n - SUFFIX_CHARS, SUFFIX_CHARS);
    suffix[SUFFIX_CHARS] = '\0';
    return compare_no_case(suffix, ".bat") == 0 || compare_no_case(suffix, ".cmd") == 0;
}

const char BATCH_FILE_REASON[] = "a batch file starts only through the command interpreter: %s \"/c %s%.*s\"";

// The words that would start it, the interpreter named as %ComSpec% names it.
void refuse_batch_file(const char *name, const char *command_line, char *reason, std::size_t reason_size) {
    const char *interpreter = std::getenv("ComSpec");
    if (interpreter == nullptr || *interpreter == '\0') interpreter = "cmd.exe";
    std::size_t n = std::strlen(command_line);
    while (n > 0 && (command_line[n - 1] == ' ' || command_line[n - 1] == '\t'))
        --n;
    std::snprintf(reason, reason_size, BATCH_FILE_REASON, interpreter, name, static_cast<int>(n),
                  command_line);
}

// How long the console handler waits for the target it ended, so that its
// exit code is set before the tool's own end closes the job.
constexpr DWORD STOP_WAIT_MS = 2000;
// How long it then waits for the main thread's last word (its record).
// Together they stay below the 5 s the system gives a closing console.
constexpr DWORD LAST_WORD_WAIT_MS = 2000;
// A target that ended with the exit code of a console event most likely got
// ours too: the stop is waited for this long, so that the tool does not go on
// to print and start as though the target had ended by itself.
constexpr DWORD SAME_EVENT_WAIT_MS = 1000;

// How runs end, set before the first start: with the whole tree, the job
// holds everything the target starts and a run ends with the job's end; with
// ask_first, targets start in a process group of their own.
bool whole_tree = false;
bool ask_first = false;

// Made once, before the first start. The job ends the target when the tool's
// process ends, however that happens; without it (it could not be made or
// set up) targets run as before.
bool stopping_ready = false;
HANDLE target_job = NULL;
// Manual reset: set by the console handler when the tool is to stop (the
// waits and sleeps of the main thread end on it), and by the main thread once
// its last word is out.
HANDLE stop_event = NULL;
HANDLE last_word_done = NULL;

// The console handler runs on a thread of its own: the running target's
// handle and the tool's stop are shared with it under this lock, and the
// handle is closed only once it is out of the slot. A start holds the lock
// from before the process exists until it is published.
CRITICAL_SECTION target_lock;
HANDLE running_target = NULL;
bool tool_stopping = false;
stop_report stop_seen = {};

// The console events that stop the tool, by the names its record gives them.
// A logoff reaches only a program started from a service, whose user's logoff
// is none of its business.
const char *stop_cause(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT:
        return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT:
        return "CTRL_CLOSE_EVENT";
    case CTRL_SHUTDOWN_EVENT:
        return "CTRL_SHUTDOWN_EVENT";
    default:
        return nullptr;
    }
}

// Still running, or ended by the same console event (it shares our console).
bool ran_into_stop(HANDLE process) {
    DWORD code = 0;
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT ||
           (GetExitCodeProcess(process, &code) && code == STATUS_CONTROL_C_EXIT);
}

// The running target is ended first, with the forced end's code, as a target
// that handles the event itself or has no console would outlive the tool.
// Then the main thread has its last word, and the system's default handling
// ends the tool (exit status 0xC000013A), except at shutdown, where from a
// service it might not.
BOOL WINAPI stop_on_console_event(DWORD event) {
    const char *cause = stop_cause(event);
    if (cause == nullptr) return FALSE;
    EnterCriticalSection(&target_lock);
    if (!tool_stopping) {
        tool_stopping = true;
        lstrcpynA(stop_seen.cause, cause, static_cast<int>(sizeof stop_seen.cause));
        stop_seen.target_forced = running_target != NULL && ran_into_stop(running_target);
    }
    // With the whole tree, what the target started goes with it (and what a
    // run before left, should its sweep have run out of time).
    if (whole_tree) TerminateJobObject(target_job, TERMINATE_EXIT_CODE);
    if (running_target != NULL && (TerminateProcess(running_target, TERMINATE_EXIT_CODE) || whole_tree)) {
        WaitForSingleObject(running_target, STOP_WAIT_MS);
    }
    LeaveCriticalSection(&target_lock);
    SetEvent(stop_event);
    // Bounded: a main thread busy elsewhere (printing) never signals.
    WaitForSingleObject(last_word_done, LAST_WORD_WAIT_MS);
    if (event == CTRL_SHUTDOWN_EVENT) TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return FALSE;
}

// *error: why no job could be made.
HANDLE make_target_job(DWORD *error) {
    const HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL) {
        *error = GetLastError();
        return NULL;
    }
    // Silent breakaway: what the target starts itself stays outside, as
    // without the job. With the whole tree, no breakaway of any kind.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!whole_tree) limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        *error = GetLastError();
        CloseHandle(job);
        return NULL;
    }
    return job;
}

// Why no job could be made, when none was.
DWORD job_error = ERROR_SUCCESS;

void setup_stopping() {
    if (stopping_ready) return;
    InitializeCriticalSection(&target_lock);
    target_job = make_target_job(&job_error);
    // Decided before the console handler, which reads it, is in place.
    if (target_job == NULL) whole_tree = false;
    stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    last_word_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(stop_on_console_event, TRUE);
    stopping_ready = true;
}

// The tool is ending on the console handler's thread; this one must start
// nothing more meanwhile.
[[noreturn]] void wait_for_own_end() {
    for (;;)
        Sleep(INFINITE);
}

bool stopping() {
    if (!stopping_ready) return false;
    EnterCriticalSection(&target_lock);
    const bool stop = tool_stopping;
    LeaveCriticalSection(&target_lock);
    return stop;
}

void withdraw_target(HANDLE process) {
    EnterCriticalSection(&target_lock);
    if (running_target == process) running_target = NULL;
    LeaveCriticalSection(&target_lock);
}

enum class woken { stop, other, time_out, failed };

// Waits up to timeout_ms for other (when there is one) or the tool's stop.
woken wait_or_stop(HANDLE other, DWORD timeout_ms) {
    HANDLE handles[2];
    DWORD count = 0;
    // First: when both are set, the stop wins.
    if (stop_event != NULL) handles[count++] = stop_event;
    if (other != NULL) handles[count++] = other;
    if (count == 0) return woken::failed;
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
    if (result == WAIT_TIMEOUT) return woken::time_out;
    if (result >= WAIT_OBJECT_0 + count) return woken::failed;
    return handles[result - WAIT_OBJECT_0] == stop_event ? woken::stop : woken::other;
}

// A handle opened for writing alone may not tell its file's index; its file
// id needs no access right. Looked up, not imported: older systems lack it.
bool same_file_id(HANDLE a, HANDLE b) {
    using query_function = BOOL(WINAPI *)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FARPROC found = kernel != NULL ? GetProcAddress(kernel, "GetFileInformationByHandleEx") : NULL;
    if (found == NULL) return false;
    const auto query = reinterpret_cast<query_function>(reinterpret_cast<void (*)()>(found));
    FILE_ID_INFO id_a;
    FILE_ID_INFO id_b;
    if (!query(a, FileIdInfo, &id_a, sizeof id_a) || !query(b, FileIdInfo, &id_b, sizeof id_b)) return false;
    return id_a.VolumeSerialNumber == id_b.VolumeSerialNumber &&
           std::memcmp(&id_a.FileId, &id_b.FileId, sizeof id_a.FileId) == 0;
}

// Windows 8, the first to nest jobs. Without a manifest that names later
// versions the system reports 6.2 at most, which is all this asks.
constexpr DWORD NESTING_MAJOR_VERSION = 6;
constexpr DWORD NESTING_MINOR_VERSION = 2;

bool jobs_nest() {
    OSVERSIONINFOEXA wanted;
    ZeroMemory(&wanted, sizeof wanted);
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = NESTING_MAJOR_VERSION;
    wanted.dwMinorVersion = NESTING_MINOR_VERSION;
    const DWORDLONG at_least = VerSetConditionMask(
        VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION, at_least) != 0;
}

// Why our job cannot take the targets here, nullptr when it can. A tool that
// runs in a job starts its targets in that job too, unless that job lets them
// go silently; ours can then take them only where jobs nest and neither job
// has UI restrictions.
const char *job_obstacle() {
    BOOL in_job = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), NULL, &in_job) || !in_job) return nullptr;
    // NULL: the job the tool runs in.
    JOBOBJECT_BASIC_LIMIT_INFORMATION outer;
    if (QueryInformationJobObject(NULL, JobObjectBasicLimitInformation, &outer, sizeof outer, NULL) &&
        (outer.LimitFlags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) {
        return nullptr;
    }
    if (!jobs_nest()) return "the tool runs in a job, and jobs nest only from Windows 8 on";
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui;
    if (QueryInformationJobObject(NULL, JobObjectBasicUIRestrictions, &ui, sizeof ui, NULL) &&
        ui.UIRestrictionsClass != JOB_OBJECT_UILIMIT_NONE) {
        return "the tool runs in a job with UI restrictions, which nests no other job";
    }
    return nullptr;
}

// The window calls, from user32.dll: loaded only when targets are asked to
// end, so that the tool needs nothing but KERNEL32 otherwise.
using enum_windows_function = BOOL(WINAPI *)(WNDENUMPROC, LPARAM);
using window_process_function = DWORD(WINAPI *)(HWND, LPDWORD);
using post_message_function = BOOL(WINAPI *)(HWND, UINT, WPARAM, LPARAM);
enum_windows_function enum_windows = nullptr;
window_process_function window_process = nullptr;
post_message_function post_message = nullptr;

template <typename function> function found_as(FARPROC found) {
    return reinterpret_cast<function>(reinterpret_cast<void (*)()>(found));
}

void load_window_calls() {
    // A known DLL: the system's own copy, whatever the search path holds.
    const HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == NULL) return;
    const FARPROC enum_found = GetProcAddress(user32, "EnumWindows");
    const FARPROC process_found = GetProcAddress(user32, "GetWindowThreadProcessId");
    const FARPROC post_found = GetProcAddress(user32, "PostMessageA");
    if (enum_found == NULL || process_found == NULL || post_found == NULL) return;
    window_process = found_as<window_process_function>(process_found);
    post_message = found_as<post_message_function>(post_found);
    enum_windows = found_as<enum_windows_function>(enum_found);
}

BOOL CALLBACK close_if_owned(HWND window, LPARAM owner_id) {
    DWORD owner = 0;
    window_process(window, &owner);
    if (owner == static_cast<DWORD>(owner_id)) post_message(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// The most processes on the tool's console looked through for the target.
constexpr DWORD CONSOLE_LIST_SIZE = 1024;

// Whether the process is on the tool's console; false where the tool has
// none, and where too many share it to tell.
bool on_own_console(DWORD id) {
    DWORD ids[CONSOLE_LIST_SIZE];
    const DWORD count = GetConsoleProcessList(ids, CONSOLE_LIST_SIZE);
    for (DWORD i = 0; i < count && count <= CONSOLE_LIST_SIZE; ++i) {
        if (ids[i] == id) return true;
    }
    return false;
}

// The target that was sent a Ctrl+Break: its end by that event is its own,
// not a sign of the tool's stop.
DWORD break_sent_to = 0;

uint32_t active_in_job() {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts;
    if (!QueryInformationJobObject(target_job, JobObjectBasicAccountingInformation, &counts, sizeof counts,
                                   NULL)) {
        return 0;
    }
    return counts.ActiveProcesses;
}

// The job signals nothing when its last process goes: its count is read
// again after this pause, up to the sweep's bound.
constexpr DWORD TREE_POLL_MS = 10;

// How long the exit code of a target ended by force may take to show.
constexpr DWORD FORCED_END_SHOW_MS = 1000;

} // namespace

bool platform_set_run_ending(bool tree, bool ask, char *reason, std::size_t reason_size) {
    ask_first = ask;
    if (ask) load_window_calls();
    if (!tree) return true;
    const char *obstacle = job_obstacle();
    whole_tree = obstacle == nullptr;
    // Made now, so that the answer is known before the first start.
    setup_stopping();
    if (whole_tree) return true;
    if (obstacle != nullptr) {
        std::snprintf(reason, reason_size, "%s", obstacle);
    } else {
        char message[TEXT_SIZE];
        system_message(job_error, nullptr, message, sizeof message);
        std::snprintf(reason, reason_size, "no job: %s", message);
    }
    return false;
}

bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size) {
    if (is_batch_file(application_name)) {
        *failure = start_failure::refused;
        refuse_batch_file(application_name, command_line, reason, reason_size);
        return false;
    }
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    setup_stopping();
    // A stop that comes from here on waits for the target to be published,
    // then ends it like any other: none is left behind suspended.
    EnterCriticalSection(&target_lock);
    if (tool_stopping) {
        LeaveCriticalSection(&target_lock);
        platform_finish_stop();
    }
    // Suspended until it is in the job: a target that has not run yet cannot
    // have started anything that the job would miss.
    // A process group of its own takes a Ctrl+Break meant for it alone.
    const DWORD flags = CREATE_SUSPENDED | (ask_first ? CREATE_NEW_PROCESS_GROUP : 0);
    if (!CreateProcessA(application_name, command_line, NULL, NULL, FALSE, flags, NULL, NULL, &si, &pi)) {
        const DWORD error = GetLastError();
        LeaveCriticalSection(&target_lock);
        *failure = name_missing(error) ? start_failure::not_found : start_failure::refused;
        system_message(error, application_name, reason, reason_size);
        return false;
    }
    // Inside a job that allows no nested one (before Windows 8) this fails:
    // the target then runs without.
    if (target_job != NULL) AssignProcessToJobObject(target_job, pi.hProcess);
    const bool resumed = ResumeThread(pi.hThread) != static_cast<DWORD>(-1);
    const DWORD error = GetLastError();
    if (resumed) running_target = pi.hProcess;
    LeaveCriticalSection(&target_lock);
    if (!resumed) {
        *failure = start_failure::refused;
        system_message(error, application_name, reason, reason_size);
        TerminateProcess(pi.hProcess, TERMINATE_EXIT_CODE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return false;
    }
    started->process = value_of(pi.hProcess);
    started->thread = value_of(pi.hThread);
    started->id = pi.dwProcessId;
    break_sent_to = 0;
    return true;
}

wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms) {
    const HANDLE target = handle_of(started.process);
    switch (wait_or_stop(target, timeout_ms)) {
    case woken::stop:
        return wait_outcome::stopped;
    case woken::other:
        // Ended by the console handler, or by the same event before the
        // handler ran: nothing more is printed or started.
        if (stopping()) return wait_outcome::stopped;
        if (!ran_into_stop(target) || started.id == break_sent_to) return wait_outcome::ended;
        return wait_or_stop(NULL, SAME_EVENT_WAIT_MS) == woken::stop ? wait_outcome::stopped
                                                                     : wait_outcome::ended;
    case woken::time_out:
        return stopping() ? wait_outcome::stopped : wait_outcome::timed_out;
    default:
        return wait_outcome::failed;
    }
}

void platform_how_ended(const process_ref &started, target_end *how) {
    const HANDLE process = handle_of(started.process);
    DWORD code = 0;
    // After an ended wait the code is there; should it be refused all the
    // same, the code of an end not yet known stands in.
    if (!GetExitCodeProcess(process, &code)) code = STILL_ACTIVE;
    // A forced end takes effect a moment after it is asked for; one that
    // takes longer still shows its code in the end.
    if (code == STILL_ACTIVE) {
        if (WaitForSingleObject(process, FORCED_END_SHOW_MS) == WAIT_TIMEOUT) {
            code = TERMINATE_EXIT_CODE;
        } else if (!GetExitCodeProcess(process, &code)) {
            code = STILL_ACTIVE;
        }
    }
    how->by_signal = false;
    how->exit_code = code;
    how->signal_name[0] = '\0';
}

bool platform_terminate(const process_ref &started, uint32_t exit_code, char *reason,
                        std::size_t reason_size) {
    if (TerminateProcess(handle_of(started.process), exit_code)) return true;
    system_message(GetLastError(), nullptr, reason, reason_size);
    return false;
}

void platform_ask_to_end(const process_ref &started) {
    if (enum_windows != nullptr) enum_windows(close_if_owned, static_cast<LPARAM>(started.id));
    // Only to a process group of its own: the tool's would take the tool too.
    if (ask_first && on_own_console(started.id) && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, started.id)) {
        break_sent_to = started.id;
    }
}

uint32_t platform_end_tree(const process_ref &started, uint32_t bound_ms) {
    if (!whole_tree) return 0;
    const DWORD t0 = GetTickCount();
    // Once the target has gone, the job's count holds only the others; a
    // target ended by force may take a moment.
    const bool target_runs = WaitForSingleObject(handle_of(started.process), bound_ms) != WAIT_OBJECT_0;
    uint32_t others = active_in_job();
    if (target_runs && others > 0) --others;
    TerminateJobObject(target_job, TERMINATE_EXIT_CODE);
    while (active_in_job() > 0 && GetTickCount() - t0 < bound_ms)
        Sleep(TREE_POLL_MS);
    return others;
}

void platform_close(process_ref *started) {
    if (started->process != 0) {
        withdraw_target(handle_of(started->process));
        CloseHandle(handle_of(started->process));
    }
    if (started->thread != 0) CloseHandle(handle_of(started->thread));
    started->process = 0;
    started->thread = 0;
}

uint32_t platform_tick_ms() { return GetTickCount(); }

void platform_local_time(calendar_time *now) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    *now = from_system_time(st);
}

bool platform_time_to_units(const calendar_time &time, uint64_t *units) {
    const SYSTEMTIME st = to_system_time(time);
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return false;
    *units = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return true;
}

bool platform_units_to_time(uint64_t units, calendar_time *time) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(units);
    ft.dwHighDateTime = static_cast<DWORD>(units >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return false;
    *time = from_system_time(st);
    return true;
}

intptr_t platform_create_sleeper() {
    // Manual reset, never set: a wait on it lasts its whole time-out.
    return value_of(CreateEventA(NULL, TRUE, FALSE, NULL));
}

bool platform_sleep(intptr_t sleeper, uint32_t timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD slept = GetTickCount() - start;
        if (slept >= timeout_ms) return !stopping();
        switch (wait_or_stop(handle_of(sleeper), timeout_ms - slept)) {
        case woken::stop:
            return false;
        case woken::time_out:
            return true;
        default:
            // Nothing to wait on, or the wait came back before its time:
            // sleep out the rest.
            Sleep(timeout_ms - slept);
        }
    }
}

void platform_close_sleeper(intptr_t sleeper) {
    if (sleeper != 0) CloseHandle(handle_of(sleeper));
}

const char *platform_executable_suffix() { return ".exe"; }

const char *platform_directory_separators() { return "\\/:"; }

const char *platform_current_directory_prefix() { return ".\\"; }

const char *platform_option_marks() { return "-/"; }

uint32_t platform_version_info_size(const char *file_name) {
    DWORD handle_dummy = 0;
    return GetFileVersionInfoSizeA(file_name, &handle_dummy);
}

bool platform_read_version_info(const char *file_name, uint32_t size, void *block) {
    return GetFileVersionInfoA(file_name, 0, size, block) != 0;
}

bool platform_query_version_value(const void *block, const char *path, const char **value) {
    // VerQueryValueA matches the keys without regard to case.
    LPVOID pointer = NULL;
    UINT length = 0;
    if (!VerQueryValueA(block, path, &pointer, &length) || pointer == NULL) return false;
    *value = static_cast<const char *>(pointer);
    return true;
}

void *platform_alloc_zeroed(uint32_t size) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size); }

void platform_free(void *block) { LocalFree(block); }

void platform_setup_output() {
    // Set either way: the defaults differ between runtimes and under Wine.
    if (_isatty(_fileno(stdout))) {
        std::setvbuf(stdout, NULL, _IONBF, 0);
    } else {
        std::setvbuf(stdout, NULL, _IOFBF, OUTPUT_BLOCK_SIZE);
    }
    std::setvbuf(stderr, NULL, _IONBF, 0);
}

void platform_stop_report(stop_report *report) {
    *report = stop_report{};
    if (!stopping_ready) return;
    EnterCriticalSection(&target_lock);
    *report = stop_seen;
    LeaveCriticalSection(&target_lock);
}

void platform_finish_stop() {
    // The console handler is waiting for this; the system's handling of the
    // event then ends the tool.
    if (last_word_done != NULL) SetEvent(last_word_done);
    wait_for_own_end();
}

const char *platform_setting(const char *name) { return std::getenv(name); }

uint32_t platform_process_id() { return GetCurrentProcessId(); }

void platform_utc_time(calendar_time *now) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    *now = from_system_time(st);
}

bool platform_append_line(const char *path, const char *line, std::size_t length, std::size_t *written,
                          char *reason, std::size_t reason_size) {
    *written = 0;
    // Opened for each line, so that the file may be moved away at any time;
    // an append-only handle puts each write whole at the end, whoever else
    // appends.
    SECURITY_ATTRIBUTES own_only = {sizeof own_only, NULL, FALSE};
    const HANDLE file = path != nullptr ? CreateFileA(path, FILE_APPEND_DATA,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      &own_only, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL)
                                        : GetStdHandle(STD_ERROR_HANDLE);
    if (file == INVALID_HANDLE_VALUE || file == NULL) {
        // No standard error at all leaves no error code of its own.
        system_message(file == NULL ? ERROR_INVALID_HANDLE : GetLastError(), nullptr, reason, reason_size);
        return false;
    }
    // The handle itself, not the runtime's stderr, which would make "\n" "\r\n".
    DWORD done = 0;
    const DWORD size = length < MAXDWORD ? static_cast<DWORD>(length) : MAXDWORD;
    const bool ok = WriteFile(file, line, size, &done, NULL) != 0;
    const DWORD error = GetLastError();
    if (path != nullptr) CloseHandle(file);
    *written = done;
    if (!ok) {
        system_message(error, nullptr, reason, reason_size);
        return false;
    }
    if (done < length) {
        std::snprintf(reason, reason_size, "only %lu of %lu bytes were written",
                      static_cast<unsigned long>(done), static_cast<unsigned long>(length));
        return false;
    }
    return true;
}

bool platform_error_joins_output() {
    const HANDLE error_out = GetStdHandle(STD_ERROR_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (error_out == NULL || error_out == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(error_out, &mode)) return true;
    if (out == NULL || out == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    if (GetFileInformationByHandle(error_out, &a) && GetFileInformationByHandle(out, &b)) {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    }
    return same_file_id(error_out, out);
}

void platform_text_to_utf8(const char *text, char *out, std::size_t out_size) {
    if (out_size == 0) return;
    // ANSI text never has more UTF-16 units than bytes, and no unit takes
    // more than three bytes in UTF-8.
    wchar_t wide[WIDE_TEXT_SIZE];
    char utf8[3 * WIDE_TEXT_SIZE];
    std::size_t in = 0;
    while (text[in] != '\0' && in < WIDE_TEXT_SIZE) {
        const std::size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[in])) && text[in + 1] != '\0' ? 2 : 1;
        if (in + step > WIDE_TEXT_SIZE) break;
        in += step;
    }
    int n = 0;
    if (in > 0) {
        const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(in), wide, WIDE_TEXT_SIZE);
        n = WideCharToMultiByte(CP_UTF8, 0, wide, units, utf8, static_cast<int>(sizeof utf8), NULL, NULL);
        if (units <= 0 || n <= 0) {
            // No conversion at all: the bytes as they are.
            std::memcpy(utf8, text, in);
            n = static_cast<int>(in);
        }
    }
    std::size_t keep = static_cast<std::size_t>(n) < out_size ? static_cast<std::size_t>(n) : out_size - 1;
    // Cut before a character that does not fit whole.
    while (keep > 0 && keep < static_cast<std::size_t>(n) &&
           (static_cast<unsigned char>(utf8[keep]) & 0xC0) == 0x80)
        --keep;
    std::memcpy(out, utf8, keep);
    out[keep] = '\0';
}

bool platform_tool_words(int, char **, int *word_count, const char *const **words) {
    // The runtime's argv follows its own quoting rules; the tool splits the
    // raw command line by its own.
    static char own_name[COMMAND_LINE_SIZE];
    static char word_text[COMMAND_LINE_SIZE + 1];
    static const char *word_list[MAX_TOOL_WORDS + 1];

    const char *text = GetCommandLineA();
    if (text == NULL) text = "";
    if (*text == '\0') {
        const DWORD n = GetModuleFileNameA(NULL, own_name, static_cast<DWORD>(sizeof own_name));
        own_name[n < sizeof own_name ? n : sizeof own_name - 1] = '\0';
    }
    std::size_t count = 0;
    if (!split_words(text, own_name, word_text, sizeof word_text, word_list, MAX_TOOL_WORDS, &count)) {
        return false;
    }
    word_list[count] = NULL;
    *word_count = static_cast<int>(count);
    *words = word_list;
    return true;
}
